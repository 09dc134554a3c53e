#include "coding/reassembly.h"

#include <algorithm>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

namespace vela::coding {

namespace {

size_t HashOf(const WideString& text) { return std::hash<WideString>{}(text); }

size_t BytesOf(const ReceivedPart& part) { return part.text.size() * sizeof(char16_t); }

// `start + span`, saturating instead of wrapping (a "never" time-out).
uint64_t Deadline(uint64_t start, uint64_t span) {
  return span > std::numeric_limits<uint64_t>::max() - start ? std::numeric_limits<uint64_t>::max() : start + span;
}

bool IsValid(const std::optional<Concatenation>& c) {
  return c && c->total >= 1 && c->sequence >= 1 && c->sequence <= c->total;
}

}  // namespace

WideString MissingPartMarker(int part, int total) {
  const std::string text = "[part " + std::to_string(part) + " of " + std::to_string(total) + " missing]";
  return WideString(text.begin(), text.end());
}

struct Reassembler::Entry {
  Key key;
  uint64_t firstMs = 0;
  std::optional<Concatenation> concatenation;  // of the first part that arrived
  std::map<int, ReceivedPart> parts;           // by sequence
  std::vector<uint64_t> tags;                  // in arrival order
  size_t bytes = 0;
};

bool Reassembler::Key::operator<(const Key& o) const {
  return std::tie(originator, reference, total, ref16) < std::tie(o.originator, o.reference, o.total, o.ref16);
}

Reassembler::Reassembler(ReassemblyOptions options) : options_(options) {}
Reassembler::~Reassembler() = default;
Reassembler::Reassembler(Reassembler&&) noexcept = default;
Reassembler& Reassembler::operator=(Reassembler&&) noexcept = default;

AssembledMessage Reassembler::Assemble(Entry& entry) {
  AssembledMessage m;
  m.originator = entry.key.originator;
  m.parts = entry.key.total;
  m.concatenation = entry.concatenation;
  m.tags = std::move(entry.tags);
  if (!entry.parts.empty()) {
    const ReceivedPart& first = entry.parts.begin()->second;
    m.smscTime = first.smscTime;
    m.smscDateTime = first.smscDateTime;
  }
  for (int seq = 1; seq <= entry.key.total; ++seq) {
    const auto it = entry.parts.find(seq);
    if (it != entry.parts.end()) {
      m.text += it->second.text;
    } else {
      m.text += MissingPartMarker(seq, entry.key.total);
      m.missing.push_back(seq);
    }
  }
  m.complete = m.missing.empty();
  return m;
}

std::list<Reassembler::Entry>::iterator Reassembler::Remove(std::list<Entry>::iterator it) {
  bytes_ -= it->bytes;
  index_.erase(it->key);
  return entries_.erase(it);
}

void Reassembler::Remember(const Entry& entry, uint64_t nowMs) {
  Completed done{entry.key, nowMs, std::vector<size_t>(entry.key.total, 0)};
  for (const auto& [seq, part] : entry.parts) done.hashes[static_cast<size_t>(seq - 1)] = HashOf(part.text);
  const auto old = completedIndex_.find(entry.key);
  if (old != completedIndex_.end()) {
    completed_.erase(old->second);
    completedIndex_.erase(old);
  }
  completed_.push_back(std::move(done));
  completedIndex_[entry.key] = std::prev(completed_.end());
  // The memory is bounded like the pending messages.
  while (completed_.size() > std::max<size_t>(options_.maxPending, 1)) {
    completedIndex_.erase(completed_.front().key);
    completed_.pop_front();
  }
}

void Reassembler::ForgetCompleted(uint64_t nowMs) {
  while (!completed_.empty() && Deadline(completed_.front().atMs, options_.timeoutMs) <= nowMs) {
    completedIndex_.erase(completed_.front().key);
    completed_.pop_front();
  }
}

bool Reassembler::IsLateDuplicate(const Key& key, const ReceivedPart& part, uint64_t nowMs) {
  ForgetCompleted(nowMs);
  const auto it = completedIndex_.find(key);
  if (it == completedIndex_.end()) return false;
  const std::vector<size_t>& hashes = it->second->hashes;
  const size_t seq = part.concatenation->sequence;
  return seq <= hashes.size() && hashes[seq - 1] == HashOf(part.text);
}

std::vector<AssembledMessage> Reassembler::Add(ReceivedPart part, uint64_t nowMs) {
  std::vector<AssembledMessage> out;
  if (!IsValid(part.concatenation)) {
    // No concatenation, or one that cannot be placed: a message of its own.
    AssembledMessage m;
    m.originator = std::move(part.originator);
    m.text = std::move(part.text);
    m.smscTime = std::move(part.smscTime);
    m.smscDateTime = part.smscDateTime;
    m.concatenation = part.concatenation;
    m.tags.push_back(part.tag);
    out.push_back(std::move(m));
    return out;
  }
  const Concatenation c = *part.concatenation;
  Key key{part.originator, c.ref16 ? c.reference : static_cast<uint16_t>(c.reference & 0xFF), c.total, c.ref16};

  std::list<Entry>::iterator it;
  const auto found = index_.find(key);
  if (found != index_.end()) {
    it = found->second;
    if (it->parts.count(c.sequence)) {
      it->tags.push_back(part.tag);  // a duplicate: only its handle is kept
      return out;
    }
  } else {
    if (IsLateDuplicate(key, part, nowMs)) {
      // Bounded like the memory it comes from, should the caller never ask.
      if (lateDuplicateTags_.size() < std::max<size_t>(options_.maxPending, 1)) lateDuplicateTags_.push_back(part.tag);
      return out;
    }
    Entry entry;
    entry.key = key;
    entry.firstMs = nowMs;
    entry.concatenation = c;
    it = entries_.insert(entries_.end(), std::move(entry));
    index_[key] = it;
  }
  it->tags.push_back(part.tag);
  const size_t bytes = BytesOf(part);
  it->bytes += bytes;
  bytes_ += bytes;
  it->parts.emplace(c.sequence, std::move(part));

  if (it->parts.size() == c.total) {
    out.push_back(Assemble(*it));
    Remember(*it, nowMs);
    Remove(it);
    return out;
  }
  while (!entries_.empty() && (entries_.size() > options_.maxPending || bytes_ > options_.maxPendingBytes)) {
    out.push_back(Assemble(entries_.front()));
    Remove(entries_.begin());
  }
  return out;
}

std::vector<AssembledMessage> Reassembler::Expire(uint64_t nowMs) {
  std::vector<AssembledMessage> out;
  while (!entries_.empty() && Deadline(entries_.front().firstMs, options_.timeoutMs) <= nowMs) {
    out.push_back(Assemble(entries_.front()));
    Remove(entries_.begin());
  }
  ForgetCompleted(nowMs);
  return out;
}

std::vector<AssembledMessage> Reassembler::Flush() {
  std::vector<AssembledMessage> out;
  while (!entries_.empty()) {
    out.push_back(Assemble(entries_.front()));
    Remove(entries_.begin());
  }
  return out;
}

std::optional<uint64_t> Reassembler::NextDeadline() const {
  if (entries_.empty()) return std::nullopt;
  return Deadline(entries_.front().firstMs, options_.timeoutMs);
}

size_t Reassembler::Pending() const { return entries_.size(); }

std::vector<uint64_t> Reassembler::TakeLateDuplicateTags() { return std::exchange(lateDuplicateTags_, {}); }

ReceivedPart PartOf(const DecodedUserData& decoded, uint64_t tag) {
  ReceivedPart part;
  part.originator = decoded.originator;
  if (decoded.hasHeader) part.concatenation = decoded.header.concatenation;
  part.text = decoded.text;
  part.smscTime = decoded.smscTime;
  part.smscDateTime = decoded.smscDateTime;
  part.tag = tag;
  return part;
}

}  // namespace vela::coding

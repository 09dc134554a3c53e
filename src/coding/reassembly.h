// Reassembly of concatenated SMS (3GPP TS 23.040 9.2.3.24.1 / .8).
//
// Parts are keyed by originator, reference, total and reference width; they
// may arrive in any order and interleaved with other senders' parts;
// duplicates are ignored; a reference reused after its message completed
// starts a new message. A part whose header is invalid (total 0, sequence 0
// or above total) is a message of its own. A message still missing parts
// after the time-out is delivered with what arrived, marked incomplete, with
// each missing part's place shown in the text. Pending messages are bounded
// in number and in memory; when a bound is reached the oldest is delivered
// incomplete first.
//
// A message that completed is remembered for the time-out: a part arriving
// again with the same key, sequence and text (a network's retransmission of
// a part already delivered) is a duplicate, not the start of a new message.
//
// Pure: the clock is injected (milliseconds of any monotonic clock). Not
// thread-safe: one Reassembler belongs to one thread.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "coding/text_coding.h"
#include "common/types.h"

namespace vela::coding {

// Text placed where a missing part belongs, e.g. "[part 2 of 3 missing]".
WideString MissingPartMarker(int part, int total);

struct ReceivedPart {
  ByteString originator;
  std::optional<Concatenation> concatenation;  // none: a one-part message
  WideString text;
  std::string smscTime;  // "YYYY-MM-DD hh:mm:ss" or empty
  DateTime smscDateTime = 0;
  uint64_t tag = 0;  // caller's handle for this part (e.g. a storage index); kept in order
};

// The part a decoded SMS-DELIVER is, with the caller's `tag`.
ReceivedPart PartOf(const DecodedUserData& decoded, uint64_t tag);

struct AssembledMessage {
  ByteString originator;
  WideString text;       // parts in sequence order; markers where parts are missing
  std::string smscTime;  // the first part's (lowest sequence that arrived)
  DateTime smscDateTime = 0;
  int parts = 1;  // total announced (1 for a single message)
  bool complete = true;
  std::vector<int> missing;                    // sequence numbers that never arrived
  std::optional<Concatenation> concatenation;  // of the first part that arrived
  std::vector<uint64_t> tags;                  // the tags of every part that arrived (duplicates included)
};

struct ReassemblyOptions {
  uint64_t timeoutMs = 10 * 60 * 1000;
  size_t maxPending = 1000;          // messages waiting for parts
  size_t maxPendingBytes = 4 << 20;  // text held for them (UTF-16 units * 2)
};

class Reassembler {
 public:
  explicit Reassembler(ReassemblyOptions options = {});
  ~Reassembler();
  Reassembler(Reassembler&&) noexcept;
  Reassembler& operator=(Reassembler&&) noexcept;

  // Takes one part at time `nowMs`; returns the messages it completed or
  // forced out (a bound reached), oldest first. A duplicate returns nothing.
  std::vector<AssembledMessage> Add(ReceivedPart part, uint64_t nowMs);
  // Delivers, incomplete, every message whose first part arrived
  // the time-out or longer before `nowMs` (due at NextDeadline()).
  std::vector<AssembledMessage> Expire(uint64_t nowMs);
  // Delivers everything pending, incomplete (e.g. at shutdown).
  std::vector<AssembledMessage> Flush();
  // When the next message times out; nullopt when nothing is pending.
  std::optional<uint64_t> NextDeadline() const;
  size_t Pending() const;
  // Tags of the parts Add dropped as arriving again after their message was
  // delivered, since the last call; what they stand for (e.g. a stored copy)
  // may be discarded.
  std::vector<uint64_t> TakeLateDuplicateTags();

 private:
  struct Key {
    ByteString originator;
    uint16_t reference;
    uint8_t total;
    bool ref16;
    bool operator<(const Key& o) const;
  };
  struct Entry;
  // A message delivered complete: its parts' text hashes by sequence.
  struct Completed {
    Key key;
    uint64_t atMs;
    std::vector<size_t> hashes;
  };
  AssembledMessage Assemble(Entry& entry);
  std::list<Entry>::iterator Remove(std::list<Entry>::iterator it);
  void Remember(const Entry& entry, uint64_t nowMs);
  void ForgetCompleted(uint64_t nowMs);
  bool IsLateDuplicate(const Key& key, const ReceivedPart& part, uint64_t nowMs);
  ReassemblyOptions options_;
  std::map<Key, std::list<Entry>::iterator> index_;
  std::list<Entry> entries_;  // oldest first
  size_t bytes_ = 0;
  std::list<Completed> completed_;                                // oldest first
  std::map<Key, std::list<Completed>::iterator> completedIndex_;  // the latest per key
  std::vector<uint64_t> lateDuplicateTags_;
};

}  // namespace vela::coding

#include "modem/reception.h"

#include <iterator>
#include <utility>

namespace vela::modem {

std::optional<at::IndicationKind> Reception::TakeLine(const ByteString& line, bool open, uint32_t now) {
  // A USSD answer is no PDU (not hex) and starts nothing; it goes to its session.
  if (auto ussd = at::RecogniseIndication(line); ussd && ussd->kind == at::IndicationKind::kCusd) return ussd->kind;
  // The line after a header is its PDU, whatever it holds.
  if (pendingIndication_) {
    Work work;
    work.report = *pendingIndication_ == at::IndicationKind::kCds;
    work.type = work.report ? Work::Type::kReport : Work::Type::kMessage;
    work.pdu = line;
    work.arrived = now;
    pendingIndication_.reset();
    ready_.push_back(std::move(work));
  } else if (auto stored = at::RecogniseIndication(line)) {
    // 27.007 +CREG: <stat>[,<lac>,<ci>[,<AcT>]], while the host has it on.
    if (stored->kind == at::IndicationKind::kCreg) {
      if (std::optional<ByteString> state = at::ParseRegistration(line)) {
        Work work;
        work.type = Work::Type::kRegistration;
        work.registration = *state;
        ready_.push_back(std::move(work));
      }
    }
    // 27.005 +CMTI: <mem>,<index> / +CDSI: <mem>,<index>: stored and indicated.
    if ((stored->kind == at::IndicationKind::kCmti || stored->kind == at::IndicationKind::kCdsi) && stored->index) {
      Work work;
      work.type = stored->kind == at::IndicationKind::kCdsi ? Work::Type::kStoredReport : Work::Type::kStored;
      work.storage = stored->storage;
      work.index = *stored->index;
      (open ? ready_ : afterOpen_).push_back(std::move(work));
    }
  }
  // 27.005 +CMT: [<alpha>],<length> / +CDS: <length>, each followed by the PDU line.
  if (auto header = at::RoutedHeaderNamed(line)) pendingIndication_ = header;
  return std::nullopt;
}

Reception::Work Reception::Pop() {
  Work work = std::move(ready_.front());
  ready_.pop_front();
  if (work.type == Work::Type::kRepairRouting) repairQueued_ = false;
  return work;
}

void Reception::QueueStored(const at::StoredMessage& entry, bool keep) {
  if (entry.pdu.empty()) return;
  Work stored;
  stored.type = Work::Type::kStored;
  stored.pdu = entry.pdu;
  stored.storage = entry.storage;
  stored.index = entry.index;
  stored.keep = keep;
  ready_.push_back(std::move(stored));
}

void Reception::QueueAssembled(std::vector<coding::AssembledMessage> messages) {
  for (coding::AssembledMessage& message : messages) {
    Work released;
    released.type = Work::Type::kAssembled;
    released.message = std::make_shared<coding::AssembledMessage>(std::move(message));
    ready_.push_back(std::move(released));
  }
}

void Reception::PortLost() {
  pendingIndication_.reset();
  repairQueued_ = false;
  std::deque<Work> keep;
  for (Work& item : ready_) {
    if ((item.type == Work::Type::kStored || item.type == Work::Type::kStoredReport) && item.pdu.empty()) {
      afterOpen_.push_back(std::move(item));
    } else if (item.type != Work::Type::kRepairRouting) {
      keep.push_back(std::move(item));
    }
  }
  ready_.swap(keep);
}

void Reception::Opened() {
  while (!afterOpen_.empty()) {
    ready_.push_back(std::move(afterOpen_.front()));
    afterOpen_.pop_front();
  }
  for (auto it = reportedStored_.begin(); it != reportedStored_.end();) {
    it = heldParts_.count(it->first) != 0 ? std::next(it) : reportedStored_.erase(it);
  }
}

Reception::AckOutcome Reception::Acknowledged(const CommandResult& ack, const Work& work, bool late) {
  if (ack.Ok()) {
    // The modem took it: it does acknowledge, and a modem whose timer had run
    // out would have had nothing to acknowledge. A late one still gets the
    // repair below, but never counts towards giving direct routing up: a slow
    // host is no reason for storage routing.
    ackSucceeded_ = true;
    repairsWithoutAck_ = 0;
    if (!late) return AckOutcome::kDone;
  }
  // The network takes an unacknowledged message for undelivered and sends it
  // again (into storage, or routed once routing is back): that copy is not
  // reported a second time.
  if (!work.report) {
    unacknowledged_.push_back(work.pdu);
    while (unacknowledged_.size() > 64) unacknowledged_.pop_front();
  }
  // A refused or late acknowledgement: under service 1 the modem switches
  // routing off when an indication goes unacknowledged (27.005 +CNMA), and
  // then stores every message silently. A modem that has never taken an
  // acknowledgement and refuses it for another reason than "none expected"
  // (340) does not support it: storage routing instead.
  const bool refused = ack.error && ack.error->kind != at::ModemError::Kind::kNoAnswer &&
                       !(ack.error->kind == at::ModemError::Kind::kCms && ack.error->code == 340);
  if (refused && !ackSucceeded_) return AckOutcome::kStorageRouting;
  if (!repairQueued_) {
    repairQueued_ = true;
    Work repair;
    repair.type = Work::Type::kRepairRouting;
    // After the indications already read: their acknowledgements come first,
    // and a backlog of late ones then needs a single repair, not one each.
    ready_.push_back(std::move(repair));
  }
  return AckOutcome::kRepair;
}

void Reception::ServiceSetUp(bool storage) {
  if (!storage) ackSucceeded_ = false;
  repairsWithoutAck_ = 0;
}

bool Reception::StartRepair() { return ++repairsWithoutAck_ <= 5; }

bool Reception::TakeRedelivery(const ByteString& pdu) {
  for (auto it = unacknowledged_.begin(); it != unacknowledged_.end(); ++it) {
    if (*it == pdu) {
      unacknowledged_.erase(it);
      return true;
    }
  }
  return false;
}

uint64_t Reception::StorageTag(const ByteString& storage, int index) {
  size_t id = 0;
  while (id < storageNames_.size() && storageNames_[id] != storage) ++id;
  if (id == storageNames_.size()) storageNames_.push_back(storage);
  return (static_cast<uint64_t>(id + 1) << 32) | static_cast<uint32_t>(index);
}

void Reception::TagPlace(uint64_t tag, ByteString& storage, int& index) const {
  const size_t id = static_cast<size_t>(tag >> 32);
  storage = id >= 1 && id <= storageNames_.size() ? storageNames_[id - 1] : ByteString();
  index = static_cast<int>(tag & 0xFFFFFFFFu);
}

void Reception::Deleted(uint64_t tag) {
  reportedStored_.erase(tag);
  ByteString storage;
  int index = -1;
  TagPlace(tag, storage, index);
  ReadAgain(storage, index);
}

void Reception::HostDeleted(const ByteString& storage, std::optional<int> index) {
  for (auto it = reportedStored_.begin(); it != reportedStored_.end();) {
    ByteString name;
    int slot = -1;
    TagPlace(it->first, name, slot);
    if ((storage.empty() || name.empty() || name == storage) && (!index || slot == *index)) {
      // A part waiting for the rest of its message: its slot is gone, and
      // may hold another message by the time the message is whole.
      if (heldParts_.count(it->first) != 0) failedParts_.insert(it->first);
      it = reportedStored_.erase(it);
    } else {
      ++it;
    }
  }
  ReadAgain(storage, index);
}

void Reception::ReadAgain(const ByteString& storage, std::optional<int> index) {
  for (std::deque<Work>* queue : {&ready_, &afterOpen_}) {
    for (Work& item : *queue) {
      if (item.type != Work::Type::kStored && item.type != Work::Type::kStoredReport) continue;
      if (item.pdu.empty()) continue;  // reads the slot when it runs
      if (!storage.empty() && !item.storage.empty() && item.storage != storage) continue;
      if (index && item.index != *index) continue;
      // What the slot holds now is a message received since: delivered and
      // deleted like an indicated one.
      item.pdu.clear();
      item.keep = false;
    }
  }
}

bool Reception::AlreadyReported(uint64_t tag, const ByteString& pdu) const {
  auto seen = reportedStored_.find(tag);
  return seen != reportedStored_.end() && seen->second == pdu;
}

coding::Reassembler& Reception::Reassembly(const coding::ReassemblyOptions& settings) {
  if (!reassembler_) {
    reassemblerOptions_ = settings;
    reassembler_ = std::make_unique<coding::Reassembler>(reassemblerOptions_);
  }
  return *reassembler_;
}

void Reception::ApplySettings(const coding::ReassemblyOptions& wanted) {
  if (reassembler_ && reassembler_->Pending() == 0 &&
      (wanted.timeoutMs != reassemblerOptions_.timeoutMs || wanted.maxPending != reassemblerOptions_.maxPending ||
       wanted.maxPendingBytes != reassemblerOptions_.maxPendingBytes)) {
    reassembler_.reset();
  }
}

}  // namespace vela::modem

// Reception: the queue of indications and stored messages, the
// acknowledgement policy and the repair of the modem's routing, storage
// routing, reassembly and the events.
#include <memory>
#include <string>
#include <utility>

#include "coding/sms.h"
#include "modem/vuz_vela.h"
#include "pdu/pdu_sms.h"
#include "platform/codepage.h"
#include "platform/sync.h"
#include "transport/comm.h"

namespace vela {

namespace {

constexpr uint32_t kAcknowledgeTimeoutMs = 15000;
constexpr uint32_t kScriptTimeoutMs = 25000;
constexpr uint32_t kPortLostMessage = 0x404;

}  // namespace

void TVuZVela::QueueLine(TmyXComm& /*sender*/, const ByteString& line) {
  if (!target_) return;  // being destroyed
  auto* copy = new ByteString(line);
  if (target_->Post(kIndicationMessage, reinterpret_cast<uintptr_t>(copy), 0)) {
    postedLines_.insert(copy);
  } else {
    delete copy;
  }
}

void TVuZVela::HandleMessage(uint32_t code, uintptr_t param1, uintptr_t /*param2*/) {
  // Nothing may leave a handler: it runs inside the host's message dispatch.
  try {
    if (code == kIndicationMessage) {
      std::unique_ptr<ByteString> line(reinterpret_cast<ByteString*>(param1));
      postedLines_.erase(line.get());
      HandleIndication(*line);
    } else if (code == kDeliverMessage) {
      deliverPosted_ = false;
      DeliverReady();
    } else if (code == kPortLostMessage) {
      HandlePortLost();
    }
  } catch (...) {}
}

void TVuZVela::HandleIndication(const ByteString& line) {
  // A USSD answer is no PDU (not hex) and starts nothing; it goes to its session.
  if (auto ussd = at::RecogniseIndication(line); ussd && ussd->kind == at::IndicationKind::kCusd) {
    if (OnUssdLine) OnUssdLine(line);
    return;
  }
  // The line after a header is its PDU, whatever it holds.
  if (pendingIndication_) {
    Work work;
    work.report = *pendingIndication_ == at::IndicationKind::kCds;
    work.type = work.report ? Work::Type::kReport : Work::Type::kMessage;
    work.pdu = line;
    work.arrived = platform::TickCount();
    pendingIndication_.reset();
    ready_.push_back(std::move(work));
  } else if (auto stored = at::RecogniseIndication(line)) {
    // 27.005 +CMTI: <mem>,<index> / +CDSI: <mem>,<index>: stored and indicated.
    if ((stored->kind == at::IndicationKind::kCmti || stored->kind == at::IndicationKind::kCdsi) && stored->index) {
      Work work;
      work.type = stored->kind == at::IndicationKind::kCdsi ? Work::Type::kStoredReport : Work::Type::kStored;
      work.storage = stored->storage;
      work.index = *stored->index;
      (isOpen_ ? ready_ : afterOpen_).push_back(std::move(work));
    }
  }
  // 27.005 +CMT: [<alpha>],<length> / +CDS: <length>, each followed by the PDU line.
  if (auto header = at::RoutedHeaderNamed(line)) pendingIndication_ = header;
  DeliverReady();
}

void TVuZVela::DeliverReady() {
  if (delivering_) return;  // the outer delivery loop takes the rest, in order
  delivering_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{delivering_};
  // A command below on this thread's stack cannot end before this handler
  // returns; the indications wait for it, and the outermost operation
  // schedules them again when it has returned.
  while (!ready_.empty() && operationDepth_ == 0 && !(external_ ? external_->IsBusy() : channel_->IsBusy())) {
    Work work = std::move(ready_.front());
    ready_.pop_front();
    try {
      Deliver(work);
    } catch (...) {
      // A malformed time stamp or a failing event sink drops this indication
      // only; it has been acknowledged already.
    }
    context_ = IncomingContext{};
  }
}

void TVuZVela::AcknowledgeIndication() {
  // Under message service 1 every routed SMS-DELIVER and status report must
  // be acknowledged (27.005 +CNMA). Nothing can be written to a closed port.
  if (isOpen_) SendCommand("AT+CNMA\r", kAcknowledgeTimeoutMs);
}

bool TVuZVela::Accepted(bool report, const ByteString& pdu) {
  if (!OnAcceptIndication) return true;
  try {
    return OnAcceptIndication(report, pdu);
  } catch (...) {
    return false;
  }
}

void TVuZVela::Acknowledge(const Work& work) {
  // Storage routing runs under service 0: nothing routed is acknowledged.
  if (!isOpen_ || opening_.StorageRouting()) return;
  OperationScope scope(*this);
  const modem::CommandResult ack = session_->Send("AT+CNMA\r", kAcknowledgeTimeoutMs);
  const bool late = platform::TickCount() - work.arrived > AckDeadlineMs;
  if (ack.Ok()) {
    // The modem took it: it does acknowledge, and a modem whose timer had run
    // out would have had nothing to acknowledge. A late one still gets the
    // repair below, but never counts towards giving direct routing up: a slow
    // host is no reason for storage routing.
    ackSucceeded_ = true;
    repairsWithoutAck_ = 0;
    if (!late) return;
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
  if (refused && !ackSucceeded_) {
    ByteString ignored;
    std::optional<at::ModemError> detail;
    opening_.SetupStorageRouting(ignored, detail, ack.error);
    QueueUnreadStored();
    return;
  }
  ScheduleRepair();
}

bool TVuZVela::TakeRedelivery(const ByteString& pdu) {
  for (auto it = unacknowledged_.begin(); it != unacknowledged_.end(); ++it) {
    if (*it == pdu) {
      unacknowledged_.erase(it);
      return true;
    }
  }
  return false;
}

void TVuZVela::ScheduleRepair() {
  if (repairQueued_) return;
  repairQueued_ = true;
  Work repair;
  repair.type = Work::Type::kRepairRouting;
  // After the indications already read: their acknowledgements come first,
  // and a backlog of late ones then needs a single repair, not one each.
  ready_.push_back(std::move(repair));
}

void TVuZVela::RepairRouting() {
  repairQueued_ = false;
  if (!isOpen_) return;
  if (!opening_.StorageRouting()) {
    // Repairs that never lead to a good acknowledgement: give direct routing up.
    std::optional<at::ModemError> refused;
    bool routed = false;
    if (++repairsWithoutAck_ <= 5) {
      OperationScope scope(*this);
      const modem::CommandResult routing = session_->Send("AT+CNMI=2,2,2,1,1\r", kScriptTimeoutMs);
      routed = routing.Confirmed();
      refused = routing.error;
    }
    if (!routed) {
      ByteString ignored;
      std::optional<at::ModemError> detail;
      opening_.SetupStorageRouting(ignored, detail, refused);
    }
  }
  QueueUnreadStored();
}

void TVuZVela::QueueUnreadStored() {
  OperationScope scope(*this);
  for (const at::StoredMessage& entry : storage_.ListUnread()) QueueStored(entry, false);
}

void TVuZVela::QueueStored(const at::StoredMessage& entry, bool keep) {
  if (entry.pdu.empty()) return;
  Work stored;
  stored.type = Work::Type::kStored;
  stored.pdu = entry.pdu;
  stored.storage = entry.storage;
  stored.index = entry.index;
  stored.keep = keep;
  ready_.push_back(std::move(stored));
}

void TVuZVela::Deliver(const Work& work) {
  switch (work.type) {
    case Work::Type::kMessage:
      return DeliverRoutedMessage(work);
    case Work::Type::kReport:
      return DeliverRoutedReport(work);
    case Work::Type::kStored:
    case Work::Type::kStoredReport:
      return DeliverStored(work);
    case Work::Type::kAssembled:
      if (work.message) DeliverAssembled(*work.message);
      return;
    case Work::Type::kRepairRouting:
      return RepairRouting();
  }
}

bool TVuZVela::Reports(bool report) const {
  if (AckPolicy == Acknowledgement::kAlways) return true;
  return report ? (OnDeliveryReport || OnMessageStatus) : (OnReceiveMessage || OnReceiveText);
}

void TVuZVela::DeliverRoutedMessage(const Work& work) {
  if (!Reports(false)) return;
  if (!Accepted(false, work.pdu)) return;       // not acknowledged: the network delivers it again
  const bool again = TakeRedelivery(work.pdu);  // acknowledged, not reported twice
  if (!AcknowledgeAfterEvents) Acknowledge(work);
  if (!again) ReportPart(work.pdu, coding::DecodePdu(work.pdu), 0);
  if (AcknowledgeAfterEvents) Acknowledge(work);
}

void TVuZVela::DeliverRoutedReport(const Work& work) {
  if (!Reports(true)) return;
  if (!Accepted(true, work.pdu)) return;
  if (!AcknowledgeAfterEvents) Acknowledge(work);
  ReportStatus(work.pdu, coding::DecodePdu(work.pdu));
  if (AcknowledgeAfterEvents) Acknowledge(work);
}

bool TVuZVela::ReportPart(const ByteString& pdu, const coding::DecodedUserData& decoded, uint64_t tag) {
  bool reported = true;
  if (OnReceiveMessage) {
    // The version-1 event: one per part, text in the code page.
    try {
      TSMS sms(platform::SystemCodePage());
      try {
        sms.ParsePDU(pdu);
      } catch (...) {}
      const DateTime serviceCentreTime = sms.GetServiceCentreTime();
      const ByteString text = platform::NarrowFromWide(sms.GetMessageText());
      const ByteString originator = sms.GetOriginator();
      OnReceiveMessage(originator, text, serviceCentreTime);
    } catch (...) {
      // A malformed time stamp or a failing sink: this event is dropped; a
      // stored part stays stored unless the whole message reaches OnReceiveText.
      reported = false;
    }
  }
  if (!OnReceiveText) return reported;
  const IncomingContext partContext = context_;
  for (const coding::AssembledMessage& message : Reassembly().Add(coding::PartOf(decoded, tag), NowMs())) {
    DeliverAssembled(message);
  }
  context_ = partContext;
  return true;
}

bool TVuZVela::ReportStatus(const ByteString& pdu, const coding::DecodedUserData& decoded) {
  // The sent message this report belongs to (TP-MR), updated with its TP-ST
  // before the events run.
  uint64_t serial = 0;
  if (decoded.kind == 2 && decoded.reference && decoded.status) {
    serial = sent_.ApplyReport(*decoded.reference, *decoded.status);
  }

  bool reported = true;
  if (OnDeliveryReport) {
    // The version-1 event, read through the analysis object model.
    try {
      TPDUSMS parsed(platform::WideFromNarrow(pdu));
      const ByteString reference = parsed.GetMessageReference();
      if (const auto* report = dynamic_cast<const TSMSReport*>(parsed.GetSMSType())) {
        const bool delivered = report->IsDelivered();
        const TTimeStamp* stamp = parsed.GetTimeStamp();
        const DateTime serviceCentreTime = stamp ? stamp->GetDateTime() : 0;
        const TTimeStamp* discharge = report->GetDischargeTimeStamp();
        const DateTime dischargeTime = discharge ? discharge->GetDateTime() : 0;
        OnDeliveryReport(reference, delivered, serviceCentreTime, dischargeTime);
      } else {
        TSMS sms(platform::SystemCodePage());
        try {
          sms.ParsePDU(pdu);
        } catch (...) {}
        const DateTime serviceCentreTime = sms.GetServiceCentreTime();
        const DateTime dischargeTime = sms.GetDischargeTime();
        OnDeliveryReport(reference, true, serviceCentreTime, dischargeTime);
      }
    } catch (...) {
      reported = false;
    }
  }
  // Looked up again: the callback may have sent and pushed the history along.
  if (sent_.Announce(serial)) {
    const SentMessage* message = sent_.Find(serial);
    if (message && OnMessageStatus) {
      // A copy: the callback may send and so push the history along.
      const SentMessage copy = *message;
      try {
        OnMessageStatus(copy, *copy.Delivered());
      } catch (...) {
        reported = false;
      }
    }
  }
  return reported;
}

// --- Stored messages -------------------------------------------------------------

uint64_t TVuZVela::StorageTag(const ByteString& storage, int index) {
  size_t id = 0;
  while (id < storageNames_.size() && storageNames_[id] != storage) ++id;
  if (id == storageNames_.size()) storageNames_.push_back(storage);
  return (static_cast<uint64_t>(id + 1) << 32) | static_cast<uint32_t>(index);
}

void TVuZVela::TagPlace(uint64_t tag, ByteString& storage, int& index) const {
  const size_t id = static_cast<size_t>(tag >> 32);
  storage = id >= 1 && id <= storageNames_.size() ? storageNames_[id - 1] : ByteString();
  index = static_cast<int>(tag & 0xFFFFFFFFu);
}

bool TVuZVela::DeleteStoredPart(uint64_t tag) {
  ByteString storage;
  int index = -1;
  TagPlace(tag, storage, index);
  if (!isOpen_ || index < 0) return false;
  OperationScope scope(*this);
  const bool deleted = storage_.DeletePart(storage, index);
  if (deleted) reportedStored_.erase(tag);
  return deleted;
}

void TVuZVela::DeliverStored(const Work& work) {
  const bool report = work.type == Work::Type::kStoredReport;
  if (!Reports(report)) return;
  ByteString pdu = work.pdu;
  if (pdu.empty()) {
    // Indicated only: read it (27.005 +CMGR, PDU mode).
    if (!isOpen_) return;
    OperationScope scope(*this);
    const std::optional<ByteString> read = storage_.ReadPdu(work.storage, work.index);
    if (!read) {
      // Gone meanwhile, or the device went away: then it is read after the next Open.
      if (portLost_) afterOpen_.push_back(work);
      return;
    }
    pdu = *read;
  }
  const uint64_t tag = StorageTag(work.storage.empty() ? storage_.ReadStorage() : work.storage, work.index);
  // Already reported and still stored (waiting for the message's other parts,
  // or kept): not again.
  auto seen = reportedStored_.find(tag);
  if (seen != reportedStored_.end() && seen->second == pdu) return;

  context_ = IncomingContext{};
  context_.stored = true;
  TagPlace(tag, context_.storage, context_.index);
  const bool keep = work.keep;
  const coding::DecodedUserData decoded = coding::DecodePdu(pdu);
  // Not accepted: left stored and unreported; the next listing reads it again.
  if (!Accepted(report || decoded.kind == 2, pdu)) return;
  if (report || decoded.kind == 2) {
    const bool reported = ReportStatus(pdu, decoded);
    if (reported && !keep && DeleteStoredPart(tag)) return;
    reportedStored_[tag] = pdu;
    return;
  }
  if (TakeRedelivery(pdu)) {
    DeleteStoredPart(tag);
    return;
  }
  reportedStored_[tag] = pdu;
  if (OnReceiveText) heldParts_.insert(tag);
  // Marked before it is reported: a message of one part is delivered (and
  // its parts deleted by DeliverAssembled) inside ReportPart.
  if (keep) failedParts_.insert(tag);  // never deleted
  const bool reported = ReportPart(pdu, decoded, OnReceiveText ? tag : 0);
  if (!reported) failedParts_.insert(tag);
  // Without OnReceiveText the part is done once its event ran; with it, the
  // whole message's delivery deletes its parts (DeliverAssembled).
  if (!OnReceiveText && reported && !keep) DeleteStoredPart(tag);
}

void TVuZVela::DeliverAssembled(const coding::AssembledMessage& message) {
  context_ = IncomingContext{};
  for (uint64_t tag : message.tags) {
    if (tag == 0) continue;
    ByteString storage;
    int index = -1;
    TagPlace(tag, storage, index);
    if (!context_.stored) {
      context_.stored = true;
      context_.storage = storage;
      context_.index = index;
    }
    context_.indices.push_back(index);
  }
  bool reported = true;
  if (OnReceiveText) {
    try {
      OnReceiveText(message);
    } catch (...) {
      reported = false;  // its stored parts stay stored
    }
  }
  for (uint64_t tag : message.tags) {
    if (tag == 0) continue;
    heldParts_.erase(tag);
    if (!reported || failedParts_.count(tag) != 0) {
      failedParts_.erase(tag);
      continue;
    }
    DeleteStoredPart(tag);
  }
}

// --- Reassembly time-outs -------------------------------------------------------------

std::optional<uint32_t> TVuZVela::MsUntilNextTimer() const {
  if (!reassembler_) return std::nullopt;
  const std::optional<uint64_t> deadline = reassembler_->NextDeadline();
  if (!deadline) return std::nullopt;
  const uint64_t now = NowMs();
  if (*deadline <= now) return 0u;
  const uint64_t wait = *deadline - now;
  return static_cast<uint32_t>(wait > 0xFFFFFFF0u ? 0xFFFFFFF0u : wait);
}

void TVuZVela::Release(std::vector<coding::AssembledMessage> messages) {
  // Delivered through the delivery loop, after any running command.
  for (coding::AssembledMessage& message : messages) {
    Work released;
    released.type = Work::Type::kAssembled;
    released.message = std::make_shared<coding::AssembledMessage>(std::move(message));
    ready_.push_back(std::move(released));
  }
  DeliverReady();
}

void TVuZVela::RunDueTimers() {
  if (reassembler_) Release(reassembler_->Expire(NowMs()));
}

void TVuZVela::FlushReassembly() {
  if (reassembler_) Release(reassembler_->Flush());
}

}  // namespace vela

// Reception as the driver runs it: the delivery loop over the reception
// part's queue (modem/reception.h), the commands its decisions lead to
// (AT+CNMA, the routing repair, reading and deleting stored messages) and
// the events.
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
  if (reception_.TakeLine(line, isOpen_, platform::TickCount()) == at::IndicationKind::kCusd) {
    if (OnUssdLine) OnUssdLine(line);
    return;
  }
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
  while (!reception_.Empty() && operationDepth_ == 0 && !(external_ ? external_->IsBusy() : channel_->IsBusy())) {
    const Work work = reception_.Pop();
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
  if (reception_.Acknowledged(ack, work, late) == modem::Reception::AckOutcome::kStorageRouting) {
    ByteString ignored;
    std::optional<at::ModemError> detail;
    opening_.SetupStorageRouting(ignored, detail, ack.error);
    QueueUnreadStored();
  }
}

void TVuZVela::RepairRouting() {
  if (!isOpen_) return;
  if (!opening_.StorageRouting()) {
    // Repairs that never lead to a good acknowledgement: give direct routing up.
    std::optional<at::ModemError> refused;
    bool routed = false;
    if (reception_.StartRepair()) {
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
  for (const at::StoredMessage& entry : storage_.ListUnread()) reception_.QueueStored(entry, false);
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
    case Work::Type::kRegistration:
      if (OnRegistrationChange) OnRegistrationChange(work.registration);
      return;
  }
}

bool TVuZVela::Reports(bool report) const {
  if (AckPolicy == Acknowledgement::kAlways) return true;
  return report ? (OnDeliveryReport || OnMessageStatus) : (OnReceiveMessage || OnReceiveText);
}

void TVuZVela::DeliverRoutedMessage(const Work& work) {
  if (!Reports(false)) return;
  if (!Accepted(false, work.pdu)) return;                  // not acknowledged: the network delivers it again
  const bool again = reception_.TakeRedelivery(work.pdu);  // acknowledged, not reported twice
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
  for (const coding::AssembledMessage& message :
       reception_.Reassembly(ReassemblySettings).Add(coding::PartOf(decoded, tag), NowMs())) {
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

bool TVuZVela::DeleteStoredPart(uint64_t tag) {
  ByteString storage;
  int index = -1;
  reception_.TagPlace(tag, storage, index);
  // Deleted by the host meanwhile: the slot may hold a message not delivered yet.
  if (!isOpen_ || index < 0 || !reception_.Reported(tag)) return false;
  OperationScope scope(*this);
  const bool deleted = storage_.DeletePart(storage, index);
  if (deleted) reception_.Deleted(tag);
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
      if (portLost_) reception_.ReadAfterOpen(work);
      return;
    }
    pdu = *read;
  }
  const uint64_t tag = reception_.StorageTag(work.storage.empty() ? storage_.ReadStorage() : work.storage, work.index);
  // Already reported and still stored (waiting for the message's other parts,
  // or kept): not again.
  if (reception_.AlreadyReported(tag, pdu)) return;

  context_ = IncomingContext{};
  context_.stored = true;
  reception_.TagPlace(tag, context_.storage, context_.index);
  const bool keep = work.keep;
  const coding::DecodedUserData decoded = coding::DecodePdu(pdu);
  // Not accepted: left stored and unreported; the next listing reads it again.
  if (!Accepted(report || decoded.kind == 2, pdu)) return;
  // Marked before its events: only a slot still marked (not deleted by the
  // host meanwhile) is deleted after them.
  reception_.MarkReported(tag, pdu);
  if (report || decoded.kind == 2) {
    if (ReportStatus(pdu, decoded) && !keep) DeleteStoredPart(tag);
    return;
  }
  if (reception_.TakeRedelivery(pdu)) {
    DeleteStoredPart(tag);
    return;
  }
  if (OnReceiveText) reception_.Hold(tag);
  // Marked before it is reported: a message of one part is delivered (and
  // its parts deleted by DeliverAssembled) inside ReportPart.
  if (keep) reception_.MarkFailed(tag);  // never deleted
  const bool reported = ReportPart(pdu, decoded, OnReceiveText ? tag : 0);
  if (!reported) reception_.MarkFailed(tag);
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
    reception_.TagPlace(tag, storage, index);
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
    reception_.Release(tag);
    if (reception_.TakeFailed(tag) || !reported) continue;
    DeleteStoredPart(tag);
  }
}

// --- Reassembly time-outs -------------------------------------------------------------

std::optional<uint32_t> TVuZVela::MsUntilNextTimer() const {
  const coding::Reassembler* reassembler = reception_.Reassembler();
  if (!reassembler) return std::nullopt;
  const std::optional<uint64_t> deadline = reassembler->NextDeadline();
  if (!deadline) return std::nullopt;
  const uint64_t now = NowMs();
  if (*deadline <= now) return 0u;
  const uint64_t wait = *deadline - now;
  return static_cast<uint32_t>(wait > 0xFFFFFFF0u ? 0xFFFFFFF0u : wait);
}

void TVuZVela::Release(std::vector<coding::AssembledMessage> messages) {
  // Delivered through the delivery loop, after any running command.
  reception_.QueueAssembled(std::move(messages));
  DeliverReady();
}

void TVuZVela::RunDueTimers() {
  if (reception_.Reassembler()) Release(reception_.Reassembly(ReassemblySettings).Expire(NowMs()));
}

void TVuZVela::FlushReassembly() {
  if (reception_.Reassembler()) Release(reception_.Reassembly(ReassemblySettings).Flush());
}

}  // namespace vela

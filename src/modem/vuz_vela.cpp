#include "modem/vuz_vela.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <utility>

#include "coding/sms.h"
#include "at/at_protocol.h"
#include "coding/str_utils.h"
#include "pdu/pdu_sms.h"
#include "platform/codepage.h"
#include "platform/message_target.h"
#include "platform/sync.h"
#include "transport/comm.h"
#include "at/line_framing.h"

namespace vela {

namespace {

constexpr uint32_t kScriptTimeoutMs = 25000;
constexpr uint32_t kPinQueryTimeoutMs = 30000;
constexpr uint32_t kPinEntryTimeoutMs = 15000;
constexpr uint32_t kSendTimeoutMs = 15000;
constexpr uint32_t kAcknowledgeTimeoutMs = 15000;
constexpr int kServiceAttemptsAfterPin = 10;
constexpr uint32_t kServicePauseMs = 1000;
constexpr uint32_t kStorageTimeoutMs = 30000;
constexpr uint32_t kQueryTimeoutMs = 5000;
constexpr size_t kSentHistory = 1024;
constexpr uint32_t kPortLostMessage = 0x404;

bool Contains(const ByteString& text, const char* part) { return text.find(part) != ByteString::npos; }

ByteString Trim(const ByteString& text) { return TrimControl(text); }

// The response as its lines (each was followed by "\r\n").
std::vector<ByteString> SplitLines(const ByteString& response) {
  std::vector<ByteString> lines;
  size_t start = 0;
  while (start < response.size()) {
    size_t end = response.find("\r\n", start);
    if (end == ByteString::npos) end = response.size();
    lines.push_back(response.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

bool EqualsIgnoreCase(const ByteString& a, const ByteString& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// Final result codes of 27.007 / 27.005 commands as this driver sees them.
bool IsFinalResult(const ByteString& line) { return line == "OK" || Contains(line, "ERROR"); }

// The information text of an identity query (+CGMI, +CGMM, +CGSN): the first
// line that is neither the modem's echo of the command nor a final result.
// With echo on this is the second line; a modem that does not echo gives it
// as the first, and a modem that gives none yields an empty text rather than
// its "OK".
ByteString InformationLine(const ByteString& response, const ByteString& command) {
  const ByteString echo = Trim(command);
  std::vector<ByteString> lines = SplitLines(response);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 0 && EqualsIgnoreCase(lines[i], echo)) continue;
    if (IsFinalResult(lines[i])) continue;
    return lines[i];
  }
  return ByteString();
}

// The message reference from the answer to the PDU: "+CMGS: <mr>" (27.005).
// Taken from the result line itself, so neither a missing echo nor an
// unsolicited line among the answer lines can make something else the
// reference.
ByteString ReferenceFromResponse(const ByteString& response) {
  for (const ByteString& line : SplitLines(response)) {
    if (line.compare(0, 6, "+CMGS:") == 0) return Trim(ExtractField(line, 2, ':'));
  }
  return ByteString();
}

}  // namespace

// ---------------------------------------------------------------------------

std::vector<ByteString> TATCommands::DefaultAnswers() { return {"OK", "ERROR", ">", "READY", "SIM PIN"}; }

ByteString TATCommands::CMGSCommand(int32_t length) { return "AT+CMGS=" + std::to_string(length) + "\r"; }

// ---------------------------------------------------------------------------

TVuZVela::OperationScope::OperationScope(TVuZVela& driver) : driver_(driver) { ++driver_.operationDepth_; }

TVuZVela::OperationScope::~OperationScope() {
  if (--driver_.operationDepth_ != 0) return;
  // The outermost operation has returned: indications that arrived during it
  // are reported when the thread next dispatches its messages.
  if (!driver_.ready_.empty() && !driver_.deliverPosted_ && driver_.target_) {
    driver_.deliverPosted_ = driver_.target_->Post(kDeliverMessage, 0, 0);
  }
}

TVuZVela::TVuZVela()
    : target_(std::make_unique<platform::MessageTarget>(
          [this](uint32_t code, uintptr_t param1, uintptr_t param2) { HandleMessage(code, param1, param2); })),
      channel_(std::make_unique<TmyXComm>()) {
  channel_->OnUnsolicitedLine = [this](TmyXComm& sender, const ByteString& line) { QueueLine(sender, line); };
  // Concatenation references start at a random value, so that two runs of a
  // program do not send their first long messages with the same reference.
  std::random_device seed;
  concatReference_ = static_cast<uint16_t>(seed());
}

TVuZVela::~TVuZVela() {
  // Lines still queued are dropped with the target; their copies are freed below.
  target_.reset();
  if (isOpen_) {
    try {
      Close();
    } catch (...) {
      // A destructor reports nothing; the channel closes the port in its own destructor.
    }
  }
  for (ByteString* line : postedLines_) delete line;
  postedLines_.clear();
  channel_.reset();
}

TmyXComm& TVuZVela::Channel() { return *channel_; }

ByteString TVuZVela::SendCommand(const ByteString& command, uint32_t timeoutMs) {
  return SendCommandWith(command, TATCommands::DefaultAnswers(), timeoutMs);
}

ByteString TVuZVela::Command(const ByteString& command, uint32_t timeoutMs) {
  // Queries and storage commands end at their final result only: answers
  // such as "+CPINR: SIM PIN,3,3" or a name holding "READY" are no results.
  static const std::vector<ByteString> kFinalResults = {"OK", "ERROR"};
  return SendCommandWith(command, kFinalResults, timeoutMs);
}

ByteString TVuZVela::SendCommandWith(const ByteString& command, const std::vector<ByteString>& answers,
                                     uint32_t timeoutMs) {
  OperationScope scope(*this);
  ApplyLockScope();
  ByteString response;
  channel_->SendCommand(command, answers, response, timeoutMs);
  // The modem's error, if any, for LastModemError and the detail of Open's errors.
  commandError_.reset();
  ModemError error;
  error.command = Trim(command);
  if (error.command.compare(0, 8, "AT+CPIN=") == 0) error.command = "AT+CPIN=...";
  if (auto found = at::FindModemError(response)) {
    error.kind = found->kind == at::ModemError::Kind::kCms   ? ModemError::Kind::kCms
                 : found->kind == at::ModemError::Kind::kCme ? ModemError::Kind::kCme
                                                             : ModemError::Kind::kPlain;
    error.code = found->code.value_or(0);
    error.text = found->text;
    commandError_ = error;
  } else if (!ContainsAny(TATCommands::DefaultAnswers(), response)) {
    error.kind = ModemError::Kind::kNoAnswer;
    commandError_ = error;
  }
  if (commandError_) lastError_ = *commandError_;
  return response;
}

ByteString TVuZVela::ModemError::Describe() const {
  switch (kind) {
    case Kind::kNone:
      return ByteString();
    case Kind::kCms:
    case Kind::kCme: {
      ByteString out = (kind == Kind::kCms ? "+CMS ERROR: " : "+CME ERROR: ") + std::to_string(code);
      if (!text.empty()) out += ": " + text;
      return out;
    }
    case Kind::kPlain:
      return command.empty() ? ByteString("ERROR") : "ERROR from " + command;
    case Kind::kNoAnswer:
      return command.empty() ? ByteString("no answer") : "no answer to " + command;
  }
  return ByteString();
}

ByteString TVuZVela::Detail() const {
  if (!commandError_) return ByteString();
  return " (" + commandError_->Describe() + ")";
}

void TVuZVela::Step(int step, const char* description) {
  if (OnStep) OnStep(step, description);
}

uint64_t TVuZVela::NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

coding::Reassembler& TVuZVela::Reassembly() {
  if (!reassembler_) {
    reassemblerOptions_ = ReassemblySettings;
    reassembler_ = std::make_unique<coding::Reassembler>(reassemblerOptions_);
  }
  return *reassembler_;
}

// --- Opening and initialisation ----------------------------------------------

void TVuZVela::Open() {
  OperationScope scope(*this);
  ApplyLockScope();
  channel_->Connect(Port, std::to_string(BaudRate));
  isOpen_ = true;
  portLost_ = false;
  cmmsSupported_.reset();
  readStorage_.clear();
  // New reassembly settings take effect once no message is waiting for parts.
  const coding::ReassemblyOptions& wanted = ReassemblySettings;
  if (reassembler_ && reassembler_->Pending() == 0 &&
      (wanted.timeoutMs != reassemblerOptions_.timeoutMs || wanted.maxPending != reassemblerOptions_.maxPending ||
       wanted.maxPendingBytes != reassemblerOptions_.maxPendingBytes)) {
    reassembler_.reset();
  }
  ByteString errorText;
  if (!Initialize(errorText)) {
    const ByteString detail = Detail();
    Close();
    throw EXVelaException("Cannot initialize commands on modem. " + errorText + detail);
  }
  // Stored messages indicated before the port was lost are read now.
  while (!afterOpen_.empty()) {
    ready_.push_back(std::move(afterOpen_.front()));
    afterOpen_.pop_front();
  }
  // Stored parts reported before and still stored are reported again by a
  // new listing, except those still waiting in the reassembly for their
  // message's other parts.
  for (auto it = reportedStored_.begin(); it != reportedStored_.end();) {
    it = heldParts_.count(it->first) != 0 ? std::next(it) : reportedStored_.erase(it);
  }
  if (StoredAtOpen != StoredPolicy::kIgnore) QueueStoredAtOpen();
}

void TVuZVela::Close() {
  OperationScope scope(*this);
  channel_->Disconnect();
  isOpen_ = false;
}

bool TVuZVela::Initialize(ByteString& errorText) {
  if (!isOpen_) return false;
  commandError_.reset();
  pinDetail_.clear();

  Step(1, "ATZ reset");
  errorText = "Modem may be unavailable.";
  if (!Contains(SendCommand("ATZ\r", kScriptTimeoutMs), "OK")) return false;

  Step(2, "ATE1 echo on");
  if (!Contains(SendCommand("ATE1\r", kScriptTimeoutMs), "OK")) return false;

  Step(3, "AT attention");
  if (!Contains(SendCommand("AT\r", kScriptTimeoutMs), "OK")) return false;

  Step(4, "AT+CGMI manufacturer");
  errorText = "Retrieving manufacturer error.";
  ByteString response = SendCommand("AT+CGMI\r", kScriptTimeoutMs);
  if (!Contains(response, "OK")) return false;
  manufacturer_ = Trim(InformationLine(response, "AT+CGMI\r"));

  Step(5, "AT+CGMM device model");
  errorText = "Retrieving device model error.";
  response = SendCommand("AT+CGMM\r", kScriptTimeoutMs);
  if (!Contains(response, "OK")) return false;
  deviceModel_ = InformationLine(response, "AT+CGMM\r");

  Step(6, "AT+CGSN device serial");
  errorText = "Retrieving device serial error.";
  response = SendCommand("AT+CGSN\r", kScriptTimeoutMs);
  if (!Contains(response, "OK")) return false;
  deviceSerial_ = InformationLine(response, "AT+CGSN\r");

  Step(7, "AT+CPIN? SIM PIN");
  errorText = "Check and Set Pin error.";
  bool pinEntered = false;
  commandError_.reset();
  if (!CheckAndSetPin(pinEntered)) {
    if (!pinDetail_.empty()) {
      errorText += " (" + pinDetail_ + ")";
      commandError_.reset();  // already part of the text
    }
    return false;
  }

  Step(8, "message service");
  if (!pinEntered) return SetupMessageService(errorText);
  // A SIM that has just been unlocked may need a while before it accepts the
  // message-service commands.
  for (int attempt = 0; attempt < kServiceAttemptsAfterPin; ++attempt) {
    platform::SleepMs(kServicePauseMs);
    if (SetupMessageService(errorText)) return true;
  }
  return false;
}

bool TVuZVela::CheckAndSetPin(bool& pinEntered) {
  pinEntered = false;
  pinDetail_.clear();
  if (!isOpen_) return false;
  // The channel ends this wait as soon as "READY" or "SIM PIN" has arrived,
  // before the modem's final "OK" (27.007 +CPIN: <code>).
  const ByteString response = SendCommand("AT+CPIN?\r", kPinQueryTimeoutMs);
  if (Contains(response, "READY")) return true;
  if (!Contains(response, "SIM PIN")) {
    // PUK, error or no answer: say which.
    if (commandError_) {
      pinDetail_ = commandError_->Describe();
    } else if (auto code = at::ParseCpin(response)) {
      pinDetail_ = "the SIM asks for " + *code;
    }
    return false;
  }
  pinEntered = true;
  if (Trim(Pin).empty()) return false;
  // A PIN the SIM has refused is not entered again: every wrong entry uses
  // up one of the SIM's few attempts before it locks itself (PUK).
  if (PinRefused()) {
    pinDetail_ = "the PIN was refused before (" + refusedPinError_ + "); it is not entered again until it is changed";
    return false;
  }
  refusedPin_.clear();
  const ByteString answer = SendCommand("AT+CPIN=" + Pin + "\r", kPinEntryTimeoutMs);
  if (Contains(answer, "OK") && !commandError_) return true;
  if (commandError_ && commandError_->kind == ModemError::Kind::kNoAnswer) {
    pinDetail_ = commandError_->Describe();  // not known to be wrong: may be entered again
    return false;
  }
  refusedPin_ = Pin;
  refusedPinError_ = commandError_ ? commandError_->Describe() : ByteString("refused");
  pinDetail_ = refusedPinError_;
  return false;
}

bool TVuZVela::SetupMessageService(ByteString& errorText) {
  if (messageServiceReady_) return true;
  if (!isOpen_) return false;

  errorText = "Setting PDU mode error.";
  if (!Contains(SendCommand("AT+CMGF=0\r", kScriptTimeoutMs), "OK")) return false;

  if (RoutingMode == Routing::kStorage) {
    errorText = "Setting message service error.";
    return SetupStorageRouting(errorText);
  }

  // +CSMS: (list of supported services); service 1 makes routed messages and
  // reports need +CNMA.
  errorText = "Setting message service error.";
  ByteString response = SendCommand("AT+CSMS=?\r", kScriptTimeoutMs);
  if (!Contains(response, "OK")) return false;
  // A modem without service 1, or one that refuses it or direct routing,
  // still stores and indicates messages: fall back to storage routing.
  if (!at::OffersMessageServiceOne(response)) return SetupStorageRouting(errorText);
  if (!Contains(SendCommand("AT+CSMS=1\r", kScriptTimeoutMs), "OK")) return SetupStorageRouting(errorText);

  // +CNMI=2,2,2,1,1: deliveries routed as +CMT, status reports as +CDS.
  errorText = "Setting aknowledgment type error.";
  if (!Contains(SendCommand("AT+CNMI=2,2,2,1,1\r", kScriptTimeoutMs), "OK")) return SetupStorageRouting(errorText);

  storageRouting_ = false;
  ackSucceeded_ = false;
  repairsWithoutAck_ = 0;
  messageServiceReady_ = true;
  return true;
}

bool TVuZVela::SetupStorageRouting(ByteString& errorText) {
  // Service 0: nothing routed needs +CNMA. +CNMI=2,1,0,1,0: each message is
  // stored and indicated (+CMTI: <mem>,<index>); status reports come as +CDS
  // (no acknowledgement under service 0) or, where the modem stores them, +CDSI.
  const std::optional<ModemError> refused = commandError_;
  SendCommand("AT+CSMS=0\r", kScriptTimeoutMs);  // a modem without +CSMS is in service 0 already
  if (!Contains(SendCommand("AT+CNMI=2,1,0,1,0\r", kScriptTimeoutMs), "OK")) {
    errorText = "Setting aknowledgment type error.";
    return false;
  }
  if (refused) lastError_ = *refused;  // why the fallback was taken
  commandError_.reset();
  storageRouting_ = true;
  repairsWithoutAck_ = 0;
  messageServiceReady_ = true;
  return true;
}

void TVuZVela::QueueStoredAtOpen() {
  // Which storage is read: the first of +CPMS? (27.005 <mem1>).
  const ByteString cpms = Command("AT+CPMS?\r", kScriptTimeoutMs);
  if (auto storage = at::ParseCpms(cpms)) readStorage_ = storage->name;
  const ByteString listing = Command("AT+CMGL=4\r", kStorageTimeoutMs);
  if (commandError_) return;
  for (const at::StoredMessage& entry : at::ParseCmgl(listing)) {
    // Outgoing drafts (unsent / sent) are no incoming messages.
    if (entry.status == at::MessageStatus::kUnsent || entry.status == at::MessageStatus::kSent) continue;
    if (entry.pdu.empty()) continue;
    Indication stored;
    stored.type = Indication::Type::kStored;
    stored.pdu = entry.pdu;
    stored.storage = readStorage_;
    stored.index = entry.index;
    stored.keep = StoredAtOpen == StoredPolicy::kKeep;
    ready_.push_back(std::move(stored));
  }
}

// --- Lock scope and port loss ----------------------------------------------------

void TVuZVela::ApplyLockScope() {
  // Read at every command, so a change takes effect from the next one.
  channel_->Lock = Lock == LockScope::kPort ? TmyXComm::LockScope::kPort : TmyXComm::LockScope::kMachine;
  if (!channel_->OnLockWait) {
    channel_->OnLockWait = [this](bool waiting) {
      if (OnLockWait) OnLockWait(waiting);
    };
  }
  if (!channel_->OnPortLost) {
    // Handled on the next dispatch: the channel calls this inside its own handling.
    channel_->OnPortLost = [this](TmyXComm&) {
      portLost_ = true;
      if (target_) target_->Post(kPortLostMessage, 0, 0);
    };
  }
}

void TVuZVela::HandlePortLost() {
  if (!isOpen_ || !portLost_) return;
  try {
    Close();
  } catch (...) {}
  // The device comes back reset: the next Open sets everything up again.
  messageServiceReady_ = false;
  storageRouting_ = false;
  pendingIndication_.clear();
  cmmsSupported_.reset();
  readStorage_.clear();
  repairQueued_ = false;
  // Work that needs the modem waits for the next Open; routed indications
  // already read are still reported (without acknowledgement).
  std::deque<Indication> keep;
  for (Indication& item : ready_) {
    if ((item.type == Indication::Type::kStored || item.type == Indication::Type::kStoredReport) && item.pdu.empty()) {
      afterOpen_.push_back(std::move(item));
    } else if (item.type != Indication::Type::kRepairRouting) {
      keep.push_back(std::move(item));
    }
  }
  ready_.swap(keep);
  if (OnPortLost) OnPortLost();
}

// --- Sending -------------------------------------------------------------------

void TVuZVela::SubmitMessage(const ByteString& destination, const ByteString& text, ByteString& reference,
                             bool statusReportRequest) {
  OperationScope scope(*this);
  reference.clear();
  TSMS sms;
  sms.Destination = destination;
  sms.Text = platform::WideFromNarrow(text);
  sms.StatusReportRequest = statusReportRequest;
  const ByteString pdu = sms.EncodeSubmitPDU();
  // The length announced counts the TPDU octets, without the "00" service-centre prefix.
  const auto length = static_cast<int32_t>(pdu.size() / 2) - 1;

  if (!Contains(SendCommand(TATCommands::CMGSCommand(length), kSendTimeoutMs), ">")) return;
  const ByteString response = SendCommand(pdu + "\x1A", kSendTimeoutMs);
  if (!Contains(response, "OK")) return;
  reference = ReferenceFromResponse(response);
}

ByteString TVuZVela::SendOnePdu(const ByteString& pdu, int length, SendTextResult& result) {
  auto refuse = [&](const char* what) {
    if (commandError_) {
      result.cmsError = commandError_->kind == ModemError::Kind::kCms ? commandError_->code : 0;
      result.errorText = commandError_->Describe();
    } else {
      result.errorText = what;
    }
    return ByteString();
  };
  const ByteString prompt = SendCommand(TATCommands::CMGSCommand(length), kSendTimeoutMs);
  if (!Contains(prompt, ">") || commandError_) return refuse("no prompt for the PDU");
  const ByteString response = SendCommand(pdu + "\x1A", kSendTimeoutMs);
  if (commandError_) {
    commandError_->command = "the PDU";  // rather than its hex digits
    lastError_ = *commandError_;
  }
  if (!Contains(response, "OK") || commandError_) return refuse("the PDU was not confirmed");
  const std::optional<int> reference = at::ParseCmgsReference(response);
  if (!reference) return refuse("no +CMGS reference in the answer");
  return std::to_string(*reference);
}

TVuZVela::SendTextResult TVuZVela::SendText(const ByteString& destination, const WideString& text,
                                            const SendTextOptions& options) {
  OperationScope scope(*this);
  coding::SubmitOptions submit;
  submit.destination = destination;
  submit.coding = options.coding;
  submit.languages = options.languages;
  submit.maxParts = options.maxParts;
  submit.ref16 = options.ref16;
  submit.reference = options.ref16 ? concatReference_ : static_cast<uint16_t>(concatReference_ & 0xFF);
  submit.statusReport = options.statusReport;
  submit.validity = options.validity;
  const coding::SubmitMessage message = coding::EncodeSubmitMessage(text, submit);

  SendTextResult result;
  result.parts = static_cast<int>(message.parts.size());
  result.coding = message.coding;
  result.lockingLanguage = message.lockingLanguage;
  result.singleLanguage = message.singleLanguage;
  const bool multiPart = message.parts.size() > 1;
  // Each multi-part message gets the next reference, so that no two
  // consecutive ones share it (the 8-bit reference wraps at 256).
  if (multiPart) ++concatReference_;
  return SendParts(message, multiPart, std::move(result));
}

TVuZVela::SendTextResult TVuZVela::SendParts(const coding::SubmitMessage& message, bool multiPart,
                                             SendTextResult result) {
  // AT+CMMS=1 keeps the radio link open between the parts (27.005 3.5.6);
  // a modem without it sends the parts all the same.
  bool linkKept = false;
  if (multiPart && isOpen_) {
    if (!cmmsSupported_) {
      const ByteString answer = Command("AT+CMMS=?\r", kQueryTimeoutMs);
      cmmsSupported_ = !commandError_ && Contains(answer, "+CMMS");
    }
    if (*cmmsSupported_) linkKept = Contains(Command("AT+CMMS=1\r", kQueryTimeoutMs), "OK") && !commandError_;
  }
  for (const coding::SubmitPart& part : message.parts) {
    const ByteString reference = SendOnePdu(part.pdu, part.length, result);
    if (reference.empty()) break;  // a refused part stops the rest
    result.references.push_back(reference);
  }
  if (linkKept) {
    const std::optional<ModemError> sendError = commandError_;
    Command("AT+CMMS=0\r", kQueryTimeoutMs);
    if (sendError) lastError_ = *sendError;
  }
  if (result.references.empty()) return result;

  // Remember the message for its status reports.
  SentRecord record;
  record.serial = ++sentSerial_;
  record.message.messageId = "M" + std::to_string(record.serial);
  record.message.references = result.references;
  record.message.partStatus.assign(static_cast<size_t>(result.parts), -2);
  for (size_t i = 0; i < result.references.size(); ++i) {
    record.message.partStatus[i] = -1;
    const int reference = std::atoi(result.references[i].c_str());
    refTable_[reference & 0xFF] = RefSlot{record.serial, i};
  }
  result.messageId = record.message.messageId;
  sent_.push_back(std::move(record));
  while (sent_.size() > kSentHistory) sent_.pop_front();
  return result;
}

std::optional<bool> TVuZVela::SentMessage::Delivered() const {
  bool allDelivered = true;
  for (int status : partStatus) {
    if (status == -1) return std::nullopt;
    if (status == -2) {
      allDelivered = false;
      continue;
    }
    if (status >= 0x20 && status < 0x40) return std::nullopt;  // the centre is still trying
    if (status >= 0x20) allDelivered = false;
  }
  return allDelivered;
}

const TVuZVela::SentMessage* TVuZVela::SentMessageForReport(const ByteString& referenceHex) const {
  char* end = nullptr;
  const long value = std::strtol(referenceHex.c_str(), &end, 16);
  if (referenceHex.empty() || end == nullptr || *end != '\0' || value < 0) return nullptr;
  const RefSlot& slot = refTable_[value & 0xFF];
  if (slot.serial == 0 || sent_.empty() || slot.serial < sent_.front().serial) return nullptr;
  return &sent_[static_cast<size_t>(slot.serial - sent_.front().serial)].message;
}

// --- Indications -----------------------------------------------------------------

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
  // The line after a header is its PDU, whatever it holds.
  if (pendingIndication_ == "+CMT:" || pendingIndication_ == "+CDS:") {
    Indication indication;
    indication.type = pendingIndication_ == "+CDS:" ? Indication::Type::kReport : Indication::Type::kMessage;
    indication.report = pendingIndication_ == "+CDS:";
    indication.pdu = line;
    indication.arrived = platform::TickCount();
    pendingIndication_.clear();
    ready_.push_back(std::move(indication));
  } else if (auto stored = at::RecogniseIndication(line)) {
    // 27.005 +CMTI: <mem>,<index> / +CDSI: <mem>,<index>: stored and indicated.
    if ((stored->kind == at::IndicationKind::kCmti || stored->kind == at::IndicationKind::kCdsi) && stored->index) {
      Indication indication;
      indication.type =
          stored->kind == at::IndicationKind::kCdsi ? Indication::Type::kStoredReport : Indication::Type::kStored;
      indication.storage = stored->storage;
      indication.index = *stored->index;
      if (isOpen_) {
        ready_.push_back(std::move(indication));
      } else {
        afterOpen_.push_back(std::move(indication));
      }
    }
  }
  // 27.005 +CMT: [<alpha>],<length> / +CDS: <length>, each followed by the PDU line.
  if (Contains(line, "+CMT:")) pendingIndication_ = "+CMT:";
  if (Contains(line, "+CDS:")) pendingIndication_ = "+CDS:";
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
  while (!ready_.empty() && operationDepth_ == 0 && !channel_->IsBusy()) {
    Indication indication = std::move(ready_.front());
    ready_.pop_front();
    try {
      Deliver(indication);
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

void TVuZVela::Acknowledge(const Indication& indication) {
  // Storage routing runs under service 0: nothing routed is acknowledged.
  if (!isOpen_ || storageRouting_) return;
  AcknowledgeIndication();
  const bool late = platform::TickCount() - indication.arrived > AckDeadlineMs;
  if (!commandError_) {
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
  if (!indication.report) {
    unacknowledged_.push_back(indication.pdu);
    while (unacknowledged_.size() > 64) unacknowledged_.pop_front();
  }
  // A refused or late acknowledgement: under service 1 the modem switches
  // routing off when an indication goes unacknowledged (27.005 +CNMA), and
  // then stores every message silently. A modem that has never taken an
  // acknowledgement and refuses it for another reason than "none expected"
  // (340) does not support it: storage routing instead.
  const bool refused = commandError_ && commandError_->kind != ModemError::Kind::kNoAnswer &&
                       !(commandError_->kind == ModemError::Kind::kCms && commandError_->code == 340);
  if (refused && !ackSucceeded_) {
    ByteString ignored;
    SetupStorageRouting(ignored);
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
  Indication repair;
  repair.type = Indication::Type::kRepairRouting;
  // After the indications already read: their acknowledgements come first,
  // and a backlog of late ones then needs a single repair, not one each.
  ready_.push_back(std::move(repair));
}

void TVuZVela::RepairRouting() {
  repairQueued_ = false;
  if (!isOpen_) return;
  if (!storageRouting_) {
    // Repairs that never lead to a good acknowledgement: give direct routing up.
    const bool routed = ++repairsWithoutAck_ <= 5 &&
                        Contains(SendCommand("AT+CNMI=2,2,2,1,1\r", kScriptTimeoutMs), "OK") && !commandError_;
    if (!routed) {
      ByteString ignored;
      SetupStorageRouting(ignored);
    }
  }
  QueueUnreadStored();
}

void TVuZVela::QueueUnreadStored() {
  // Messages the modem stored while routing was off are unread (27.005
  // <stat> 0) and in the storage received messages go to (+CPMS <mem3>);
  // listing them marks them read.
  const ByteString cpms = Command("AT+CPMS?\r", kScriptTimeoutMs);
  if (auto value = at::AnswerValue(cpms, "+CPMS")) {
    const std::vector<ByteString> fields = at::SplitFields(*value);
    if (!fields.empty()) readStorage_ = at::Unquote(fields[0]);
    if (fields.size() >= 7) EnsureReadStorage(at::Unquote(fields[6]));
  }
  const ByteString listing = Command("AT+CMGL=0\r", kStorageTimeoutMs);
  if (commandError_) return;
  for (const at::StoredMessage& entry : at::ParseCmgl(listing)) {
    if (entry.pdu.empty()) continue;
    Indication stored;
    stored.type = Indication::Type::kStored;
    stored.pdu = entry.pdu;
    stored.storage = readStorage_;
    stored.index = entry.index;
    ready_.push_back(std::move(stored));
  }
}

void TVuZVela::Deliver(const Indication& indication) {
  switch (indication.type) {
    case Indication::Type::kMessage:
      return DeliverRoutedMessage(indication);
    case Indication::Type::kReport:
      return DeliverRoutedReport(indication);
    case Indication::Type::kStored:
    case Indication::Type::kStoredReport:
      return DeliverStored(indication);
    case Indication::Type::kAssembled:
      if (indication.message) DeliverAssembled(*indication.message);
      return;
    case Indication::Type::kRepairRouting:
      return RepairRouting();
  }
}

void TVuZVela::DeliverRoutedMessage(const Indication& indication) {
  if (!OnReceiveMessage && !OnReceiveText) return;
  if (!Accepted(false, indication.pdu)) return;       // not acknowledged: the network delivers it again
  const bool again = TakeRedelivery(indication.pdu);  // acknowledged, not reported twice
  if (!AcknowledgeAfterEvents) Acknowledge(indication);
  if (!again) ReportPart(indication.pdu, 0);
  if (AcknowledgeAfterEvents) Acknowledge(indication);
}

void TVuZVela::DeliverRoutedReport(const Indication& indication) {
  if (!OnDeliveryReport && !OnMessageStatus) return;
  if (!Accepted(true, indication.pdu)) return;
  if (!AcknowledgeAfterEvents) Acknowledge(indication);
  ReportStatus(indication.pdu);
  if (AcknowledgeAfterEvents) Acknowledge(indication);
}

bool TVuZVela::ReportPart(const ByteString& pdu, uint64_t tag) {
  bool reported = true;
  if (OnReceiveMessage) {
    // The version-1 event: one per part, text in the code page.
    try {
      TSMS sms;
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
  const coding::DecodedUserData decoded = coding::DecodePdu(pdu);
  coding::ReceivedPart part;
  part.originator = decoded.originator;
  if (decoded.hasHeader) part.concatenation = decoded.header.concatenation;
  part.text = decoded.text;
  part.smscTime = decoded.smscTime;
  part.smscDateTime = decoded.smscDateTime;
  part.tag = tag;
  const IncomingContext partContext = context_;
  for (const coding::AssembledMessage& message : Reassembly().Add(std::move(part), NowMs())) {
    DeliverAssembled(message);
  }
  context_ = partContext;
  return true;
}

bool TVuZVela::ReportStatus(const ByteString& pdu) {
  TPDUSMS parsed(platform::WideFromNarrow(pdu));
  TSMS sms;
  try {
    sms.ParsePDU(pdu);
  } catch (...) {}
  const ByteString reference = parsed.GetMessageReference();
  const auto* report = dynamic_cast<const TSMSReport*>(parsed.GetSMSType());

  // The sent message this report belongs to, updated before the events run.
  uint64_t serial = 0;
  if (report && !report->Status().empty()) {
    char* end = nullptr;
    const long value = std::strtol(reference.c_str(), &end, 16);
    const long status = std::strtol(report->Status().c_str(), nullptr, 16);
    if (!reference.empty() && end && *end == '\0' && value >= 0) {
      const RefSlot& slot = refTable_[value & 0xFF];
      if (slot.serial != 0 && !sent_.empty() && slot.serial >= sent_.front().serial) {
        serial = slot.serial;
        sent_[static_cast<size_t>(serial - sent_.front().serial)].message.partStatus[slot.part] =
            static_cast<int>(status & 0xFF);
      }
    }
  }

  bool reported = true;
  if (OnDeliveryReport) {
    try {
      if (report) {
        const bool delivered = report->IsDelivered();
        const TTimeStamp* stamp = parsed.GetTimeStamp();
        const DateTime serviceCentreTime = stamp ? stamp->GetDateTime() : 0;
        const TTimeStamp* discharge = report->GetDischargeTimeStamp();
        const DateTime dischargeTime = discharge ? discharge->GetDateTime() : 0;
        OnDeliveryReport(reference, delivered, serviceCentreTime, dischargeTime);
      } else {
        const DateTime serviceCentreTime = sms.GetServiceCentreTime();
        const DateTime dischargeTime = sms.GetDischargeTime();
        OnDeliveryReport(reference, true, serviceCentreTime, dischargeTime);
      }
    } catch (...) {
      reported = false;
    }
  }
  // Looked up again: the callback may have sent and pushed the history along.
  SentRecord* record = nullptr;
  if (serial != 0 && !sent_.empty() && serial >= sent_.front().serial) {
    record = &sent_[static_cast<size_t>(serial - sent_.front().serial)];
  }
  if (record && !record->announced) {
    const std::optional<bool> delivered = record->message.Delivered();
    if (delivered) {
      record->announced = true;
      if (OnMessageStatus) {
        // A copy: the callback may send and so push the history along.
        const SentMessage message = record->message;
        try {
          OnMessageStatus(message, *delivered);
        } catch (...) {
          reported = false;
        }
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

void TVuZVela::EnsureReadStorage(const ByteString& storage) {
  // Reading and deleting use the first storage of +CPMS.
  if (storage.empty() || storage == readStorage_) return;
  if (Contains(Command("AT+CPMS=\"" + storage + "\"\r", kScriptTimeoutMs), "OK") && !commandError_) {
    readStorage_ = storage;
  }
}

bool TVuZVela::DeleteStoredPart(uint64_t tag) {
  ByteString storage;
  int index = -1;
  TagPlace(tag, storage, index);
  if (!isOpen_ || index < 0) return false;
  EnsureReadStorage(storage);
  const bool deleted =
      Contains(Command("AT+CMGD=" + std::to_string(index) + "\r", kScriptTimeoutMs), "OK") && !commandError_;
  if (deleted) reportedStored_.erase(tag);
  return deleted;
}

void TVuZVela::DeliverStored(const Indication& indication) {
  const bool report = indication.type == Indication::Type::kStoredReport;
  if (report ? (!OnDeliveryReport && !OnMessageStatus) : (!OnReceiveMessage && !OnReceiveText)) return;
  ByteString pdu = indication.pdu;
  if (pdu.empty()) {
    // Indicated only: read it (27.005 +CMGR, PDU mode).
    if (!isOpen_) return;
    EnsureReadStorage(indication.storage);
    const ByteString answer = Command("AT+CMGR=" + std::to_string(indication.index) + "\r", kStorageTimeoutMs);
    const std::optional<at::ReadMessage> read = at::ParseCmgr(answer);
    if (!read || read->pdu.empty()) {
      // Gone meanwhile, or the device went away: then it is read after the next Open.
      if (portLost_) afterOpen_.push_back(indication);
      return;
    }
    pdu = read->pdu;
  }
  const uint64_t tag = StorageTag(indication.storage.empty() ? readStorage_ : indication.storage, indication.index);
  // Already reported and still stored (waiting for the message's other parts,
  // or kept): not again.
  auto seen = reportedStored_.find(tag);
  if (seen != reportedStored_.end() && seen->second == pdu) return;

  context_ = IncomingContext{};
  context_.stored = true;
  TagPlace(tag, context_.storage, context_.index);
  const bool keep = indication.keep;
  const coding::DecodedUserData decoded = coding::DecodePdu(pdu);
  // Not accepted: left stored and unreported; the next listing reads it again.
  if (!Accepted(report || decoded.kind == 2, pdu)) return;
  if (report || decoded.kind == 2) {
    const bool reported = ReportStatus(pdu);
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
  const bool reported = ReportPart(pdu, OnReceiveText ? tag : 0);
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

const char* TVuZVela::StoredStatusName(int status) {
  if (status < 0 || status > 3) return "";
  return at::MessageStatusText(static_cast<at::MessageStatus>(status));
}

void TVuZVela::SelectStorage(const ByteString& storage) {
  OperationScope scope(*this);
  if (storage.empty()) return;
  const ByteString command = "AT+CPMS=\"" + storage + "\"\r";
  Command(command, kScriptTimeoutMs);
  if (commandError_) throw EModemCommand(Trim(command) + ": " + commandError_->Describe());
  readStorage_ = storage;
}

void TVuZVela::KnowReadStorage() {
  // The modem's current choice when nothing was selected (27.005 3.2.2).
  if (readStorage_.empty()) {
    if (auto current = at::ParseCpms(Command("AT+CPMS?\r", kScriptTimeoutMs))) readStorage_ = current->name;
  }
}

std::vector<TVuZVela::StoredMessage> TVuZVela::ListStoredMessages(const ByteString& storage) {
  OperationScope scope(*this);
  SelectStorage(storage);
  KnowReadStorage();
  const ByteString listing = Command("AT+CMGL=4\r", kStorageTimeoutMs);
  if (commandError_) throw EModemCommand("AT+CMGL=4: " + commandError_->Describe());
  std::vector<StoredMessage> messages;
  for (const at::StoredMessage& entry : at::ParseCmgl(listing)) {
    StoredMessage message;
    message.index = entry.index;
    message.status = static_cast<int>(entry.status);
    message.storage = readStorage_;
    message.pdu = entry.pdu;
    message.decoded = coding::DecodePdu(entry.pdu);
    messages.push_back(std::move(message));
  }
  return messages;
}

std::optional<TVuZVela::StoredMessage> TVuZVela::ReadStoredMessage(int index, const ByteString& storage) {
  OperationScope scope(*this);
  SelectStorage(storage);
  KnowReadStorage();
  const ByteString command = "AT+CMGR=" + std::to_string(index) + "\r";
  const ByteString answer = Command(command, kStorageTimeoutMs);
  if (commandError_) {
    // 321: invalid memory index, i.e. nothing stored there.
    if (commandError_->kind == ModemError::Kind::kCms && commandError_->code == 321) return std::nullopt;
    throw EModemCommand(Trim(command) + ": " + commandError_->Describe());
  }
  const std::optional<at::ReadMessage> read = at::ParseCmgr(answer);
  if (!read) return std::nullopt;
  StoredMessage message;
  message.index = index;
  message.status = static_cast<int>(read->status);
  message.storage = storage.empty() ? readStorage_ : storage;
  message.pdu = read->pdu;
  message.decoded = coding::DecodePdu(read->pdu);
  return message;
}

void TVuZVela::DeleteStoredMessage(int index, const ByteString& storage) {
  OperationScope scope(*this);
  SelectStorage(storage);
  const ByteString command = "AT+CMGD=" + std::to_string(index) + "\r";
  Command(command, kScriptTimeoutMs);
  if (commandError_) throw EModemCommand(Trim(command) + ": " + commandError_->Describe());
}

int TVuZVela::DeleteAllStoredMessages(const ByteString& storage) {
  OperationScope scope(*this);
  const std::vector<StoredMessage> stored = ListStoredMessages(storage);
  if (stored.empty()) return 0;
  // <delflag> 4: every message of the storage (27.005 +CMGD).
  Command("AT+CMGD=1,4\r", kStorageTimeoutMs);
  if (!commandError_) return static_cast<int>(stored.size());
  for (const StoredMessage& message : stored) DeleteStoredMessage(message.index);
  return static_cast<int>(stored.size());
}

// --- Diagnostics -------------------------------------------------------------------

TVuZVela::Diagnostics TVuZVela::QueryDiagnostics() {
  OperationScope scope(*this);
  Diagnostics result;
  if (!isOpen_) return result;
  // Best effort: each query on its own; two queries in a row without any
  // answer mean a modem that has gone quiet, and the rest is skipped.
  int silent = 0;
  auto query = [&](const char* command) -> std::optional<ByteString> {
    if (silent >= 2) return std::nullopt;
    const ByteString answer = Command(command, kQueryTimeoutMs);
    if (commandError_) {
      silent = commandError_->kind == ModemError::Kind::kNoAnswer ? silent + 1 : 0;
      return std::nullopt;
    }
    silent = 0;
    return answer;
  };
  if (auto answer = query("AT+CSQ\r")) result.signalDbm = at::ParseCsqDbm(*answer);
  if (auto answer = query("AT+CREG?\r")) result.registration = at::ParseRegistration(*answer);
  if (!result.registration || (*result.registration != "home" && *result.registration != "roaming")) {
    // LTE-only registration shows in +CEREG.
    if (auto answer = query("AT+CEREG?\r")) {
      auto lte = at::ParseRegistration(*answer);
      if (lte && (!result.registration || *lte == "home" || *lte == "roaming")) result.registration = lte;
    }
  }
  if (auto answer = query("AT+COPS?\r")) result.operatorName = at::ParseCopsOperator(*answer);
  if (auto answer = query("AT+CSCA?\r")) result.smsc = at::ParseCscaNumber(*answer);
  if (auto answer = query("AT+CPMS?\r")) {
    if (auto storage = at::ParseCpms(*answer))
      result.storage = StorageStatus{storage->name, storage->used, storage->total};
  }
  if (auto answer = query("AT+CIMI\r")) result.imsi = at::ParseImsi(*answer);
  if (auto answer = query("AT+CCID\r")) result.iccid = at::ParseIccid(*answer);
  if (!result.iccid) {
    if (auto answer = query("AT+ICCID\r")) result.iccid = at::ParseIccid(*answer);
  }
  if (auto answer = query("AT+CPINR\r")) {
    if (auto attempts = at::ParsePinAttempts(*answer)) {
      result.pinAttempts = attempts->pin;
      result.pukAttempts = attempts->puk;
    }
  }
  return result;
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

void TVuZVela::RunDueTimers() {
  if (!reassembler_) return;
  // Delivered through the delivery loop, after any running command.
  for (coding::AssembledMessage& message : reassembler_->Expire(NowMs())) {
    Indication released;
    released.type = Indication::Type::kAssembled;
    released.message = std::make_shared<coding::AssembledMessage>(std::move(message));
    ready_.push_back(std::move(released));
  }
  DeliverReady();
}

void TVuZVela::FlushReassembly() {
  if (!reassembler_) return;
  for (coding::AssembledMessage& message : reassembler_->Flush()) {
    Indication released;
    released.type = Indication::Type::kAssembled;
    released.message = std::make_shared<coding::AssembledMessage>(std::move(message));
    ready_.push_back(std::move(released));
  }
  DeliverReady();
}

}  // namespace vela

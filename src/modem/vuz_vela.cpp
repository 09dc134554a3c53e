// The driver's façade: construction, the command port the parts share,
// opening (script, PIN, message service and routing choice), port loss and
// lock scope, and the stored-message and diagnostic functions as exceptions.
// Sending is in vuz_vela_send.cpp, reception in vuz_vela_receive.cpp.
#include "modem/vuz_vela.h"

#include <chrono>
#include <iterator>
#include <random>
#include <string>
#include <utility>

#include "at/line_framing.h"
#include "coding/str_utils.h"
#include "platform/message_target.h"
#include "platform/sync.h"
#include "transport/comm.h"

namespace vela {

namespace {

constexpr uint32_t kScriptTimeoutMs = 25000;
constexpr uint32_t kPinQueryTimeoutMs = 30000;
constexpr uint32_t kPinEntryTimeoutMs = 15000;
constexpr int kServiceAttemptsAfterPin = 10;
constexpr uint32_t kServicePauseMs = 1000;
constexpr uint32_t kPortLostMessage = 0x404;

bool Contains(const ByteString& text, const char* part) { return text.find(part) != ByteString::npos; }

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
  const ByteString echo = TrimControl(command);
  std::vector<ByteString> lines = SplitLines(response);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 0 && EqualsIgnoreCase(lines[i], echo)) continue;
    if (IsFinalResult(lines[i])) continue;
    return lines[i];
  }
  return ByteString();
}

}  // namespace

// The channel as the parts' command port: every command is a driver
// operation (indications arriving meanwhile wait for it) under the lock scope
// in force.
class TVuZVela::Link final : public at::CommandPort {
 public:
  explicit Link(TVuZVela& driver) : driver_(driver) {}
  ByteString Exchange(const ByteString& command, const std::vector<ByteString>& expected, uint32_t timeoutMs) override {
    OperationScope scope(driver_);
    driver_.ApplyLockScope();
    return Target().Exchange(command, expected, timeoutMs);
  }
  bool IsBusy() const override { return driver_.external_ ? driver_.external_->IsBusy() : driver_.channel_->IsBusy(); }
  void SetLineHandler(LineHandler handler) override { Target().SetLineHandler(std::move(handler)); }

 private:
  at::CommandPort& Target() const {
    return driver_.external_ ? *driver_.external_ : static_cast<at::CommandPort&>(*driver_.channel_);
  }
  TVuZVela& driver_;
};

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
      channel_(std::make_unique<TmyXComm>()),
      link_(std::make_unique<Link>(*this)),
      session_(std::make_unique<modem::CommandSession>(*link_)),
      storage_(*session_) {
  channel_->OnUnsolicitedLine = [this](TmyXComm& sender, const ByteString& line) { QueueLine(sender, line); };
  // Concatenation references start at a random value, so that two runs of a
  // program do not send their first long messages with the same reference.
  std::random_device seed;
  concatReference_ = static_cast<uint16_t>(seed());
}

TVuZVela::TVuZVela(at::CommandPort& port) : TVuZVela() {
  external_ = &port;
  port.SetLineHandler([this](const ByteString& line) { QueueLine(*channel_, line); });
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
  if (external_) external_->SetLineHandler(nullptr);
  for (ByteString* line : postedLines_) delete line;
  postedLines_.clear();
  channel_.reset();
}

TmyXComm& TVuZVela::Channel() { return *channel_; }

ByteString TVuZVela::SendCommand(const ByteString& command, uint32_t timeoutMs) {
  OperationScope scope(*this);
  return session_->Send(command, timeoutMs).response;
}

void TVuZVela::Step(int step, const char* description) {
  if (OnStep) OnStep(step, description);
}

void TVuZVela::Raise(const at::ModemError& error) { throw EModemCommand(error.command + ": " + error.Describe()); }

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
  if (!external_) channel_->Connect(Port, std::to_string(BaudRate));
  isOpen_ = true;
  portLost_ = false;
  cmmsSupported_.reset();
  storage_.Forget();
  // New reassembly settings take effect once no message is waiting for parts.
  const coding::ReassemblyOptions& wanted = ReassemblySettings;
  if (reassembler_ && reassembler_->Pending() == 0 &&
      (wanted.timeoutMs != reassemblerOptions_.timeoutMs || wanted.maxPending != reassemblerOptions_.maxPending ||
       wanted.maxPendingBytes != reassemblerOptions_.maxPendingBytes)) {
    reassembler_.reset();
  }
  ByteString errorText;
  std::optional<at::ModemError> detail;
  if (!RunScript(errorText, detail)) {
    Close();
    throw EXVelaException("Cannot initialize commands on modem. " + errorText +
                          (detail ? " (" + detail->Describe() + ")" : ByteString()));
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

void TVuZVela::CancelPduInput(uint32_t waitMs) {
  try {
    channel_->Connect(Port, std::to_string(BaudRate));
    SendCommand("\x1B", waitMs);
  } catch (...) {}
  try {
    channel_->Disconnect();
  } catch (...) {}
}

void TVuZVela::Close() {
  OperationScope scope(*this);
  if (!external_) channel_->Disconnect();
  isOpen_ = false;
}

bool TVuZVela::Initialize(ByteString& errorText) {
  std::optional<at::ModemError> detail;
  return RunScript(errorText, detail);
}

bool TVuZVela::CheckAndSetPin(bool& pinEntered) {
  ByteString detail;
  return CheckPin(pinEntered, detail);
}

bool TVuZVela::SetupMessageService(ByteString& errorText) {
  std::optional<at::ModemError> detail;
  return SetupService(errorText, detail);
}

bool TVuZVela::RunScript(ByteString& errorText, std::optional<at::ModemError>& detail) {
  if (!isOpen_) return false;
  detail.reset();
  // A step succeeds when its response holds "OK"; a failure keeps the modem's error.
  auto confirmed = [&](const char* command, ByteString* response = nullptr) {
    modem::CommandResult result = session_->Send(command, kScriptTimeoutMs);
    detail = result.error;
    const bool ok = result.Has("OK");
    if (response) *response = std::move(result.response);
    return ok;
  };

  Step(1, "ATZ reset");
  errorText = "Modem may be unavailable.";
  if (!confirmed("ATZ\r")) return false;

  Step(2, "ATE1 echo on");
  if (!confirmed("ATE1\r")) return false;

  Step(3, "AT attention");
  if (!confirmed("AT\r")) return false;

  ByteString response;
  Step(4, "AT+CGMI manufacturer");
  errorText = "Retrieving manufacturer error.";
  if (!confirmed("AT+CGMI\r", &response)) return false;
  manufacturer_ = TrimControl(InformationLine(response, "AT+CGMI\r"));

  Step(5, "AT+CGMM device model");
  errorText = "Retrieving device model error.";
  if (!confirmed("AT+CGMM\r", &response)) return false;
  deviceModel_ = InformationLine(response, "AT+CGMM\r");

  Step(6, "AT+CGSN device serial");
  errorText = "Retrieving device serial error.";
  if (!confirmed("AT+CGSN\r", &response)) return false;
  deviceSerial_ = InformationLine(response, "AT+CGSN\r");

  Step(7, "AT+CPIN? SIM PIN");
  errorText = "Check and Set Pin error.";
  detail.reset();
  bool pinEntered = false;
  ByteString pinDetail;
  if (!CheckPin(pinEntered, pinDetail)) {
    if (!pinDetail.empty()) errorText += " (" + pinDetail + ")";
    return false;
  }

  Step(8, "message service");
  if (!pinEntered) return SetupService(errorText, detail);
  // A SIM that has just been unlocked may need a while before it accepts the
  // message-service commands.
  for (int attempt = 0; attempt < kServiceAttemptsAfterPin; ++attempt) {
    platform::SleepMs(kServicePauseMs);
    if (SetupService(errorText, detail)) return true;
  }
  return false;
}

bool TVuZVela::CheckPin(bool& pinEntered, ByteString& detail) {
  pinEntered = false;
  detail.clear();
  if (!isOpen_) return false;
  // The channel ends this wait as soon as "READY" or "SIM PIN" has arrived,
  // before the modem's final "OK" (27.007 +CPIN: <code>).
  const modem::CommandResult query = session_->Send("AT+CPIN?\r", kPinQueryTimeoutMs);
  if (query.Has("READY")) return true;
  if (!query.Has("SIM PIN")) {
    // PUK, error or no answer: say which.
    if (query.error) {
      detail = query.error->Describe();
    } else if (auto code = at::ParseCpin(query.response)) {
      detail = "the SIM asks for " + *code;
    }
    return false;
  }
  pinEntered = true;
  if (TrimControl(Pin).empty()) return false;
  // A PIN the SIM has refused is not entered again: every wrong entry uses
  // up one of the SIM's few attempts before it locks itself (PUK).
  if (PinRefused()) {
    detail = "the PIN was refused before (" + refusedPinError_ + "); it is not entered again until it is changed";
    return false;
  }
  refusedPin_.clear();
  const modem::CommandResult entry = session_->Send("AT+CPIN=" + Pin + "\r", kPinEntryTimeoutMs);
  if (entry.Confirmed()) return true;
  if (entry.error && entry.error->kind == at::ModemError::Kind::kNoAnswer) {
    detail = entry.error->Describe();  // not known to be wrong: may be entered again
    return false;
  }
  refusedPin_ = Pin;
  refusedPinError_ = entry.error ? entry.error->Describe() : ByteString("refused");
  detail = refusedPinError_;
  return false;
}

bool TVuZVela::SetupService(ByteString& errorText, std::optional<at::ModemError>& detail) {
  if (messageServiceReady_) return true;
  if (!isOpen_) return false;
  auto confirmed = [&](const char* command, modem::CommandResult* out = nullptr) {
    modem::CommandResult result = session_->Send(command, kScriptTimeoutMs);
    detail = result.error;
    const bool ok = result.Has("OK");
    if (out) *out = std::move(result);
    return ok;
  };

  errorText = "Setting PDU mode error.";
  if (!confirmed("AT+CMGF=0\r")) return false;

  errorText = "Setting message service error.";
  if (RoutingMode == Routing::kStorage) return SetupStorageRouting(errorText, detail, std::nullopt);

  // +CSMS: (list of supported services); service 1 makes routed messages and
  // reports need +CNMA.
  modem::CommandResult services;
  if (!confirmed("AT+CSMS=?\r", &services)) return false;
  // A modem without service 1, or one that refuses it or direct routing,
  // still stores and indicates messages: fall back to storage routing.
  if (!at::OffersMessageServiceOne(services.response)) return SetupStorageRouting(errorText, detail, detail);
  if (!confirmed("AT+CSMS=1\r")) return SetupStorageRouting(errorText, detail, detail);

  // +CNMI=2,2,2,1,1: deliveries routed as +CMT, status reports as +CDS.
  errorText = "Setting aknowledgment type error.";
  if (!confirmed("AT+CNMI=2,2,2,1,1\r")) return SetupStorageRouting(errorText, detail, detail);

  storageRouting_ = false;
  ackSucceeded_ = false;
  repairsWithoutAck_ = 0;
  messageServiceReady_ = true;
  return true;
}

bool TVuZVela::SetupStorageRouting(ByteString& errorText, std::optional<at::ModemError>& detail,
                                   std::optional<at::ModemError> refused) {
  // Service 0: nothing routed needs +CNMA. +CNMI=2,1,0,1,0: each message is
  // stored and indicated (+CMTI: <mem>,<index>); status reports come as +CDS
  // (no acknowledgement under service 0) or, where the modem stores them, +CDSI.
  session_->Send("AT+CSMS=0\r", kScriptTimeoutMs);  // a modem without +CSMS is in service 0 already
  const modem::CommandResult routing = session_->Send("AT+CNMI=2,1,0,1,0\r", kScriptTimeoutMs);
  detail = routing.error;
  if (!routing.Has("OK")) {
    errorText = "Setting aknowledgment type error.";
    return false;
  }
  if (refused) session_->SetLastError(*refused);  // why the fallback was taken
  detail.reset();
  storageRouting_ = true;
  repairsWithoutAck_ = 0;
  messageServiceReady_ = true;
  return true;
}

void TVuZVela::QueueStoredAtOpen() {
  // Which storage is read: the first of +CPMS? (27.005 <mem1>), asked by
  // the listing (Open forgot the selection).
  const modem::Result<std::vector<at::StoredMessage>> listing = storage_.List(ByteString());
  if (!listing.Ok()) return;
  for (const at::StoredMessage& entry : listing.value) {
    // Outgoing drafts (unsent / sent) are no incoming messages.
    if (entry.status == at::MessageStatus::kUnsent || entry.status == at::MessageStatus::kSent) continue;
    QueueStored(entry, StoredAtOpen == StoredPolicy::kKeep);
  }
}

// --- Lock scope and port loss ----------------------------------------------------

void TVuZVela::ApplyLockScope() {
  // Read at every command, so a change takes effect from the next one.
  channel_->Lock = Lock;
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
  pendingIndication_.reset();
  cmmsSupported_.reset();
  storage_.Forget();
  repairQueued_ = false;
  // Work that needs the modem waits for the next Open; routed indications
  // already read are still reported (without acknowledgement).
  std::deque<Work> keep;
  for (Work& item : ready_) {
    if ((item.type == Work::Type::kStored || item.type == Work::Type::kStoredReport) && item.pdu.empty()) {
      afterOpen_.push_back(std::move(item));
    } else if (item.type != Work::Type::kRepairRouting) {
      keep.push_back(std::move(item));
    }
  }
  ready_.swap(keep);
  if (OnPortLost) OnPortLost();
}

// --- Stored messages and diagnostics ------------------------------------------------

const char* TVuZVela::StoredStatusName(int status) {
  if (status < 0 || status > 3) return "";
  return at::MessageStatusText(static_cast<at::MessageStatus>(status));
}

void TVuZVela::SelectStorage(const ByteString& storage) {
  OperationScope scope(*this);
  const modem::Result<bool> result = storage_.Select(storage);
  if (!result.Ok()) Raise(*result.error);
}

std::vector<TVuZVela::StoredMessage> TVuZVela::ListStoredMessages(const ByteString& storage) {
  OperationScope scope(*this);
  modem::Result<std::vector<at::StoredMessage>> result = storage_.List(storage);
  if (!result.Ok()) Raise(*result.error);
  return std::move(result.value);
}

std::optional<TVuZVela::StoredMessage> TVuZVela::ReadStoredMessage(int index, const ByteString& storage) {
  OperationScope scope(*this);
  modem::Result<std::optional<at::StoredMessage>> result = storage_.Read(index, storage);
  if (!result.Ok()) Raise(*result.error);
  return std::move(result.value);
}

void TVuZVela::DeleteStoredMessage(int index, const ByteString& storage) {
  OperationScope scope(*this);
  const modem::Result<bool> result = storage_.Delete(index, storage);
  if (!result.Ok()) Raise(*result.error);
}

int TVuZVela::DeleteAllStoredMessages(const ByteString& storage) {
  OperationScope scope(*this);
  const modem::Result<int> result = storage_.DeleteAll(storage);
  if (!result.Ok()) Raise(*result.error);
  return result.value;
}

TVuZVela::Diagnostics TVuZVela::QueryDiagnostics() {
  OperationScope scope(*this);
  if (!isOpen_) return Diagnostics{};
  return modem::QueryDiagnostics(*session_);
}

}  // namespace vela

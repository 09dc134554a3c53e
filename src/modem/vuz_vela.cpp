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
#include "platform/message_target.h"
#include "platform/sync.h"
#include "transport/comm.h"

namespace vela {

namespace {

constexpr uint32_t kPortLostMessage = 0x404;

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
  if (!driver_.reception_.Empty() && !driver_.deliverPosted_ && driver_.target_) {
    driver_.deliverPosted_ = driver_.target_->Post(kDeliverMessage, 0, 0);
  }
}

TVuZVela::TVuZVela()
    : target_(std::make_unique<platform::MessageTarget>(
          [this](uint32_t code, uintptr_t param1, uintptr_t param2) { HandleMessage(code, param1, param2); })),
      channel_(std::make_unique<TmyXComm>()),
      link_(std::make_unique<Link>(*this)),
      session_(std::make_unique<modem::CommandSession>(*link_)),
      storage_(*session_),
      opening_(*session_) {
  opening_.onStep = [this](int step, const char* description) { Step(step, description); };
  opening_.pause = platform::SleepMs;
  opening_.onServiceSetUp = [this](bool storage) { reception_.ServiceSetUp(storage); };
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
  reception_.ApplySettings(ReassemblySettings);
  ByteString errorText;
  std::optional<at::ModemError> detail;
  if (!opening_.Run(Pin, RoutingMode == Routing::kStorage, errorText, detail)) {
    Close();
    throw EXVelaException("Cannot initialize commands on modem. " + errorText +
                          (detail ? " (" + detail->Describe() + ")" : ByteString()));
  }
  // Stored messages indicated before the port was lost are read now.
  reception_.Opened();
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
  return isOpen_ && opening_.Run(Pin, RoutingMode == Routing::kStorage, errorText, detail);
}

bool TVuZVela::CheckAndSetPin(bool& pinEntered) {
  pinEntered = false;
  ByteString detail;
  return isOpen_ && opening_.CheckPin(Pin, pinEntered, detail);
}

bool TVuZVela::SetupMessageService(ByteString& errorText) {
  if (opening_.ServiceReady()) return true;
  std::optional<at::ModemError> detail;
  return isOpen_ && opening_.SetupService(RoutingMode == Routing::kStorage, errorText, detail);
}

void TVuZVela::QueueStoredAtOpen() {
  // Which storage is read: the first of +CPMS? (27.005 <mem1>), asked by
  // the listing (Open forgot the selection).
  const modem::Result<std::vector<at::StoredMessage>> listing = storage_.List(ByteString());
  if (!listing.Ok()) return;
  for (const at::StoredMessage& entry : listing.value) {
    // Outgoing drafts (unsent / sent) are no incoming messages.
    if (entry.status == at::MessageStatus::kUnsent || entry.status == at::MessageStatus::kSent) continue;
    reception_.QueueStored(entry, StoredAtOpen == StoredPolicy::kKeep);
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
  opening_.Forget();
  cmmsSupported_.reset();
  storage_.Forget();
  reception_.PortLost();
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
  reception_.HostDeleted(storage.empty() ? storage_.ReadStorage() : storage, index);
}

int TVuZVela::DeleteAllStoredMessages(const ByteString& storage) {
  OperationScope scope(*this);
  const modem::Result<int> result = storage_.DeleteAll(storage);
  // Refused after some were deleted one by one: those are gone too.
  reception_.HostDeleted(storage.empty() ? storage_.ReadStorage() : storage, std::nullopt);
  if (!result.Ok()) Raise(*result.error);
  return result.value;
}

TVuZVela::Diagnostics TVuZVela::QueryDiagnostics() {
  OperationScope scope(*this);
  if (!isOpen_) return Diagnostics{};
  return modem::QueryDiagnostics(*session_);
}

}  // namespace vela

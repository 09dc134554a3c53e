#include "transport/com_port.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/message_target.h"
#include "platform/sync.h"

namespace vela {

namespace {

const char* const kMessages[] = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};
constexpr int kMessageCount = static_cast<int>(sizeof kMessages / sizeof kMessages[0]);

constexpr int kOpenFailed = 1, kWriteFailed = 2, kReadFailed = 3, kPurgeFailed = 5, kSetStateFailed = 7,
              kSetTimeoutsFailed = 8, kSetupFailed = 9, kClearErrorFailed = 10, kModemStatusFailed = 11,
              kSetWhileConnected = 14;

// Device flag of each event, in the order a batch is handed to the handlers.
struct EventFlag {
  TComEvent event;
  uint32_t flag;
};

const EventFlag kDispatchOrder[] = {
    {evError, platform::kEvErr},         {evRxChar, platform::kEvRxChar}, {evTxEmpty, platform::kEvTxEmpty},
    {evBreak, platform::kEvBreak},       {evRing, platform::kEvRing},     {evCTS, platform::kEvCts},
    {evDSR, platform::kEvDsr},           {evRxFlag, platform::kEvRxFlag}, {evRLSD, platform::kEvRlsd},
    {evRx80Full, platform::kEvRx80Full},
};

// Back-off after an event wait that failed or reported nothing (Wine on a
// pseudo-terminal completes every wait at once with error 995 and mask 0).
constexpr uint32_t kEmptyWaitBackoffMs = 10;

std::mutex g_reporter_mutex;
TComPort::ErrorReporter g_reporter;

// Errors escaping a handler on the window path: an abort is silent, any other
// is reported with a full stop appended as a message box would show it.
void ReportHandlerError(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  TComPort::ErrorReporter reporter;
  {
    std::lock_guard<std::mutex> lock(g_reporter_mutex);
    reporter = g_reporter;
  }
  if (reporter)
    reporter(text);
  else
    std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace

void TComPort::SetHandlerErrorReporter(ErrorReporter reporter) {
  std::lock_guard<std::mutex> lock(g_reporter_mutex);
  g_reporter = std::move(reporter);
}

// ---- EComPort ----

std::string EComPort::MessageText(int error_code) {
  if (error_code < 1 || error_code > kMessageCount) return std::string();
  return kMessages[error_code - 1];
}

EComPort::EComPort(int error_code, int system_error)
    : Exception(system_error == -1
                    ? MessageText(error_code)
                    : MessageText(error_code) + " (win error code: " + std::to_string(system_error) + ")"),
      error_code_(error_code),
      system_error_(system_error) {}

EComPort::EComPort(int error_code, const std::string& detail)
    : Exception(MessageText(error_code) + ": " + detail), error_code_(error_code), system_error_(-1) {}

EComPort::EComPort(int error_code, int system_error, const std::string& path, const std::string& reason)
    : Exception(EComPort(error_code, system_error).what() + std::string(": ") + path + ": " + reason),
      error_code_(error_code),
      system_error_(system_error) {}

// ---- state ----

struct TComPort::State {
  ByteString port = "COM1";
  TBaudRate baud_rate = br9600;
  ByteString invalid_baud_name;
  int32_t custom_baud_rate = 9600;
  TDataBits data_bits = dbEight;
  TStopBits stop_bits = sbOneStopBit;
  bool discard_null = false;
  char event_char = 0;
  TComEvents events = TComEvents::All();
  TSyncMethod sync_method = smThreadSync;
  std::atomic<bool> connected{false};
  // ClosePort has aborted the transfers and is stopping the event thread:
  // hand-offs taken meanwhile are not handled, because the ending event
  // thread discards the receive queue under a handler that would read it.
  std::atomic<bool> closing{false};

  // The device is shared with threads that transfer; each takes a reference
  // for the length of its call, so closing never frees it under them.
  mutable std::mutex device_mutex;
  std::shared_ptr<platform::SerialDevice> device;

  std::unique_ptr<platform::MessageTarget> target;  // opening thread, while open
  std::mutex target_mutex;                          // guards `target` against posts of NoteLost from other threads
  std::atomic<bool> lost{false};
  std::thread event_thread;
  bool thread_created = false;
  platform::AutoResetEvent thread_ended;
  std::atomic<bool> thread_running{false};
  // smThreadSync: an exception escaped a handler run for the event thread.
  std::atomic<bool> handler_failed{false};

  std::shared_ptr<platform::SerialDevice> Device() const {
    std::lock_guard<std::mutex> lock(device_mutex);
    return device;
  }
};

// ---- TComPort: settings ----

TComPort::TComPort() : state_(std::make_unique<State>()) {}

TComPort::~TComPort() {
  try {
    ClosePort();
  } catch (...) {
    // A destructor reports nothing; the device is released with the state.
  }
  if (state_->thread_created) {
    // ClosePort failed at its abort step: the event thread still runs.
    auto device = state_->Device();
    StopEventThread(device.get());
  }
}

const ByteString& TComPort::Port() const { return state_->port; }

void TComPort::SetPort(const ByteString& value) {
  if (state_->port == value) return;
  state_->port = value;
  if (Connected()) {
    ClosePort();
    OpenPort();
  }
}

TBaudRate TComPort::BaudRate() const { return state_->baud_rate; }

void TComPort::SetBaudRate(TBaudRate value) {
  if (value < brCustom || value > br256000)
    throw ERangeError("Baud rate value out of range: " + std::to_string(static_cast<int>(value)));
  const bool was_invalid = !state_->invalid_baud_name.empty();
  state_->invalid_baud_name.clear();
  if (state_->baud_rate == value && !was_invalid) return;
  state_->baud_rate = value;
  ApplyLineSettings();
}

void TComPort::SetBaudRateByName(const ByteString& name) {
  TBaudRate rate;
  if (BaudRateFromName(name, rate)) {
    SetBaudRate(rate);
    return;
  }
  const std::string detail = "\"" + name + "\" names no baud rate";
  if (Connected()) throw EComPort(kSetStateFailed, detail);
  state_->invalid_baud_name = name;
}

const ByteString& TComPort::InvalidBaudRateName() const { return state_->invalid_baud_name; }

template <class T>
void TComPort::SetLine(T& field, T value) {
  if (field == value) return;
  field = value;
  ApplyLineSettings();
}

int32_t TComPort::CustomBaudRate() const { return state_->custom_baud_rate; }

void TComPort::SetCustomBaudRate(int32_t value) { SetLine(state_->custom_baud_rate, value); }

TDataBits TComPort::DataBits() const { return state_->data_bits; }

void TComPort::SetDataBits(TDataBits value) {
  if (value < dbFive || value > dbEight) throw ERangeError("Data bits value out of range");
  SetLine(state_->data_bits, value);
}

TStopBits TComPort::StopBits() const { return state_->stop_bits; }

void TComPort::SetStopBits(TStopBits value) {
  if (value < sbOneStopBit || value > sbTwoStopBits) throw ERangeError("Stop bits value out of range");
  SetLine(state_->stop_bits, value);
}

bool TComPort::DiscardNull() const { return state_->discard_null; }

void TComPort::SetDiscardNull(bool value) { SetLine(state_->discard_null, value); }

char TComPort::EventChar() const { return state_->event_char; }

void TComPort::SetEventChar(char value) { SetLine(state_->event_char, value); }

TComEvents TComPort::Events() const { return state_->events; }

void TComPort::SetEvents(TComEvents value) { state_->events = value; }

TSyncMethod TComPort::SyncMethod() const { return state_->sync_method; }

void TComPort::SetSyncMethod(TSyncMethod value) {
  if (state_->sync_method == value) return;
  if (Connected()) throw EComPort(kSetWhileConnected);
  state_->sync_method = value;
}

bool TComPort::Connected() const { return state_->connected.load(); }

void TComPort::SetConnected(bool value) {
  if (value)
    OpenPort();
  else
    ClosePort();
}

uint32_t TComPort::EventMask(TComEvents events) {
  uint32_t mask = 0;
  for (const EventFlag& e : kDispatchOrder)
    if (events.Contains(e.event)) mask |= e.flag;
  return mask;
}

TComEvents TComPort::EventsFromMask(uint32_t mask) {
  TComEvents events;
  for (const EventFlag& e : kDispatchOrder)
    if (mask & e.flag) events.Include(e.event);
  return events;
}

platform::DeviceControl TComPort::BuildDeviceControl() const {
  const State& s = *state_;
  if (!s.invalid_baud_name.empty())
    throw EComPort(kSetStateFailed, "\"" + s.invalid_baud_name + "\" names no baud rate");
  platform::DeviceControl dcb;
  dcb.length = 28;
  if (s.baud_rate == brCustom) {
    if (s.custom_baud_rate < 0)
      throw ERangeError("Custom baud rate out of range: " + std::to_string(s.custom_baud_rate));
    dcb.baud_rate = static_cast<uint32_t>(s.custom_baud_rate);
  } else {
    dcb.baud_rate = static_cast<uint32_t>(RateOf(s.baud_rate));
  }

  const TComParity& p = parity_;
  const TComFlowControl& f = flow_control_;
  uint32_t flags = platform::kDcbBinary;
  if (p.Check()) flags |= platform::kDcbParity;
  if (f.OutCTSFlow()) flags |= platform::kDcbOutxCtsFlow;
  if (f.OutDSRFlow()) flags |= platform::kDcbOutxDsrFlow;
  if (f.ControlDTR() == dtrEnable) flags |= platform::kDcbDtrEnable;
  if (f.ControlDTR() == dtrHandshake) flags |= platform::kDcbDtrHandshake;
  if (f.DSRSensitivity()) flags |= platform::kDcbDsrSensitivity;
  if (f.TxContinueOnXoff()) flags |= platform::kDcbTxContinueOnXoff;
  if (f.XonXoffOut()) flags |= platform::kDcbOutX;
  if (f.XonXoffIn()) flags |= platform::kDcbInX;
  const bool replace = p.Check() && p.Replace();
  if (replace) flags |= platform::kDcbErrorChar;
  if (s.discard_null) flags |= platform::kDcbNull;
  switch (f.ControlRTS()) {
    case rtsEnable:
      flags |= platform::kDcbRtsEnable;
      break;
    case rtsHandshake:
      flags |= platform::kDcbRtsHandshake;
      break;
    case rtsToggle:
      flags |= platform::kDcbRtsToggle;
      break;
    default:
      break;
  }
  dcb.flags = flags;

  // Flow-control thresholds: a quarter of the receive queue each.
  const int32_t limit = buffer_.InputSize() / 4;
  if (limit < 0 || limit > 65535) throw ERangeError("XON/XOFF limit out of range: " + std::to_string(limit));
  dcb.xon_limit = static_cast<uint16_t>(limit);
  dcb.xoff_limit = static_cast<uint16_t>(limit);

  dcb.byte_size = static_cast<uint8_t>(5 + static_cast<int>(s.data_bits));
  dcb.parity = static_cast<uint8_t>(p.Bits());
  dcb.stop_bits = static_cast<uint8_t>(s.stop_bits);
  dcb.xon_char = f.XonChar();
  dcb.xoff_char = f.XoffChar();
  dcb.error_char = replace ? p.ReplaceChar() : 0;
  dcb.eof_char = 0;
  dcb.event_char = s.event_char;
  return dcb;
}

// ---- applying settings (only while open) ----

void TComPort::ApplyLineSettings() {
  auto device = state_->Device();
  if (!Connected() || !device) return;
  const platform::DeviceControl dcb = BuildDeviceControl();
  if (int error = device->SetControl(dcb)) throw EComPort(kSetStateFailed, error);
}

void TComPort::ApplyTimeoutSettings() {
  auto device = state_->Device();
  if (!Connected() || !device) return;
  const platform::DeviceTimeouts timeouts = BuildTimeouts();
  if (int error = device->SetTimeouts(timeouts)) throw EComPort(kSetTimeoutsFailed, error);
}

void TComPort::ApplyQueueSizes() {
  auto device = state_->Device();
  if (!Connected() || !device) return;
  const int32_t in = buffer_.InputSize(), out = buffer_.OutputSize();
  if (in < 0 || out < 0) throw ERangeError("Queue size out of range: " + std::to_string(in < 0 ? in : out));
  if (int error = device->SetQueueSizes(static_cast<uint32_t>(in), static_cast<uint32_t>(out)))
    throw EComPort(kSetupFailed, error);
}

// ---- open and close ----

void TComPort::OpenPort() {
  State& s = *state_;
  if (Connected()) return;
  if (OnBeforeOpen) OnBeforeOpen(*this);
  // A rate name that named no rate is refused before the device is touched.
  if (!s.invalid_baud_name.empty())
    throw EComPort(kSetStateFailed, "\"" + s.invalid_baud_name + "\" names no baud rate");

  int error = 0;
  std::shared_ptr<platform::SerialDevice> device = platform::SerialDevice::Open(s.port, error);
  if (!device) {
    throw EComPort(kOpenFailed, error, platform::SerialDevicePath(s.port), platform::OpenErrorReason(error));
  }
  s.lost.store(false);
  {
    std::lock_guard<std::mutex> lock(s.device_mutex);
    s.device = device;
  }
  s.connected.store(true);

  try {
    ApplyQueueSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
  } catch (...) {
    {
      std::lock_guard<std::mutex> lock(s.device_mutex);
      s.device.reset();
    }
    s.connected.store(false);
    throw;
  }

  if (!s.events.Empty()) {
    if (s.sync_method != smNone) {
      std::lock_guard<std::mutex> lock(s.target_mutex);
      s.target = std::make_unique<platform::MessageTarget>(
          [this](uint32_t code, uintptr_t param1, uintptr_t) { OnPortMessage(code, param1); });
    }
    device->SetEventMask(EventMask(s.events));  // a failure here only costs the events
    s.handler_failed.store(false);
    s.thread_running.store(true);
    s.thread_ended.Reset();
    s.event_thread = std::thread([this, device] { RunEventThread(device); });
    s.thread_created = true;
  }

  if (OnAfterOpen) OnAfterOpen(*this);

  // Report the current line signals, one modem-status read each.
  const std::pair<uint32_t, TComSignalEvent*> reports[] = {
      {platform::kMsCtsOn, &OnCTSChange}, {platform::kMsDsrOn, &OnDSRChange}, {platform::kMsRlsdOn, &OnRLSDChange}};
  for (const auto& report : reports) {
    const bool on = (ModemStatusBits() & report.first) != 0;
    if (*report.second) (*report.second)(*this, on);
  }
}

void TComPort::ClosePort() {
  State& s = *state_;
  if (!Connected()) return;
  if (OnCTSChange) OnCTSChange(*this, false);
  if (OnDSRChange) OnDSRChange(*this, false);
  if (OnRLSDChange) OnRLSDChange(*this, false);
  if (OnBeforeClose) OnBeforeClose(*this);

  auto device = s.Device();
  if (int error = device->Purge(platform::kPurgeTxAbort | platform::kPurgeRxAbort)) throw EComPort(kPurgeFailed, error);

  if (s.thread_created) {
    s.closing.store(true);
    StopEventThread(device.get());
    s.closing.store(false);
  }

  {
    std::lock_guard<std::mutex> lock(s.device_mutex);
    s.device.reset();
  }
  device.reset();
  s.connected.store(false);
  if (OnAfterClose) OnAfterClose(*this);
}

// ---- event thread ----

void TComPort::StopEventThread(platform::SerialDevice* device) {
  State& s = *state_;
  if (device != nullptr) device->StopWaits();
  platform::SleepMs(0);
  // An event thread blocked in handing over a batch needs this thread to
  // take its sent message before it can see the stop request.
  while (s.thread_running.load()) {
    platform::DispatchSentMessages();
    s.thread_ended.Wait(2);
  }
  s.event_thread.join();
  s.thread_created = false;
  std::lock_guard<std::mutex> lock(s.target_mutex);
  s.target.reset();
}

void TComPort::RunEventThread(std::shared_ptr<platform::SerialDevice> device) {
  State& s = *state_;
  const TComEvents wanted = s.events;
  try {
    for (;;) {
      uint32_t mask = 0;
      int error = 0;
      const platform::SerialWait result = device->WaitEvents(mask, error);
      if (result == platform::SerialWait::kStopped) break;
      if (result == platform::SerialWait::kFailed && platform::IsDeviceLostError(error)) {
        // The device has gone: nothing more will come; report it and end.
        NoteLost();
        break;
      }
      TComEvents batch = EventsFromMask(mask);
      if (result == platform::SerialWait::kEvents && !batch.Empty()) {
        if (!DispatchEvents(batch)) break;
        continue;
      }
      // A failed or empty wait: never re-arm at once. Received bytes are
      // still reported from the receive count.
      uint32_t waiting = 0;
      if (wanted.Contains(evRxChar) && device->InputCount(waiting) == 0 && waiting > 0) {
        if (!DispatchEvents(TComEvents{evRxChar})) break;
      }
      if (!device->SleepUnlessStopped(kEmptyWaitBackoffMs)) break;
    }
  } catch (...) {
    // smNone and smThreadSync: an error escaping a handler ends the event
    // thread; the port stays open without further line events.
  }
  device->SetEventMask(0);
  device->Purge(platform::kPurgeTxClear | platform::kPurgeRxClear);
  s.thread_running.store(false);
  s.thread_ended.Set();
}

bool TComPort::DispatchEvents(TComEvents batch) {
  State& s = *state_;
  for (const EventFlag& e : kDispatchOrder) {
    if (!batch.Contains(e.event)) continue;
    switch (s.sync_method) {
      case smNone:
        HandleEvent(e.flag);
        break;
      case smWindowSync:
        s.target->Send(kPortEventMessage, e.flag, 0);
        break;
      case smThreadSync:
        s.target->Send(kPortEventMessage, e.flag, 0);
        if (s.handler_failed.load()) return false;
        break;
    }
  }
  return true;
}

bool TComPort::Lost() const { return state_->lost.load(); }

void TComPort::NoteLost() {
  State& s = *state_;
  if (s.lost.exchange(true)) return;
  if (s.sync_method == smNone) {
    if (OnPortLost) OnPortLost(*this);
    return;
  }
  std::lock_guard<std::mutex> lock(s.target_mutex);
  if (s.target) s.target->Post(kPortLostMessage, 0, 0);
}

int TComPort::CheckLost(int error) {
  if (error != 0 && platform::IsDeviceLostError(error)) NoteLost();
  return error;
}

void TComPort::OnPortMessage(uint32_t code, uintptr_t flag) {
  State& s = *state_;
  if (code == kPortLostMessage) {
    if (!Connected() || s.closing.load() || !OnPortLost) return;
    try {
      OnPortLost(*this);
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
      ReportHandlerError(e.what());
    } catch (...) {}
    return;
  }
  if (code != kPortEventMessage) return;
  const bool window = s.sync_method == smWindowSync;
  if (window) platform::ReplyToSender();  // release the event thread at once
  if (!Connected() || s.closing.load()) return;
  try {
    HandleEvent(static_cast<uint32_t>(flag));
  } catch (const EAbort&) {
    if (!window) s.handler_failed.store(true);
  } catch (const std::exception& e) {
    if (window)
      ReportHandlerError(e.what());
    else
      s.handler_failed.store(true);
  } catch (...) {
    if (!window) s.handler_failed.store(true);
  }
}

void TComPort::HandleEvent(uint32_t flag) {
  const std::pair<uint32_t, TNotifyEvent*> notices[] = {{platform::kEvRxFlag, &OnRxFlag},
                                                        {platform::kEvTxEmpty, &OnTxEmpty},
                                                        {platform::kEvBreak, &OnBreak},
                                                        {platform::kEvRing, &OnRing},
                                                        {platform::kEvRx80Full, &OnRx80Full}};
  // Line signals that changed, with the modem status bit that tells their state.
  const struct {
    uint32_t flag, status;
    TComSignalEvent* handler;
  } signals[] = {{platform::kEvCts, platform::kMsCtsOn, &OnCTSChange},
                 {platform::kEvDsr, platform::kMsDsrOn, &OnDSRChange},
                 {platform::kEvRlsd, platform::kMsRlsdOn, &OnRLSDChange}};
  for (const auto& [event, handler] : notices) {
    if (flag == event && *handler) (*handler)(*this);
  }
  for (const auto& signal : signals) {
    if (flag != signal.flag) continue;
    const bool on = (ModemStatusBits() & signal.status) != 0;
    if (*signal.handler) (*signal.handler)(*this, on);
  }
  if (flag == platform::kEvRxChar) {
    const int32_t count = PendingInputCount();
    if (count > 0 && OnRxChar) OnRxChar(*this, count);
  } else if (flag == platform::kEvErr) {
    const TComErrors errors = TakeLineErrors();
    if (!errors.Empty() && OnError) OnError(*this, errors);
  }
}

// ---- transfers and queries ----

int32_t TComPort::WriteString(const ByteString& text) {
  if (text.empty()) return 0;
  auto device = state_->Device();
  if (!device) throw EComPort(kWriteFailed, platform::NotOpenError());
  uint32_t written = 0;
  if (int error = CheckLost(device->Write(text.data(), static_cast<uint32_t>(text.size()), written)))
    throw EComPort(kWriteFailed, error);
  return static_cast<int32_t>(written);
}

int32_t TComPort::ReadString(ByteString& text, int32_t count) {
  if (count <= 0) {
    text.clear();
    return 0;
  }
  auto device = state_->Device();
  if (!device) {
    text.clear();
    throw EComPort(kReadFailed, platform::NotOpenError());
  }
  text.resize(static_cast<size_t>(count));
  uint32_t read = 0;
  if (int error = CheckLost(device->Read(&text[0], static_cast<uint32_t>(count), read))) {
    text.clear();
    throw EComPort(kReadFailed, error);
  }
  text.resize(read);
  return static_cast<int32_t>(read);
}

void TComPort::PurgeQueues(bool input, bool output) {
  auto device = state_->Device();
  if (!device) throw EComPort(kPurgeFailed, platform::NotOpenError());
  const uint32_t flags = (input ? platform::kPurgeRxClear : 0) | (output ? platform::kPurgeTxClear : 0);
  if (int error = device->Purge(flags)) throw EComPort(kPurgeFailed, error);
}

int32_t TComPort::PendingInputCount() {
  auto device = state_->Device();
  if (!device) throw EComPort(kClearErrorFailed, platform::NotOpenError());
  uint32_t errors = 0, count = 0;
  if (int error = CheckLost(device->ClearErrors(errors, count))) throw EComPort(kClearErrorFailed, error);
  return static_cast<int32_t>(count);
}

TComErrors TComPort::TakeLineErrors() {
  auto device = state_->Device();
  if (!device) throw EComPort(kClearErrorFailed, platform::NotOpenError());
  uint32_t errors = 0, count = 0;
  if (int error = device->ClearErrors(errors, count)) throw EComPort(kClearErrorFailed, error);
  return ErrorsFromFlags(errors, parity_.Check());
}

uint32_t TComPort::ModemStatusBits() {
  auto device = state_->Device();
  if (!device) throw EComPort(kModemStatusFailed, platform::NotOpenError());
  uint32_t status = 0;
  if (int error = device->ModemStatus(status)) {
    // A device without modem-control lines: every signal is off.
    if (platform::IsNoModemLinesError(error)) return 0;
    throw EComPort(kModemStatusFailed, error);
  }
  return status;
}

TComSignals TComPort::LineSignals() { return SignalsFromStatus(ModemStatusBits()); }

}  // namespace vela

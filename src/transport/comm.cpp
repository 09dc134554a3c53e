#include "transport/comm.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>

#include "common/errors.h"
#include "at/at_protocol.h"
#include "platform/serial_device.h"
#include "platform/termination.h"
#include "transport/wait_thread.h"

namespace vela {

namespace {

// The expected answers of the command now being (or last) waited for, shared
// by every channel of the process; the completion waits write them from their
// own threads while the creating threads read them for every received chunk.
std::mutex g_expected_mutex;
std::vector<ByteString> g_expected_answers;
std::atomic<bool> g_timed_out{false};

// Trace output: an optional sink and an optional append-only file.
struct TraceOutput {
  std::mutex mutex;
  TmyXComm::TraceSink sink;
  std::FILE* file = nullptr;
  bool file_chosen = false;  // the environment has been read or a file set

  ~TraceOutput() {
    if (file) std::fclose(file);
  }
  void OpenFile(const std::string& path) {
    if (file) std::fclose(file);
    file = path.empty() ? nullptr : std::fopen(path.c_str(), "ab");
    file_chosen = true;
  }
};

TraceOutput& Tracing() {
  static TraceOutput output;
  return output;
}

DateTimeParts LocalNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  DateTimeParts parts;
  // Called under the trace mutex; std::localtime's static buffer is used
  // nowhere else in this system.
  if (const std::tm* tm = std::localtime(&seconds)) {
    parts.year = tm->tm_year + 1900;
    parts.month = tm->tm_mon + 1;
    parts.day = tm->tm_mday;
    parts.hour = tm->tm_hour;
    parts.minute = tm->tm_min;
    parts.second = tm->tm_sec;
  }
  parts.millisecond = static_cast<int>(ms);
  return parts;
}

}  // namespace

ByteString FormatTraceRecord(const DateTimeParts& when, const ByteString& line) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", when.year, when.month, when.day, when.hour,
                when.minute, when.second, when.millisecond);
  ByteString record = stamp;
  // Commands carry their own "\r" (and PDUs a Ctrl-Z): the line end is
  // dropped and other control bytes are shown as \xNN, one record per line.
  size_t end = line.size();
  while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
  for (size_t i = 0; i < end; ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      record += escaped;
    } else {
      record += static_cast<char>(byte);
    }
  }
  record += '\n';
  return record;
}

void TmyXComm::Trace(const ByteString& line) {
  TraceOutput& out = Tracing();
  TraceSink sink;
  try {
    std::lock_guard<std::mutex> lock(out.mutex);
    if (!out.file_chosen) {
      const char* path = std::getenv("VELACTRL_TRACE");
      out.OpenFile(path ? path : "");
    }
    if (out.file) {
      const ByteString record = FormatTraceRecord(LocalNow(), line);
      std::fwrite(record.data(), 1, record.size(), out.file);
      std::fflush(out.file);
    }
    sink = out.sink;
  } catch (...) {
    return;  // out of memory while formatting: the line is not traced
  }
  // Outside the lock, so that a sink may trace or change the sink itself.
  // A failing sink must not cost a command or a line: tracing never raises.
  if (sink) {
    try {
      sink(line);
    } catch (...) {}
  }
}

void TmyXComm::SetTraceSink(TraceSink sink) {
  TraceOutput& out = Tracing();
  std::lock_guard<std::mutex> lock(out.mutex);
  out.sink = std::move(sink);
}

void TmyXComm::SetTraceFile(const std::string& path) {
  TraceOutput& out = Tracing();
  std::lock_guard<std::mutex> lock(out.mutex);
  out.OpenFile(path);
}

bool TmyXComm::TimedOut() { return g_timed_out; }

void TmyXComm::SetTimedOut(bool value) { g_timed_out = value; }

std::vector<ByteString> TmyXComm::ExpectedAnswers() {
  std::lock_guard<std::mutex> lock(g_expected_mutex);
  return g_expected_answers;
}

void TmyXComm::SetExpectedAnswers(const std::vector<ByteString>& answers) {
  std::lock_guard<std::mutex> lock(g_expected_mutex);
  g_expected_answers = answers;
}

TmyXComm::TmyXComm() : machine_lock_(std::make_shared<platform::MachineLock>("DezIsBusy")) {
  target_ = std::make_unique<platform::MessageTarget>(
      [this](uint32_t code, uintptr_t param1, uintptr_t) { HandleMessage(code, param1); });
  port_ = std::make_unique<TComPort>();
  TComPort& port = *port_;
  port.Parity().SetBits(prNone);
  port.SetStopBits(sbOneStopBit);
  port.SetDataBits(dbEight);
  port.SetEvents({evRxChar, evTxEmpty});
  port.Buffer().SetInputSize(4096);
  port.Buffer().SetOutputSize(2048);
  TComFlowControl& flow = port.FlowControl();
  flow.SetOutCTSFlow(false);
  flow.SetOutDSRFlow(false);
  flow.SetControlDTR(dtrDisable);
  flow.SetControlRTS(rtsEnable);
  flow.SetXonXoffOut(false);
  flow.SetXonXoffIn(false);
  // Port events run on this thread, through its messages.
  port.SetSyncMethod(smWindowSync);
  port.OnAfterOpen = [this](TComPort& sender) { PortAfterOpen(sender); };
  port.OnAfterClose = [this](TComPort& sender) { PortAfterClose(sender); };
  port.OnRxChar = [this](TComPort& sender, int32_t count) { PortRxChar(sender, count); };
  port.OnPortLost = [this](TComPort& sender) { PortLostDetected(sender); };
}

TmyXComm::~TmyXComm() {
  if (connected_) {
    try {
      Disconnect();
    } catch (...) {
      // The port is being discarded anyway.
    }
  }
  // Lines still queued are dropped with the target; their copies are freed
  // here. The port may still be open when a Connect failed half-way: it no
  // longer reports to this channel while it closes.
  target_.reset();
  for (char* copy : posted_copies_) delete[] copy;
  posted_copies_.clear();
  port_->OnAfterOpen = nullptr;
  port_->OnAfterClose = nullptr;
  port_->OnRxChar = nullptr;
  port_->OnPortLost = nullptr;
  port_.reset();
}

ByteString TmyXComm::CurrentCommand() const {
  std::lock_guard<std::mutex> lock(lines_mutex_);
  return current_command_;
}

void TmyXComm::Connect(const ByteString& port, const ByteString& baudRate) {
  opening_ = true;
  connected_ = false;
  port_lost_ = false;
  pdu_follows_ = false;
  port_->SetPort(port);
  // "br" + "9600" names br9600; a name of no rate is refused at OpenPort.
  port_->SetBaudRateByName("br" + baudRate);
  port_->OpenPort();
  connected_ = port_->Connected();
  opening_ = false;
}

void TmyXComm::Disconnect() {
  connected_ = false;
  // After a time-out or an abort the modem may never answer, and a device
  // that has gone never will: close at once.
  if (!last_aborted_ && !last_timed_out_ && !port_lost_) DispatchWhileWaiting();
  port_->ClosePort();
}

void TmyXComm::DispatchWhileWaiting() {
  while (waiting_) {
    // The wait posts kWaitEndedMessage when it ends, so this returns at once
    // then; meanwhile the received lines keep being handled.
    platform::WaitForMessages(kPollSliceMs);
    platform::DispatchPendingMessages();
  }
}

void TmyXComm::SendCommand(const ByteString& command, const std::vector<ByteString>& expectedAnswers,
                           ByteString& response, uint32_t timeoutMs) {
  response.clear();
  // Restores the previous value so that a command sent from a handler nested
  // inside another command does not mark the outer one as finished.
  const bool outer_in_command = in_command_.exchange(true);
  struct RestoreInCommand {
    std::atomic<bool>& flag;
    bool value;
    ~RestoreInCommand() { flag = value; }
  } restore{in_command_, outer_in_command};

  timeout_ = timeoutMs;
  try {
    auto wait = std::make_unique<TWaitThread>(command, *this, expectedAnswers, CommandLock());
    while (!wait->Done()) {
      // Wakes for a received line, for the wait's end, or after one slice.
      platform::WaitForMessages(kPollSliceMs);
      platform::DispatchPendingMessages();
      // Leaving destroys the wait, which stops its thread first.
      if (abort_requested_ || platform::TerminationRequested()) throw EAbort();
    }
    // A wait gives up without writing only on an abort or host termination;
    // the lines still held then belong to the previous command.
    if (!wait->Held()) throw EAbort();
    {
      std::lock_guard<std::mutex> lock(lines_mutex_);
      response = JoinLines(lines_);
    }
    wait.reset();
  } catch (...) {
    busy_ = false;
    throw;
  }
}

std::shared_ptr<platform::MachineLock> TmyXComm::CommandLock() {
  if (Lock == LockScope::kMachine) return machine_lock_;
  const std::string name = platform::PortLockName(port_->Port());
  if (!port_lock_ || name != port_lock_name_) {
    port_lock_ = std::make_shared<platform::MachineLock>(name);
    port_lock_name_ = name;
  }
  return port_lock_;
}

void TmyXComm::PortLostDetected(TComPort& sender) {
  if (port_lost_.exchange(true)) return;
  Trace("-ERR [ComPort] device lost: " + platform::SerialDevicePath(sender.Port()));
  // A running command ends now instead of at its time-out.
  answer_event_.Set();
  if (OnPortLost) OnPortLost(*this);
}

void TmyXComm::PortAfterOpen(TComPort& sender) {
  // Whatever the modem sent before the port opened belongs to no command.
  ByteString stale;
  sender.ReadString(stale, 2048);
  sender.PurgeQueues(true, true);
}

void TmyXComm::PortAfterClose(TComPort&) {
  SetExpectedAnswers({});
  {
    std::lock_guard<std::mutex> lock(lines_mutex_);
    expected_.clear();
  }
  pdu_follows_ = false;
  // A wait still running sees its answer event and ends in its current slice.
  answer_event_.Set();
  framer_.Clear();
}

void TmyXComm::PortRxChar(TComPort& sender, int32_t count) {
  ByteString bytes;
  try {
    sender.ReadString(bytes, count);
  } catch (const EComPort&) {
    if (sender.Lost()) return;  // reported once through OnPortLost
    throw;
  }
  // Taken after the read: a command's answers are in place before its write,
  // so before any byte of its answer can have been read. Between commands
  // lines end only at "\r".
  std::vector<ByteString> expected;
  if (waiting_) {
    std::lock_guard<std::mutex> lock(lines_mutex_);
    expected = expected_;
  }
  ByteString line;
  for (char byte : bytes) {
    if (framer_.Feed(byte, expected, line)) PostLine(line);
  }
}

void TmyXComm::PostLine(const ByteString& line) {
  // Framing drops byte 0x00, so the zero-terminated copy holds the whole line.
  char* copy = new char[line.size() + 1];
  std::memcpy(copy, line.data(), line.size());
  copy[line.size()] = '\0';
  posted_copies_.insert(copy);
  if (!target_->Post(kLineMessage, reinterpret_cast<uintptr_t>(copy), 0)) {
    posted_copies_.erase(copy);
    delete[] copy;
  }
}

void TmyXComm::HandleMessage(uint32_t code, uintptr_t param1) {
  if (code == kLockWaitMessage) {
    if (OnLockWait) {
      try {
        OnLockWait(param1 != 0);
      } catch (...) {
        // A failing progress report must not cost the command.
      }
    }
    return;
  }
  if (code != kLineMessage) return;  // kWaitEndedMessage only wakes the thread
  char* copy = reinterpret_cast<char*>(param1);
  if (posted_copies_.erase(copy) == 0) return;  // not a copy of ours
  const ByteString text(copy);
  delete[] copy;
  HandleLine(text);
}

ByteString TmyXComm::Exchange(const ByteString& command, const std::vector<ByteString>& expected, uint32_t timeoutMs) {
  ByteString response;
  SendCommand(command, expected, response, timeoutMs);
  return response;
}

void TmyXComm::SetLineHandler(LineHandler handler) {
  if (!handler) {
    OnUnsolicitedLine = nullptr;
    return;
  }
  OnUnsolicitedLine = [handler = std::move(handler)](TmyXComm&, const ByteString& line) { handler(line); };
}

void TmyXComm::HandleLine(const ByteString& text) {
  const ByteString line = TrimControl(text);
  Trace("[RX] " + line);
  try {
    try {
      // An indication, or the PDU line after a +CMT/+CDS/+CBM header, goes
      // up and is no part of the response, whatever it contains.
      const bool pdu_line = pdu_follows_ && at::IsPduLine(line);
      pdu_follows_ = false;
      std::optional<at::Indication> indication;
      if (!pdu_line) indication = at::RecogniseIndication(line);
      if (pdu_line || indication) {
        pdu_follows_ = indication && indication->PduFollows();
        if (OnUnsolicitedLine) OnUnsolicitedLine(*this, line);
        return;
      }
      bool answer = false;
      {
        std::lock_guard<std::mutex> lock(lines_mutex_);
        lines_.push_back(line);
        answer = waiting_ && ContainsAny(expected_, line);
      }
      if (answer) {
        answer_event_.Set();
      } else if (OnUnsolicitedLine) {
        OnUnsolicitedLine(*this, line);
      }
    } catch (...) {
      if (line == "OK") busy_ = false;
      throw;
    }
    if (line == "OK") busy_ = false;
  } catch (const std::exception& e) {
    Trace(ByteString("-ERR [ComRead] ") + e.what());
  } catch (...) {
    Trace("-ERR [ComRead] unknown error");
  }
}

}  // namespace vela

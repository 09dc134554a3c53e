// TmyXComm: the line-oriented AT command channel over one serial port.
//
// SendCommand writes one command line and returns every line the modem sent
// until a line containing one of the caller's expected answers arrived or the
// time-out passed. The waiting itself is done by a TWaitThread on its own
// thread while the calling thread keeps dispatching its messages; received
// bytes are framed into lines on the creating thread and handed to it again
// as posted line messages. Lines that contain no expected answer also go up
// through OnUnsolicitedLine (the modem driver looks for +CMT:/+CDS: there).
//
// Indications are never taken for answers: a line recognised as one
// (at::RecogniseIndication: +CMT, +CDS, +CMTI, +CDSI, +CBM, +CBMI, RING, +CUSD),
// and the PDU line that follows a +CMT/+CDS/+CBM header, always go up and
// are no part of a command's response, whatever they contain
// (`+CMT: "BROOKE",24` holds "OK"). Expected answers are matched only while
// a command of this channel is waiting; between commands every line goes up.
//
// Commands are serialised by a lock (see LockScope): by default the
// machine-wide "DezIsBusy", one command of all channels of all processes at
// a time; with LockScope::kPort one lock per device, so that a silent modem
// holds up only the commands to itself.
//
// Threads:
//  - The creating thread (the thread that constructed the channel) runs
//    Connect, Disconnect, SendCommand, destruction, the port's handlers, the
//    line handling and OnUnsolicitedLine. Lines are processed only while it
//    dispatches its messages (its message loop, or inside SendCommand and
//    Disconnect, which dispatch), so handlers of other messages can run
//    nested inside a command.
//  - The command's TWaitThread takes the machine-wide lock "DezIsBusy",
//    writes the command and waits for the answer on its own thread.
//  - IsBusy, Opening, Connected, AbortRequested, TimedOut, ExpectedAnswers and
//    the trace functions may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/types.h"
#include "common/datetime.h"
#include "platform/message_target.h"
#include "platform/sync.h"
#include "transport/com_port.h"
#include "at/command_port.h"
#include "at/line_framing.h"

namespace vela {

class TWaitThread;

// One record of the trace file: local time stamp with milliseconds, a blank,
// the trace line without its line end and with other control bytes shown as
// \xNN, and "\n". Example: "2026-12-08 17:30:01.123 [TX] ATZ".
ByteString FormatTraceRecord(const DateTimeParts& when, const ByteString& line);

class TmyXComm : public at::CommandPort {
 public:
  using UnsolicitedLineHandler = std::function<void(TmyXComm& sender, const ByteString& line)>;
  using LockWaitHandler = std::function<void(bool waiting)>;
  using PortLostHandler = std::function<void(TmyXComm& sender)>;
  using LockScope = vela::LockScope;
  // Receives every trace line as built ("[TX] ATZ\r", "[RX] OK", ...), on
  // the thread that traced it ([TX] comes from a completion wait's thread).
  // An exception it raises is dropped.
  using TraceSink = std::function<void(const ByteString& line)>;

  // Line message: first user message code + 100; param1 is a heap copy of
  // the line (zero-terminated) that the handler frees.
  static constexpr uint32_t kLineMessage = platform::kUserMessage + 100;
  // Posted by a completion wait when it ends, so that a thread waiting for
  // messages in SendCommand or Disconnect wakes at once. Ignored otherwise.
  static constexpr uint32_t kWaitEndedMessage = platform::kUserMessage + 101;
  // Posted by a completion wait that has waited kLockWaitReportMs for the
  // command lock (param1 1), and when that wait ends (param1 0).
  static constexpr uint32_t kLockWaitMessage = platform::kUserMessage + 102;
  static constexpr uint32_t kLockWaitReportMs = 1000;
  // Time-out of a channel that has not run a command yet.
  static constexpr uint32_t kDefaultTimeoutMs = 3000;
  // Longest pause between two checks of a running command's end.
  static constexpr uint32_t kPollSliceMs = 25;

  // Creates the message target on the calling thread, the answer event, the
  // machine-wide lock and the port with 8N1, RTS on, DTR off, no flow control.
  TmyXComm();
  // Disconnects when connected; errors while closing are swallowed.
  ~TmyXComm() override;
  TmyXComm(const TmyXComm&) = delete;
  TmyXComm& operator=(const TmyXComm&) = delete;

  // Opens `port` at `baudRate` (a decimal text such as "9600"). The port's
  // EComPort reaches the caller unchanged; a rate that names no TBaudRate
  // value is refused by the port at opening with EComPort code 7. After a
  // failure Opening() stays true.
  void Connect(const ByteString& port, const ByteString& baudRate);
  // Closes the port. A running command is let finish first (its answer or
  // time-out), unless the last command timed out or was aborted.
  void Disconnect();
  // Writes `command` (which carries its own "\r"; one more "\r" is appended
  // on the wire) and blocks until a line containing one of `expectedAnswers`
  // arrived or the time-out passed, dispatching the calling thread's messages
  // meanwhile. `response` receives every line received since the write, each
  // followed by "\r\n". A time-out is no error: the response just lacks the
  // answer (and TimedOut() is true). Raises EAbort ("Operation aborted") when
  // the host terminates during the command.
  void SendCommand(const ByteString& command, const std::vector<ByteString>& expectedAnswers, ByteString& response,
                   uint32_t timeoutMs);

  // A SendCommand is in progress or a completion wait holds the channel.
  bool IsBusy() const override { return in_command_ || waiting_; }

  // at::CommandPort: SendCommand returning the response; the line handler
  // becomes OnUnsolicitedLine.
  ByteString Exchange(const ByteString& command, const std::vector<ByteString>& expected, uint32_t timeoutMs) override;
  void SetLineHandler(LineHandler handler) override;
  bool Opening() const { return opening_; }
  bool Connected() const { return connected_; }
  bool AbortRequested() const { return abort_requested_; }
  // A command has been written and neither "OK" nor the wait's end came yet.
  bool Busy() const { return busy_; }
  // The last completion wait ended as aborted (host termination).
  bool LastAborted() const { return last_aborted_; }
  uint32_t Timeout() const { return timeout_; }
  ByteString CurrentCommand() const;

  // Called on the creating thread with the trimmed line; may be empty.
  UnsolicitedLineHandler OnUnsolicitedLine;
  // Called on the creating thread (while it dispatches, as in SendCommand)
  // with true when a command has waited longer than kLockWaitReportMs for
  // the command lock, that is for another program's command, and with false
  // once that command got the lock or gave up. May be unset.
  LockWaitHandler OnLockWait;
  // Called once on the creating thread when the device went away while open
  // (unplugged, re-enumerated, the far side of a pty closed). A running
  // command ends at once with what it received; later commands fail at once
  // with empty responses. The port stays open until Disconnect. May be unset.
  PortLostHandler OnPortLost;

  // The lock scope of the next commands (default kMachine), read when a
  // command starts; a command already waiting keeps the lock it chose.
  // Creating thread.
  LockScope Lock = LockScope::kMachine;

  // The device went away since the last Connect (see OnPortLost).
  bool PortLost() const { return port_lost_; }
  // This channel's last command ended by its time-out.
  bool LastTimedOut() const { return last_timed_out_; }

  TComPort& ComPort() { return *port_; }

  // Process-wide: the last completion wait ended by time-out.
  static bool TimedOut();
  // Process-wide: the expected answers of the command now being (or last)
  // waited for; empty at process start and after a port has closed.
  static std::vector<ByteString> ExpectedAnswers();

  // Hands `line` to the trace sink and the trace file, if any. Nothing is
  // written unless one of them is set. Any thread.
  static void Trace(const ByteString& line);
  // Process-wide sink for tools that show the traffic; empty to remove.
  static void SetTraceSink(TraceSink sink);
  // Appends every trace line, time-stamped, to `path`; empty to stop. At the
  // first trace the path is taken from the environment variable
  // VELACTRL_TRACE unless this was called before.
  static void SetTraceFile(const std::string& path);

 private:
  friend class TWaitThread;

  void PortAfterOpen(TComPort& sender);
  void PortAfterClose(TComPort& sender);
  void PortRxChar(TComPort& sender, int32_t count);
  void PostLine(const ByteString& line);
  void HandleMessage(uint32_t code, uintptr_t param1);
  void HandleLine(const ByteString& text);
  void PortLostDetected(TComPort& sender);
  // The lock the next command takes, per the lock scope and the port name.
  std::shared_ptr<platform::MachineLock> CommandLock();
  // Dispatches messages, waiting up to one slice for them, until a wait
  // that holds the channel has ended.
  void DispatchWhileWaiting();

  static void SetExpectedAnswers(const std::vector<ByteString>& answers);
  static void SetTimedOut(bool value);

  // Creating thread only.
  std::atomic<bool> opening_{false};
  std::unique_ptr<platform::MessageTarget> target_;
  std::atomic<bool> connected_{false};
  LineFramer framer_;
  bool pdu_follows_ = false;                          // the last line was a +CMT/+CDS/+CBM header
  std::unordered_set<char*> posted_copies_;           // line copies not yet handled
  std::shared_ptr<platform::MachineLock> port_lock_;  // for LockScope::kPort
  std::string port_lock_name_;
  std::unique_ptr<TComPort> port_;

  // Shared with the completion wait.
  mutable std::mutex lines_mutex_;  // guards lines_, current_command_ and expected_
  std::vector<ByteString> lines_;
  std::vector<ByteString> expected_;  // answers of this channel's waiting command
  ByteString current_command_;
  std::atomic<bool> busy_{false};
  std::atomic<TWaitThread*> current_wait_{nullptr};
  std::atomic<bool> waiting_{false};
  std::atomic<bool> abort_requested_{false};
  std::shared_ptr<platform::MachineLock> machine_lock_;  // "DezIsBusy"
  std::atomic<bool> port_lost_{false};
  std::atomic<bool> last_timed_out_{false};
  platform::AutoResetEvent answer_event_;
  std::atomic<uint32_t> deadline_{0};
  std::atomic<uint32_t> timeout_{kDefaultTimeoutMs};
  std::atomic<bool> last_aborted_{false};
  std::atomic<bool> in_command_{false};
};

}  // namespace vela

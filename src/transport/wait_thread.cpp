#include "transport/wait_thread.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "platform/sync.h"
#include "platform/termination.h"
#include "transport/comm.h"

namespace vela {

TWaitThread::TWaitThread(const ByteString& command, TmyXComm& channel, std::vector<ByteString> expected,
                         std::shared_ptr<platform::MachineLock> lock)
    : channel_(channel), expected_(std::move(expected)), command_(command), lock_(std::move(lock)) {
  thread_ = std::thread([this] { Execute(); });
}

TWaitThread::~TWaitThread() {
  stop_requested_ = true;
  if (thread_.joinable()) thread_.join();
}

void TWaitThread::Execute() {
  if (!Acquire()) {
    Finish(false);
    return;
  }
  held_ = true;
  try {
    RunCommand();
  } catch (const std::exception& e) {
    // A failed write (the port closed meanwhile): the caller gets the lines
    // received so far, that is none.
    TmyXComm::Trace(ByteString("-ERR [ComWrite] ") + e.what());
  } catch (...) {
    TmyXComm::Trace("-ERR [ComWrite] unknown error");
  }
  Finish(true);
}

bool TWaitThread::Acquire() {
  TmyXComm& ch = channel_;
  const uint32_t report_at = platform::TickCount() + TmyXComm::kLockWaitReportMs;
  bool reported = false;
  // Tells the creating thread that this command waits for another
  // program's, and later that the wait is over.
  auto report = [&](bool waiting) {
    reported = waiting;
    ch.target_->Post(TmyXComm::kLockWaitMessage, waiting ? 1 : 0, 0);
  };
  for (;;) {
    if (!ch.busy_) {
      if (lock_->TryAcquire(kAcquireSliceMs)) {
        if (reported) report(false);
        return true;
      }
      if (!reported && platform::TickReached(platform::TickCount(), report_at)) report(true);
    } else {
      // The channel's previous command still awaits its final "OK": poll the
      // flags at the lock's own pace rather than spinning.
      platform::SleepMs(kAcquireSliceMs);
    }
    if (ch.abort_requested_ || platform::TerminationRequested() || stop_requested_) {
      if (reported) report(false);
      return false;
    }
  }
}

void TWaitThread::RunCommand() {
  TmyXComm& ch = channel_;
  ch.waiting_ = true;
  ch.current_wait_ = this;
  TmyXComm::SetExpectedAnswers(expected_);
  {
    std::lock_guard<std::mutex> lock(ch.lines_mutex_);
    ch.expected_ = expected_;
  }
  // A late answer of the previous command must not end this wait.
  ch.answer_event_.Reset();
  ch.busy_ = true;
  {
    std::lock_guard<std::mutex> lock(ch.lines_mutex_);
    ch.current_command_ = command_;
    ch.lines_.clear();
  }
  const uint32_t timeout = std::min<uint32_t>(ch.timeout_, kMaxTimeoutMs);
  const uint32_t deadline = platform::TickCount() + timeout;
  ch.deadline_ = deadline;

  TmyXComm::Trace("[TX] " + command_);
  ch.port_->WriteString(command_ + "\r");

  // The tick is compared only after a slice without the event, and the loop
  // ends one slice after the deadline was found passed: a command without an
  // answer ends 200 to 400 ms after its deadline.
  // The outcome is this wait's own; the process-wide flag only reports it
  // (commands of channels with per-port locks may run at the same time).
  bool timed_out = false;
  TmyXComm::SetTimedOut(false);
  ch.last_timed_out_ = false;
  for (;;) {
    const bool answered = ch.answer_event_.Wait(kAnswerSliceMs);
    if (answered || ch.abort_requested_ || timed_out || ch.port_lost_) break;
    timed_out = platform::TickReached(platform::TickCount(), deadline);
    TmyXComm::SetTimedOut(timed_out);
    ch.last_timed_out_ = timed_out;
    if (platform::TerminationRequested()) ch.abort_requested_ = true;
  }

  if (ch.abort_requested_) {
    ch.last_aborted_ = true;
    ch.abort_requested_ = false;
  } else {
    ch.last_aborted_ = false;
  }
}

void TWaitThread::Finish(bool held) {
  TmyXComm& ch = channel_;
  ch.current_wait_ = nullptr;
  done_ = true;
  if (held) {
    ch.waiting_ = false;
    ch.busy_ = false;
    lock_->Release();
  }
  // Wakes the creating thread if it waits for messages in SendCommand or
  // Disconnect.
  ch.target_->Post(TmyXComm::kWaitEndedMessage, 0, 0);
}

}  // namespace vela

// TWaitThread: carries one command of a TmyXComm channel on a thread of its
// own: takes the channel's command lock (by default the machine-wide
// "DezIsBusy": one command of all channels of all processes on the wire at a
// time), writes the command and waits for the answer event, the time-out or
// host termination. A wait for the lock longer than
// TmyXComm::kLockWaitReportMs is reported to the channel's creating thread.
//
// Threads: constructed and destroyed on the channel's creating thread (by
// SendCommand); the body runs on the wait's own thread and talks to the
// channel only through its atomic flags, its lines (under the channel's
// lock), the answer event and the machine-wide lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "common/types.h"
#include "platform/sync.h"

namespace vela {

class TmyXComm;

class TWaitThread {
 public:
  // Slices: waiting for the machine-wide lock, and for the answer event.
  static constexpr uint32_t kAcquireSliceMs = 50;
  static constexpr uint32_t kAnswerSliceMs = 200;

  // Starts the thread at once. `lock` serialises the command (shared with
  // the channel, which keeps it for its next commands).
  TWaitThread(const ByteString& command, TmyXComm& channel, std::vector<ByteString> expected,
              std::shared_ptr<platform::MachineLock> lock);
  // Requests the stop and waits until the thread has ended. A wait that is
  // still acquiring gives up within its slice; one that holds the channel
  // ends on its answer, time-out or abort.
  ~TWaitThread();
  TWaitThread(const TWaitThread&) = delete;
  TWaitThread& operator=(const TWaitThread&) = delete;

  // The wait has ended (any thread).
  bool Done() const { return done_; }
  // The wait obtained the channel (and so wrote, or tried to write, its
  // command); false when it gave up while acquiring.
  bool Held() const { return held_; }

  // Deadlines are compared wrap-safe on the 32-bit tick, which holds for
  // time-outs below 2^31 ms; longer ones are cut to that (about 24 days).
  static constexpr uint32_t kMaxTimeoutMs = 0x7FFFFFFFu;

 private:
  void Execute();
  bool Acquire();
  void RunCommand();
  void Finish(bool held);

  std::atomic<bool> done_{false};
  std::atomic<bool> held_{false};
  TmyXComm& channel_;
  const std::vector<ByteString> expected_;
  const ByteString command_;
  const std::shared_ptr<platform::MachineLock> lock_;
  std::atomic<bool> stop_requested_{false};
  std::thread thread_;  // last: started once every other member is ready
};

}  // namespace vela

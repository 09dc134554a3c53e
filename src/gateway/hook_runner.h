// The receive hook: a shell command run for every received message, with the
// message as JSON on its standard input. A run that exits non-zero (or is
// killed, or outlasts its time limit) is tried again with backoff; the
// pending runs are in the store, so they survive a restart.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "gateway/modem_worker.h"
#include "gateway/queue_policy.h"
#include "gateway/store.h"
#include "gateway/worker_thread.h"

namespace vela::gateway {

// Runs `command` with /bin/sh -c, `input` on its standard input, its output
// going where the gateway's goes. Returns the exit status (128 + signal
// number when killed); the child is killed after `timeoutMs`. -1 when it
// could not be started.
// `started` (optional) learns the child's process id.
int RunShellCommand(const std::string& command, const std::string& input, int timeoutMs, std::string& error,
                    const std::function<void(int pid)>& started = nullptr);

class HookRunner {
 public:
  HookRunner(std::string command, Store& store, Metrics& metrics, Log& log, RetrySettings retry);
  ~HookRunner() { Stop(); }

  void Start();
  void Wake() { worker_.Wake(); }
  // Ends the thread; a run in progress is ended with SIGTERM and stays
  // pending for the next start.
  void Stop();

  int timeoutMs = 60000;

 private:
  std::optional<WorkerThread::Clock::time_point> RunOnce();
  std::string command_;
  Store& store_;
  Metrics& metrics_;
  Log& log_;
  RetrySettings retry_;
  int child_ = -1;  // process id of the run in progress; guarded by worker_.Mutex()
  WorkerThread worker_;
};

}  // namespace vela::gateway

// The receive hook: a shell command run for every received message, with the
// message as JSON on its standard input. A run that exits non-zero (or is
// killed, or outlasts its time limit) is tried again with backoff; the
// pending runs are in the store, so they survive a restart.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/modem_worker.h"
#include "gateway/queue_policy.h"
#include "gateway/store.h"

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
  ~HookRunner();
  HookRunner(const HookRunner&) = delete;
  HookRunner& operator=(const HookRunner&) = delete;

  void Start();
  void Wake();
  // Ends the thread; a run in progress is ended with SIGTERM and stays
  // pending for the next start.
  void Stop();

  int timeoutMs = 60000;

 private:
  void Run();
  std::string command_;
  Store& store_;
  Metrics& metrics_;
  Log& log_;
  RetrySettings retry_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool woken_ = false;
  int child_ = -1;  // process id of the run in progress; guarded by mutex_
};

}  // namespace vela::gateway

// The thread of a background worker (receive hook, webhooks, MQTT): it does a
// round of work, then sleeps until Wake(), Stop() or the time the round asked
// to run again. State that other threads share with the rounds is guarded by
// Mutex().
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vela::gateway {

class WorkerThread {
 public:
  using Clock = std::chrono::steady_clock;
  // When to run the next round at the latest; std::nullopt: only when woken.
  using Round = std::function<std::optional<Clock::time_point>()>;

  WorkerThread() = default;
  ~WorkerThread() { Stop(); }
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Runs `round` (without the lock) on a new thread until Stop().
  void Start(Round round);
  // Any thread: run a round again soon (does not block on a round).
  void Wake();
  // Asks the thread to end after its round and waits for it. `cutOff` runs
  // under the lock first, to cut short a round in progress.
  void Stop(const std::function<void()>& cutOff = nullptr);
  // Any thread, with or without the lock.
  bool Stopping() const { return stop_; }
  std::mutex& Mutex() { return mutex_; }

  // The time point of `epochMs` (NowMs() clock) on Clock.
  static Clock::time_point At(int64_t epochMs);

 private:
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::atomic<bool> stop_{false};
  bool woken_ = false;  // guarded by mutex_
};

}  // namespace vela::gateway

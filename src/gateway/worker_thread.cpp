#include "gateway/worker_thread.h"

#include <algorithm>

#include "gateway/service.h"

namespace vela::gateway {

void WorkerThread::Start(Round round) {
  thread_ = std::thread([this, round = std::move(round)] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      woken_ = false;
      lock.unlock();
      const std::optional<Clock::time_point> next = round();
      lock.lock();
      const auto ready = [this] { return stop_ || woken_; };
      if (!next) {
        cv_.wait(lock, ready);
      } else {
        cv_.wait_until(lock, *next, ready);
      }
    }
  });
}

void WorkerThread::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  cv_.notify_all();
}

void WorkerThread::Stop(const std::function<void()>& cutOff) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    if (cutOff) cutOff();
    cv_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

WorkerThread::Clock::time_point WorkerThread::At(int64_t epochMs) {
  return Clock::now() + std::chrono::milliseconds(std::max<int64_t>(0, epochMs - NowMs()));
}

}  // namespace vela::gateway

#include "gateway/group_commit.h"

#include <algorithm>
#include <chrono>

namespace vela::gateway {

GroupCommit::GroupCommit(Store& store, int64_t maxWaiting, size_t maxBatch)
    : store_(store), maxWaiting_(maxWaiting), maxBatch_(maxBatch), writer_([this] { Run(); }) {}

GroupCommit::~GroupCommit() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  writer_.join();
}

uint64_t GroupCommit::Commits() {
  std::lock_guard<std::mutex> lock(mutex_);
  return commits_;
}

std::vector<EnqueueResult> GroupCommit::Enqueue(std::vector<OutgoingRequest> requests, int64_t nowMs) {
  if (requests.empty()) return {};
  Job job;
  job.requests = std::move(requests);
  job.nowMs = nowMs;
  std::unique_lock<std::mutex> lock(mutex_);
  if (stop_) throw StoreError("the gateway is stopping");
  queue_.push_back(&job);
  work_.notify_one();
  job.finished.wait(lock, [&] { return job.done; });
  if (job.error) std::rethrow_exception(job.error);
  return std::move(job.results);
}

void GroupCommit::Run() {
  using Clock = std::chrono::steady_clock;
  // Callers the last transaction answered send their next requests within a
  // fraction of a commit. Committing the few already here would make those
  // wait for a whole further commit (the callers split into two groups that
  // take turns), so the writer waits briefly for as many callers as the last
  // round had: those it committed and those that queued meanwhile.
  constexpr Clock::duration kMaxGather = std::chrono::milliseconds(5);
  size_t expected = 1;
  Clock::duration lastCommit{};
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, nothing left
    if (queue_.size() < expected && !stop_) {
      work_.wait_until(lock, Clock::now() + std::min(lastCommit / 4, kMaxGather),
                       [&] { return stop_ || queue_.size() >= expected; });
    }
    // Whatever queued up while the previous transaction committed.
    std::vector<Job*> jobs;
    size_t count = 0;
    while (!queue_.empty() && (jobs.empty() || count + queue_.front()->requests.size() <= maxBatch_)) {
      count += queue_.front()->requests.size();
      jobs.push_back(queue_.front());
      queue_.pop_front();
    }
    lock.unlock();
    const Clock::time_point start = Clock::now();
    Commit(jobs);
    lastCommit = Clock::now() - start;
    lock.lock();
    ++commits_;
    expected = jobs.size() + queue_.size();
    for (Job* j : jobs) {
      j->done = true;
      j->finished.notify_one();
    }
  }
}

void GroupCommit::Commit(std::vector<Job*>& jobs) {
  std::vector<OutgoingRequest> all;
  int64_t nowMs = 0;
  for (Job* j : jobs) {
    all.insert(all.end(), j->requests.begin(), j->requests.end());
    nowMs = std::max(nowMs, j->nowMs);
  }
  try {
    std::vector<EnqueueResult> results = store_.EnqueueBatch(all, nowMs, maxWaiting_);
    size_t at = 0;
    for (Job* j : jobs) {
      j->results.assign(results.begin() + static_cast<std::ptrdiff_t>(at),
                        results.begin() + static_cast<std::ptrdiff_t>(at + j->requests.size()));
      at += j->requests.size();
    }
  } catch (const std::exception&) {
    if (jobs.size() == 1) {
      jobs.front()->error = std::current_exception();
      return;
    }
    // One caller's request may be what failed: each on its own, so that
    // the others still commit.
    for (Job* j : jobs) {
      try {
        j->results = store_.EnqueueBatch(j->requests, j->nowMs, maxWaiting_);
      } catch (const std::exception&) {
        j->error = std::current_exception();
      }
    }
  }
}

}  // namespace vela::gateway

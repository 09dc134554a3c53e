// Group commit for the queue: requests from many threads wait here while
// one writer thread commits whatever queued up during the previous commit
// in one transaction, so that one sync of the disk (or one log flush of the
// server) covers them all. Each caller returns only once its messages are
// durably committed, or with the store's error.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "gateway/store.h"

namespace vela::gateway {

class GroupCommit {
 public:
  // `maxWaiting`: Enqueue refuses messages beyond this many waiting (0: no
  // limit). `maxBatch`: at most this many messages per transaction.
  GroupCommit(Store& store, int64_t maxWaiting, size_t maxBatch = 2000);
  // Commits what is queued, then ends the writer.
  ~GroupCommit();
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;

  // The requests, committed together (one transaction, possibly shared with
  // other callers'); one result per request, in order. Throws StoreError.
  std::vector<EnqueueResult> Enqueue(std::vector<OutgoingRequest> requests, int64_t nowMs);

  // Transactions committed so far (for tests and the benchmark).
  uint64_t Commits();

 private:
  struct Job {
    std::vector<OutgoingRequest> requests;
    int64_t nowMs = 0;
    std::vector<EnqueueResult> results;
    std::exception_ptr error;
    bool done = false;
    // Each caller waits on its own: a commit wakes only those it answered,
    // not every caller queued behind them.
    std::condition_variable finished;
  };
  void Run();
  void Commit(std::vector<Job*>& jobs);

  Store& store_;
  const int64_t maxWaiting_;
  const size_t maxBatch_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::deque<Job*> queue_;
  bool stop_ = false;
  uint64_t commits_ = 0;
  std::thread writer_;
};

}  // namespace vela::gateway

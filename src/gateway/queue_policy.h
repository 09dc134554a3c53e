// What the queue does after a send attempt: pure decisions, no I/O.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace vela::gateway {

// How one send attempt ended, as the modem worker saw it.
struct SendOutcome {
  enum class Kind {
    kSent,             // every part has its reference
    kRefused,          // the modem answered +CMS ERROR (cmsError) or ERROR (0)
    kNoAnswer,         // a command timed out before the PDU was written
    kPortLost,         // the port went away (or was not open)
    kWrittenNoAnswer,  // a PDU was written and its answer never came
    kInvalid,          // the message itself cannot be sent (bad number, too long)
  };
  Kind kind = Kind::kSent;
  int cmsError = 0;
  std::string detail;  // text for the error field
};

struct RetrySettings {
  int maxAttempts = 8;
  int64_t firstDelayMs = 2000;
  int64_t maxDelayMs = 10 * 60 * 1000;
};

struct Decision {
  enum class Action { kSent, kRetry, kFail, kUnknown };
  Action action = Action::kSent;
  int64_t delayMs = 0;  // kRetry: wait this long
  std::string error;    // what failed and why
};

// +CMS ERROR codes worth another attempt: network-side temporary causes
// (TS 24.011 E-2: 38 network out of order, 41 temporary failure, 42
// congestion, 47 resources unavailable), TS 27.005 3.2.5 331 no network
// service, 332 network time-out, 500 unknown error, and manufacturer codes
// from 512 on. Everything else (304 invalid PDU mode parameter, 21 rejected,
// 28 unidentified subscriber, ...) is permanent.
bool IsTransientCmsError(int code);

// Text for a +CMS ERROR code, e.g. "+CMS ERROR: 42 (congestion)".
std::string CmsErrorText(int code);

// Backoff before attempt `attempt + 1` after `attempt` failed attempts
// (1 -> firstDelay, doubling, capped at maxDelay).
int64_t BackoffMs(int attempt, const RetrySettings& settings);

// `attempts` counts the attempt that just ended.
Decision Decide(const SendOutcome& outcome, int attempts, const RetrySettings& settings);

// How many messages wait (queued or scheduled), for --max-queue, without
// counting the whole queue in every transaction (an index scan that costs
// milliseconds once the queue is long). The last exact count, plus every id
// the store handed out since, is an upper bound: new messages are the only
// way into the queue but for a retry, which calls Forget. The store counts
// again when the bound could reach the limit, or once it is a second old
// (another node's retries). Safe on any thread.
class WaitingBound {
 public:
  static constexpr int64_t kMaxAgeMs = 1000;

  // The bound when admitting `adding` more against `limit` leaves it at or
  // below the limit, given the store's latest id now; -1 when the store must
  // count.
  int64_t Bound(int64_t lastId, int64_t adding, int64_t limit, int64_t nowMs);
  // An exact count, made while the latest id was `lastId`.
  void Counted(int64_t waiting, int64_t lastId, int64_t nowMs);
  // A message went back into the queue (a retry): count again next time.
  void Forget();

 private:
  std::mutex mutex_;
  bool known_ = false;
  int64_t waiting_ = 0, lastId_ = 0, countedMs_ = 0;
};

}  // namespace vela::gateway

// What the queue does after a send attempt: pure decisions, no I/O.
#pragma once

#include <cstdint>
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

}  // namespace vela::gateway

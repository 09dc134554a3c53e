#include "gateway/queue_policy.h"

namespace vela::gateway {

bool IsTransientCmsError(int code) {
  switch (code) {
    case 38:
    case 41:
    case 42:
    case 47:
    case 331:
    case 332:
    case 500:
      return true;
    default:
      return code >= 512;
  }
}

std::string CmsErrorText(int code) {
  const char* meaning = nullptr;
  switch (code) {
    case 0:
      return "ERROR (no code given)";
    case 8:
      meaning = "operator determined barring";
      break;
    case 10:
      meaning = "call barred";
      break;
    case 21:
      meaning = "short message transfer rejected";
      break;
    case 27:
      meaning = "destination out of service";
      break;
    case 28:
      meaning = "unidentified subscriber";
      break;
    case 38:
      meaning = "network out of order";
      break;
    case 41:
      meaning = "temporary failure";
      break;
    case 42:
      meaning = "congestion";
      break;
    case 47:
      meaning = "resources unavailable";
      break;
    case 50:
      meaning = "requested facility not subscribed";
      break;
    case 96:
      meaning = "invalid mandatory information";
      break;
    case 300:
      meaning = "ME failure";
      break;
    case 302:
      meaning = "operation not allowed";
      break;
    case 303:
      meaning = "operation not supported";
      break;
    case 304:
      meaning = "invalid PDU mode parameter";
      break;
    case 310:
      meaning = "SIM not inserted";
      break;
    case 311:
      meaning = "SIM PIN required";
      break;
    case 330:
      meaning = "SMSC address unknown";
      break;
    case 331:
      meaning = "no network service";
      break;
    case 332:
      meaning = "network time-out";
      break;
    case 500:
      meaning = "unknown error";
      break;
    default:
      break;
  }
  std::string text = "+CMS ERROR: " + std::to_string(code);
  if (meaning)
    text += std::string(" (") + meaning + ")";
  else if (code >= 512)
    text += " (manufacturer specific)";
  return text;
}

int64_t BackoffMs(int attempt, const RetrySettings& s) {
  int64_t delay = s.firstDelayMs;
  for (int i = 1; i < attempt && delay < s.maxDelayMs; ++i) delay *= 2;
  return delay < s.maxDelayMs ? delay : s.maxDelayMs;
}

Decision Decide(const SendOutcome& o, int attempts, const RetrySettings& s) {
  using Kind = SendOutcome::Kind;
  Decision d;
  switch (o.kind) {
    case Kind::kSent:
      d.action = Decision::Action::kSent;
      return d;
    case Kind::kInvalid:
      d.action = Decision::Action::kFail;
      d.error = o.detail;
      return d;
    case Kind::kWrittenNoAnswer:
      d.action = Decision::Action::kUnknown;
      d.error = o.detail.empty() ? "the PDU was written but no answer came" : o.detail;
      return d;
    case Kind::kRefused:
      d.error = "the modem refused the message: " + CmsErrorText(o.cmsError);
      if (!o.detail.empty()) d.error += "; " + o.detail;
      if (!IsTransientCmsError(o.cmsError)) {
        d.action = Decision::Action::kFail;
        return d;
      }
      break;
    case Kind::kNoAnswer:
      d.error = o.detail.empty() ? "no answer from the modem in time" : o.detail;
      break;
    case Kind::kPortLost:
      d.error = o.detail.empty() ? "the modem's port was lost" : o.detail;
      break;
  }
  if (attempts >= s.maxAttempts) {
    d.action = Decision::Action::kFail;
    d.error += " (gave up after " + std::to_string(attempts) + " attempts)";
    return d;
  }
  d.action = Decision::Action::kRetry;
  d.delayMs = BackoffMs(attempts, s);
  return d;
}

int64_t WaitingBound::Bound(int64_t lastId, int64_t adding, int64_t limit, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!known_ || nowMs - countedMs_ > kMaxAgeMs || nowMs < countedMs_ || lastId < lastId_) return -1;
  const int64_t bound = waiting_ + (lastId - lastId_);
  return bound + adding <= limit ? bound : -1;
}

void WaitingBound::Counted(int64_t waiting, int64_t lastId, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  known_ = true;
  waiting_ = waiting;
  lastId_ = lastId;
  countedMs_ = nowMs;
}

void WaitingBound::Forget() {
  std::lock_guard<std::mutex> lock(mutex_);
  known_ = false;
}

}  // namespace vela::gateway

// Send outcomes to queue decisions: which errors are retried, the backoff,
// the attempt limit, and written-without-answer never being resent.
#include <gtest/gtest.h>

#include "gateway/queue_policy.h"

namespace vela::gateway {
namespace {

using Kind = SendOutcome::Kind;
using Action = Decision::Action;

TEST(GatewayQueuePolicy, DecisionsPerOutcome) {
  const RetrySettings s;  // 8 attempts, 2 s doubling
  struct Case {
    Kind kind;
    int cms;
    int attempts;
    Action action;
    const char* errorPart;
  } cases[] = {
      {Kind::kSent, 0, 1, Action::kSent, ""},
      {Kind::kRefused, 42, 1, Action::kRetry, "42 (congestion)"},
      {Kind::kRefused, 38, 1, Action::kRetry, "network out of order"},
      {Kind::kRefused, 41, 1, Action::kRetry, "temporary failure"},
      {Kind::kRefused, 47, 1, Action::kRetry, "resources unavailable"},
      {Kind::kRefused, 500, 1, Action::kRetry, "unknown error"},
      {Kind::kRefused, 512, 1, Action::kRetry, "manufacturer specific"},
      {Kind::kRefused, 304, 1, Action::kFail, "invalid PDU mode parameter"},
      {Kind::kRefused, 21, 1, Action::kFail, "rejected"},
      {Kind::kRefused, 0, 1, Action::kFail, "no code"},
      {Kind::kRefused, 42, 8, Action::kFail, "gave up after 8 attempts"},
      {Kind::kNoAnswer, 0, 3, Action::kRetry, "no answer"},
      {Kind::kPortLost, 0, 2, Action::kRetry, "port"},
      {Kind::kPortLost, 0, 8, Action::kFail, "gave up"},
      {Kind::kWrittenNoAnswer, 0, 1, Action::kUnknown, "written"},
      {Kind::kInvalid, 0, 1, Action::kFail, ""},
  };
  for (const Case& c : cases) {
    SendOutcome o;
    o.kind = c.kind;
    o.cmsError = c.cms;
    Decision d = Decide(o, c.attempts, s);
    EXPECT_EQ(d.action, c.action) << static_cast<int>(c.kind) << " cms " << c.cms;
    EXPECT_NE(d.error.find(c.errorPart), std::string::npos) << d.error;
  }
}

TEST(GatewayQueuePolicy, BackoffDoublesUpToTheCap) {
  RetrySettings s;
  s.firstDelayMs = 1000;
  s.maxDelayMs = 5000;
  EXPECT_EQ(BackoffMs(1, s), 1000);
  EXPECT_EQ(BackoffMs(2, s), 2000);
  EXPECT_EQ(BackoffMs(3, s), 4000);
  EXPECT_EQ(BackoffMs(4, s), 5000);
  EXPECT_EQ(BackoffMs(60, s), 5000);  // no overflow for many attempts
  SendOutcome o{Kind::kRefused, 42, ""};
  EXPECT_EQ(Decide(o, 3, s).delayMs, 4000);
}

}  // namespace
}  // namespace vela::gateway

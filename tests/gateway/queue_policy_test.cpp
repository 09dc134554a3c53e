// Send outcomes to queue decisions: which errors are retried, the backoff,
// the attempt limit, and written-without-answer never being resent.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include "gateway/limits.h"
#include "gateway/modem_worker.h"
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

// The sliding window counts the latest sends inside it; day and month count
// from their local starts; the modem is blocked until the latest of the
// times each full limit frees.
TEST(GatewaySendLimits, WindowDayAndMonth) {
  const int64_t now = 10'000'000;
  const CalendarBounds cal{now - 5000, now + 7000, now - 90000, now + 400000};
  struct Case {
    const char* what;
    SendLimits limits;
    SendCounts counts;
    int64_t rateUsed, rateResets, blockedUntil;
  } cases[] = {
      {"no sends", {10, 60000}, {{}, 0, 0}, 0, 0, 0},
      {"9 of 10 in the window",
       {10, 60000},
       {{now - 1, now - 2, now - 3, now - 4, now - 5, now - 6, now - 7, now - 8, now - 9}},
       9,
       now - 9 + 60000,
       0},
      // The window is (now - 60 s, now]: a send exactly 60 s ago has left it.
      {"3 of 3, the oldest 60 s ago", {3, 60000}, {{now - 10, now - 20, now - 60000}}, 2, now - 20 + 60000, 0},
      {"3 of 3 inside", {3, 60000}, {{now - 10, now - 20, now - 59999}}, 3, now + 1, now + 1},
      {"hourly", {2, 3600000}, {{now - 1000, now - 3000000}}, 2, now + 600000, now + 600000},
      {"day full", {0, 0, 5}, {{}, 5, 5}, 0, 0, now + 7000},
      {"day under", {0, 0, 5}, {{}, 4, 40}, 0, 0, 0},
      {"month full wins over the day", {0, 0, 5, 40}, {{}, 5, 40}, 0, 0, now + 400000},
      {"rate and day full: the later", {1, 60000, 5}, {{now - 100}, 5, 5}, 1, now + 59900, now + 59900},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const LimitStatus s = EvaluateLimits(c.limits, c.counts, cal, now);
    EXPECT_EQ(s.rate.used, c.rateUsed);
    EXPECT_EQ(s.rate.resetsAtMs, c.rateResets);
    EXPECT_EQ(s.blockedUntilMs, c.blockedUntil);
    if (c.limits.daily > 0) {
      EXPECT_EQ(s.daily.used, c.counts.sinceDayStart);
      EXPECT_EQ(s.daily.resetsAtMs, cal.nextDayMs);
    }
  }
}

// Calendar days and months in the local zone, across a change of offset.
TEST(GatewaySendLimits, CalendarBoundsInTheLocalZone) {
  const char* saved = getenv("TZ");
  const std::string previous = saved ? saved : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  struct Case {
    int64_t now;  // Unix seconds
    int64_t dayStart, nextDay, monthStart, nextMonth;
  } cases[] = {
      // 2026-12-09 13:00 CET: 00:00 CET is 23:00 UTC the day before.
      {1796817600, 1796770800, 1796857200, 1796079600, 1798758000},
      // 2026-03-29 12:00 CEST, the day summer time starts: 23 hours long;
      // March started in CET, April starts in CEST.
      {1774778400, 1774738800, 1774821600, 1772319600, 1774994400},
      // 2026-01-01 00:30 CET: the year's first day and month.
      {1767223800, 1767222000, 1767308400, 1767222000, 1769900400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    const CalendarBounds b = CalendarAround(c.now * 1000);
    EXPECT_EQ(b.dayStartMs, c.dayStart * 1000);
    EXPECT_EQ(b.nextDayMs, c.nextDay * 1000);
    EXPECT_EQ(b.monthStartMs, c.monthStart * 1000);
    EXPECT_EQ(b.nextMonthMs, c.nextMonth * 1000);
  }
  if (saved) {
    setenv("TZ", previous.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// Which queued messages a modem may take: its own, its group's, and one for
// any modem unless another free modem's route matches longer.
TEST(GatewaySendLimits, GroupsAndLongestRoute) {
  Claimant a("a");
  a.group = "eu";
  a.routes = {"+49", "+43"};
  struct Case {
    const char* messageModem;
    const char* to;
    std::vector<std::string> freeElsewhere;
    bool takes;
  } cases[] = {
      {"a", "+4917", {"+4917"}, true},  // its own, whatever the routes
      {"b", "+4917", {}, false},
      {"group:eu", "+1555", {}, true},
      {"group:e", "+1555", {}, false},
      {"group:eux", "+1555", {}, false},
      {"", "+1555", {}, true},
      {"", "+1555", {"+1"}, false},         // b has a route to it, a none
      {"", "+4917", {"+49"}, true},         // as long as a's own
      {"", "+4917", {"+491"}, false},       // longer than a's
      {"", "+4317", {"+491", "+4"}, true},  // a's +43 beats +4
      {"", "4917", {"+49"}, true},          // a national number matches no route
  };
  for (const Case& c : cases) {
    a.freeElsewhere = c.freeElsewhere;
    EXPECT_EQ(MayTake(a, c.messageModem, c.to), c.takes) << c.messageModem << " " << c.to;
  }
  Claimant loner("b");
  EXPECT_FALSE(MayTake(loner, "group:", "+1"));
  EXPECT_EQ(RouteMatch({"+4", "+491", "+49"}, "+49170"), 4u);
  EXPECT_EQ(RouteMatch({}, "+49170"), 0u);

  // The gateway's view: the routes of the other free modems; a modem that
  // stops being free wakes the others (what was left to it is theirs now),
  // but only where some modem has a route.
  std::vector<std::string> woken;
  ModemRoster roster;
  roster.Add("a", {"+49"});
  roster.Add("b", {});
  roster.SetWaker([&](const std::string& changed) { woken.push_back(changed); });
  EXPECT_TRUE(roster.FreeRoutesBesides("b").empty());
  roster.SetFree("a", true);
  roster.SetFree("b", true);
  EXPECT_EQ(roster.FreeRoutesBesides("b"), (std::vector<std::string>{"+49"}));
  EXPECT_TRUE(roster.FreeRoutesBesides("a").empty());
  roster.SetFree("a", false);
  roster.SetFree("a", false);
  EXPECT_TRUE(roster.FreeRoutesBesides("b").empty());
  EXPECT_EQ(woken, (std::vector<std::string>{"a"}));
  ModemRoster plain;
  plain.Add("c", {});
  plain.SetWaker([&](const std::string& changed) { woken.push_back(changed); });
  plain.SetFree("c", true);
  plain.SetFree("c", false);
  EXPECT_EQ(woken.size(), 1u);
}

// The bound must never be below what waits, else --max-queue lets too many
// in; counting again is always safe.
TEST(GatewayWaitingBound, CountsOnlyWhenTheLimitIsNearOrTheCountOld) {
  struct Step {
    const char* what;
    char op;  // 'c' counted (value, lastId), 'f' forget, 'b' bound (lastId, adding) at nowMs
    int64_t a, b, nowMs;
    int64_t expected;  // for 'b': the bound, -1 count
  } steps[] = {
      {"unknown at first", 'b', 10, 1, 0, -1},
      {"counted", 'c', 40, 10, 0, 0},
      {"same ids", 'b', 10, 1, 100, 40},
      {"ids taken since count", 'b', 25, 1, 200, 55},
      {"exactly at the limit", 'b', 25, 45, 200, 55},
      {"past the limit", 'b', 25, 46, 200, -1},
      {"a second old", 'b', 25, 1, 1000, 55},
      {"older", 'b', 25, 1, 1001, -1},
      {"the clock went back", 'b', 25, 1, -1, -1},
      {"ids went back (a rolled back sequence)", 'b', 9, 1, 200, -1},
      {"counted again", 'c', 3, 30, 2000, 0},
      {"fresh", 'b', 30, 1, 2000, 3},
      {"a retry", 'f', 0, 0, 0, 0},
      {"forgotten", 'b', 30, 1, 2000, -1},
  };
  WaitingBound w;
  for (const Step& s : steps) {
    if (s.op == 'c') w.Counted(s.a, s.b, s.nowMs);
    if (s.op == 'f') w.Forget();
    if (s.op == 'b') {
      EXPECT_EQ(w.Bound(s.a, s.b, 100, s.nowMs), s.expected) << s.what;
    }
  }
}

}  // namespace
}  // namespace vela::gateway

// Per-SIM send limits and the choice of modem for a queued message. Pure:
// the stores count the sends and fetch the candidates, these functions
// decide.
//
// Limits: `rate` is at most N sends in any window (60 s or an hour) - a
// sliding window over the times of the latest N sends, not a refilling
// bucket; `daily` and `monthly` count the sends since the start of the
// calendar day and month in the gateway's local time zone. Every claim of
// a message by the modem counts as a send (a retry counts again: it is
// offered to the network again).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vela::gateway {

struct SendLimits {
  int rate = 0;          // sends per window (0: no rate limit)
  int64_t windowMs = 0;  // 60000 or 3600000
  int64_t daily = 0;     // 0: none
  int64_t monthly = 0;   // 0: none
  bool Any() const { return rate > 0 || daily > 0 || monthly > 0; }
};

// What a store knows of a modem's recent sends.
struct SendCounts {
  std::vector<int64_t> latest;  // the times of the latest `rate` sends, newest first
  int64_t sinceDayStart = 0;    // sends at or after the day's start
  int64_t sinceMonthStart = 0;  // sends at or after the month's start
};

// Local calendar boundaries (the process's time zone, TZ) around a time.
struct CalendarBounds {
  int64_t dayStartMs = 0, nextDayMs = 0;
  int64_t monthStartMs = 0, nextMonthMs = 0;
};
CalendarBounds CalendarAround(int64_t nowMs);

struct LimitUse {
  int64_t limit = 0;  // 0: no such limit
  int64_t used = 0;
  int64_t resetsAtMs = 0;  // rate: when the oldest send in the window leaves it; day/month: the next start
};

struct LimitStatus {
  LimitUse rate, daily, monthly;
  int64_t blockedUntilMs = 0;  // 0: under every limit now; else the earliest time it may send again
};

LimitStatus EvaluateLimits(const SendLimits& limits, const SendCounts& counts, const CalendarBounds& calendar,
                           int64_t nowMs);

// "10/min", "600/h" -> rate and window; throws std::invalid_argument.
void ParseRate(const std::string& text, SendLimits& limits);

// --- routing -----------------------------------------------------------------

// Who asks for a message: the modem, its group, its route prefixes, and the
// route prefixes of the other modems (of this gateway) that are free now -
// up, under their limits, not sending. A message for any modem is left to
// such a modem when its route matches the destination with a longer prefix
// than any of the claimant's own routes.
struct Claimant {
  Claimant() = default;
  Claimant(std::string name) : modem(std::move(name)) {}  // NOLINT: a bare name is a claimant without routes
  Claimant(const char* name) : modem(name) {}             // NOLINT
  std::string modem;
  std::string group;                       // empty: none
  std::vector<std::string> routes;         // e.g. "+49"
  std::vector<std::string> freeElsewhere;  // routes of the other free modems
};

inline constexpr const char* kGroupPrefix = "group:";

// The length of the longest of `routes` that begins `destination` (0: none).
size_t RouteMatch(const std::vector<std::string>& routes, const std::string& destination);

// Whether `claimant` may take a queued message asked for `messageModem`
// ("" any, a modem name, or "group:NAME") to `destination` now.
bool MayTake(const Claimant& claimant, const std::string& messageModem, const std::string& destination);

// "+49+43" -> {"+49", "+43"}; throws std::invalid_argument.
std::vector<std::string> ParseRoutes(const std::string& text);

}  // namespace vela::gateway

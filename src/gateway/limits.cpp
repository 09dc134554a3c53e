#include "gateway/limits.h"

#include <time.h>

#include <algorithm>
#include <stdexcept>

namespace vela::gateway {

namespace {

// Local midnight of a date; mktime normalises day 32 or month 12 and, with
// tm_isdst -1, finds the offset in force on that date.
int64_t LocalMidnight(int year, int month, int day) {
  struct tm s {};
  s.tm_year = year;
  s.tm_mon = month;
  s.tm_mday = day;
  s.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&s)) * 1000;
}

}  // namespace

CalendarBounds CalendarAround(int64_t nowMs) {
  const time_t now = static_cast<time_t>(nowMs / 1000);
  struct tm local {};
  localtime_r(&now, &local);
  CalendarBounds b;
  b.dayStartMs = LocalMidnight(local.tm_year, local.tm_mon, local.tm_mday);
  b.nextDayMs = LocalMidnight(local.tm_year, local.tm_mon, local.tm_mday + 1);
  b.monthStartMs = LocalMidnight(local.tm_year, local.tm_mon, 1);
  b.nextMonthMs = LocalMidnight(local.tm_year, local.tm_mon + 1, 1);
  return b;
}

LimitStatus EvaluateLimits(const SendLimits& limits, const SendCounts& counts, const CalendarBounds& calendar,
                           int64_t nowMs) {
  LimitStatus s;
  auto block = [&s](int64_t until) { s.blockedUntilMs = std::max(s.blockedUntilMs, until); };
  if (limits.rate > 0) {
    s.rate.limit = limits.rate;
    // Sends inside the window (now - window, now]; the oldest of them leaves
    // it first. With `rate` of them inside, the next may go when the oldest
    // of those leaves.
    int64_t oldest = 0;
    for (size_t i = 0; i < counts.latest.size() && i < static_cast<size_t>(limits.rate); ++i) {
      if (counts.latest[i] + limits.windowMs <= nowMs) break;
      ++s.rate.used;
      oldest = counts.latest[i];
    }
    if (s.rate.used > 0) s.rate.resetsAtMs = oldest + limits.windowMs;
    if (s.rate.used >= limits.rate) block(s.rate.resetsAtMs);
  }
  if (limits.daily > 0) {
    s.daily = {limits.daily, counts.sinceDayStart, calendar.nextDayMs};
    if (counts.sinceDayStart >= limits.daily) block(calendar.nextDayMs);
  }
  if (limits.monthly > 0) {
    s.monthly = {limits.monthly, counts.sinceMonthStart, calendar.nextMonthMs};
    if (counts.sinceMonthStart >= limits.monthly) block(calendar.nextMonthMs);
  }
  return s;
}

void ParseRate(const std::string& text, SendLimits& limits) {
  const size_t slash = text.find('/');
  const std::string count = text.substr(0, slash);
  const std::string unit = slash == std::string::npos ? "" : text.substr(slash + 1);
  if (count.empty() || count.size() > 9 || count.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(count) < 1) {
    throw std::invalid_argument("rate '" + text + "': expected N/min or N/h with N from 1");
  }
  if (unit == "min" || unit == "m") {
    limits.windowMs = 60000;
  } else if (unit == "h" || unit == "hour") {
    limits.windowMs = 3600000;
  } else {
    throw std::invalid_argument("rate '" + text + "': the window is /min or /h");
  }
  limits.rate = std::stoi(count);
}

size_t RouteMatch(const std::vector<std::string>& routes, const std::string& destination) {
  size_t best = 0;
  for (const std::string& r : routes) {
    if (r.size() > best && destination.compare(0, r.size(), r) == 0) best = r.size();
  }
  return best;
}

bool MayTake(const Claimant& c, const std::string& messageModem, const std::string& destination) {
  if (messageModem == c.modem) return true;
  if (!messageModem.empty()) {
    return !c.group.empty() && messageModem.size() == c.group.size() + 6 &&
           messageModem.compare(0, 6, kGroupPrefix) == 0 && messageModem.compare(6, std::string::npos, c.group) == 0;
  }
  // For any modem: another free modem with a longer matching route gets it.
  return RouteMatch(c.freeElsewhere, destination) <= RouteMatch(c.routes, destination);
}

std::vector<std::string> ParseRoutes(const std::string& text) {
  std::vector<std::string> routes;
  if (text.empty() || text[0] != '+') throw std::invalid_argument("route '" + text + "': expected +PREFIX[+PREFIX...]");
  size_t start = 1;
  for (;;) {
    const size_t end = text.find('+', start);
    const std::string digits = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (digits.empty() || digits.size() > 20 || digits.find_first_not_of("0123456789") != std::string::npos) {
      throw std::invalid_argument("route '" + text + "': each prefix is '+' and digits, e.g. +49+43");
    }
    routes.push_back("+" + digits);
    if (end == std::string::npos) return routes;
    start = end + 1;
  }
}

}  // namespace vela::gateway

// The automation date (days since 1899-12-30, fraction = time of day),
// computed on the proleptic Gregorian calendar without any OS call.
#include "common/datetime.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "common/errors.h"

namespace vela {

namespace {

constexpr int64_t kMsPerDay = 86400000;

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given civil date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

// 1899-12-30, day 0 of the automation date, counted from 1970-01-01.
const int64_t kEpochShift = DaysFromCivil(1899, 12, 30);

}  // namespace

bool TryEncodeDateTime(const DateTimeParts& p, DateTime& out) {
  if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12) return false;
  if (p.day < 1 || p.day > DaysInMonth(p.year, p.month)) return false;
  if (p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 || p.second < 0 || p.second > 59) return false;
  if (p.millisecond < 0 || p.millisecond > 999) return false;
  const auto days = static_cast<double>(DaysFromCivil(p.year, p.month, p.day) - kEpochShift);
  const double time =
      static_cast<double>(((p.hour * 60 + p.minute) * 60 + p.second) * 1000 + p.millisecond) / kMsPerDay;
  // Before day 0 the integral part counts backwards while the fraction still
  // counts forward from midnight, so the time is subtracted.
  out = days < 0 ? days - time : days + time;
  return true;
}

DateTime EncodeDateTime(const DateTimeParts& parts) {
  DateTime value = 0;
  if (!TryEncodeDateTime(parts, value)) {
    char text[96];
    std::snprintf(text, sizeof text, "Invalid date/time: %04d-%02d-%02d %02d:%02d:%02d.%03d", parts.year, parts.month,
                  parts.day, parts.hour, parts.minute, parts.second, parts.millisecond);
    throw EConvertError(text);
  }
  return value;
}

DateTimeParts DateTimePartsFromYyMmDd(const int fields[6]) {
  DateTimeParts parts;
  parts.year = 2000 + fields[0];
  parts.month = fields[1];
  parts.day = fields[2];
  parts.hour = fields[3];
  parts.minute = fields[4];
  parts.second = fields[5];
  return parts;
}

DateTimeParts DecodeDateTime(DateTime value) {
  DateTimeParts parts;
  // Far outside years 1..9999 (or not a number): no date; also keeps the
  // conversion to an integer defined.
  if (!std::isfinite(value) || std::fabs(value) > 1e8) return parts;
  auto days = static_cast<int64_t>(std::trunc(value));
  auto ms = static_cast<int64_t>(std::llround(std::fabs(value - static_cast<double>(days)) * kMsPerDay));
  if (ms >= kMsPerDay) {  // rounded up to the next midnight
    ms -= kMsPerDay;
    days += value < 0 ? -1 : 1;
  }
  CivilFromDays(days + kEpochShift, parts.year, parts.month, parts.day);
  parts.hour = static_cast<int>(ms / 3600000);
  parts.minute = static_cast<int>(ms / 60000 % 60);
  parts.second = static_cast<int>(ms / 1000 % 60);
  parts.millisecond = static_cast<int>(ms % 1000);
  return parts;
}

std::string FormatDateTime(DateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute, p.second);
  return text;
}

}  // namespace vela

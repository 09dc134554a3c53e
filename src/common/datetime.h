// The automation date: a double counting days since 1899-12-30 00:00, the
// fraction being the time of day. 0 stands for "no time".
#pragma once

#include "common/types.h"

namespace vela {

struct DateTimeParts {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// The parts of a date in 2000..2099 from six two-digit fields in the order
// YY MM DD hh mm ss (the time stamps of SMS).
DateTimeParts DateTimePartsFromYyMmDd(const int fields[6]);
// Composes a date-time; false (and `out` untouched) when the parts are no valid
// date and time (month 0 or 13, 31 April, hour 24, minute/second 60, year outside 1..9999).
bool TryEncodeDateTime(const DateTimeParts& parts, DateTime& out);
// Composes a date-time; raises vela::EConvertError for invalid parts.
DateTime EncodeDateTime(const DateTimeParts& parts);
// Decomposes a date-time (rounded to the millisecond).
DateTimeParts DecodeDateTime(DateTime value);
// "YYYY-MM-DD hh:mm:ss".
std::string FormatDateTime(DateTime value);

}  // namespace vela

#include "coding/validity.h"

#include <cctype>

namespace vela::coding {

namespace {

constexpr int64_t kHour = 60;
constexpr int64_t kDay = 24 * kHour;
constexpr int64_t kWeek = 7 * kDay;
constexpr int64_t kShortest = 5;
constexpr int64_t kLongest = 63 * kWeek;

int64_t CeilDiv(int64_t a, int64_t b) { return (a + b - 1) / b; }

ETextCodingError Invalid(const std::string& duration, const std::string& why) {
  return ETextCodingError("invalid validity period '" + duration + "': " + why +
                          " (from 5 minutes to 63 weeks: a number with m, h, d or w, e.g. 90m, 12h, 3d, 2w, "
                          "or max)");
}

}  // namespace

uint8_t ParseValidity(const std::string& duration) {
  std::string key;
  for (char c : duration) key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (key == "max") return kValidityMax;
  if (key.empty()) throw Invalid(duration, "empty");

  int64_t minutes = 0;
  size_t i = 0;
  while (i < key.size()) {
    if (!std::isdigit(static_cast<unsigned char>(key[i]))) throw Invalid(duration, "a number was expected");
    int64_t n = 0;
    for (; i < key.size() && std::isdigit(static_cast<unsigned char>(key[i])); ++i) {
      n = n * 10 + (key[i] - '0');
      if (n > kLongest) throw Invalid(duration, "longer than 63 weeks");
    }
    if (i == key.size()) throw Invalid(duration, "the number has no unit");
    switch (key[i++]) {
      case 'm':
        minutes += n;
        break;
      case 'h':
        minutes += n * kHour;
        break;
      case 'd':
        minutes += n * kDay;
        break;
      case 'w':
        minutes += n * kWeek;
        break;
      default:
        throw Invalid(duration, "unknown unit '" + std::string(1, duration[i - 1]) + "'");
    }
    if (minutes > kLongest) throw Invalid(duration, "longer than 63 weeks");
  }
  if (minutes < kShortest) throw Invalid(duration, "shorter than 5 minutes");

  // The next value the format can carry, never less than what was asked.
  if (minutes <= 12 * kHour) return static_cast<uint8_t>(CeilDiv(minutes, 5) - 1);
  if (minutes <= kDay) return static_cast<uint8_t>(143 + CeilDiv(minutes - 12 * kHour, 30));
  if (minutes <= 30 * kDay) return static_cast<uint8_t>(166 + CeilDiv(minutes, kDay));
  return static_cast<uint8_t>(192 + CeilDiv(minutes, kWeek));
}

int64_t ValidityMinutes(uint8_t vp) {
  if (vp <= 143) return (vp + 1) * int64_t{5};
  if (vp <= 167) return 12 * kHour + (vp - 143) * int64_t{30};
  if (vp <= 196) return (vp - 166) * kDay;
  return (vp - 192) * kWeek;
}

}  // namespace vela::coding

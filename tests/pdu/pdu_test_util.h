// Helpers for the PDU analysis tests: an independent date serial and a
// packer that builds 7-bit user data (with an optional header) as hex.
#pragma once

#include <string>
#include <vector>

#include "common/types.h"

namespace vela::test {

// Automation date of a civil date and time, computed without the platform
// layer: days since 1899-12-30 plus the fraction of the day.
inline double Serial(int y, int m, int d, int hh = 0, int mi = 0, int ss = 0) {
  auto days = [](int year, int month, int day) {
    year -= month <= 2;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int yoe = year - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
  };
  return days(y, m, d) - days(1899, 12, 30) + (hh * 3600 + mi * 60 + ss) / 86400.0;
}

inline std::string Hex(const std::vector<unsigned char>& octets) {
  static const char* digits = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char o : octets) {
    hex.push_back(digits[o >> 4]);
    hex.push_back(digits[o & 15]);
  }
  return hex;
}

struct UserData {
  std::string hex;  // user data as sent: header length, header, fill, septets
  int length = 0;   // TP-UDL in septets
};

// Packs `septets` (each below 128) after `header` (the header octets without
// the length octet; none for a PDU without header), least significant bit first.
inline UserData Pack7(const std::string& septets, const std::vector<unsigned char>& header = {}) {
  std::vector<int> bits;
  auto put = [&bits](unsigned value, int count) {
    for (int i = 0; i < count; ++i) bits.push_back((value >> i) & 1);
  };
  int header_septets = 0;
  if (!header.empty()) {
    put(static_cast<unsigned>(header.size()), 8);
    for (unsigned char o : header) put(o, 8);
    while (bits.size() % 7 != 0) bits.push_back(0);
    header_septets = static_cast<int>(bits.size() / 7);
  }
  for (char c : septets) put(static_cast<unsigned char>(c), 7);
  while (bits.size() % 8 != 0) bits.push_back(0);
  std::vector<unsigned char> octets(bits.size() / 8);
  for (size_t i = 0; i < bits.size(); ++i) octets[i / 8] |= static_cast<unsigned char>(bits[i] << (i % 8));
  return {Hex(octets), header_septets + static_cast<int>(septets.size())};
}

inline WideString Wide(const std::string& text) {
  WideString wide;
  for (char c : text) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return wide;
}

}  // namespace vela::test

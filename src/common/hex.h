// The tree's one hex table: upper-case digits for writing, the value of
// every byte as a digit of either case for reading, and octet <-> hex text
// conversions built on them. Pure; safe on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "common/types.h"

namespace vela::hex {

inline constexpr char kDigits[] = "0123456789ABCDEF";

// Value of every byte as a hex digit of either case; -1 for the others.
struct Index {
  int8_t value[256];
  constexpr Index() : value() {
    for (int c = 0; c < 256; ++c) {
      value[c] = -1;
      if (c >= '0' && c <= '9') value[c] = static_cast<int8_t>(c - '0');
      if (c >= 'A' && c <= 'F') value[c] = static_cast<int8_t>(c - 'A' + 10);
      if (c >= 'a' && c <= 'f') value[c] = static_cast<int8_t>(c - 'a' + 10);
    }
  }
};
inline constexpr Index kIndex{};

// 0..15 for a hex digit of either case, -1 otherwise.
inline int DigitValue(char c) { return kIndex.value[static_cast<uint8_t>(c)]; }

// Upper-case hex of `value`, at least `min_digits` characters.
inline void AppendHex(ByteString& out, unsigned value, int min_digits) {
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = kDigits[value & 0x0F];
    value >>= 4;
  } while (value != 0);
  while (n < min_digits) buffer[n++] = '0';
  while (n > 0) out.push_back(buffer[--n]);
}

// Two upper-case hex digits per octet.
inline ByteString FromOctets(const std::string& octets) {
  ByteString out(octets.size() * 2, '0');
  for (size_t i = 0; i < octets.size(); ++i) {
    const auto b = static_cast<uint8_t>(octets[i]);
    out[2 * i] = kDigits[b >> 4];
    out[2 * i + 1] = kDigits[b & 0x0F];
  }
  return out;
}

// Two lower-case hex digits per octet: tokens, session ids and signatures.
inline std::string LowerFromOctets(const unsigned char* octets, size_t size) {
  static constexpr char kLower[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kLower[octets[i] >> 4];
    out[2 * i + 1] = kLower[octets[i] & 0x0F];
  }
  return out;
}

// The octets of a hex text, two digits each, up to the first pair that is
// not hex. `complete` (if given) tells whether the whole text was read: false
// after a non-hex character or a lone last digit.
inline std::string ToOctets(const ByteString& text, bool* complete = nullptr) {
  std::string out;
  out.reserve(text.size() / 2);
  size_t i = 0;
  for (; i + 1 < text.size(); i += 2) {
    const int hi = DigitValue(text[i]);
    const int lo = DigitValue(text[i + 1]);
    if ((hi | lo) < 0) break;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  if (complete) *complete = i == text.size();
  return out;
}

}  // namespace vela::hex

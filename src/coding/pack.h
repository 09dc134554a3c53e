// User data packing shared by the SUBMIT encoders of this folder (private to
// src/coding): runs of values as hex, and 7-bit user data with a header.
// Pure, header-only so that the hot loops of the coders stay inlined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/hex.h"
#include "common/types.h"

namespace vela::pack {

// Appends `n` values as hex of `digits` characters each.
template <typename T>
void AppendHexRun(ByteString& out, const T* values, size_t n, int digits) {
  size_t at = out.size();
  out.resize(at + n * static_cast<size_t>(digits));
  for (size_t i = 0; i < n; ++i) {
    const unsigned value = static_cast<unsigned>(values[i]);
    for (int d = digits - 1; d >= 0; --d) out[at++] = hex::kDigits[(value >> (4 * d)) & 0x0F];
  }
}

// Septets taken by a user data header of `octets` octets (its UDHL octet
// included) in 7-bit user data, fill bits counted (TS 23.040 9.2.3.24).
constexpr size_t HeaderSeptets(size_t octets) { return (octets * 8 + 6) / 7; }

// Packed 7-bit user data as hex (TS 23.038 6.1.2.1, least significant bit
// first): the `header_octets` octets of a user data header, zero fill bits up
// to the next septet boundary, then the `n` septets (codes below 0x80).
// Spare bits of the last octet are zero.
inline void AppendPackedUserData(ByteString& out, const uint8_t* header, size_t header_octets, const uint8_t* codes,
                                 size_t n) {
  const size_t bits_total = 7 * (HeaderSeptets(header_octets) + n);
  const size_t at = out.size();
  out.resize(at + 2 * ((bits_total + 7) / 8));
  char* digits = out.empty() ? nullptr : &out[at];
  uint32_t bits = 0;   // pending bits, the oldest lowest
  unsigned count = 0;  // number of pending bits, below 8 between values
  auto emit = [&digits](uint32_t octet) {
    *digits++ = hex::kDigits[(octet >> 4) & 0x0F];
    *digits++ = hex::kDigits[octet & 0x0F];
  };
  for (size_t i = 0; i < header_octets; ++i) emit(header[i]);
  // The header fills whole octets; the fill bits start the next one.
  count = static_cast<unsigned>(7 * HeaderSeptets(header_octets) - 8 * header_octets);
  for (size_t i = 0; i < n; ++i) {
    bits |= static_cast<uint32_t>(codes[i]) << count;
    count += 7;
    if (count >= 8) {
      emit(bits);
      bits >>= 8;
      count -= 8;
    }
  }
  if (count > 0) emit(bits);
}

// Packed septets without a header: n septets give ceil(7n / 8) octets.
inline void AppendPackedSeptets(ByteString& out, const uint8_t* codes, size_t n) {
  AppendPackedUserData(out, nullptr, 0, codes, n);
}

}  // namespace vela::pack

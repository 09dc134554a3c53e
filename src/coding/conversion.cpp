#include "coding/conversion.h"

#include <cstddef>
#include <string>

#include "common/hex.h"
#include "common/errors.h"

namespace vela {

namespace {

// Signed 32-bit multiplication that wraps modulo 2^32 instead of overflowing.
int32_t WrapMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// Digit values of every byte, from the one hex table. The bit-text
// operations read a character as HexDigitValue does (upper-case hex only,
// anything else 0); the operations that upper-case first also give the
// lower-case letters a-f their value (upper-casing changes no other byte into
// a hex digit).
struct DigitTables {
  int8_t upper_only[256];
  int8_t any_case[256];
  constexpr DigitTables() : upper_only(), any_case() {
    for (int c = 0; c < 256; ++c) {
      const int v = hex::kIndex.value[c] < 0 ? 0 : hex::kIndex.value[c];
      any_case[c] = static_cast<int8_t>(v);
      upper_only[c] = static_cast<int8_t>(c >= 'a' && c <= 'f' ? 0 : v);
    }
  }
};
constexpr DigitTables kDigits{};

// Positional sum in the given base over a digit table; Horner's form gives
// the same value modulo 2^32 as summing digit * base^distance.
int32_t PositionalValue(const ByteString& digits, uint32_t base, const int8_t (&table)[256]) {
  uint32_t value = 0;
  for (char c : digits) value = value * base + static_cast<uint32_t>(table[static_cast<uint8_t>(c)]);
  return static_cast<int32_t>(value);
}

// IntToBinStr(n) padded with zeros to `width` characters, built in place.
ByteString PaddedBinStr(int32_t n, size_t width) {
  if (n < 0) {  // the decimal text of a negative number
    ByteString text = std::to_string(n);
    if (text.size() < width) text.insert(0, width - text.size(), '0');
    return text;
  }
  const auto value = static_cast<uint32_t>(n);
  size_t bits = 1;
  while (bits < 32 && (value >> bits) != 0) ++bits;
  ByteString text(bits > width ? bits : width, '0');
  char* last = &text[text.size() - 1];
  for (size_t i = 0; i < bits; ++i)
    last[-static_cast<std::ptrdiff_t>(i)] = static_cast<char>('0' + ((value >> i) & 1u));
  return text;
}

}  // namespace

ByteString TConversion::AddLeadingZeros(const ByteString& text, int32_t count) {
  if (count <= 0) return text;
  return ByteString(static_cast<size_t>(count), '0') + text;
}

int32_t TConversion::HexDigitValue(char c) { return kDigits.upper_only[static_cast<uint8_t>(c)]; }

int32_t TConversion::Power(int32_t base, int32_t exponent) {
  int32_t result = 1;
  for (int32_t i = 0; i < exponent; ++i) result = WrapMul(result, base);
  return result;
}

ByteString TConversion::ReverseStr(const ByteString& text) { return ByteString(text.rbegin(), text.rend()); }

int32_t TConversion::HexToInt(const ByteString& hex) { return PositionalValue(hex, 16, kDigits.upper_only); }

int32_t TConversion::BinStrToInt(const ByteString& bits) { return PositionalValue(bits, 2, kDigits.upper_only); }

// Binary digits for n >= 0 (0 and 1 are their own decimal text), the decimal
// text for negative n.
ByteString TConversion::IntToBinStr(int32_t n) { return PaddedBinStr(n, 0); }

ByteString TConversion::IntToBinStr4(int32_t n) { return PaddedBinStr(n, 4); }

ByteString TConversion::HexToBinStr8(const ByteString& hex) {
  return PaddedBinStr(PositionalValue(hex, 16, kDigits.any_case), 8);
}

ByteString TConversion::HexToBinStr4(const ByteString& hex) {
  return PaddedBinStr(PositionalValue(hex, 16, kDigits.any_case), 4);
}

int32_t TConversion::BinStrToNibble(const ByteString& bits) {
  bool valid = bits.size() == 4;
  int32_t value = 0;
  for (size_t i = 0; valid && i < bits.size(); ++i) {
    if (bits[i] != '0' && bits[i] != '1') valid = false;
    value = value * 2 + (bits[i] - '0');
  }
  if (!valid) throw EConvertError("TConversion error: Bad argument for binStr (0000-1111)");
  return value;
}

ByteString TConversion::SeptetsToText(const ByteString& hex) {
  // Septets are packed least significant bit first: septet k starts at bit
  // 7k of the octet stream. Octet p of each group of seven contributes its
  // low (7 - p) bits to the current septet and leaves its high (p + 1) bits
  // as carry for the next one; after the seventh the carry holds a whole
  // eighth septet. A zero septet reads as '@'.
  const size_t octets = hex.size() / 2;
  ByteString text(octets + octets / 7, '\0');
  char* out = text.empty() ? nullptr : &text[0];
  const auto* digits = reinterpret_cast<const uint8_t*>(hex.data());
  auto emit = [&out](unsigned septet) { *out++ = septet == 0 ? '@' : static_cast<char>(septet); };
  unsigned carry = 0;
  unsigned p = 0;
  for (size_t index = 0; index < octets; ++index) {
    const unsigned octet = static_cast<unsigned>(kDigits.any_case[digits[2 * index]]) * 16 +
                           static_cast<unsigned>(kDigits.any_case[digits[2 * index + 1]]);
    emit(((octet & ((1u << (7 - p)) - 1u)) << p) | carry);
    carry = octet >> (7 - p);
    if (++p == 7) {
      emit(carry);
      carry = 0;
      p = 0;
    }
  }
  return text;
}

}  // namespace vela

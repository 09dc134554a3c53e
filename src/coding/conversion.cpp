#include "coding/conversion.h"

#include <cctype>

#include "common/errors.h"

namespace vela {

namespace {

// Signed 32-bit arithmetic that wraps modulo 2^32 instead of overflowing.
int32_t WrapMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

int32_t WrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

ByteString PadZeros(const ByteString& text, size_t width) {
  if (text.size() >= width) return text;
  return ByteString(width - text.size(), '0') + text;
}

ByteString UpperCase(ByteString text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Positional sum in the given base; Horner's form gives the same value
// modulo 2^32 as summing digit * base^distance.
int32_t PositionalValue(const ByteString& digits, int32_t base) {
  int32_t value = 0;
  for (char c : digits) value = WrapAdd(WrapMul(value, base), TConversion::HexDigitValue(c));
  return value;
}

}  // namespace

ByteString TConversion::AddLeadingZeros(const ByteString& text, int32_t count) {
  if (count <= 0) return text;
  return ByteString(static_cast<size_t>(count), '0') + text;
}

int32_t TConversion::HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

int32_t TConversion::Power(int32_t base, int32_t exponent) {
  int32_t result = 1;
  for (int32_t i = 0; i < exponent; ++i) result = WrapMul(result, base);
  return result;
}

ByteString TConversion::ReverseStr(const ByteString& text) {
  return ByteString(text.rbegin(), text.rend());
}

int32_t TConversion::HexToInt(const ByteString& hex) { return PositionalValue(hex, 16); }

int32_t TConversion::BinStrToInt(const ByteString& bits) { return PositionalValue(bits, 2); }

ByteString TConversion::IntToBinStr(int32_t n) {
  if (n <= 1) return std::to_string(n);
  ByteString reversed;
  while (n > 1) {
    reversed.push_back(static_cast<char>('0' + n % 2));
    n /= 2;
  }
  reversed.push_back(static_cast<char>('0' + n));  // the leading 1
  return ReverseStr(reversed);
}

ByteString TConversion::IntToBinStr4(int32_t n) { return PadZeros(IntToBinStr(n), 4); }

ByteString TConversion::HexToBinStr8(const ByteString& hex) {
  return PadZeros(IntToBinStr(HexToInt(UpperCase(hex))), 8);
}

ByteString TConversion::HexToBinStr4(const ByteString& hex) {
  return PadZeros(IntToBinStr(HexToInt(UpperCase(hex))), 4);
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
  // 7k of the octet stream. Each octet contributes its low (7 - p) bits to
  // the current septet and leaves its high (p + 1) bits as carry for the
  // next one; after seven octets the carry holds a whole eighth septet.
  const size_t octets = hex.size() / 2;
  ByteString text;
  text.reserve(octets + octets / 7 + 1);
  auto emit = [&text](unsigned septet) {
    text.push_back(septet == 0 ? '@' : static_cast<char>(septet));
  };
  unsigned carry = 0;
  int carry_bits = 0;
  size_t index = 0;
  for (unsigned j = 0; index < octets; ++j) {
    const int p = static_cast<int>(j % 8);
    if (p == 7) {
      emit(carry);
      carry = 0;
      carry_bits = 0;
      continue;
    }
    const unsigned octet = static_cast<unsigned>(HexDigitValue(static_cast<char>(std::toupper(
                                                     static_cast<unsigned char>(hex[2 * index])))) *
                                                     16 +
                                                 HexDigitValue(static_cast<char>(std::toupper(
                                                     static_cast<unsigned char>(hex[2 * index + 1])))));
    const unsigned low = octet & ((1u << (7 - p)) - 1u);
    emit((low << carry_bits) | carry);
    carry = octet >> (7 - p);
    carry_bits = p + 1;
    ++index;
  }
  if (carry_bits == 7) emit(carry);
  return text;
}

}  // namespace vela

// Reference reading of the coding functions: the plain, literal
// implementations the library had before its hot paths were tuned (bit texts
// built character by character, upper-casing through std::toupper, one
// std::optional per octet). Test-only: the differential tests compare the
// tuned library with these on generated inputs, malformed ones included.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>

#include "coding/gsm_alphabet.h"
#include "coding/sms.h"
#include "common/types.h"
#include "platform/codepage.h"

namespace vela::reference {

// --- TConversion --------------------------------------------------------------

inline int32_t WrapMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

inline int32_t WrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

inline ByteString PadZeros(const ByteString& text, size_t width) {
  if (text.size() >= width) return text;
  return ByteString(width - text.size(), '0') + text;
}

inline ByteString UpperCase(ByteString text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

inline int32_t HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

inline int32_t PositionalValue(const ByteString& digits, int32_t base) {
  int32_t value = 0;
  for (char c : digits) value = WrapAdd(WrapMul(value, base), HexDigitValue(c));
  return value;
}

inline int32_t HexToInt(const ByteString& hex) { return PositionalValue(hex, 16); }
inline int32_t BinStrToInt(const ByteString& bits) { return PositionalValue(bits, 2); }

inline ByteString IntToBinStr(int32_t n) {
  if (n <= 1) return std::to_string(n);
  ByteString reversed;
  while (n > 1) {
    reversed.push_back(static_cast<char>('0' + n % 2));
    n /= 2;
  }
  reversed.push_back(static_cast<char>('0' + n));
  return ByteString(reversed.rbegin(), reversed.rend());
}

inline ByteString IntToBinStr4(int32_t n) { return PadZeros(IntToBinStr(n), 4); }
inline ByteString HexToBinStr8(const ByteString& hex) { return PadZeros(IntToBinStr(HexToInt(UpperCase(hex))), 8); }
inline ByteString HexToBinStr4(const ByteString& hex) { return PadZeros(IntToBinStr(HexToInt(UpperCase(hex))), 4); }

inline ByteString SeptetsToText(const ByteString& hex) {
  const size_t octets = hex.size() / 2;
  ByteString text;
  auto emit = [&text](unsigned septet) { text.push_back(septet == 0 ? '@' : static_cast<char>(septet)); };
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
    const unsigned octet =
        static_cast<unsigned>(
            HexDigitValue(static_cast<char>(std::toupper(static_cast<unsigned char>(hex[2 * index]))))) *
            16 +
        HexDigitValue(static_cast<char>(std::toupper(static_cast<unsigned char>(hex[2 * index + 1]))));
    const unsigned low = octet & ((1u << (7 - p)) - 1u);
    emit((low << carry_bits) | carry);
    carry = octet >> (7 - p);
    carry_bits = p + 1;
    ++index;
  }
  if (carry_bits == 7) emit(carry);
  return text;
}

// --- GSM alphabet and the POSIX code page (Windows cp1252 without the OS) ------

inline ByteString GsmToText(const ByteString& codes) {
  struct Extension {
    uint8_t byte;
    uint8_t code;
  };
  static constexpr Extension kExtensions[] = {{0x0C, 0x0A}, {0x5E, 0x14}, {0x7B, 0x28}, {0x7D, 0x29}, {0x5C, 0x2F},
                                              {0x5B, 0x3C}, {0x7E, 0x3D}, {0x5D, 0x3E}, {0x7C, 0x40}, {0xA4, 0x65}};
  ByteString text;
  bool escaped = false;
  for (char ch : codes) {
    const auto code = static_cast<uint8_t>(ch);
    if (escaped) {
      escaped = false;
      uint8_t byte = 0x00;
      for (const Extension& e : kExtensions) {
        if (e.code == code) {
          byte = e.byte;
          break;
        }
      }
      text.push_back(static_cast<char>(byte));
    } else if (code == kGsmEscape) {
      escaped = true;
    } else {
      text.push_back(static_cast<char>(GsmAlphabet[code]));
    }
  }
  return text;
}

inline constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

inline char ToByte(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

inline ByteString NarrowFromWide(const WideString& text) {
  ByteString out;
  for (char16_t unit : text) out.push_back(ToByte(unit));
  return out;
}

inline WideString WideFromNarrow(const ByteString& text) {
  WideString out;
  for (char c : text) {
    const auto byte = static_cast<uint8_t>(c);
    out.push_back(byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : static_cast<char16_t>(byte));
  }
  return out;
}

// --- TSMS decoding ------------------------------------------------------------

inline int HexValueOf(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

inline std::optional<unsigned> ParseHex(const char* p, size_t n) {
  if (n == 0) return std::nullopt;
  unsigned value = 0;
  for (size_t i = 0; i < n; ++i) {
    const int d = HexValueOf(p[i]);
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(d);
  }
  return value;
}

inline size_t RoundedGroups(size_t length, size_t width) {
  const size_t whole = length / width;
  const size_t rest = length % width;
  if (rest * 2 > width) return whole + 1;
  if (rest * 2 == width && whole % 2 == 1) return whole + 1;
  return whole;
}

inline std::optional<unsigned> GroupValue(const ByteString& hex, size_t index, size_t width) {
  const size_t start = index * width;
  if (start >= hex.size()) return std::nullopt;
  const size_t n = std::min(width, hex.size() - start);
  return ParseHex(hex.data() + start, n);
}

inline ByteString NormalizeLineBreaks(const ByteString& text) {
  ByteString out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      out.push_back(c);
      continue;
    }
    const char other = c == '\r' ? '\n' : '\r';
    if (i + 1 < text.size() && text[i + 1] == other) ++i;
    out += "\r\n";
  }
  return out;
}

inline ByteString Decode7Bit(const ByteString& hex) {
  const size_t n = RoundedGroups(hex.size(), 2);
  ByteString septets;
  unsigned shift = 1;
  unsigned carry = 0;
  for (size_t j = 0; j < n; ++j) {
    const auto v = GroupValue(hex, j, 2);
    if (!v) continue;
    septets.push_back(static_cast<char>(((*v & (0xFFu >> shift)) << (shift - 1)) | carry));
    carry = *v >> (8 - shift);
    ++shift;
    if (shift == 8) {
      if (!(j == n - 1 && carry == 0)) septets.push_back(static_cast<char>(carry));
      shift = 1;
      carry = 0;
    }
  }
  return NormalizeLineBreaks(GsmToText(septets));
}

inline std::optional<ByteString> Decode8Bit(const ByteString& hex) {
  const size_t n = RoundedGroups(hex.size(), 2);
  ByteString codes;
  for (size_t j = 0; j < n; ++j) {
    const auto v = GroupValue(hex, j, 2);
    if (!v) return std::nullopt;
    codes.push_back(static_cast<char>(*v));
  }
  return GsmToText(codes);
}

inline std::optional<WideString> DecodeUCS2(const ByteString& hex) {
  const size_t n = RoundedGroups(hex.size(), 4);
  WideString text;
  for (size_t j = 0; j < n; ++j) {
    const auto v = GroupValue(hex, j, 4);
    if (!v) return std::nullopt;
    text.push_back(static_cast<char16_t>(*v));
  }
  return text;
}

// --- TSMS encoding ------------------------------------------------------------

inline void AppendHex(ByteString& out, unsigned value, int min_digits) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = kHexDigits[value & 0x0F];
    value >>= 4;
  } while (value != 0);
  while (n < min_digits) buffer[n++] = '0';
  while (n > 0) out.push_back(buffer[--n]);
}

inline void AppendCodes(ByteString& codes, char c) {
  if (IsGsmExtensionChar(c)) codes.push_back(static_cast<char>(kGsmEscape));
  uint8_t code = GsmCharCode(c);
  if (code == kGsmEscape && !IsGsmExtensionChar(c)) code = 0x3F;
  codes.push_back(static_cast<char>(code));
}

inline ByteString CodesOf(const ByteString& text, size_t limit) {
  ByteString codes;
  for (char c : text) {
    const size_t needed = IsGsmExtensionChar(c) ? 2 : 1;
    if (codes.size() + needed > limit) break;
    AppendCodes(codes, c);
  }
  return codes;
}

inline ByteString PackSeptets(const ByteString& codes) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  ByteString hex;
  int k = 0;
  for (size_t i = 0; i < codes.size(); ++i) {
    if (k == 7) {
      k = 0;
      continue;
    }
    const unsigned current = static_cast<uint8_t>(codes[i]);
    const unsigned next = i + 1 < codes.size() ? static_cast<uint8_t>(codes[i + 1]) : 0;
    const unsigned octet = ((current >> k) | ((next & ((1u << (k + 1)) - 1u)) << (7 - k))) & 0xFFu;
    hex.push_back(kHexDigits[octet >> 4]);
    hex.push_back(kHexDigits[octet & 0x0F]);
    ++k;
  }
  return hex;
}

// The encoder converts through the platform's code page, as the library does.
inline int32_t ChooseCoding(const WideString& text) {
  const ByteString narrow = platform::NarrowFromWide(text);
  if (platform::WideFromNarrow(narrow) != text) return TSMS::kCodingUcs2;
  for (char c : narrow) {
    if (static_cast<uint8_t>(c) >= 0xC0) return TSMS::kCodingUcs2;
    if (GsmCharCode(c) >= 0x80) return TSMS::kCoding8Bit;
  }
  return TSMS::kCoding7Bit;
}

// The SUBMIT encoder over the message fields it reads; stores TpduLength.
// Raises EEncodeError like TSMS::EncodeSubmitPDU.
inline ByteString EncodeSubmitPDU(TSMS& sms) {
  const ByteString narrow = platform::NarrowFromWide(sms.Text);
  const ByteString address = TSMS::EncodeAddress(sms.Destination);
  int32_t coding = TSMS::kCodingUcs2;
  const int32_t automatic = sms.CodingSelector == TSMS::kCodingAuto ? ChooseCoding(sms.Text) : -1;
  if (sms.CodingSelector == TSMS::kCoding7Bit || automatic == TSMS::kCoding7Bit) {
    coding = TSMS::kCoding7Bit;
  } else if (sms.CodingSelector == TSMS::kCoding8Bit || automatic == TSMS::kCoding8Bit) {
    coding = TSMS::kCoding8Bit;
  }
  ByteString dcs;
  size_t udl = 0;
  ByteString user_data;
  if (coding == TSMS::kCoding7Bit) {
    ByteString codes = CodesOf(narrow, 160);
    for (char& code : codes) {
      if (static_cast<uint8_t>(code) >= 0x80) code = 0x3F;
    }
    dcs = sms.Class0 ? "10" : "00";
    udl = codes.size();
    user_data = PackSeptets(codes);
  } else if (coding == TSMS::kCoding8Bit) {
    const ByteString codes = CodesOf(narrow, 140);
    dcs = "04";
    udl = codes.size();
    for (char code : codes) AppendHex(user_data, static_cast<uint8_t>(code), 2);
  } else {
    const WideString& text = sms.Text;
    size_t units = std::min<size_t>(text.size(), 70);
    if (units < text.size() && units > 0 && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) --units;
    dcs = "08";
    udl = units * 2;
    for (size_t i = 0; i < units; ++i) AppendHex(user_data, text[i], 4);
  }
  unsigned first_octet = 0x11;
  if (sms.StatusReportRequest) first_octet |= 0x20;
  if (sms.ReplyPath) first_octet |= 0x80;
  ByteString tpdu;
  AppendHex(tpdu, first_octet, 2);
  tpdu += sms.MessageReference.empty() ? ByteString("00") : sms.MessageReference;
  tpdu += address;
  tpdu += "00";
  tpdu += dcs;
  tpdu += "FF";
  AppendHex(tpdu, static_cast<unsigned>(udl), 2);
  tpdu += user_data;
  sms.TpduLength = static_cast<int32_t>(tpdu.size() / 2);
  return "00" + tpdu;
}

}  // namespace vela::reference

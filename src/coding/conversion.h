// Conversions between hex text, 32-bit integers and bit texts, and an
// unpacker of packed 7-bit septets. All operations are pure and class-level;
// integer arithmetic is signed 32-bit and wraps modulo 2^32.
#pragma once

#include <cstdint>

#include "common/types.h"

namespace vela {

class TConversion {
 public:
  TConversion() = delete;

  // `count` characters "0" followed by `text`; `text` unchanged for count <= 0.
  static ByteString AddLeadingZeros(const ByteString& text, int32_t count);
  // 0-9 for '0'-'9', 10-15 for 'A'-'F', 0 for anything else (lower case too).
  static int32_t HexDigitValue(char c);
  // base^exponent by repeated multiplication, wrapping; 1 for exponent <= 0.
  static int32_t Power(int32_t base, int32_t exponent);
  static ByteString ReverseStr(const ByteString& text);
  // Sum of digit values times powers of 16, wrapping; 0 for the empty text.
  static int32_t HexToInt(const ByteString& hex);
  // Same with powers of 2; each character weighted by HexDigitValue.
  static int32_t BinStrToInt(const ByteString& bits);
  // Bit text without leading zeros; for n <= 1 the decimal text of n.
  static ByteString IntToBinStr(int32_t n);
  // IntToBinStr padded with zeros to 4 characters (longer results unchanged).
  static ByteString IntToBinStr4(int32_t n);
  // Upper-cases, HexToInt, IntToBinStr, zeros up to 8 characters.
  static ByteString HexToBinStr8(const ByteString& hex);
  // As HexToBinStr8 with zeros up to 4 characters.
  static ByteString HexToBinStr4(const ByteString& hex);
  // 0..15 for a text of exactly four '0'/'1' characters; otherwise raises
  // EConvertError "TConversion error: Bad argument for binStr (0000-1111)".
  static int32_t BinStrToNibble(const ByteString& bits);
  // Unpacks packed 7-bit data: one character per septet, "0000000" gives '@'.
  static ByteString SeptetsToText(const ByteString& hex);
};

}  // namespace vela

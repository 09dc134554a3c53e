#include "coding/conversion.h"

#include <gtest/gtest.h>

#include "coding/str_utils.h"
#include "common/errors.h"

namespace vela {
namespace {

struct HexCase {
  const char* hex;
  int32_t value;
};

TEST(TConversionTest, HexToIntWrapsAndIgnoresNonDigits) {
  const HexCase cases[] = {
      {"", 0},
      {"1A", 26},
      {"1a", 16},  // lower-case letters count 0
      {"FF", 255},
      {"7FFFFFFF", 0x7FFFFFFF},
      {"FFFFFFFF", -1},  // wraps into the sign
      {"80000000", INT32_MIN},
      {"123456789", 0x23456789},  // 16^8 wraps to 0: the first digit is lost
      {"G1", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(TConversion::HexToInt(c.hex), c.value) << c.hex;
}

TEST(TConversionTest, DigitValuesAndPower) {
  EXPECT_EQ(TConversion::HexDigitValue('0'), 0);
  EXPECT_EQ(TConversion::HexDigitValue('9'), 9);
  EXPECT_EQ(TConversion::HexDigitValue('A'), 10);
  EXPECT_EQ(TConversion::HexDigitValue('F'), 15);
  EXPECT_EQ(TConversion::HexDigitValue('a'), 0);
  EXPECT_EQ(TConversion::HexDigitValue('G'), 0);
  EXPECT_EQ(TConversion::Power(2, 10), 1024);
  EXPECT_EQ(TConversion::Power(16, 8), 0);  // wraps
  EXPECT_EQ(TConversion::Power(2, 31), INT32_MIN);
  EXPECT_EQ(TConversion::Power(7, 0), 1);
  EXPECT_EQ(TConversion::Power(7, -3), 1);
  EXPECT_EQ(TConversion::Power(-3, 3), -27);
}

TEST(TConversionTest, BinStrToIntWeighsEveryCharacterByItsHexValue) {
  EXPECT_EQ(TConversion::BinStrToInt(""), 0);
  EXPECT_EQ(TConversion::BinStrToInt("0110"), 6);
  EXPECT_EQ(TConversion::BinStrToInt("11111111"), 255);
  EXPECT_EQ(TConversion::BinStrToInt("2"), 2);
  EXPECT_EQ(TConversion::BinStrToInt("21"), 5);
  EXPECT_EQ(TConversion::BinStrToInt(std::string(32, '1')), -1);
  EXPECT_EQ(TConversion::BinStrToInt("1" + std::string(32, '0')), 0);  // 2^32 wraps
}

struct BinCase {
  int32_t n;
  const char* plain;
  const char* four;
};

TEST(TConversionTest, IntToBinStr) {
  const BinCase cases[] = {
      {0, "0", "0000"},
      {1, "1", "0001"},
      {2, "10", "0010"},
      {5, "101", "0101"},
      {15, "1111", "1111"},
      {17, "10001", "10001"},
      {-5, "-5", "00-5"},
      {255, "11111111", "11111111"},
      {INT32_MAX, "1111111111111111111111111111111", "1111111111111111111111111111111"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TConversion::IntToBinStr(c.n), c.plain) << c.n;
    EXPECT_EQ(TConversion::IntToBinStr4(c.n), c.four) << c.n;
  }
}

TEST(TConversionTest, HexToBinStrUpperCasesAndPads) {
  EXPECT_EQ(TConversion::HexToBinStr8("0a"), "00001010");
  EXPECT_EQ(TConversion::HexToBinStr8("F"), "00001111");
  EXPECT_EQ(TConversion::HexToBinStr8("91"), "10010001");
  EXPECT_EQ(TConversion::HexToBinStr8("00"), "00000000");
  EXPECT_EQ(TConversion::HexToBinStr8("1FF"), "111111111");  // longer results unchanged
  EXPECT_EQ(TConversion::HexToBinStr4("c"), "1100");
  EXPECT_EQ(TConversion::HexToBinStr4("1"), "0001");
  EXPECT_EQ(TConversion::HexToBinStr4(""), "0000");
}

TEST(TConversionTest, BinStrToNibbleAcceptsExactlyFourBits) {
  for (int v = 0; v < 16; ++v) EXPECT_EQ(TConversion::BinStrToNibble(TConversion::IntToBinStr4(v)), v);
  for (const char* bad : {"101", "01010", "10a0", "", "2000", "-101", " 101"}) {
    try {
      TConversion::BinStrToNibble(bad);
      ADD_FAILURE() << "no exception for '" << bad << "'";
    } catch (const EConvertError& e) {
      EXPECT_STREQ(e.what(), "TConversion error: Bad argument for binStr (0000-1111)");
    }
  }
}

struct SeptetCase {
  const char* hex;
  const char* text;
};

TEST(TConversionTest, SeptetsToText) {
  const SeptetCase cases[] = {
      {"", ""},
      {"E8329BFD06", "hello"},
      {"e8329bfd06", "hello"},     // either case
      {"E8329BFD06A", "hello"},    // unpaired last character dropped
      {"C8329BFD0E01", "Hello!"},  // a 6-bit carry after the last octet is fill
      // Seven characters fill seven octets with 7 fill bits: an '@' follows.
      {"41E19058341E01", "ABCDEFG@"},
      // 8 characters exactly in 7 octets.
      {"41E19058341E87", "ABCDEFGC"},
      {"00", "@"},  // a zero septet is '@'; the carry has 1 bit only
  };
  for (const auto& c : cases) EXPECT_EQ(TConversion::SeptetsToText(c.hex), c.text) << c.hex;
  // 14 octets: two whole groups of eight.
  EXPECT_EQ(TConversion::SeptetsToText("41E19058341E8741E19058341E87"), "ABCDEFGCABCDEFGC");
}

struct FieldCase {
  const char* text;
  int n;
  char separator;
  const char* field;
};

TEST(ExtractFieldTest, Table) {
  const FieldCase cases[] = {
      {"AT+CGMI|Maker|OK|", 2, '|', "Maker"},
      {"AT+CGMI|Maker|OK|", 3, '|', "OK"},
      {"AT+CGMI|Maker|OK|", 4, '|', ""},  // empty last field
      {"AT+CGMI|Maker|OK|", 9, '|', ""},  // past the end: the last field
      {"a|b", 3, '|', "b"},
      {"abc", 2, '|', "abc"},
      {"abc", 1, '|', "abc"},
      {"|x", 1, '|', ""},
      {"|x", 2, '|', "x"},
      {"a||c", 2, '|', ""},
      {"a||c", 3, '|', "c"},
      {"a|b", 0, '|', "a|b"},
      {"a|b", -1, '|', "a|b"},
      {"", 1, '|', ""},
      {"+CMGS: 12", 2, ':', " 12"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExtractField(c.text, c.n, c.separator), c.field) << c.text << " n=" << c.n;
  }
}

}  // namespace
}  // namespace vela

// Code-page conversion of the platform layer, and the UTF-8 codec and the
// automation date of common/, which the message coding rests on.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "common/errors.h"
#include "common/datetime.h"
#include "common/utf8.h"
#include "platform/codepage.h"

namespace vela::platform {
namespace {

using namespace std::string_literals;

// The tests assume Windows code page 1252, the system's byte-string code page
// on POSIX and on a Western-European Windows (and Wine) installation.
bool IsCp1252() { return WideFromNarrow("\x80") == u"\u20AC"; }

TEST(CodePageTest, AllBytesRoundTrip) {
  if (!IsCp1252()) GTEST_SKIP() << "the ANSI code page is not 1252";
  ByteString all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const WideString wide = WideFromNarrow(all);
  ASSERT_EQ(wide.size(), 256u);
  EXPECT_EQ(NarrowFromWide(wide), all);
}

struct WidenCase {
  int byte;
  char16_t unit;
};

TEST(CodePageTest, Cp1252Mapping) {
  if (!IsCp1252()) GTEST_SKIP() << "the ANSI code page is not 1252";
  const WidenCase cases[] = {
      {0x00, 0x0000},
      {0x41, 0x0041},
      {0x7F, 0x007F},
      {0x80, 0x20AC},
      {0x82, 0x201A},
      {0x8A, 0x0160},
      {0x99, 0x2122},
      {0x9F, 0x0178},
      {0xA0, 0x00A0},
      {0xA4, 0x00A4},
      {0xE9, 0x00E9},
      {0xFF, 0x00FF},
      // The five bytes cp1252 leaves undefined widen to the C1 controls.
      {0x81, 0x0081},
      {0x8D, 0x008D},
      {0x8F, 0x008F},
      {0x90, 0x0090},
      {0x9D, 0x009D},
  };
  for (const auto& c : cases) {
    const ByteString byte(1, static_cast<char>(c.byte));
    EXPECT_EQ(WideFromNarrow(byte), WideString(1, c.unit)) << std::hex << c.byte;
    EXPECT_EQ(NarrowFromWide(WideString(1, c.unit)), byte) << std::hex << c.byte;
  }
}

TEST(CodePageTest, UnmappableCharactersBecomeQuestionMarks) {
  if (!IsCp1252()) GTEST_SKIP() << "the ANSI code page is not 1252";
  const struct {
    WideString wide;
    const char* narrow;
  } cases[] = {
      {u"\u0416", "?"},  // Cyrillic
      {u"\u0080", "?"},  // a C1 control cp1252 does not keep
      {u"\u0100", "?"},  // A-macron: no best-fit 'A'
      {u"a\u4E16b", "a?b"},
      {u"\U0001F600", "??"},  // one '?' per code unit, as Windows does
      {u"x\xD800y", "x?y"},   // lone high surrogate
      {u"x\xDC00", "x?"},     // lone low surrogate
      {u"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(NarrowFromWide(c.wide), c.narrow);
  // Narrowing keeps the length: one byte per code unit.
  const WideString mixed = u"a\u0416\U0001F600\xD800\u20AC\u00E9";
  EXPECT_EQ(NarrowFromWide(mixed).size(), mixed.size());
}

TEST(CodePageTest, EmbeddedNulsSurvive) {
  const ByteString narrow = "a\0b"s;
  EXPECT_EQ(WideFromNarrow(narrow), u"a\0b"s);
  EXPECT_EQ(NarrowFromWide(u"a\0b"s), narrow);
}

struct Utf8Case {
  std::string utf8;
  WideString wide;
};

TEST(Utf8Test, Decoding) {
  const Utf8Case cases[] = {
      {"", u""},
      {"abc", u"abc"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xEF\xBF\xBF", u"\uFFFF"},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
      {"\xFF", u"\uFFFD"},
      {"a\x80"
       "b",
       u"a\uFFFDb"},        // lone continuation byte
      {"\xC3", u"\uFFFD"},  // truncated at the end
      {"\xE2\x82"
       "a",
       u"\uFFFDa"},                                       // truncated before ASCII
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong '/'
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong, three bytes
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\x00"s, u"\0"s},
  };
  for (const auto& c : cases) EXPECT_EQ(WideFromUtf8(c.utf8), c.wide);
}

TEST(Utf8Test, EncodingAndRoundTrip) {
  EXPECT_EQ(Utf8FromWide(u"\u00E9\u20AC\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8FromWide(u"a\xD800"), "a\xEF\xBF\xBD");
  EXPECT_EQ(Utf8FromWide(u"\xDC00z"), "\xEF\xBF\xBDz");
  EXPECT_EQ(Utf8FromWide(u"\xDBFF\xDFFF"), "\xF4\x8F\xBF\xBF");
  // Every BMP code unit that is not a surrogate round-trips.
  WideString all;
  for (char32_t u = 1; u < 0x10000; ++u) {
    if (u < 0xD800 || u > 0xDFFF) all.push_back(static_cast<char16_t>(u));
  }
  EXPECT_EQ(WideFromUtf8(Utf8FromWide(all)), all);
}

struct DateCase {
  DateTimeParts parts;
  double value;
};

TEST(DateTimeTest, KnownSerials) {
  const DateCase cases[] = {
      {{1899, 12, 30, 0, 0, 0, 0}, 0.0},    {{1899, 12, 31, 0, 0, 0, 0}, 1.0},
      {{1900, 1, 1, 0, 0, 0, 0}, 2.0},      {{2000, 1, 1, 0, 0, 0, 0}, 36526.0},
      {{2000, 1, 1, 12, 0, 0, 0}, 36526.5}, {{2023, 1, 8, 18, 0, 0, 0}, 44934.75},
      {{1899, 12, 29, 6, 0, 0, 0}, -1.25},  // before day 0 the time is subtracted
      {{1, 1, 1, 0, 0, 0, 0}, -693593.0},   {{9999, 12, 31, 0, 0, 0, 0}, 2958465.0},
  };
  for (const auto& c : cases) {
    DateTime value = -99;
    ASSERT_TRUE(TryEncodeDateTime(c.parts, value)) << c.value;
    EXPECT_DOUBLE_EQ(value, c.value);
    const DateTimeParts back = DecodeDateTime(c.value);
    EXPECT_EQ(back.year, c.parts.year);
    EXPECT_EQ(back.month, c.parts.month);
    EXPECT_EQ(back.day, c.parts.day);
    EXPECT_EQ(back.hour, c.parts.hour);
  }
}

TEST(DateTimeTest, InvalidPartsAreRejected) {
  const DateTimeParts invalid[] = {
      {2023, 13, 1, 0, 0, 0, 0}, {2023, 0, 1, 0, 0, 0, 0},    {2023, 4, 31, 0, 0, 0, 0}, {2023, 2, 29, 0, 0, 0, 0},
      {1900, 2, 29, 0, 0, 0, 0}, {2023, 1, 0, 0, 0, 0, 0},    {2023, 1, 1, 24, 0, 0, 0}, {2023, 1, 1, 0, 60, 0, 0},
      {2023, 1, 1, 0, 0, 60, 0}, {2023, 1, 1, 0, 0, 0, 1000}, {0, 1, 1, 0, 0, 0, 0},     {10000, 1, 1, 0, 0, 0, 0},
      {2023, 1, 1, -1, 0, 0, 0},
  };
  for (const auto& p : invalid) {
    DateTime value = 123.0;
    EXPECT_FALSE(TryEncodeDateTime(p, value)) << p.year << "-" << p.month << "-" << p.day;
    EXPECT_EQ(value, 123.0);  // untouched
    EXPECT_THROW(EncodeDateTime(p), EConvertError);
  }
  DateTime leap = 0;
  EXPECT_TRUE(TryEncodeDateTime({2000, 2, 29, 0, 0, 0, 0}, leap));
  EXPECT_TRUE(TryEncodeDateTime({2024, 2, 29, 23, 59, 59, 999}, leap));
}

TEST(DateTimeTest, EverySecondOfADayRoundTrips) {
  for (int s = 0; s < 86400; s += 7) {
    const DateTimeParts p{2099, 12, 31, s / 3600, s / 60 % 60, s % 60, 0};
    const DateTimeParts back = DecodeDateTime(EncodeDateTime(p));
    ASSERT_EQ(back.year, 2099);
    ASSERT_EQ(back.month, 12);
    ASSERT_EQ(back.day, 31);
    ASSERT_EQ(back.hour * 3600 + back.minute * 60 + back.second, s);
    ASSERT_EQ(back.millisecond, 0);
  }
}

TEST(DateTimeTest, Formatting) {
  EXPECT_EQ(FormatDateTime(0), "1899-12-30 00:00:00");
  EXPECT_EQ(FormatDateTime(44934.5 + 1.0 / 86400), "2023-01-08 12:00:01");
  EXPECT_EQ(FormatDateTime(EncodeDateTime({2023, 1, 8, 23, 59, 59, 999})), "2023-01-08 23:59:59");
  // Within half a millisecond of midnight rounds to the next day.
  EXPECT_EQ(FormatDateTime(44935.0 - 1e-10), "2023-01-09 00:00:00");
  // Values no date can have decode to zero parts instead of overflowing.
  EXPECT_EQ(DecodeDateTime(1e300).year, 0);
  EXPECT_EQ(DecodeDateTime(-1e300).year, 0);
  EXPECT_EQ(DecodeDateTime(std::nan("")).year, 0);
}

}  // namespace
}  // namespace vela::platform

#include "coding/gsm_alphabet.h"

#include <gtest/gtest.h>

namespace vela {
namespace {

ByteString Bytes(std::initializer_list<int> values) {
  ByteString s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

struct CharCodeCase {
  int byte;
  int code;
};

TEST(GsmCharCodeTest, FirstMatchThenExtensionThenQuestionMark) {
  const CharCodeCase cases[] = {
      {'A', 0x41},
      {'z', 0x7A},
      {'@', 0x00},
      {'$', 0x02},
      {' ', 0x20},
      {'?', 0x3F},
      {'\n', 0x0A},
      {'\r', 0x0D},
      {'_', 0x11},
      {0xA3, 0x01},  // £
      {0xE9, 0x05},  // é
      {0xA1, 0x40},  // ¡
      {0xA7, 0x5F},  // §
      {0xBF, 0x60},  // ¿
      {0xE0, 0x7F},  // à
      // The first match wins where the table holds a byte twice.
      {0xC4, 0x10},
      {0xD6, 0x12},
      {0xD8, 0x0B},
      {0xA4, 0x24},
      {0x00, 0x1B},
      // Extension characters: the code after the escape.
      {'[', 0x3C},
      {']', 0x3E},
      {'{', 0x28},
      {'}', 0x29},
      {'\\', 0x2F},
      {'^', 0x14},
      {'~', 0x3D},
      {'|', 0x40},
      {0x0C, 0x0A},
      // Latin-1 characters outside the alphabet: the upper half.
      {0xE1, 0xE1},
      {0xA2, 0xA2},
      {0xA9, 0xA9},
      {0xB7, 0x88},
      // No code at all.
      {'`', 0x3F},
      {0x80, 0x3F},
      {0xAD, 0x3F},
      {0xF7, 0x3F},
      {0x01, 0x3F},
      {0x9F, 0x3F},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GsmCharCode(static_cast<char>(c.byte)), c.code) << "byte 0x" << std::hex << c.byte;
  }
}

TEST(GsmCharCodeTest, ExtensionCharactersAreOnlyThoseMissingFromTheTable) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool expected =
        b == 0x0C || b == '^' || b == '{' || b == '}' || b == '\\' || b == '[' || b == '~' || b == ']' || b == '|';
    EXPECT_EQ(IsGsmExtensionChar(c), expected) << "byte 0x" << std::hex << b;
  }
}

TEST(GsmAlphabetTest, EveryCodeBelow128RoundTripsUnlessShadowed) {
  // A character found at its own code maps back to it; codes whose byte
  // appears earlier in the table (the Greek duplicates) map to the earlier one.
  int round_trips = 0;
  for (int code = 0; code < 128; ++code) {
    const uint8_t byte = GsmAlphabet[code];
    if (code == kGsmEscape) continue;
    const uint8_t back = GsmCharCode(static_cast<char>(byte));
    EXPECT_LE(back, code);
    if (back == code) ++round_trips;
  }
  // 0x17 (Ψ as 0xD8), 0x5B (Ä), 0x5C (Ö) are shadowed by earlier codes.
  EXPECT_EQ(round_trips, 127 - 3);
}

struct ToTextCase {
  ByteString codes;
  ByteString text;
};

TEST(GsmToTextTest, ResolvesEscapes) {
  const ToTextCase cases[] = {
      {Bytes({0x1B, 0x3C}), "["},
      {Bytes({0x1B, 0x41}), Bytes({0x00})},  // unknown extension code
      {Bytes({0x00, 0x02}), "@$"},
      {Bytes({0x41, 0x1B}), "A"},  // trailing escape: nothing
      {Bytes({0x1B, 0x1B, 0x41}), Bytes({0x00, 'A'})},
      {Bytes({0x1B, 0x65}), Bytes({0xA4})},  // euro (ISO 8859-15)
      {Bytes({0x1B, 0x0A, 0x0A}), Bytes({0x0C, 0x0A})},
      {Bytes({0x10, 0x24, 0x40, 0x5B}), Bytes({0xC4, 0xA4, 0xA1, 0xC4})},
      {Bytes({0x80, 0x88, 0xE1}), Bytes({0x00, 0xB7, 0xE1})},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(GsmToText(c.codes), c.text);
}

TEST(GsmToTextTest, ExtensionTableRoundTrips) {
  for (char c : ByteString("\f^{}\\[~]|")) {
    const ByteString codes = Bytes({kGsmEscape, GsmCharCode(c)});
    EXPECT_EQ(GsmToText(codes), ByteString(1, c));
  }
}

TEST(SwapSemiOctetsTest, SwapsPairsAndKeepsALoneLastCharacter) {
  EXPECT_EQ(SwapSemiOctets("123"), "213");
  EXPECT_EQ(SwapSemiOctets("1234"), "2143");
  EXPECT_EQ(SwapSemiOctets("2143658709F1"), "12345678901F");
  EXPECT_EQ(SwapSemiOctets("1"), "1");
  EXPECT_EQ(SwapSemiOctets(""), "");
}

}  // namespace
}  // namespace vela

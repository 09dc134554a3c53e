// The tuned coding functions against their reference reading
// (reference_impl.h) on generated inputs: hex of either case, non-hex bytes,
// odd lengths, every length up to 400, and texts that mix every code-page
// range. Any difference is a fault of the tuned code.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "coding/conversion.h"
#include "coding/gsm_alphabet.h"
#include "coding/sms.h"
#include "reference_impl.h"

namespace vela {
namespace {

constexpr size_t kMaxLength = 400;

class Generator {
 public:
  uint32_t Next() { return static_cast<uint32_t>(engine_()); }
  size_t Below(size_t n) { return Next() % n; }

  // Mostly hex of both cases, sometimes any byte (NUL, high bytes, 'G', CR).
  ByteString HexLike(size_t length) {
    static const char kHex[] = "0123456789ABCDEFabcdef";
    ByteString text;
    for (size_t i = 0; i < length; ++i) {
      text.push_back(Below(8) == 0 ? static_cast<char>(Next() & 0xFF) : kHex[Below(sizeof kHex - 1)]);
    }
    return text;
  }
  ByteString AnyBytes(size_t length) {
    ByteString text;
    for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(Next() & 0xFF));
    return text;
  }
  // ASCII, GSM extension characters, Latin-1, cp1252's high controls, Greek
  // and Cyrillic, surrogates (paired and lone) and line breaks.
  WideString Text(size_t length) {
    static const char16_t kSpecial[] = u"\r\n{}[]~^|\\\x0C\x20AC\x0394\x0416\x2019\xD83D\xDE00\x0081\x00A4\x00E9";
    WideString text;
    for (size_t i = 0; i < length; ++i) {
      switch (Below(4)) {
        case 0:
          text.push_back(static_cast<char16_t>(Next() & 0xFF));
          break;
        case 1:
          text.push_back(kSpecial[Below(sizeof kSpecial / sizeof kSpecial[0] - 1)]);
          break;
        case 2:
          text.push_back(static_cast<char16_t>(Next() & 0xFFFF));
          break;
        default:
          text.push_back(static_cast<char16_t>(0x20 + Below(0x5F)));
          break;
      }
    }
    return text;
  }

 private:
  std::mt19937 engine_{20261208};
};

TEST(Differential, HexAndBitTexts) {
  Generator gen;
  for (size_t length = 0; length <= kMaxLength; ++length) {
    for (int round = 0; round < 4; ++round) {
      const ByteString hex = gen.HexLike(length);
      ByteString bits = hex;
      for (char& c : bits) c = gen.Below(6) == 0 ? c : static_cast<char>('0' + (gen.Next() & 1));
      for (const ByteString& text : {hex, bits}) {
        ASSERT_EQ(TConversion::HexToInt(text), reference::HexToInt(text)) << text;
        ASSERT_EQ(TConversion::BinStrToInt(text), reference::BinStrToInt(text)) << text;
        ASSERT_EQ(TConversion::HexToBinStr8(text), reference::HexToBinStr8(text)) << text;
        ASSERT_EQ(TConversion::HexToBinStr4(text), reference::HexToBinStr4(text)) << text;
        ASSERT_EQ(TConversion::SeptetsToText(text), reference::SeptetsToText(text)) << text;
      }
    }
  }
}

TEST(Differential, IntegersToBitTexts) {
  Generator gen;
  std::vector<int32_t> values = {INT32_MIN, INT32_MIN + 1, -256, -2, -1, 0, 1, 2, 3, 15, 16, 255, 256, INT32_MAX};
  for (int i = 0; i < 5000; ++i) values.push_back(static_cast<int32_t>(gen.Next() >> gen.Below(32)));
  for (int i = 0; i < 1000; ++i) values.push_back(-static_cast<int32_t>(gen.Next() >> (1 + gen.Below(31))));
  for (int32_t n : values) {
    ASSERT_EQ(TConversion::IntToBinStr(n), reference::IntToBinStr(n)) << n;
    ASSERT_EQ(TConversion::IntToBinStr4(n), reference::IntToBinStr4(n)) << n;
  }
}

TEST(Differential, GsmCodes) {
  Generator gen;
  for (size_t length = 0; length <= kMaxLength; ++length) {
    const ByteString bytes = gen.AnyBytes(length);
    ASSERT_EQ(GsmToText(bytes), reference::GsmToText(bytes)) << length;
  }
}

TEST(Differential, UserDataDecoders) {
  Generator gen;
  for (size_t length = 0; length <= kMaxLength; ++length) {
    for (int round = 0; round < 3; ++round) {
      const ByteString hex = gen.HexLike(length);
      ASSERT_EQ(TSMS::Decode7Bit(hex), reference::Decode7Bit(hex)) << hex;
      ASSERT_EQ(TSMS::Decode8Bit(hex), reference::Decode8Bit(hex)) << hex;
      ASSERT_EQ(TSMS::DecodeUCS2(hex), reference::DecodeUCS2(hex)) << hex;
      ByteString breaks = gen.AnyBytes(length);
      for (char& c : breaks) c = gen.Below(3) == 0 ? "\r\n"[gen.Below(2)] : c;
      ASSERT_EQ(TSMS::NormalizeLineBreaks(breaks), reference::NormalizeLineBreaks(breaks)) << length;
    }
  }
}

TEST(Differential, SubmitEncoder) {
  Generator gen;
  const int32_t selectors[] = {TSMS::kCoding7Bit, TSMS::kCoding8Bit, TSMS::kCodingUcs2, TSMS::kCodingAuto, 7};
  const char* const destinations[] = {"+12345678901", "0123456", "+", "", "12a4"};
  for (size_t length = 0; length <= kMaxLength; ++length) {
    for (int round = 0; round < 3; ++round) {
      TSMS sms;
      // Plain 7-bit texts too, so that the automatic choice takes every branch.
      sms.Text = round == 0 ? WideString(length, u'a') : gen.Text(length);
      if (round == 0 && length > 0) sms.Text[gen.Below(length)] = u"{\x00E9\x00C9\x0416"[gen.Below(4)];
      sms.CodingSelector = selectors[gen.Below(5)];
      sms.Destination = destinations[gen.Below(5)];
      sms.MessageReference = gen.Below(2) ? ByteString() : gen.HexLike(gen.Below(4));
      sms.Class0 = gen.Below(2);
      sms.ReplyPath = gen.Below(2);
      sms.StatusReportRequest = gen.Below(2);
      TSMS expected_sms = sms;
      ByteString actual, expected;
      bool actual_raised = false, expected_raised = false;
      try {
        actual = sms.EncodeSubmitPDU();
      } catch (const EEncodeError&) {
        actual_raised = true;
      }
      try {
        expected = reference::EncodeSubmitPDU(expected_sms);
      } catch (const EEncodeError&) {
        expected_raised = true;
      }
      ASSERT_EQ(actual_raised, expected_raised) << length;
      ASSERT_EQ(actual, expected) << length;
      ASSERT_EQ(sms.TpduLength, expected_sms.TpduLength) << length;
    }
  }
}

}  // namespace
}  // namespace vela

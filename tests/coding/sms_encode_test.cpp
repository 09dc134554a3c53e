#include <gtest/gtest.h>

#include "coding/sms.h"

#include <string>

#include "coding/gsm_alphabet.h"

namespace vela {
namespace {

using namespace std::string_literals;

WideString W(const ByteString& latin1) {
  WideString w;
  for (char c : latin1) w.push_back(static_cast<unsigned char>(c));
  return w;
}

TSMS Submit(const ByteString& destination, const WideString& text, int32_t selector = 0) {
  TSMS sms;
  sms.Destination = destination;
  sms.Text = text;
  sms.CodingSelector = selector;
  return sms;
}

// The fields after the destination address: TP-PID, TP-DCS, TP-VP, TP-UDL, TP-UD.
struct Tail {
  ByteString dcs, udl, user_data;
};

// Splits a PDU made for destination "+12345678901" (address field 16 chars).
Tail TailOf(const ByteString& pdu) {
  const size_t at = 2 + 2 + 2 + 16;        // SCA length, first octet, TP-MR, TP-DA
  EXPECT_EQ(pdu.substr(at, 2), "00");      // TP-PID
  EXPECT_EQ(pdu.substr(at + 4, 2), "FF");  // TP-VP
  return {pdu.substr(at + 2, 2), pdu.substr(at + 6, 2), pdu.substr(at + 8)};
}

TEST(EncodeSubmitPduTest, ReferenceMessage) {
  TSMS sms = Submit("+12345678901", u"hi");
  EXPECT_EQ(sms.EncodeSubmitPDU(), "0011000B912143658709F10000FF02E834");
  EXPECT_EQ(sms.TpduLength, 16);

  sms.StatusReportRequest = true;
  EXPECT_EQ(sms.EncodeSubmitPDU(), "0031000B912143658709F10000FF02E834");
  EXPECT_EQ(sms.TpduLength, 16);
}

TEST(EncodeSubmitPduTest, FirstOctetReferenceAndClassFlags) {
  TSMS sms = Submit("+12345678901", u"hi");
  sms.ReplyPath = true;
  sms.MessageReference = "2A";
  sms.Class0 = true;
  EXPECT_EQ(sms.EncodeSubmitPDU(), "00912A0B912143658709F10010FF02E834");
  sms.StatusReportRequest = true;
  EXPECT_EQ(sms.EncodeSubmitPDU().substr(2, 2), "B1");
}

TEST(EncodeSubmitPduTest, EmptyTextHasNoUserData) {
  TSMS sms = Submit("+12345678901", u"");
  EXPECT_EQ(sms.EncodeSubmitPDU(), "0011000B912143658709F10000FF00");
  EXPECT_EQ(sms.TpduLength, 14);
}

TEST(EncodeSubmitPduTest, ChangesNoFieldButTpduLengthAndRepeats) {
  TSMS sms = Submit("0123456", u"repeat [me]");
  const ByteString first = sms.EncodeSubmitPDU();
  EXPECT_EQ(sms.EncodeSubmitPDU(), first);
  EXPECT_EQ(sms.Destination, "0123456");
  EXPECT_EQ(sms.Text, u"repeat [me]");
  EXPECT_EQ(sms.MessageReference, "");
  EXPECT_EQ(sms.Pdu, "");
  EXPECT_EQ(sms.TpduLength, static_cast<int32_t>(first.size() / 2 - 1));
}

TEST(EncodeSubmitPduTest, EmptyDestinationRaises) {
  TSMS sms = Submit("", u"hi");
  try {
    sms.EncodeSubmitPDU();
    FAIL() << "no exception";
  } catch (const EEncodeError& e) {
    EXPECT_STREQ(e.what(), "Error encoding PDU");
  }
}

struct AddressCase {
  const char* number;
  const char* fields;
};

TEST(EncodeAddressTest, Table) {
  const AddressCase cases[] = {
      {"0123456", "0781103254F6"},
      {"+12345678901", "0B912143658709F1"},
      {"1", "0181F1"},
      {"12", "028121"},
      {"1234", "04812143"},
      {"12 34", "04812143"},  // blanks removed (they used to be written into the PDU)
      {"*100#", "05811A00FB"},
  };
  for (const auto& c : cases) EXPECT_EQ(TSMS::EncodeAddress(c.number), c.fields) << c.number;
  EXPECT_THROW(TSMS::EncodeAddress(""), EEncodeError);
  EXPECT_THROW(TSMS::EncodeAddress("+"), EEncodeError);  // no digit (was "0091")
}

// A number that cannot be encoded says why, after the version-1 text; the
// empty number keeps the plain message.
TEST(EncodeSubmitPduTest, InvalidDestinationSaysWhy) {
  for (const char* number : {"abc", "+1-555-CALL", "123456789012345678901", "+"}) {
    TSMS sms = Submit(number, u"hi");
    try {
      sms.EncodeSubmitPDU();
      ADD_FAILURE() << number << ": no exception";
    } catch (const EEncodeError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(
                    std::string("Error encoding PDU: invalid destination number '") + number + "': ", 0),
                0u)
          << e.what();
    }
  }
  TSMS sms = Submit("+1 (234) 567-8901", u"hi");
  EXPECT_EQ(sms.EncodeSubmitPDU(), "0011000B912143658709F10000FF02E834");
}

struct UserDataCase {
  const char* name;
  WideString text;
  int32_t selector;
  const char* dcs;
  const char* udl;
  const char* user_data;
};

TEST(EncodeSubmitPduTest, UserDataTable) {
  const UserDataCase cases[] = {
      {"extension pair", u"[", 0, "00", "02", "1B1E"},
      {"Hello World", u"Hello World!", 0, "00", "0C", "C8329BFD065DDF72363904"},
      {"49 septets", u"It is easy to read text messages via AT commands.", 0, "00", "31",
       "493A283D0795C3F33C88FE06C9CB6132885EC6D341EDF27C1E3E97E7207B3A0C0A5241E377BB1D7693E72E"},
      {"digits", u"123456", 0, "00", "06", "31D98C56B301"},
      {"Ä first match", W("\xC4"), 0, "00", "01", "10"},
      {"Ö first match", W("\xD6"), 0, "00", "01", "12"},
      {"euro has no code", u"\u20AC", 0, "00", "01", "3F"},
      {"8-bit", u"A", 1, "04", "01", "41"},
      {"8-bit codes", u"@[\u00E1", 1, "04", "04", "001B3CE1"},
      {"UCS2", u"A", 2, "08", "02", "0041"},
      {"UCS2 any other selector", u"\u0416\u00E9", 7, "08", "04", "041600E9"},
      {"UCS2 surrogate pair", u"\U0001F600", 2, "08", "04", "D83DDE00"},
      // Codes of the table's upper half do not fit a septet: sent as '?'.
      {"a-acute in 7-bit", W("\xE1"), 0, "00", "01", "3F"},
      {"middle dot in 7-bit", W("\xB7"), 0, "00", "01", "3F"},
      // The byte 0 would be a lone escape code: sent as '?'.
      {"NUL", u"a\u0000("s, 0, "00", "03", "E11F0A"},
  };
  for (const auto& c : cases) {
    TSMS sms = Submit("+12345678901", c.text, c.selector);
    const ByteString pdu = sms.EncodeSubmitPDU();
    const Tail tail = TailOf(pdu);
    EXPECT_EQ(tail.dcs, c.dcs) << c.name;
    EXPECT_EQ(tail.udl, c.udl) << c.name;
    EXPECT_EQ(tail.user_data, c.user_data) << c.name;
    EXPECT_EQ(sms.TpduLength, static_cast<int32_t>(pdu.size() / 2 - 1)) << c.name;
  }
}

TEST(EncodeSubmitPduTest, MatchesPeerToolTpdus) {
  // TPDUs of another tool's SMS-SUBMIT vectors with relative validity FF
  // (its service-centre part "03812143" replaced by our empty one).
  TSMS seven = Submit("1234", u"123456", 0);
  EXPECT_EQ(seven.EncodeSubmitPDU(),
            "00"
            "1100048121430000FF0631D98C56B301");
  TSMS ucs2 = Submit("1234", u"123456", 2);
  EXPECT_EQ(ucs2.EncodeSubmitPDU(),
            "00"
            "1100048121430008FF0C003100320033003400350036");
}

TEST(EncodeSubmitPduTest, PackingLengths) {
  // n septets take ceil(7n / 8) octets.
  for (size_t n : {1u, 7u, 8u, 9u, 15u, 16u, 159u, 160u}) {
    TSMS sms = Submit("+12345678901", WideString(n, u'x'));
    const Tail tail = TailOf(sms.EncodeSubmitPDU());
    EXPECT_EQ(tail.user_data.size(), 2 * ((7 * n + 7) / 8)) << n;
  }
  TSMS eight = Submit("+12345678901", u"abcdefgh");
  EXPECT_EQ(TailOf(eight.EncodeSubmitPDU()).user_data.size(), 14u);
  TSMS full = Submit("+12345678901", WideString(160, u'a'));
  const Tail tail = TailOf(full.EncodeSubmitPDU());
  EXPECT_EQ(tail.udl, "A0");
  EXPECT_EQ(tail.user_data.size(), 280u);
  EXPECT_EQ(full.TpduLength, 14 + 140);  // 14 header octets
}

struct ChooseCase {
  const char* name;
  WideString text;
  int32_t coding;
};

TEST(ChooseCodingTest, Table) {
  const ChooseCase cases[] = {
      {"plain", u"abc", 0},
      {"empty", u"", 0},
      {"extension", u"{[]}", 0},
      {"pound and yen", W("\xA3\xA5"), 0},
      {"cent", W("x\xA2"), 1},
      {"copyright", W("\xA9"), 1},
      {"cent before e-acute", W("\xA2\xE9"), 1},
      {"e-acute", W("\xE9"), 2},
      {"A-umlaut although GSM has it", W("\xC4"), 2},
      {"e-acute before cent", W("\xE9\xA2"), 2},
      {"Cyrillic", u"\u0416", 2},
      {"euro is in cp1252", u"\u20AC", 0},
      {"C1 control U+0081 survives the round trip", u"\u0081", 0},
      {"lone surrogate", u"a\xD800", 2},
  };
  for (const auto& c : cases) EXPECT_EQ(TSMS::ChooseCoding(c.text), c.coding) << c.name;
}

TEST(EncodeSubmitPduTest, AutomaticCodingPicksTheDcs) {
  const struct {
    WideString text;
    const char* dcs;
  } cases[] = {{u"abc", "00"},
               {W("\xA2"
                  "a"),
                "04"},
               {W("\xE9"), "08"},
               {u"\u0416", "08"}};
  for (const auto& c : cases) {
    TSMS sms = Submit("+12345678901", c.text, TSMS::kCodingAuto);
    EXPECT_EQ(TailOf(sms.EncodeSubmitPDU()).dcs, c.dcs);
  }
}

struct CutCase {
  const char* name;
  WideString text;
  int32_t selector;
  const char* udl;
  size_t user_data_chars;
};

TEST(EncodeSubmitPduTest, UserDataBeyondOneSmsIsCutAtACharacter) {
  const CutCase cases[] = {
      {"161 septets", WideString(161, u'a'), 0, "A0", 280},
      {"escape pair would straddle the limit", WideString(159, u'a') + u"[", 0, "9F", 2 * 140},
      {"escape pairs count two", WideString(100, u'['), 0, "A0", 280},
      {"141 octets", WideString(141, u'a'), 1, "8C", 280},
      {"8-bit escape pair at the limit", WideString(139, u'a') + u"]", 1, "8B", 278},
      {"71 UCS2 units", WideString(71, u'\u0416'), 2, "8C", 280},
      {"surrogate pair at the limit", WideString(69, u'\u0416') + u"\U0001F600", 2, "8A", 276},
  };
  for (const auto& c : cases) {
    TSMS sms = Submit("+12345678901", c.text, c.selector);
    const Tail tail = TailOf(sms.EncodeSubmitPDU());
    EXPECT_EQ(tail.udl, c.udl) << c.name;
    EXPECT_EQ(tail.user_data.size(), c.user_data_chars) << c.name;
  }
}

TEST(EncodeSubmitPduTest, SevenBitRoundTripThroughTheDecoder) {
  // Every default-alphabet and extension character, in messages of every
  // length up to one SMS, comes back unchanged from the decoder. (CR and LF
  // are left out: the decoder normalises line breaks.)
  ByteString alphabet;
  for (int b = 1; b < 256; ++b) {
    const char c = static_cast<char>(b);
    if (c == '\r' || c == '\n') continue;
    const uint8_t code = GsmCharCode(c);
    if (code < 0x80 && (code != 0x3F || c == '?')) alphabet.push_back(c);
  }
  alphabet.insert(0, 1, '@');
  for (size_t length = 1; length <= 160; ++length) {
    ByteString text;
    for (size_t i = 0; i < length; ++i) text.push_back(alphabet[(i * 7 + length) % alphabet.size()]);
    if (text.back() == '@') text.back() = 'x';  // a final zero septet reads as fill
    TSMS out = Submit("+12345678901", W(text));
    const ByteString pdu = out.EncodeSubmitPDU();
    TSMS in;
    in.ParsePDU(pdu);
    const WideString decoded = in.GetMessageText();
    // Escape pairs may push the tail beyond one SMS; compare what was sent.
    ASSERT_EQ(decoded, W(text).substr(0, decoded.size())) << "length " << length;
    EXPECT_GE(decoded.size(), std::min<size_t>(length, 80)) << "length " << length;
    EXPECT_EQ(in.GetOriginator(), "+12345678901");
  }
}

}  // namespace
}  // namespace vela

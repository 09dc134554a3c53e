#include <gtest/gtest.h>

#include <string>

#include "coding/sms.h"
#include "common/datetime.h"

namespace vela {
namespace {

using namespace std::string_literals;

// "+19876543210", international.
constexpr char kOriginator[] = "0B919178563412F0";
// 2023-01-08 12:34:56, zone 00.
constexpr char kScts[] = "32108021436500";

// An SMS-DELIVER with service centre "+12345678901".
ByteString Deliver(const ByteString& first, const ByteString& dcs, const ByteString& udl, const ByteString& ud,
                   const ByteString& scts = kScts) {
  return "07912143658709F1" + first + kOriginator + "00" + dcs + scts + udl + ud;
}

std::string Format(DateTime t) { return FormatDateTime(t); }

TEST(ParsePduTest, Deliver) {
  TSMS sms;
  sms.ParsePDU("07912143658709F1040B919178563412F000003210802143650002E834");
  EXPECT_EQ(sms.Kind, TSMS::kDeliver);
  EXPECT_FALSE(sms.IsSubmit);
  EXPECT_FALSE(sms.HasHeader);
  EXPECT_EQ(sms.SmscDigits, 14);
  EXPECT_EQ(sms.TpduPos, 17);
  EXPECT_EQ(sms.AddressPos, 21);
  EXPECT_EQ(sms.AddressDigits, 12);
  EXPECT_EQ(sms.ValidityDigits, 0);
  EXPECT_EQ(sms.Coding, 0);
  EXPECT_EQ(sms.TpduLength, 21);
  EXPECT_EQ(Format(sms.GetServiceCentreTime()), "2023-01-08 12:34:56");
  EXPECT_EQ(sms.GetDischargeTime(), 0.0);
  EXPECT_EQ(sms.GetMessageText(), u"hi");
  EXPECT_EQ(sms.UserDataLength, 2);
  EXPECT_EQ(sms.GetOriginator(), "+19876543210");
}

TEST(ParsePduTest, DeliverWithHeader) {
  TSMS sms;
  sms.ParsePDU(Deliver("44", "00", "09", "050003A70201D069"));
  EXPECT_TRUE(sms.HasHeader);
  EXPECT_EQ(Format(sms.GetServiceCentreTime()), "2023-01-08 12:34:56");
  EXPECT_EQ(sms.GetMessageText(), u"hi");
  EXPECT_EQ(sms.Header, "050003A70201");
  EXPECT_EQ(sms.UserDataLength, 9);
  // The header is blanked in place; nothing else moves.
  EXPECT_EQ(sms.Pdu, Deliver("44", "00", "09", "000000000000D069"));
  EXPECT_EQ(sms.GetOriginator(), "+19876543210");
}

TEST(ParsePduTest, StatusReport) {
  TSMS sms;
  sms.ParsePDU("07912143658709F1062A0B919178563412F0321080214365003210802153200000");
  EXPECT_EQ(sms.Kind, TSMS::kStatusReport);
  EXPECT_EQ(sms.MessageReference, "2A");
  EXPECT_EQ(sms.AddressPos, 23);
  EXPECT_EQ(sms.GetOriginator(), "+19876543210");
  EXPECT_EQ(Format(sms.GetServiceCentreTime()), "2023-01-08 12:34:56");
  EXPECT_EQ(Format(sms.GetDischargeTime()), "2023-01-08 12:35:02");
  const ByteString before = sms.Pdu;
  EXPECT_EQ(sms.GetMessageText(), u"");
  EXPECT_EQ(sms.Pdu, before);
}

TEST(ParsePduTest, SubmitFindsValidityAndHasNoTimes) {
  struct Case {
    const char* first;
    int validity;
    const char* vp;
  } cases[] = {{"01", 0, ""}, {"11", 2, "FF"}, {"19", 14, "32108021436500"}, {"09", 14, "01000000000000"}};
  for (const auto& c : cases) {
    TSMS sms;
    sms.ParsePDU(ByteString("00") + c.first + "05" + "0B912143658709F1" + "0000" + c.vp + "02E834");
    EXPECT_TRUE(sms.IsSubmit);
    EXPECT_EQ(sms.Kind, TSMS::kSubmit);
    EXPECT_EQ(sms.TpduPos, 3);
    EXPECT_EQ(sms.ValidityDigits, c.validity) << c.first;
    EXPECT_EQ(sms.GetServiceCentreTime(), 0.0);
    EXPECT_EQ(sms.GetDischargeTime(), 0.0);
    EXPECT_EQ(sms.GetMessageText(), u"hi") << c.first;
    EXPECT_EQ(sms.GetOriginator(), "+12345678901");
  }
}

TEST(ParsePduTest, MessageTypeThreeReadsAsDeliver) {
  TSMS sms;
  sms.ParsePDU(Deliver("07", "00", "02", "E834"));
  EXPECT_EQ(sms.Kind, TSMS::kDeliver);
  EXPECT_EQ(sms.GetMessageText(), u"hi");
}

struct AddressCase {
  const char* text;
  const char* decoded;
};

TEST(DecodeAddressTest, Table) {
  const AddressCase cases[] = {
      {"811032547698", "0123456789"},
      {"81103254F6", "0123456"},  // odd count: the filler goes
      {"91103254F6", "+0123456"},
      {"A1103254F6", "0123456"},     // national
      {"D0D6B29BFC9603", "Vendor"},  // alphanumeric, packed 7-bit
      {"F0D6B29BFC9603", "Vendor"},  // type of number 7 takes the same road
      {"50D6B29BFC9603", "Vendor"},
      {"91", ""},  // empty digit part
      {"", ""},
      {"9", ""},
      {"ZZ1234", ""},  // unreadable type of address
      {"812143", "1234"},
  };
  for (const auto& c : cases) EXPECT_EQ(TSMS::DecodeAddress(c.text), c.decoded) << c.text;
}

struct TextCase {
  const char* name;
  ByteString pdu;
  WideString text;
};

TEST(GetMessageTextTest, Table) {
  const TextCase cases[] = {
      {"reserved alphabet", Deliver("04", "0C", "02", "E834"), u"(Unsupported: Unknown coding scheme)"},
      {"UDL not hex", Deliver("04", "00", "G2", "E834"), u"(Decoding Error)"},
      {"UDL missing", "07912143658709F1040B919178563412F000003210802143650", u"(Decoding Error)"},
      {"header length not hex", Deliver("44", "00", "09", "Z50003A70201D069"), u"(Decoding Error)"},
      {"8-bit not hex", Deliver("04", "04", "02", "41X2"), u"(Decoding Error)"},
      {"UCS2 not hex", Deliver("04", "08", "02", "00G1"), u"(Decoding Error)"},
      {"7-bit skips unreadable octets", Deliver("04", "00", "03", "E8ZZ34"), u"hi"},
      {"LF at the end", Deliver("04", "00", "03", "E8B402"), u"hi\r\n"},
      {"lone CR", Deliver("04", "00", "03", "E18618"), u"a\r\nb"},
      {"LF CR", Deliver("04", "00", "04", "6145430C"), u"a\r\nb"},
      {"eight with a final @ lose it", Deliver("04", "00", "08", "41E19058341E01"), u"ABCDEFG"},
      {"seven in seven octets gain no @", Deliver("04", "00", "07", "41E19058341E01"), u"ABCDEFG"},
      {"eight characters", Deliver("04", "00", "08", "41E19058341E87"), u"ABCDEFGC"},
      {"euro extension reads cp1252 0xA4", Deliver("04", "00", "02", "9B32"), u"\u00A4"},
      {"8-bit through the GSM table", Deliver("04", "04", "03", "41001B"), u"A@"},
      {"8-bit odd hex length", Deliver("04", "04", "02", "414"), u"A\u00E8"},  // code 4 is e-grave
      {"UCS2", Deliver("04", "08", "04", "04160041"), u"\u0416A"},
      {"UCS2 short last group", Deliver("04", "08", "04", "0416004"), u"\u0416\u0004"},
      {"UCS2 lower case", Deliver("04", "08", "02", "04e9"), u"\u04E9"},
      {"UDL longer than the data", Deliver("04", "08", "FF", "0041"), u"A"},
      {"UDL shorter than the data", Deliver("04", "08", "02", "00410042"), u"A"},
      {"8-bit with header",
       Deliver("44", "04", "08",
               "050003A70201"
               "4142"),
       u"AB"},
      {"UCS2 with header",
       Deliver("44", "08", "0A",
               "050003A70201"
               "00410042"),
       u"AB"},
      // Five header octets (odd): the characters start right after them.
      {"UCS2 with odd header",
       Deliver("44", "08", "09",
               "0400020102"
               "00410042"),
       u"AB"},
      {"7-bit with 16-bit reference header",
       Deliver("44", "00", "09",
               "06080400100201"
               "C3"),
       u"C"},
      {"no user data", Deliver("04", "00", "00", ""), u""},
      {"empty after header", Deliver("44", "08", "06", "050003A70201"), u""},
  };
  for (const auto& c : cases) {
    TSMS sms;
    sms.ParsePDU(c.pdu);
    EXPECT_EQ(sms.GetMessageText(), c.text) << c.name;
  }
}

struct TimeCase {
  const char* name;
  const char* scts;
  const char* formatted;  // nullptr: a conversion error
};

TEST(GetServiceCentreTimeTest, Table) {
  const TimeCase cases[] = {
      {"plain", "32108021436500", "2023-01-08 12:34:56"},
      {"zone ignored", "3210802143658A", "2023-01-08 12:34:56"},
      {"year 99 is 2099", "99101010101000", "2099-01-01 01:01:01"},
      {"year 00", "00101010101000", "2000-01-01 01:01:01"},
      {"leap day", "42209290000000", "2024-02-29 09:00:00"},
      {"month 13", "32318021436500", nullptr},
      {"month 0", "32008021436500", nullptr},
      {"31 April", "32401321436500", nullptr},
      {"29 February 2023", "32209221436500", nullptr},
      {"hour 24", "32108042436500", nullptr},
      {"minute 60", "32108021066500", nullptr},
      {"non-decimal digit", "3A108021436500", nullptr},
      {"lower-case hex", "3210802143a500", nullptr},
  };
  for (const auto& c : cases) {
    TSMS sms;
    sms.ParsePDU(Deliver("04", "00", "02", "E834", c.scts));
    if (c.formatted) {
      EXPECT_EQ(Format(sms.GetServiceCentreTime()), c.formatted) << c.name;
    } else {
      EXPECT_THROW(sms.GetServiceCentreTime(), EConvertError) << c.name;
    }
    EXPECT_EQ(sms.GetMessageText(), u"hi") << c.name;  // text is independent of the stamp
  }
}

TEST(GetServiceCentreTimeTest, TruncatedStampIsAConversionError) {
  TSMS sms;
  sms.ParsePDU("07912143658709F1040B919178563412F00000321080");
  EXPECT_THROW(sms.GetServiceCentreTime(), EConvertError);
  TSMS report;
  report.ParsePDU("07912143658709F1062A0B919178563412F032108021436500321080");
  EXPECT_EQ(Format(report.GetServiceCentreTime()), "2023-01-08 12:34:56");
  EXPECT_THROW(report.GetDischargeTime(), EConvertError);
}

TEST(ParsePduTest, NoServiceCentreAddress) {
  TSMS sms;
  sms.ParsePDU("00040B919178563412F000003210802143650002E834");
  EXPECT_EQ(sms.SmscDigits, 0);
  EXPECT_EQ(sms.TpduPos, 3);
  EXPECT_EQ(sms.GetOriginator(), "+19876543210");
  EXPECT_EQ(sms.GetMessageText(), u"hi");
}

TEST(ParsePduTest, LowerCaseHexIsRead) {
  TSMS sms;
  sms.ParsePDU("07912143658709f1040b919178563412f000003210802143650002e834");
  EXPECT_EQ(sms.TpduPos, 17);
  EXPECT_EQ(sms.GetOriginator(), "+19876543210");
  EXPECT_EQ(sms.GetMessageText(), u"hi");
}

// Decoders never raise on malformed input; only the time getters may raise,
// and only EConvertError.
void DecodeEverything(const ByteString& pdu) {
  TSMS sms;
  sms.ParsePDU(pdu);
  try {
    sms.GetServiceCentreTime();
  } catch (const EConvertError&) {}
  try {
    sms.GetDischargeTime();
  } catch (const EConvertError&) {}
  sms.GetMessageText();
  sms.GetOriginator();
}

TEST(ParsePduTest, EveryPrefixOfValidPdusDecodesWithoutCrash) {
  const ByteString pdus[] = {
      "07912143658709F1040B919178563412F000003210802143650002E834",
      Deliver("44", "00", "09", "050003A70201D069"),
      Deliver("44", "08", "09",
              "0400020102"
              "00410042"),
      "07912143658709F1062A0B919178563412F0321080214365003210802153200000",
      "0011000B912143658709F10000FF02E834",
      "FF",
      "zz",
      "0",
      "",
      "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
      "00FF",
      "0044FF",
      "00400A",
  };
  for (const ByteString& pdu : pdus) {
    for (size_t n = 0; n <= pdu.size(); ++n) EXPECT_NO_THROW(DecodeEverything(pdu.substr(0, n))) << pdu.substr(0, n);
  }
}

TEST(ParsePduTest, NegativeTpduLengthForShortInput) {
  TSMS sms;
  sms.ParsePDU("FF");
  EXPECT_EQ(sms.SmscDigits, 510);
  EXPECT_EQ(sms.TpduPos, 513);
  EXPECT_EQ(sms.TpduLength, (2 - 510) / 2 - 1);
  EXPECT_EQ(sms.Kind, TSMS::kDeliver);
  EXPECT_EQ(sms.GetOriginator(), "");
  EXPECT_EQ(sms.GetMessageText(), u"(Decoding Error)");
}

struct LineBreakCase {
  const char* in;
  const char* out;
};

TEST(NormalizeLineBreaksTest, Table) {
  const LineBreakCase cases[] = {
      {"", ""},
      {"a", "a"},
      {"\r\n", "\r\n"},
      {"\n\r", "\r\n"},
      {"\r", "\r\n"},
      {"\n", "\r\n"},
      {"\r\r", "\r\n\r\n"},
      {"\n\n", "\r\n\r\n"},
      {"\r\n\r", "\r\n\r\n"},
      {"a\nb\rc", "a\r\nb\r\nc"},
      {"\n\r\n", "\r\n\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(TSMS::NormalizeLineBreaks(c.in), c.out) << c.in;
}

TEST(Decode7BitTest, Table) {
  EXPECT_EQ(TSMS::Decode7Bit(""), "");
  EXPECT_EQ(TSMS::Decode7Bit("E8329BFD06"), "hello");
  EXPECT_EQ(TSMS::Decode7Bit("e8329bfd06"), "hello");
  EXPECT_EQ(TSMS::Decode7Bit("1B1E"), "[");
  // 16 septets in 14 octets, the second group ending in a real character.
  EXPECT_EQ(TSMS::Decode7Bit("41E19058341E8741E19058341E87"), "ABCDEFGCABCDEFGC");
  // A zero eighth septet is kept when it is not at the very end.
  EXPECT_EQ(TSMS::Decode7Bit("41E19058341E0141"), "ABCDEFG@A");
  // Odd hex length: 3 characters round to 2 octets, the last read alone.
  EXPECT_EQ(TSMS::Decode7Bit("E83"), "h\xEC");  // septet 7 is i-grave
  // 5 characters round to 2 octets (half to even): the fifth is ignored.
  EXPECT_EQ(TSMS::Decode7Bit("E8348"), "hi");
}

TEST(Decode8BitAndUcs2Test, RoundingOfOddLengths) {
  EXPECT_EQ(TSMS::Decode8Bit("41"), ByteString("A"));
  EXPECT_EQ(TSMS::Decode8Bit("4142"), ByteString("AB"));
  EXPECT_EQ(TSMS::Decode8Bit("414"), ByteString("A\xE8"));
  EXPECT_EQ(TSMS::Decode8Bit("41424"), ByteString("AB"));
  EXPECT_EQ(TSMS::Decode8Bit("4"), ByteString(""));  // 0.5 rounds to 0
  EXPECT_FALSE(TSMS::Decode8Bit("4G"));
  EXPECT_EQ(TSMS::DecodeUCS2("0041"), WideString(u"A"));
  EXPECT_EQ(TSMS::DecodeUCS2("004100"), WideString(u"A\0"s));      // 1.5 groups round to 2
  EXPECT_EQ(TSMS::DecodeUCS2("00410"), WideString(u"A"));          // 1.25 rounds to 1
  EXPECT_EQ(TSMS::DecodeUCS2("0041004"), WideString(u"A\u0004"));  // 1.75 rounds to 2
  EXPECT_EQ(TSMS::DecodeUCS2("0041004100"), WideString(u"AA"));    // 2.5 rounds to 2
  EXPECT_EQ(TSMS::DecodeUCS2("00"), WideString(u""));
  EXPECT_FALSE(TSMS::DecodeUCS2("00-1"));
}

// Received PDUs from other tools' test suites. Expected values in this
// system's own terms: times without zone conversion, Greek capitals as the
// cp1252 reading of their ISO 8859-7 bytes, line breaks as CR LF.
struct PeerCase {
  int index;
  const char* pdu;
  uint8_t kind;
  const char* originator;
  WideString text;
  const char* scts;       // "" when not asserted
  const char* discharge;  // "" when not asserted
  const char* reference;
};

TEST(PeerVectorsTest, DecodeAsTheirToolsDo) {
  const PeerCase cases[] = {
      {5, "06917228195339040B917228214365F700003130805120618005D4F29C2E03", TSMS::kDeliver, "+27821234567", u"Test2",
       "2013-03-08 15:02:16", "", ""},
      {7, "06917228195339040B917228214365F70000313062315352800A800D8A5E98D337A910", TSMS::kDeliver, "+27821234567",
       u"@{t\u00E9st}!", "", "", ""},
      {9, "0006D60B911326880736F4111011719551401110117195714000", TSMS::kStatusReport, "+31628870634", u"",
       "2011-01-11 17:59:15", "2011-01-11 17:59:17", "D6"},
      {10,
       "0591721891F1400781721881F800003160526104848059050003C30101916536FB1DCABEEB2074D85E064941B19CAB060319A5C52228"
       "9C96D3D3ED32286C0FA7D96131BBEC024941B19CAB0603DDD36C36A88C87A7E565D0DB0D82C55EB0DB4B068BCD5C20",
       TSMS::kDeliver, "2781188", u"Hello!You have R 19.50 FREE airtime available. R 19.50 will expire on 01/07/2013. ",
       "", "", ""},
      {12, "0041010C910661345542F60008A0050003000301306F3044", TSMS::kSubmit, "+60164355246", u"\u306F\u3044", "", "",
       ""},
      {15, "0297F1061C0F910B487228297020F5317062419272803170624192138000", TSMS::kStatusReport, "+B08427829207025", u"",
       "2013-07-26 14:29:27", "2013-07-26 14:29:31", "1C"},
      {16,
       "07919762020033F1400DD0CDF2396C7EBB010008415072411084618C0500035602010053004D005300200063006F00640065003A0020"
       "0034003800350036002C00200063006F006E006600690072006D006100740069006F006E0020006F006600200061007300730"
       "06F00630069006100740069006F006E0020006200650074007700650065006E0020006100630063006F0075006E0074002000"
       "61006E00640020004D00650067",
       TSMS::kDeliver, "Megafon", u"SMS code: 4856, confirmation of association between account and Meg",
       "2014-05-27 14:01:48", "", ""},
      {19, "07917248014000F506B70AA18092020000317071518590803170715185418000", TSMS::kStatusReport, "0829200000", u"",
       "2013-07-17 15:58:09", "2013-07-17 15:58:14", "B7"},
      {22,
       "07912104442961F4040B916171957291F800001120821105050A6AC8B2BC7C9A83C220F6DB7D2ECB41EDF27C1E3E97411BDE06754F"
       "D3D1A0F9BB5D0695F1F4B29B5C2683C6E8B03C3CA697E5F34D6AE303D1D1F2F7DD0D4ABB59A0797D8C0685E7A00028EC26832A960B"
       "28EC2683BE6050780EBA97D96C17",
       TSMS::kDeliver, "+16175927198",
       u"Here's a longer message [{with some extended characters}] thrown in, such as \u00A3 and "
       u"\u00D9\u00D0\u00D8 and \u00A7\u00BF as well.",
       "2011-02-28 11:50:50", "", ""},
      {23, "07919730071111F10414D04937BD2C7797E9D3E614000811309291024061080442043504410442", TSMS::kDeliver,
       "InternetSMS", u"\u0442\u0435\u0441\u0442", "2011-03-29 19:20:04", "", ""},
      {26,
       "07913306091093F0040485810000F111604231805180A049B7F90D9A1AA5A01668F8769BD3E4B29B9E2EB359A03FC85D06A9C3ED70"
       "7A0EA2CBC3EE79BB4CA7CBCBA05643617DA7C76990FD4D979741EE77DD5E0ED741ED371D442E83E0E1F9BC0CD281E677D9B84C06C1"
       "DF7539E85C9097E520FB9B2E2F83C6EF369C5E064D8D52D0BC2E07DDEF77D7DC2C7799E5A0771D040FCB41F402BB0047BFDD6550B8"
       "0ECAD966",
       TSMS::kDeliver, "1800",
       u"Info SFR - Confidentiel, \u00E0 ne jamais transmettre -\r\nVoici votre nouveau mot de passe : sw2ced "
       u"pour g\u00E9rer votre compte SFR sur www.sfr.fr ou par t\u00E9l\u00E9phone au 963",
       "2011-06-24 13:08:15", "", ""},
      {27,
       "07911356131313F64004850120390011609232239180A006080400100201D7327BFD6EB340E2321BF46E83EA7790F59D1E97DBE134"
       "1B442F83C465763D3DA797E56537C81D0ECB41AB59CC1693C16031D96C064241E5656838AF03A96230982A269BCD462917C8FA4E8F"
       "CBED709A0D7ABBE9F6B0FB5C7683D27350984D4FABC9A0B33C4C4FCF5D20EBFB2D079DCB62793DBD06D9C36E50FB2D4E97D9A0B49B"
       "5E96BBCB",
       TSMS::kDeliver, "1002",
       u"Welkom, bel om uw Voicemail te beluisteren naar +31612001233 (PrePay: *100*1233#). Voicemail ontvangen "
       u"is altijd gratis. Voor gebruik van mobiel interne",
       "2011-06-29 23:32:19", "", ""},
      {38, "0381214300098108103254F60008706050316503001A005A006B006F00750161006B0061002000730069007200E9006E",
       TSMS::kDeliver, "800123456", u"Zkou\u0161ka sir\u00E9n", "2007-06-05 13:56:30", "", ""},
      {39, "07914875215652F006360B914892347527F3817003018104808170030181448000", TSMS::kStatusReport, "+84294357723",
       u"", "2018-07-30 10:18:40", "2018-07-30 10:18:44", "36"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("vector " + std::to_string(c.index));
    TSMS sms;
    sms.ParsePDU(c.pdu);
    EXPECT_EQ(sms.Kind, c.kind);
    if (*c.scts) {
      EXPECT_EQ(Format(sms.GetServiceCentreTime()), c.scts);
    }
    if (*c.discharge) {
      EXPECT_EQ(Format(sms.GetDischargeTime()), c.discharge);
    }
    if (*c.reference) {
      EXPECT_EQ(sms.MessageReference, c.reference);
    }
    EXPECT_EQ(sms.GetMessageText(), c.text);
    EXPECT_EQ(sms.GetOriginator(), c.originator);
  }
}

}  // namespace
}  // namespace vela

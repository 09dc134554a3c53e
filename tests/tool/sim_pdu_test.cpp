// The simulator's own PDU coding, against hand-computed PDUs.
#include <gtest/gtest.h>

#include "sim_pdu.h"

namespace vela::sim::pdu {
namespace {

std::string Hex(const Bytes& b) { return ToHex(b); }

TEST(SimPduSeptets, PacksAndUnpacksTheClassicExamples) {
  Bytes septets;
  ASSERT_TRUE(TextToGsm(U"hellohello", &septets));
  EXPECT_EQ(Hex(PackSeptets(septets)), "E8329BFD4697D9EC37");
  ASSERT_TRUE(TextToGsm(U"hi", &septets));
  EXPECT_EQ(Hex(PackSeptets(septets)), "E834");
  // Eight septets fill exactly seven octets.
  ASSERT_TRUE(TextToGsm(U"12345678", &septets));
  Bytes packed = PackSeptets(septets);
  EXPECT_EQ(packed.size(), 7u);
  EXPECT_EQ(GsmToText(UnpackSeptets(packed, 8)), U"12345678");
}

TEST(SimPduSeptets, ExtensionTableAndNonGsmCharacters) {
  Bytes septets;
  ASSERT_TRUE(TextToGsm(U"[\u20AC]", &septets));
  EXPECT_EQ(septets, (Bytes{0x1B, 0x3C, 0x1B, 0x65, 0x1B, 0x3E}));
  EXPECT_EQ(GsmToText(septets), U"[\u20AC]");
  ASSERT_TRUE(TextToGsm(U"@\u00C4\u0394\u00E9", &septets));
  EXPECT_EQ(septets, (Bytes{0x00, 0x5B, 0x10, 0x05}));
  EXPECT_FALSE(TextToGsm(U"\u4E16", &septets));  // not in either table
}

TEST(SimPduAddress, EncodesNumbersAndAlphanumericOriginators) {
  struct Case {
    const char* number;
    const char* hex;
  } cases[] = {
      {"+12345678901", "0B912143658709F1"},
      {"0123456", "0781103254F6"},
      {"+15550000000", "0B915155000000F0"},
      {"Vendor", "0BD0D6B29BFC9603"},
  };
  for (const Case& c : cases) EXPECT_EQ(Hex(EncodeAddress(c.number)), c.hex) << c.number;
  EXPECT_EQ(Hex(EncodeServiceCentre("+12345678901")), "07912143658709F1");
  EXPECT_EQ(Hex(EncodeServiceCentre("")), "00");
}

TEST(SimPduTimestamp, ZoneInQuartersWithSignBit) {
  struct Case {
    int quarters;
    const char* zoneHex;
  } cases[] = {{0, "00"}, {8, "80"}, {-20, "0A"}, {23, "32"}, {-23, "3A"}, {56, "65"}};
  for (const Case& c : cases) {
    Timestamp t{2023, 1, 8, 12, 34, 56, c.quarters};
    Bytes b = EncodeTimestamp(t);
    EXPECT_EQ(Hex(b), std::string("32108021436500").substr(0, 12) + c.zoneHex) << c.quarters;
    Timestamp back;
    ASSERT_TRUE(DecodeTimestamp(b.data(), &back));
    EXPECT_EQ(back.zoneQuarters, c.quarters);
    EXPECT_EQ(back.second, 56);
  }
  Bytes bad;
  ASSERT_TRUE(FromHex("32318021436500", &bad));  // month 13
  Timestamp t;
  EXPECT_FALSE(DecodeTimestamp(bad.data(), &t));
}

TEST(SimPduSubmit, DecodesTheCodingsAClientSends) {
  struct Case {
    const char* pdu;
    int announced;
    const char* destination;
    const char* text;
    int dcs;
    bool srr;
  } cases[] = {
      {"0011000B912143658709F10000FF02E834", 16, "+12345678901", "hi", 0x00, false},
      {"0031000B912143658709F10000FF02E834", 16, "+12345678901", "hi", 0x00, true},
      {"0011000B912143658709F10000FF00", 14, "+12345678901", "", 0x00, false},
      {"0011000B912143658709F10000FF021B1E", 16, "+12345678901", "[", 0x00, false},
      {"0011000B912143658709F10004FF0141", 15, "+12345678901", "A", 0x04, false},
      {"0011000B912143658709F10008FF04004100E9", 18, "+12345678901", "A\u00E9", 0x08, false},
      {"0011000781103254F60000FF02E834", 14, "0123456", "hi", 0x00, false},
      // No validity period (VPF 00), and an absolute one (VPF 11).
      {"0001000B912143658709F1000002E834", 15, "+12345678901", "hi", 0x00, false},
      {"0019000B912143658709F100003210802143650002E834", 22, "+12345678901", "hi", 0x00, false},
      // Service-centre address given, user data header (concatenation) before "hi".
      {"07912143658709F15100"
       "0B912143658709F10000FF09050003A70201D069",
       22, "+12345678901", "hi", 0x00, false},
  };
  for (const Case& c : cases) {
    Submit s;
    std::string error;
    ASSERT_TRUE(DecodeSubmit(c.pdu, c.announced, &s, &error)) << c.pdu << ": " << error;
    EXPECT_EQ(s.destination.number, c.destination) << c.pdu;
    EXPECT_EQ(s.text, c.text) << c.pdu;
    EXPECT_EQ(s.dcs, c.dcs) << c.pdu;
    EXPECT_EQ(s.statusReportRequest(), c.srr) << c.pdu;
    EXPECT_EQ(TpduLength(c.pdu), c.announced) << c.pdu;
  }
}

TEST(SimPduSubmit, RejectsMalformedSubmitsNamingTheField) {
  struct Case {
    const char* pdu;
    int announced;
    const char* errorPart;
  } cases[] = {
      {"0011000B912143658709F10000FF02E834", 15, "length mismatch: announced 15, sent 16"},
      {"0011000B912143658709F10000FF02E834", 17, "length mismatch"},
      {"0011000B912143658709F10000FF02E83", -1, "odd number"},
      {"0011000B912143658709F10000FF02E8ZZ", -1, "not hexadecimal"},
      {"", -1, "empty"},
      {"0004000B912143658709F10000FF02E834", -1, "not an SMS-SUBMIT"},
      {"00110000910000FF02E834", -1, "destination: empty"},
      {"0011000B912143", -1, "inside the address"},
      {"0011000B912143658709F10000FF03E834", -1, "user data length 3 needs 3 octets"},
      {"0011000B912143658709F10000FF01E834", -1, "user data length 1 needs 1 octets"},
      {"0011000B912143658709F10008FF03004100", -1, "odd number of octets"},
      {"0011000B912143658709F10008FF010041", -1, "user data length"},
      {"0011000B912143658709F10008FF0300410041", -1, "user data length 3 needs 3"},
      {"0011000B912143658709F1000CFF0141", -1, "data coding scheme 0C"},
      {"0019000B912143658709F10000321080", -1, "validity period"},
      {"0019000B912143658709F100003231802143650002E834", -1, "absolute validity"},
      {"0011000B912143658709F10000", -1, "validity period"},
      {"0011000B912143658709F10000FF", -1, "user data length"},
      {"0011000BD02143658709F10000FF02E834", -1, "alphanumeric"},
      {"0011000B91F143658709F10000FF02E834", -1, "fill semi-octet"},
      {"0011000B912143658709F10000FFA1"
       "00",
       -1, "exceeds one message"},
      {"0A11", -1, "service-centre length"},
  };
  for (const Case& c : cases) {
    Submit s;
    std::string error;
    EXPECT_FALSE(DecodeSubmit(c.pdu, c.announced, &s, &error)) << c.pdu;
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.pdu << " gave: " << error;
  }
}

TEST(SimPduDeliver, EncodesAHandComputedDeliver) {
  Deliver d;
  ASSERT_TRUE(MakeTextDeliver("+12345678901", "+19876543210", "hi", Timestamp{2023, 1, 8, 12, 34, 56, 0}, &d));
  const std::string expected = "07912143658709F1040B919178563412F000003210802143650002E834";
  EXPECT_EQ(EncodeDeliver(d), expected);
  EXPECT_EQ(TpduLength(expected), 21);

  Deliver back;
  std::string error;
  ASSERT_TRUE(DecodeDeliver(expected, &back, &error)) << error;
  EXPECT_EQ(back.serviceCentre, "+12345678901");
  EXPECT_EQ(back.originator.number, "+19876543210");
  EXPECT_EQ(back.text, "hi");
  EXPECT_EQ(back.serviceCentreTime.year, 2023);
  EXPECT_EQ(back.serviceCentreTime.hour, 12);
}

TEST(SimPduDeliver, ChoosesUcs2ForTextOutsideTheGsmAlphabetAndLimitsTheLength) {
  Timestamp ts{2024, 2, 29, 23, 59, 59, -20};
  Deliver d;
  ASSERT_TRUE(MakeTextDeliver("", "Vendor", "\u4E16\u754C \U0001F600", ts, &d));
  EXPECT_EQ(d.dcs, 0x08);
  EXPECT_EQ(d.userDataLength, 10);  // three BMP units, one surrogate pair
  std::string hex = EncodeDeliver(d);
  EXPECT_EQ(hex.substr(0, 20), "00040BD0D6B29BFC9603");
  Deliver back;
  std::string error;
  ASSERT_TRUE(DecodeDeliver(hex, &back, &error)) << error;
  EXPECT_EQ(back.text, "\u4E16\u754C \U0001F600");
  EXPECT_EQ(back.originator.number, "Vendor");
  EXPECT_EQ(back.serviceCentreTime.zoneQuarters, -20);

  EXPECT_TRUE(MakeTextDeliver("", "1", std::string(160, 'a'), ts, &d));
  EXPECT_EQ(d.userData.size(), 140u);
  EXPECT_FALSE(MakeTextDeliver("", "1", std::string(161, 'a'), ts, &d));
  EXPECT_FALSE(MakeTextDeliver("", "1", std::string(80, 'a') + "[" + std::string(79, 'a'), ts, &d));
  std::string seventy, seventyOne;
  for (int i = 0; i < 70; ++i) seventy += "\u4E16";
  seventyOne = seventy + "\u4E16";
  EXPECT_TRUE(MakeTextDeliver("", "1", seventy, ts, &d));
  EXPECT_FALSE(MakeTextDeliver("", "1", seventyOne, ts, &d));
}

TEST(SimPduStatusReport, EncodesAHandComputedReport) {
  StatusReport r;
  r.serviceCentre = "+12345678901";
  r.messageReference = 0x2A;
  r.recipient.number = "+19876543210";
  r.serviceCentreTime = Timestamp{2023, 1, 8, 12, 34, 56, 0};
  r.dischargeTime = Timestamp{2023, 1, 8, 12, 35, 2, 0};
  r.status = 0;
  const std::string expected = "07912143658709F1062A0B919178563412F0321080214365003210802153200000";
  EXPECT_EQ(EncodeStatusReport(r), expected);

  StatusReport back;
  std::string error;
  ASSERT_TRUE(DecodeStatusReport(expected, &back, &error)) << error;
  EXPECT_EQ(back.messageReference, 0x2A);
  EXPECT_EQ(back.recipient.number, "+19876543210");
  EXPECT_EQ(back.dischargeTime.second, 2);
  EXPECT_FALSE(DecodeStatusReport(expected.substr(0, expected.size() - 2), &back, &error));
  EXPECT_NE(error.find("status"), std::string::npos);
  Deliver notDeliver;
  EXPECT_FALSE(DecodeDeliver(expected, &notDeliver, &error));
  EXPECT_NE(error.find("not an SMS-DELIVER"), std::string::npos);
}

TEST(SimPduUtf8, InvalidBytesBecomeReplacementCharacters) {
  EXPECT_EQ(Utf8ToCodePoints("a\xC3\xA9"), U"a\u00E9");
  EXPECT_EQ(Utf8ToCodePoints("a\xC3"), U"a\uFFFD");
  EXPECT_EQ(Utf8ToCodePoints("\xFF"
                             "b"),
            U"\uFFFD"
            "b");
  EXPECT_EQ(CodePointsToUtf8(U"\U0001F600"), "\xF0\x9F\x98\x80");
}

// Every truncation and every octet forced to an extreme value: each decoder
// gives a result or names a fault, and never reads past the text.
TEST(SimPduRobustness, TruncatedAndCorruptedPdusNeverBreakTheDecoders) {
  const std::string submits[] = {
      "07912143658709F15100"
      "0B912143658709F10000FF09050003A70201D069",
      "0019000B912143658709F100003210802143650002E834", "0011000B912143658709F10008FF04004100E9"};
  const std::string deliver = "07912143658709F1440B919178563412F000003210802143650009050003A70201D069";
  const std::string report = "07912143658709F1062A0B919178563412F0321080214365003210802153200000";
  auto variants = [](const std::string& pdu) {
    std::vector<std::string> out;
    for (size_t n = 0; n <= pdu.size(); n += 2) out.push_back(pdu.substr(0, n));
    for (size_t i = 0; i < pdu.size(); i += 2)
      for (const char* v : {"00", "FF", "7F", "80", "A0"}) out.push_back(pdu.substr(0, i) + v + pdu.substr(i + 2));
    return out;
  };
  int accepted = 0, refused = 0;
  for (const std::string& base : {submits[0], submits[1], submits[2], deliver, report}) {
    for (const std::string& v : variants(base)) {
      std::string e1, e2, e3;
      Submit s;
      Deliver d;
      StatusReport r;
      bool ok1 = DecodeSubmit(v, -1, &s, &e1);
      bool ok2 = DecodeDeliver(v, &d, &e2);
      bool ok3 = DecodeStatusReport(v, &r, &e3);
      EXPECT_TRUE(ok1 || !e1.empty()) << v;
      EXPECT_TRUE(ok2 || !e2.empty()) << v;
      EXPECT_TRUE(ok3 || !e3.empty()) << v;
      (ok1 ? accepted : refused)++;
    }
  }
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace vela::sim::pdu

#include "pdu/pdu_sms.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pdu_test_util.h"

namespace vela {
namespace {

using test::Pack7;
using test::Wide;

TPDUSMS Parse(const std::string& pdu) { return TPDUSMS(Wide(pdu)); }

// --- shared text rules ---------------------------------------------------------

TEST(TextRules, SwapTrimAndEvenLength) {
  const struct {
    const char* in;
    const char* out;
  } swaps[] = {{"2143", "1234"}, {"214", "124"}, {"", ""}, {"1", "1"}, {"F1", "1F"}};
  for (const auto& c : swaps) EXPECT_EQ(TPDUSMS::SwapSemiOctets(c.in), c.out) << c.in;

  const struct {
    const char* in;
    const char* out;
  } trims[] = {{"123F", "123"}, {"123f", "123f"}, {"FF", "F"}, {"F", ""}, {"", ""}, {"F12", "F12"}};
  for (const auto& c : trims) EXPECT_EQ(TPDUSMS::TrimFiller(c.in), c.out) << c.in;

  const int32_t evens[][2] = {{0, 0}, {1, 2}, {11, 12}, {12, 12}, {255, 256}};
  for (const auto& c : evens) EXPECT_EQ(TPDUSMS::EvenLength(c[0]), c[1]) << c[0];
}

// --- type of address -----------------------------------------------------------

TEST(TypeAddress, TypeOfNumberAndPlan) {
  const struct {
    const char* octet;
    int type, plan;
  } cases[] = {
      {"91", 1, 1}, {"81", 0, 1}, {"D0", 5, 0}, {"A8", 2, 4}, {"82", 0, 0},  // 0010: unassigned
      {"83", 0, 2}, {"84", 0, 3}, {"89", 0, 5}, {"8A", 0, 6}, {"8F", 0, 7}, {"85", 0, 0},
      {"F1", 7, 1}, {"E0", 6, 0}, {"C9", 4, 5}, {"B1", 3, 1}, {"a1", 2, 1},  // either case
      {"", 0, 0},   {"Z", 0, 0},
  };
  for (const auto& c : cases) {
    TTypeAddress toa(c.octet);
    EXPECT_EQ(toa.TypeOfNumber(), c.type) << c.octet;
    EXPECT_EQ(toa.NumberingPlan(), c.plan) << c.octet;
  }
}

TEST(TypeAddress, OverlongTextDoesNotRaise) {
  // More than one octet gives a bit text that is not eight bits (here a minus
  // sign and ten digits); the decoder must not pass it to a raising conversion.
  for (const char* text : {"80000000", "FFFFFFFF", "123456789ABC"}) {
    EXPECT_NO_THROW(TTypeAddress toa(text)) << text;
  }
}

// --- first-octet dispatch and flags --------------------------------------------

TEST(FirstOctet, MessageTypeIndicatorChoosesKind) {
  const struct {
    const char* octet;
    TSMSKind kind;
  } cases[] = {
      {"04", smsDeliver},      {"00", smsDeliver},      {"24", smsDeliver},
      {"01", smsSubmit},       {"11", smsSubmit},       {"45", smsSubmit},
      {"06", smsStatusReport}, {"02", smsStatusReport}, {"0a", smsStatusReport},  // upper-cased before conversion
      {"03", smsUnknown},      {"FF", smsUnknown},      {"0", smsUnknown},
      {"", smsUnknown},        {"040", smsUnknown},     {"ZZ", smsDeliver},  // non-hex counts 0
  };
  for (const auto& c : cases) {
    auto kind = TSMSType::FromFirstOctet(c.octet);
    ASSERT_NE(kind, nullptr);
    EXPECT_EQ(kind->Kind(), c.kind) << c.octet;
    // The class agrees with the code.
    EXPECT_EQ(dynamic_cast<TSMSDeliver*>(kind.get()) != nullptr, c.kind == smsDeliver) << c.octet;
    EXPECT_EQ(dynamic_cast<TSMSSubmit*>(kind.get()) != nullptr, c.kind == smsSubmit) << c.octet;
    EXPECT_EQ(dynamic_cast<TSMSReport*>(kind.get()) != nullptr, c.kind == smsStatusReport) << c.octet;
    EXPECT_EQ(dynamic_cast<TSMSUnknown*>(kind.get()) != nullptr, c.kind == smsUnknown) << c.octet;
  }
}

TEST(FirstOctet, SubmitFlags) {
  const struct {
    const char* octet;
    int vpf;
    bool rd, srr, udhi, rp;
  } cases[] = {
      {"01", 0, false, false, false, false}, {"11", 2, false, false, false, false},
      {"31", 2, false, true, false, false},  {"51", 2, false, false, true, false},
      {"05", 0, true, false, false, false},  {"19", 3, false, false, false, false},
      {"09", 1, false, false, false, false}, {"81", 0, false, false, false, true},
      {"FD", 3, true, true, true, true},
  };
  for (const auto& c : cases) {
    TSMSSubmit submit(c.octet);
    EXPECT_EQ(submit.FirstOctet(), c.octet);
    EXPECT_EQ(submit.ValidityPeriodFormat(), c.vpf) << c.octet;
    EXPECT_EQ(submit.RejectDuplicates(), c.rd) << c.octet;
    EXPECT_EQ(submit.StatusReportRequest(), c.srr) << c.octet;
    EXPECT_EQ(submit.UserDataHeaderIndicator(), c.udhi) << c.octet;
    EXPECT_EQ(submit.HasUserDataHeader(), c.udhi) << c.octet;
    EXPECT_EQ(submit.ReplyPath(), c.rp) << c.octet;
    EXPECT_TRUE(submit.ValidityPeriod().empty());
  }
}

TEST(FirstOctet, DeliverFlags) {
  const struct {
    const char* octet;
    bool mms, sri, udhi, rp;
  } cases[] = {
      {"04", false, false, false, false}, {"00", true, false, false, false}, {"24", false, true, false, false},
      {"44", false, false, true, false},  {"84", false, false, false, true}, {"E0", true, true, true, true},
  };
  for (const auto& c : cases) {
    TSMSDeliver deliver(c.octet);
    EXPECT_EQ(deliver.FirstOctet(), c.octet);
    EXPECT_EQ(deliver.MoreMessagesToSend(), c.mms) << c.octet;
    EXPECT_EQ(deliver.StatusReportIndication(), c.sri) << c.octet;
    EXPECT_EQ(deliver.UserDataHeaderIndicator(), c.udhi) << c.octet;
    EXPECT_EQ(deliver.ReplyPath(), c.rp) << c.octet;
  }
}

TEST(FirstOctet, ReportAndUnknownKeepTheirOwnText) {
  TSMSReport report("C6");  // bits 7 and 6 set, but a report decodes no bits
  EXPECT_EQ(report.ReportFirstOctet(), "C6");
  EXPECT_EQ(report.FirstOctet(), "");
  EXPECT_FALSE(report.ReplyPath());
  EXPECT_FALSE(report.HasUserDataHeader());
  EXPECT_EQ(report.GetDischargeTimeStamp(), nullptr);
  EXPECT_FALSE(report.IsDelivered());

  TSMSUnknown unknown("C");
  EXPECT_EQ(unknown.UnknownFirstOctet(), "C");
  EXPECT_EQ(unknown.FirstOctet(), "");
  EXPECT_FALSE(unknown.UserDataHeaderIndicator());
}

TEST(ValidityPeriod, RelativeFormatTexts) {
  const struct {
    const char* octet;
    const char* text;
  } cases[] = {
      {"00", "5 minutes"},
      {"01", "10 minutes"},
      {"8F", "720 minutes"},
      {"90", "12 hours 30 minutes"},
      {"A7", "12 hours 720 minutes"},
      {"A8", "2 days"},
      {"A9", "3 days"},
      {"C4", "30 days"},
      {"C5", "5 weeks"},
      {"F4", "52 weeks"},
      {"FF", "63 weeks"},
      {"", "5 minutes"},
  };
  for (const auto& c : cases) {
    TSMSSubmit submit("11");
    submit.SetValidityPeriod(c.octet);
    EXPECT_EQ(submit.ValidityPeriod(), c.text) << c.octet;
  }
}

// --- service-centre part -------------------------------------------------------

TEST(ServiceCentre, LengthZeroReadsFirstOctetAtPositionThree) {
  TPDUSMS pdu = Parse("0004048121430000111010214365000AE8329BFD4697D9EC37");
  EXPECT_EQ(pdu.ServiceCentreLength(), 0);
  EXPECT_EQ(pdu.ServiceCentreNumber(), "");
  ASSERT_NE(pdu.ServiceCentreType(), nullptr);
  // Decoded from the TPDU's first octet 04 (0000 0100: plan bits 0100, telex).
  EXPECT_EQ(pdu.ServiceCentreType()->TypeOfNumber(), 0);
  EXPECT_EQ(pdu.ServiceCentreType()->NumberingPlan(), 3);
  EXPECT_EQ(pdu.SMSType()->Kind(), smsDeliver);
  EXPECT_EQ(pdu.Address(), "1234");
  EXPECT_EQ(pdu.UserText(), "hellohello");
}

TEST(ServiceCentre, LowerCaseLengthCountsZero) {
  // "0b" reads 0, so the TPDU is taken to start at position 3 ("91" = 10010001: SUBMIT).
  TPDUSMS pdu = Parse("0b9144000000F0040B917228214365F7");
  EXPECT_EQ(pdu.ServiceCentreLength(), 0);
  EXPECT_EQ(pdu.ServiceCentreNumber(), "");
  EXPECT_EQ(pdu.SMSType()->Kind(), smsSubmit);
}

// --- SUBMIT layout --------------------------------------------------------------

struct SubmitCase {
  const char* first_octet;
  const char* validity;  // characters between DCS and UDL
  const char* period;    // expected ValidityPeriod text
};

TEST(Submit, ValidityPeriodFieldWidthFollowsFormat) {
  const SubmitCase cases[] = {
      {"01", "", ""},
      {"11", "A9", "3 days"},
      {"19", "31700131930080", ""},  // absolute
      {"09", "01020304050607", ""},  // enhanced
  };
  const auto ud = Pack7("hello");
  for (const auto& c : cases) {
    const std::string text =
        std::string("00") + c.first_octet + "2A" + "0481" + "2143" + "0000" + c.validity + "05" + ud.hex;
    TPDUSMS pdu = Parse(text);
    const auto* submit = dynamic_cast<const TSMSSubmit*>(pdu.GetSMSType());
    ASSERT_NE(submit, nullptr) << c.first_octet;
    EXPECT_EQ(submit->ValidityPeriod(), c.period) << c.first_octet;
    EXPECT_EQ(pdu.GetMessageReference(), "2A");
    EXPECT_EQ(pdu.AddressLength(), 4);
    EXPECT_EQ(pdu.Address(), "1234");
    EXPECT_EQ(pdu.AddressType()->NumberingPlan(), 1);
    EXPECT_EQ(pdu.UserDataLength(), 5) << c.first_octet;
    EXPECT_EQ(pdu.UserText(), "hello") << c.first_octet;
    EXPECT_EQ(pdu.GetTimeStamp(), nullptr);
    ASSERT_NE(pdu.ProtocolIdentifier(), nullptr);
    EXPECT_EQ(pdu.ProtocolIdentifier()->Description(), "SME to SME protocol");
    ASSERT_NE(pdu.DataCodingScheme(), nullptr);
    EXPECT_EQ(pdu.DataCodingScheme()->Description().back(), "Using default alphabet");
    EXPECT_TRUE(pdu.UserDataHeader()->Description().empty());
  }
}

TEST(Submit, MissingValidityOctetReadsAsFiveMinutes) {
  TPDUSMS pdu = Parse("0011000481214300");  // cut after the protocol identifier
  const auto* submit = dynamic_cast<const TSMSSubmit*>(pdu.GetSMSType());
  ASSERT_NE(submit, nullptr);
  EXPECT_EQ(submit->ValidityPeriod(), "5 minutes");
  EXPECT_EQ(pdu.UserDataLength(), 0);
  EXPECT_EQ(pdu.UserText(), "");
}

// --- DELIVER user data ------------------------------------------------------------

std::string DeliverPdu(const std::string& first_octet, const test::UserData& ud, int udl) {
  char length[3];
  std::snprintf(length, sizeof length, "%02X", udl);
  return "00" + first_octet + "0B917228214365F7" + "0000" + "31308051206180" + length + ud.hex;
}

TEST(Deliver, SevenSeptetsInSevenOctetsDropTheFillSeptet) {
  const auto ud = Pack7("abcdefg");
  ASSERT_EQ(ud.hex.size(), 14u);
  TPDUSMS pdu = Parse(DeliverPdu("04", ud, ud.length));
  EXPECT_EQ(pdu.UserDataLength(), 7);
  EXPECT_EQ(pdu.UserText(), "abcdefg");
  ASSERT_NE(pdu.GetTimeStamp(), nullptr);
  EXPECT_NEAR(pdu.GetTimeStamp()->GetDateTime(), test::Serial(2013, 3, 8, 15, 2, 16), 1e-7);
  EXPECT_EQ(pdu.GetTimeStamp()->TimeZone(), "+2");
  EXPECT_EQ(pdu.GetMessageReference(), "");
  EXPECT_EQ(pdu.Address(), "27821234567");
  EXPECT_EQ(pdu.AddressLength(), 12);
}

struct HeaderCase {
  std::vector<unsigned char> header;
  const char* text;
};

TEST(Deliver, TextAfterHeaderOfAnyLength) {
  const HeaderCase cases[] = {
      {{0x00, 0x03, 0x2A, 0x02, 0x01}, "abc"},                                     // H = 5, 7 septets
      {{0x08, 0x04, 0x00, 0x10, 0x02, 0x01}, "Welkom"},                            // H = 6, 8 septets
      {{}, "x"},                                                                   // no header
      {{0x00, 0x03, 0x2A}, "short"},                                               // H = 3, 5 septets
      {{0x05, 0x04, 0x0B, 0x84, 0x23, 0xF0, 0x00}, "port"},                        // H = 7, 10 septets
      {{0x00, 0x03, 0x2A, 0x02, 0x01, 0x05, 0x04, 0x0B, 0x84, 0x23, 0xF0}, "yz"},  // H = 11, 14 septets
  };
  for (const auto& c : cases) {
    const auto ud = Pack7(c.text, c.header);
    const bool has_header = !c.header.empty();
    TPDUSMS pdu = Parse(DeliverPdu(has_header ? "44" : "04", ud, ud.length));
    EXPECT_EQ(pdu.UserDataLength(), ud.length) << c.text;
    EXPECT_EQ(pdu.UserText(), c.text) << c.text;
    EXPECT_EQ(pdu.UserDataHeaderLength(), static_cast<int32_t>(c.header.size())) << c.text;
    EXPECT_EQ(pdu.UserDataHeader()->GetHeaderText(), test::Hex(c.header)) << c.text;
  }
}

TEST(Deliver, UserDataLengthAgainstHeaderAndText) {
  const auto ud = Pack7("abc", {0x00, 0x03, 0x2A, 0x02, 0x01});
  // Shorter than H + 3 septets: no text at all.
  EXPECT_EQ(Parse(DeliverPdu("44", ud, 7)).UserText(), "");
  EXPECT_EQ(Parse(DeliverPdu("44", ud, 0)).UserText(), "");
  // One septet past the header.
  EXPECT_EQ(Parse(DeliverPdu("44", ud, 8)).UserText(), "a");
  // Longer than the data present: reads what is there, never past it.
  const std::string text = Parse(DeliverPdu("44", ud, 200)).UserText();
  EXPECT_EQ(text.substr(0, 3), "abc");
  EXPECT_LE(text.size(), 4u);
  const std::string plain = Parse(DeliverPdu("04", Pack7("hi"), 250)).UserText();
  EXPECT_EQ(plain.substr(0, 2), "hi");
  EXPECT_LE(plain.size(), 3u);
}

// --- STATUS-REPORT --------------------------------------------------------------

std::string ReportPdu(const std::string& status) {
  return std::string("0006") + "D6" + "0B91" + "1326880736F4" + "11101171955140" + "11101171957140" + status;
}

TEST(StatusReport, DeliveredOnlyForStatusZero) {
  const struct {
    const char* status;
    bool delivered;
  } cases[] = {{"00", true},  {"01", false}, {"02", false}, {"20", false}, {"40", false},
               {"60", false}, {"0", false},  {"", false},   {"00FF", true}};
  for (const auto& c : cases) {
    TPDUSMS pdu = Parse(ReportPdu(c.status));
    const auto* report = dynamic_cast<const TSMSReport*>(pdu.GetSMSType());
    ASSERT_NE(report, nullptr) << c.status;
    EXPECT_EQ(report->IsDelivered(), c.delivered) << c.status;
    EXPECT_EQ(report->Status(), std::string(c.status).substr(0, 2)) << c.status;
  }
}

TEST(StatusReport, Fields) {
  TPDUSMS pdu = Parse(ReportPdu("00"));
  const auto* report = dynamic_cast<const TSMSReport*>(pdu.GetSMSType());
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->ReportFirstOctet(), "06");
  EXPECT_EQ(pdu.GetMessageReference(), "D6");  // as it stands, not 214
  EXPECT_EQ(pdu.AddressLength(), 12);
  EXPECT_EQ(pdu.Address(), "31628870634");
  EXPECT_EQ(pdu.UserText(), "DELIVERY REPORT for 31628870634");
  ASSERT_NE(pdu.GetTimeStamp(), nullptr);
  EXPECT_NEAR(pdu.GetTimeStamp()->GetDateTime(), test::Serial(2011, 1, 11, 17, 59, 15), 1e-7);
  EXPECT_EQ(pdu.GetTimeStamp()->TimeZone(), "+1");
  ASSERT_NE(report->GetDischargeTimeStamp(), nullptr);
  EXPECT_NEAR(report->GetDischargeTimeStamp()->GetDateTime(), test::Serial(2011, 1, 11, 17, 59, 17), 1e-7);
  EXPECT_EQ(pdu.ProtocolIdentifier(), nullptr);
  EXPECT_EQ(pdu.DataCodingScheme(), nullptr);
  EXPECT_EQ(pdu.UserDataLength(), 0);
  EXPECT_EQ(pdu.UserDataHeaderLength(), 0);
  EXPECT_TRUE(pdu.UserDataHeader()->Description().empty());
}

TEST(StatusReport, CutShortStampsAreInvalid) {
  // Cut inside the discharge time: the service-centre stamp is whole, the
  // discharge stamp is not, and there is no status.
  TPDUSMS pdu = Parse("0006D60B911326880736F4111011719551401110");
  const auto* report = dynamic_cast<const TSMSReport*>(pdu.GetSMSType());
  ASSERT_NE(report, nullptr);
  EXPECT_NE(pdu.GetTimeStamp()->GetDateTime(), 0.0);
  ASSERT_NE(report->GetDischargeTimeStamp(), nullptr);
  EXPECT_EQ(report->GetDischargeTimeStamp()->TimeZone(), "INVALID TIME STAMP");
  EXPECT_EQ(report->GetDischargeTimeStamp()->GetDateTime(), 0.0);
  EXPECT_EQ(report->Status(), "");
  EXPECT_FALSE(report->IsDelivered());
}

// --- UNKNOWN and malformed text ----------------------------------------------------

void ExpectNothingParsed(const TPDUSMS& pdu, const char* what) {
  EXPECT_EQ(pdu.SMSType()->Kind(), smsUnknown) << what;
  EXPECT_EQ(pdu.AddressType(), nullptr) << what;
  EXPECT_EQ(pdu.AddressLength(), 0) << what;
  EXPECT_EQ(pdu.Address(), "") << what;
  EXPECT_EQ(pdu.ProtocolIdentifier(), nullptr) << what;
  EXPECT_EQ(pdu.DataCodingScheme(), nullptr) << what;
  EXPECT_EQ(pdu.GetTimeStamp(), nullptr) << what;
  EXPECT_EQ(pdu.UserDataLength(), 0) << what;
  EXPECT_EQ(pdu.UserText(), "") << what;
  EXPECT_EQ(pdu.GetMessageReference(), "") << what;
  ASSERT_NE(pdu.UserDataHeader(), nullptr) << what;
  EXPECT_TRUE(pdu.UserDataHeader()->Description().empty()) << what;
}

TEST(Unknown, ReservedTypeAndCutFirstOctet) {
  const char* cases[] = {
      "0003000B917228214365F700003130805120618005D4F29C2E03",  // MTI 11
      "",                                                      // nothing
      "0",                                                     // cut inside the length
      "00",                                                    // cut before the first octet
      "000",                                                   // cut inside the first octet
      "07914400000000F",                                       // cut inside the service-centre digits
      "07914400000000F00",                                     // cut inside the first octet
  };
  for (const char* text : cases) {
    TPDUSMS pdu = Parse(text);
    ExpectNothingParsed(pdu, text);
  }
  TPDUSMS cut = Parse("000");
  const auto* unknown = dynamic_cast<const TSMSUnknown*>(cut.GetSMSType());
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(unknown->UnknownFirstOctet(), "0");
}

TEST(Malformed, AnyTextConstructs) {
  const std::string cases[] = {
      "ZZZZZZZZZZZZ",
      "0",
      "0004",
      "00040B9",
      "00440B917228214365F70000313080512061800AFF",  // header indicator, header length beyond the end
      "0004FF91" + std::string(40, '1'),             // address length 255 beyond the end
      "FF" + std::string(600, 'F'),                  // service-centre length 255
      "07914400000000f0040b917228214365f70000313080512061800ad4f29c2e03",  // lower case
      std::string("00\0"
                  "4",
                  4),
  };
  for (const auto& text : cases) {
    EXPECT_NO_THROW({
      TPDUSMS pdu = Parse(text);
      ASSERT_NE(pdu.GetSMSType(), nullptr);
      ASSERT_NE(pdu.UserDataHeader(), nullptr);
    }) << text;
  }
}

TEST(Narrowing, CodeUnitsAboveByteRangeBecomeQuestionMarks) {
  WideString wide = Wide("0004048121F300003130805120618000");
  wide[10] = u'\u0661';  // an Arabic-Indic digit in place of "F"
  TPDUSMS pdu(wide);
  EXPECT_EQ(pdu.PDU(), wide);
  EXPECT_EQ(pdu.Address(), "123?");
  // A code unit below 256 stays the same byte.
  wide[10] = u'\u00E9';
  EXPECT_EQ(TPDUSMS(wide).Address(), "123\xE9");
}

}  // namespace
}  // namespace vela

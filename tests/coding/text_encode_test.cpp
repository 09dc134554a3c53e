// The multi-part SUBMIT encoder: coding choice, part sizes, headers, PDU
// bytes, limits, destination numbers and language lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "coding/sms.h"
#include "coding/reassembly.h"
#include "coding/text_coding.h"
#include "common/utf8.h"
#include "coding/text_encode_internal.h"
#include "coding/validity.h"
#include "submit_reader.h"

namespace vela::coding {
namespace {

using testing::ReadSubmit;
using testing::ReadSubmitPdu;

WideString Repeat(const WideString& unit, size_t n) {
  WideString out;
  for (size_t i = 0; i < n; ++i) out += unit;
  return out;
}

const WideString kEmoji = u"\U0001F600";  // two UTF-16 units

SubmitOptions To(const ByteString& number = "+12345678901") {
  SubmitOptions o;
  o.destination = number;
  return o;
}

// Text units carried by one part: septets, octets or UTF-16 units.
size_t PartUnits(const ReadSubmit& r) {
  if ((r.dcs & 0x0C) == 0x08) return r.octets.size() / 2;
  if ((r.dcs & 0x0C) == 0x04) return r.octets.size();
  return r.septets.size();
}

struct CountCase {
  const char* name;
  WideString text;
  Coding coding;  // expected automatic choice
  int parts;
  int units;
};

TEST(TextEncodeTest, PartCountsAreTheMinimum) {
  const CountCase cases[] = {
      {"empty", u"", Coding::kGsm7, 1, 0},
      {"160 default", Repeat(u"a", 160), Coding::kGsm7, 1, 160},
      {"161 default", Repeat(u"a", 161), Coding::kGsm7, 2, 161},
      {"306 default", Repeat(u"a", 306), Coding::kGsm7, 2, 306},
      {"307 default", Repeat(u"a", 307), Coding::kGsm7, 3, 307},
      {"80 extension = 160 septets", Repeat(u"[", 80), Coding::kGsm7, 1, 160},
      {"81 extension", Repeat(u"\u20AC", 81), Coding::kGsm7, 2, 162},
      {"159 default + extension", Repeat(u"a", 159) + u"{", Coding::kGsm7, 2, 161},
      {"Greek capitals are default", Repeat(u"\u0394\u03A9", 80), Coding::kGsm7, 1, 160},
      {"70 UCS2", Repeat(u"\u0416", 70), Coding::kUcs2, 1, 70},
      {"71 UCS2", Repeat(u"\u0416", 71), Coding::kUcs2, 2, 71},
      {"134 UCS2", Repeat(u"\u0416", 134), Coding::kUcs2, 2, 134},
      {"135 UCS2", Repeat(u"\u0416", 135), Coding::kUcs2, 3, 135},
      {"35 emoji = 70 units", Repeat(kEmoji, 35), Coding::kUcs2, 1, 70},
      {"35 emoji + 1", Repeat(kEmoji, 35) + u"a", Coding::kUcs2, 2, 71},
      {"one Cyrillic letter makes it UCS2", Repeat(u"a", 69) + u"\u0416", Coding::kUcs2, 1, 70},
      // 300 septets need 2 parts; 150 UCS2 units need 3.
      {"extension-heavy stays GSM", Repeat(u"{", 150), Coding::kGsm7, 2, 300},
      // 400 septets and 200 units both need 3 parts: the default alphabet wins the tie.
      {"tie GSM vs UCS2", Repeat(u"[", 200), Coding::kGsm7, 3, 400},
  };
  for (const CountCase& c : cases) {
    const CodingPlan plan = PlanText(c.text, Coding::kAuto, {});
    EXPECT_EQ(plan.coding, c.coding) << c.name;
    EXPECT_EQ(plan.parts, c.parts) << c.name;
    EXPECT_EQ(plan.units, c.units) << c.name;
    const SubmitMessage m = EncodeSubmitMessage(c.text, To());
    EXPECT_EQ(m.coding, c.coding) << c.name;
    ASSERT_EQ(static_cast<int>(m.parts.size()), c.parts) << c.name;
    size_t units = 0;
    for (const SubmitPart& p : m.parts) {
      EXPECT_EQ(p.parts, c.parts) << c.name;
      EXPECT_EQ(p.length, static_cast<int>(p.pdu.size() / 2 - 1)) << c.name;
      EXPECT_LE(p.length, 140 + 7 + 6) << c.name;  // user data never over 140 octets
      const ReadSubmit r = ReadSubmitPdu(p.pdu);
      EXPECT_LE(r.userDataOctets, 140u) << c.name;
      units += PartUnits(r);
    }
    EXPECT_EQ(units, static_cast<size_t>(c.units)) << c.name;
  }
}

TEST(TextEncodeTest, EscapePairIsNeverSplit) {
  // 152 + 2 septets do not fit the first part's 153: the pair moves on whole.
  const WideString text = Repeat(u"a", 152) + u"[" + Repeat(u"b", 10);
  const SubmitMessage m = EncodeSubmitMessage(text, To());
  ASSERT_EQ(m.parts.size(), 2u);
  const ReadSubmit first = ReadSubmitPdu(m.parts[0].pdu);
  const ReadSubmit second = ReadSubmitPdu(m.parts[1].pdu);
  EXPECT_EQ(first.septets.size(), 152u);
  EXPECT_NE(first.septets.back(), 0x1B);
  ASSERT_GE(second.septets.size(), 2u);
  EXPECT_EQ(second.septets[0], 0x1B);
  EXPECT_EQ(second.septets[1], 0x3C);
}

TEST(TextEncodeTest, SurrogatePairIsNeverSplit) {
  // 66 units + a pair do not fit the first part's 67 units.
  const WideString text = Repeat(u"\u0416", 66) + kEmoji + Repeat(u"\u0416", 10);
  const SubmitMessage m = EncodeSubmitMessage(text, To());
  ASSERT_EQ(m.coding, Coding::kUcs2);
  ASSERT_EQ(m.parts.size(), 2u);
  const ReadSubmit first = ReadSubmitPdu(m.parts[0].pdu);
  const ReadSubmit second = ReadSubmitPdu(m.parts[1].pdu);
  EXPECT_EQ(first.octets.size(), 132u);
  EXPECT_EQ(second.octets[0], 0xD8);
  EXPECT_EQ(second.octets[1], 0x3D);
  EXPECT_EQ(second.octets[2], 0xDE);
  EXPECT_EQ(second.octets[3], 0x00);
}

// Exact PDUs, checked independently: the first is another SMS tool's test
// vector; the others decode with libGammu to the text and header shown.
struct PduCase {
  const char* name;
  WideString text;
  SubmitOptions options;
  std::vector<std::string> pdus;
};

SubmitOptions With(SubmitOptions o, Coding coding, std::vector<int> languages = {}) {
  o.coding = coding;
  o.languages = std::move(languages);
  return o;
}

TEST(TextEncodeTest, ExactPdus) {
  SubmitOptions ref = To("+12345678901");
  ref.reference = 0x1234;
  SubmitOptions ref16 = ref;
  ref16.ref16 = true;
  ref16.reference = 0xBEEF;
  ref16.languages = {kLanguageTurkish};
  SubmitOptions report = To("+12345678901");
  report.statusReport = true;
  const PduCase cases[] = {
      {"hello world", u"Hello World!", To("+27820001111"), {"0001000B917228001011F100000CC8329BFD065DDF72363904"}},
      {"status report", u"hi", report, {"0021000B912143658709F1000002E834"}},
      {"UCS2", u"\u041F\u0440\u0438", To("+12345678901"), {"0001000B912143658709F1000806041F04400438"}},
      {"8-bit UTF-8", u"h\u00E9", With(To("+12345678901"), Coding::kEightBit), {"0001000B912143658709F100040368C3A9"}},
      {"Turkish single shift",
       u"\u011F",
       With(To("+12345678901"), Coding::kAuto, {kLanguageTurkish}),
       {"0041000B912143658709F100000703240101D89C01"}},
      {"two parts, 8-bit reference",
       Repeat(u"a", 153) + u"bcdefghi",
       ref,
       {"0041000B912143658709F10000A0050003340201C2E170381C0E87C3E170381C0E87C3E170381C0E87C3E170381C0E87C3E1"
        "70381C0E87C3E170381C0E87C3E170381C0E87C3E170381C0E87C3E170381C0E87C3E170381C0E87C3E170381C0E87C3E170"
        "381C0E87C3E170381C0E87C3E170381C0E87C3E170381C0E87C3E170381C0E87C3E170381C0E87C3E170381C0E87C3E17038"
        "1C0E87C3",
        "0041000B912143658709F100000F050003340202C46372D97C46A701"}},
      {"16-bit reference, Turkish not needed by UCS2",
       Repeat(u"\u015F", 70) + u"\u0416",
       ref16,
       {"0041000B912143658709F100088B060804BEEF0201015F015F015F015F015F015F015F015F015F015F015F015F015F015F01"
        "5F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F01"
        "5F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F015F01"
        "5F015F",
        "0041000B912143658709F1000811060804BEEF0202015F015F015F015F0416"}},
      {"Turkish locking shift",
       Repeat(u"\u015F", 150),
       ref16,
       {"0041000B912143658709F100009B03250101E8743A9D4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D"
        "4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4E"
        "A7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4EA7D3E9743A9D4E07"}},
  };
  for (const PduCase& c : cases) {
    const SubmitMessage m = EncodeSubmitMessage(c.text, c.options);
    ASSERT_EQ(m.parts.size(), c.pdus.size()) << c.name;
    for (size_t i = 0; i < c.pdus.size(); ++i) EXPECT_EQ(m.parts[i].pdu, c.pdus[i]) << c.name << " part " << i + 1;
  }
}

TEST(TextEncodeTest, ConcatenationHeader) {
  struct Case {
    bool ref16;
    uint16_t reference;
    size_t text_units;  // 'a' septets
    int parts;
    std::vector<int> element;  // of the first part
  };
  const Case cases[] = {
      {false, 0x1234, 306, 2, {0x00, 0x03, 0x34, 2, 1}},
      {false, 7, 307, 3, {0x00, 0x03, 7, 3, 1}},
      {true, 0x1234, 304, 2, {0x08, 0x04, 0x12, 0x34, 2, 1}},  // 152 septets per part
      {true, 0x1234, 305, 3, {0x08, 0x04, 0x12, 0x34, 3, 1}},
  };
  for (const Case& c : cases) {
    SubmitOptions o = To();
    o.ref16 = c.ref16;
    o.reference = c.reference;
    const SubmitMessage m = EncodeSubmitMessage(Repeat(u"a", c.text_units), o);
    ASSERT_EQ(static_cast<int>(m.parts.size()), c.parts) << c.text_units;
    for (int k = 0; k < c.parts; ++k) {
      const ReadSubmit r = ReadSubmitPdu(m.parts[static_cast<size_t>(k)].pdu);
      ASSERT_EQ(r.elements.size(), 1u);
      std::vector<int> expected = c.element;
      expected.back() = k + 1;
      std::vector<int> got = {r.elements[0].first, static_cast<int>(r.elements[0].second.size())};
      got.insert(got.end(), r.elements[0].second.begin(), r.elements[0].second.end());
      EXPECT_EQ(got, expected) << c.text_units << " part " << k + 1;
      EXPECT_EQ(r.firstOctet, 0x41);
      EXPECT_EQ(m.parts[static_cast<size_t>(k)].part, k + 1);
    }
  }
}

TEST(TextEncodeTest, NationalTables) {
  const WideString turkish = u"\u00C7ok g\u00FCzel \u011F\u00FC\u015F\u0130";  // "Çok güzel ğüşİ"
  struct Case {
    const char* name;
    WideString text;
    std::vector<int> languages;
    Coding coding;
    int locking, single, parts;
  };
  const Case cases[] = {
      {"Turkish without languages is UCS2", turkish, {}, Coding::kUcs2, 0, 0, 1},
      {"Turkish with tr: single shift suffices", turkish, {kLanguageTurkish}, Coding::kGsm7, 0, 1, 1},
      // 100 x s-cedilla: 200 septets through the single shift table (2 parts),
      // 100 through the locking table (1 part).
      {"many Turkish letters: locking", Repeat(u"\u015F", 100), {kLanguageTurkish}, Coding::kGsm7, 1, 0, 1},
      {"plain text with tr: default, no header", u"hello", {kLanguageTurkish}, Coding::kGsm7, 0, 0, 1},
      {"Spanish has single shift only", u"\u00E1\u00E9", {kLanguageSpanish}, Coding::kGsm7, 0, 2, 1},
      {"Hindi", u"\u0928\u092E\u0938\u094D\u0924\u0947", {6 /* Hindi */}, Coding::kGsm7, 6, 0, 1},
      {"not allowed: UCS2", u"\u0928\u092E\u0938\u094D\u0924\u0947", {kLanguageTurkish}, Coding::kUcs2, 0, 0, 1},
  };
  for (const Case& c : cases) {
    const CodingPlan plan = PlanText(c.text, Coding::kAuto, c.languages);
    EXPECT_EQ(plan.coding, c.coding) << c.name;
    EXPECT_EQ(plan.lockingLanguage, c.locking) << c.name;
    EXPECT_EQ(plan.singleLanguage, c.single) << c.name;
    EXPECT_EQ(plan.parts, c.parts) << c.name;
    SubmitOptions o = To();
    o.languages = c.languages;
    const SubmitMessage m = EncodeSubmitMessage(c.text, o);
    EXPECT_EQ(m.lockingLanguage, c.locking) << c.name;
    EXPECT_EQ(m.singleLanguage, c.single) << c.name;
    const ReadSubmit r = ReadSubmitPdu(m.parts[0].pdu);
    EXPECT_EQ(r.locking, c.locking) << c.name;
    EXPECT_EQ(r.single, c.single) << c.name;
    EXPECT_EQ((r.firstOctet & 0x40) != 0, c.locking != 0 || c.single != 0) << c.name;
  }
}

TEST(TextEncodeTest, ShiftElementsShrinkTheParts) {
  // One shift element: 1 + 5 + 3 = 9 header octets = 11 septets, 149 left;
  // a one-part message has 1 + 3 = 4 octets = 5 septets, 155 left.
  SubmitOptions o = To();
  o.coding = Coding::kGsm7;
  o.languages = {kLanguageSpanish};
  const WideString one = u"\u00E1" + Repeat(u"a", 153);  // 155 septets
  EXPECT_EQ(EncodeSubmitMessage(one, o).parts.size(), 1u);
  EXPECT_EQ(EncodeSubmitMessage(one + u"a", o).parts.size(), 2u);
  const WideString two = u"\u00E1" + Repeat(u"a", 296);  // 298 septets = 2 x 149
  EXPECT_EQ(EncodeSubmitMessage(two, o).parts.size(), 2u);
  EXPECT_EQ(EncodeSubmitMessage(two + u"a", o).parts.size(), 3u);
}

TEST(TextEncodeTest, ForcedCodings) {
  SubmitOptions o = To();
  o.coding = Coding::kUcs2;
  EXPECT_EQ(EncodeSubmitMessage(u"abc", o).parts[0].pdu, "0001000B912143658709F1000806006100620063");
  o.coding = Coding::kGsm7;
  try {
    EncodeSubmitMessage(u"abc" + kEmoji, o);
    FAIL() << "no error";
  } catch (const ETextCodingError& e) {
    EXPECT_NE(std::string(e.what()).find("U+1F600"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("position 4"), std::string::npos) << e.what();
  }
  o.languages = {kLanguageTurkish};
  try {
    EncodeSubmitMessage(u"\u011F\u0416", o);
    FAIL() << "no error";
  } catch (const ETextCodingError& e) {
    EXPECT_NE(std::string(e.what()).find("U+0416"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("(tr)"), std::string::npos) << e.what();
  }
  // 8-bit keeps UTF-8 sequences whole: 133 'a' + a 2-octet letter > 134.
  o.coding = Coding::kEightBit;
  const SubmitMessage m = EncodeSubmitMessage(Repeat(u"a", 133) + u"\u00E9" + Repeat(u"a", 10), o);
  ASSERT_EQ(m.parts.size(), 2u);
  EXPECT_EQ(ReadSubmitPdu(m.parts[0].pdu).octets.size(), 133u);
  EXPECT_EQ(ReadSubmitPdu(m.parts[1].pdu).octets[0], 0xC3);
}

// With the longest validity a text that fits one GSM part is the PDU the
// one-part encoder has always written; any period is in every part and
// leaves the parts' contents alone.
TEST(TextEncodeTest, ValidityInEveryPartAndOnePartAsTheFormerEncoder) {
  for (const WideString& text :
       {WideString(u"hi"), WideString(), WideString(u"Hello World!"), WideString(u"[x] {y} ~")}) {
    for (bool report : {false, true}) {
      SubmitOptions o = To();
      o.statusReport = report;
      o.validity = kValidityMax;
      TSMS former;
      former.Destination = o.destination;
      former.Text = text;
      former.StatusReportRequest = report;
      const SubmitMessage m = EncodeSubmitMessage(text, o);
      ASSERT_EQ(m.parts.size(), 1u);
      EXPECT_EQ(m.parts[0].pdu, former.EncodeSubmitPDU()) << Utf8FromWide(text) << " " << report;
      EXPECT_EQ(m.parts[0].length, former.TpduLength);
    }
  }
  const std::pair<WideString, Coding> long_texts[] = {{Repeat(u"\u0416", 150), Coding::kUcs2},
                                                      {Repeat(u"ab{", 90), Coding::kGsm7},
                                                      {Repeat(u"a\u00E9", 100), Coding::kEightBit}};
  for (const auto& [text, coding] : long_texts) {
    SubmitOptions o = To();
    o.coding = coding;
    const SubmitMessage without = EncodeSubmitMessage(text, o);
    o.validity = 0x8F;
    const SubmitMessage with = EncodeSubmitMessage(text, o);
    ASSERT_EQ(with.parts.size(), without.parts.size());
    ASSERT_EQ(with.parts.size(), 3u);
    for (size_t k = 0; k < with.parts.size(); ++k) {
      const ReadSubmit a = ReadSubmitPdu(with.parts[k].pdu), b = ReadSubmitPdu(without.parts[k].pdu);
      EXPECT_EQ(a.firstOctet, b.firstOctet | 0x10) << k;
      EXPECT_EQ(a.vp, 0x8F) << k;
      EXPECT_EQ(b.vp, -1) << k;
      EXPECT_EQ(a.elements, b.elements) << k;
      EXPECT_EQ(a.septets, b.septets) << k;
      EXPECT_EQ(a.octets, b.octets) << k;
      EXPECT_EQ(with.parts[k].length, without.parts[k].length + 1) << k;
    }
  }
}

// Every whole number of minutes in range goes to the shortest period at least
// that long (TS 23.040 9.2.3.12.1), written any way the syntax allows.
TEST(ValidityTest, EveryPeriodRoundsUpToTheNextTheFormatCarries) {
  for (int vp = 1; vp < 256; ++vp) EXPECT_GT(ValidityMinutes(vp), ValidityMinutes(vp - 1)) << vp;
  EXPECT_EQ(ValidityMinutes(0), 5);
  EXPECT_EQ(ValidityMinutes(0xFF), 63 * 7 * 24 * 60);
  for (int64_t m = 5; m <= 63 * 7 * 24 * 60; ++m) {
    const uint8_t vp = ParseValidity(std::to_string(m) + "m");
    ASSERT_GE(ValidityMinutes(vp), m);
    if (vp > 0) ASSERT_LT(ValidityMinutes(vp - 1), m);
  }
  EXPECT_EQ(ParseValidity("1w2d3h4m"), ParseValidity(std::to_string(7 * 1440 + 2 * 1440 + 3 * 60 + 4) + "m"));
  EXPECT_EQ(ParseValidity("MAX"), kValidityMax);
  for (const char* refused : {"4m", "0", "0m", "64w", "63w1m", "1x", "m", "-5m", "5m ", " 5m", "1.5h"}) {
    try {
      ParseValidity(refused);
      ADD_FAILURE() << refused << " accepted";
    } catch (const ETextCodingError& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("'") + refused + "'"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("from 5 minutes to 63 weeks"), std::string::npos) << e.what();
    }
  }
}

TEST(TextEncodeTest, PartLimit) {
  SubmitOptions o = To();
  EXPECT_EQ(EncodeSubmitMessage(Repeat(u"a", 1530), o).parts.size(), 10u);
  try {
    EncodeSubmitMessage(Repeat(u"a", 1531), o);
    FAIL() << "no error";
  } catch (const ETextCodingError& e) {
    EXPECT_STREQ(e.what(), "the text needs 11 parts, more than the limit of 10");
  }
  o.maxParts = 1;
  EXPECT_THROW(EncodeSubmitMessage(Repeat(u"a", 161), o), ETextCodingError);
  o.maxParts = 1000;
  EXPECT_THROW(EncodeSubmitMessage(Repeat(u"a", 153 * 255 + 1), o), ETextCodingError);
  o.maxParts = 0;
  EXPECT_THROW(EncodeSubmitMessage(u"a", o), ETextCodingError);
}

TEST(TextEncodeTest, LanguageNames) {
  struct Case {
    const char* list;
    std::vector<int> languages;
  };
  const Case cases[] = {
      {"", {}},
      {"none", {}},
      {"tr", {1}},
      {"TR,es", {1, 2}},
      {"turkish, Portuguese", {1, 3}},
      {"hi,hi,6", {6}},
      {"13", {13}},
      {"all", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseLanguageList(c.list), c.languages) << c.list;
  for (const char* bad : {"xx", "tr,klingon", "0", "14", "tr;es"}) {
    try {
      ParseLanguageList(bad);
      ADD_FAILURE() << bad << ": no error";
    } catch (const ETextCodingError& e) {
      EXPECT_NE(std::string(e.what()).find("unknown national language"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(LanguageFromName("ur"), kLanguageUrdu);
  EXPECT_EQ(LanguageFromName("Oriya"), 9);
  EXPECT_EQ(LanguageCode(kLanguageTurkish), "tr");
  EXPECT_EQ(LanguageCode(0), "");
  EXPECT_EQ(ParseCoding("8bit"), Coding::kEightBit);
  EXPECT_STREQ(CodingName(ParseCoding("UCS2")), "ucs2");
  EXPECT_THROW(ParseCoding("utf8"), ETextCodingError);
  EXPECT_THROW(PlanText(u"a", Coding::kAuto, {14}), ETextCodingError);
}

TEST(DestinationTest, Normalise) {
  struct Case {
    const char* input;
    const char* normalised;  // nullptr: invalid
    const char* reason;
  };
  const Case cases[] = {
      {"+15551234567", "+15551234567", nullptr},
      {"0049 171 1234567", "00491711234567", nullptr},
      {"+1-555-123", "+1555123", nullptr},
      {"(030) 123.45", "03012345", nullptr},
      {"(+49) 30 1234", "+49301234", nullptr},
      {"*100#", "*100#", nullptr},
      {"12345678901234567890", "12345678901234567890", nullptr},
      {"abc", nullptr, "'a'"},
      {"+49 171 12x4", nullptr, "'x'"},
      {"", nullptr, "no digit"},
      {"+", nullptr, "no digit"},
      {"*#", nullptr, "no digit"},
      {"49+171", nullptr, "'+'"},
      {"123456789012345678901", nullptr, "more than 20 digits"},
      {"12\n34", nullptr, "0x0A"},
  };
  for (const Case& c : cases) {
    if (c.normalised) {
      EXPECT_EQ(NormaliseDestination(c.input), c.normalised) << c.input;
      continue;
    }
    try {
      NormaliseDestination(c.input);
      ADD_FAILURE() << c.input << ": no error";
    } catch (const ETextCodingError& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.rfind(std::string("invalid destination number '") + c.input + "': ", 0), 0u) << what;
      EXPECT_NE(what.find(c.reason), std::string::npos) << what;
    }
  }
}

TEST(DestinationTest, EncodedAddress) {
  struct Case {
    const char* number;
    const char* field;
  };
  const Case cases[] = {
      {"+1 (234) 567-8901", "0B912143658709F1"},
      {"*100#", "05811A00FB"},
      {"#31#0123", "08813BB11032"},
  };
  for (const Case& c : cases) EXPECT_EQ(TSMS::EncodeAddress(c.number), c.field) << c.number;
  SubmitOptions o = To("0049 171-1234567");
  EXPECT_EQ(ReadSubmitPdu(EncodeSubmitMessage(u"x", o).parts[0].pdu).address, "0E8100947111325476");
  o.destination = "call me";
  EXPECT_THROW(EncodeSubmitMessage(u"x", o), ETextCodingError);
}

// --- Round trips through the decoder --------------------------------------------

// Every part decoded on its own, then the parts joined by the reassembler,
// give the text back exactly, for every script and length.
TEST(TextRoundTripTest, ThroughDecoderAndReassembly) {
  const WideString samples[] = {
      u"Cr\u00E8me br\u00FBl\u00E9e, \u00E0 la fran\u00E7aise: \u00C5ngstr\u00F6m & \u00D1and\u00FA!",
      u"\u0393\u03B5\u03B9\u03AC \u03C3\u03BF\u03C5 \u039A\u03CC\u03C3\u03BC\u03B5 \u0394\u03A9",
      u"\u041F\u0440\u0438\u0432\u0435\u0442, \u043C\u0438\u0440! \u0401\u0436",
      u"\u00C7ok g\u00FCzel: \u011F\u00FC\u015F\u0130\u0131\u00F6\u00E7",
      u"\u0645\u0631\u062D\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645",
      u"\u05E9\u05DC\u05D5\u05DD \u05E2\u05D5\u05DC\u05DD",
      u"\u0928\u092E\u0938\u094D\u0924\u0947 \u0926\u0941\u0928\u093F\u092F\u093E",
      u"\u09B9\u09CD\u09AF\u09BE\u09B2\u09CB \u09AC\u09BF\u09B6\u09CD\u09AC",
      u"\u4F60\u597D\uFF0C\u4E16\u754C",
      u"\u3053\u3093\u306B\u3061\u306F\u4E16\u754C\u30AB\u30BF\u30AB\u30CA",
      u"\U0001F44D\U0001F3FD \U0001F468\u200D\U0001F469\u200D\U0001F467 \U0001F1E9\U0001F1EA \U0001F600",
      u"Mix: abc \u0416 \u4F60 \U0001F600 [{}] \u20AC \u011F",
      u"[]{}~|\\^\u20AC\f and plain text",
  };
  const std::vector<int> all = ParseLanguageList("all");
  const size_t lengths[] = {1, 70, 71, 160, 161, 307, 700, 1500};
  for (const WideString& sample : samples) {
    for (size_t length : lengths) {
      // Whole characters only: no surrogate pair cut at the end.
      WideString text;
      while (text.size() < length) text += sample;
      size_t cut = length;
      if (cut < text.size() && cut > 0 && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
      text.resize(cut);
      for (const std::vector<int>& languages : {std::vector<int>{}, all}) {
        SubmitOptions o = To();
        o.languages = languages;
        o.maxParts = 255;
        o.reference = static_cast<uint16_t>(length);
        const SubmitMessage m = EncodeSubmitMessage(text, o);
        Reassembler reassembler;
        std::vector<AssembledMessage> out;
        // Last part first: order must not matter.
        for (size_t k = m.parts.size(); k-- > 0;) {
          const DecodedUserData d = DecodePdu(m.parts[k].pdu);
          ASSERT_FALSE(d.truncated) << m.parts[k].pdu;
          ASSERT_EQ(d.kind, 0);
          EXPECT_EQ(d.originator, "+12345678901");
          EXPECT_EQ(d.header.lockingLanguage, m.lockingLanguage);
          EXPECT_EQ(d.header.singleLanguage, m.singleLanguage);
          ReceivedPart part;
          part.originator = d.originator;
          part.concatenation = d.header.concatenation;
          part.text = d.text;
          for (AssembledMessage& a : reassembler.Add(part, 0)) out.push_back(std::move(a));
        }
        ASSERT_EQ(out.size(), 1u) << length;
        EXPECT_TRUE(out[0].complete);
        EXPECT_EQ(out[0].parts, static_cast<int>(m.parts.size()));
        EXPECT_TRUE(out[0].text == text) << "length " << length << " languages " << languages.size() << " coding "
                                         << CodingName(m.coding);
      }
    }
  }
}

// 8-bit parts carry the text's UTF-8 octets; joined they are the text again.
TEST(TextRoundTripTest, EightBitCarriesUtf8) {
  const WideString text = Repeat(u"\u041F\u0440\u0438 \U0001F600 ", 40);
  SubmitOptions o = To();
  o.coding = Coding::kEightBit;
  const SubmitMessage m = EncodeSubmitMessage(text, o);
  ASSERT_GT(m.parts.size(), 1u);
  std::string octets;
  for (const SubmitPart& p : m.parts) {
    const ReadSubmit r = ReadSubmitPdu(p.pdu);
    EXPECT_EQ(r.dcs, 0x04);
    for (int b : r.octets) octets.push_back(static_cast<char>(b));
  }
  EXPECT_TRUE(WideFromUtf8(octets) == text);
}

// Fewest parts by trying every table combination and UCS2 in full, with part
// sizes from the header octets: a slow reference for the planner's pruning.
int ReferenceFewestParts(const WideString& text) {
  auto greedy = [](const std::vector<int>& costs, size_t single, size_t multi) {
    size_t total = 0, used = 0;
    int parts = 1;
    for (int c : costs) {
      total += static_cast<size_t>(c);
      if (used + static_cast<size_t>(c) > multi) {
        ++parts;
        used = 0;
      }
      used += static_cast<size_t>(c);
    }
    return total <= single ? 1 : parts;
  };
  auto septets_of = [](size_t header) { return header == 0 ? size_t{0} : (8 * header + 6) / 7; };
  std::vector<int> units;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size();
    units.push_back(pair ? 2 : 1);
    if (pair) ++i;
  }
  int best = greedy(units, 70, 67);
  for (int l = 0; l < kLanguageCount; ++l) {
    for (int s = 0; s < kLanguageCount; ++s) {
      if (!LockingTable(l)) continue;
      std::vector<int> costs;
      bool ok = true;
      for (char16_t u : text) {
        const auto septets = detail::EncodeSeptets(WideString(1, u), l, s);
        if (!septets) {
          ok = false;
          break;
        }
        costs.push_back(static_cast<int>(septets->size()));
      }
      if (!ok) continue;
      const size_t shift = (l ? 3 : 0) + (s ? 3 : 0);
      best = std::min(best, greedy(costs, 160 - septets_of(shift ? 1 + shift : 0), 160 - septets_of(6 + shift)));
    }
  }
  return best;
}

// The planner's pruned search gives the fewest parts that trying every
// combination finds, for random texts mixing the characters of several
// tables; allowing more tables never costs parts; the message round-trips.
TEST(TextRoundTripTest, FewestPartsAgainstExhaustiveSearch) {
  // Each text: plain characters, with runs from one national script and now
  // and then a character of another.
  const WideString plain = u"abcdefgh XYZ 0123.,?@\u00E9\u00E0[]{}\u20AC";
  const WideString scripts[] = {
      u"\u011F\u015F\u0130\u0131\u00E7",  // Turkish
      u"\u00EA\u00F5\u00E1\u00CD\u00E7",  // Portuguese, Spanish
      u"\u0928\u092E\u0938\u094D\u0924",  // Hindi
      u"\u0995\u09BE\u09B2\u09CB",        // Bengali
      u"\u0627\u0644\u0639\u0631",        // Arabic (Urdu tables)
  };
  const std::vector<int> all = ParseLanguageList("all");
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  std::map<std::string, int> chosen;
  for (int round = 0; round < 300; ++round) {
    WideString text;
    const size_t length = 1 + next() % 600;
    const WideString& script = scripts[next() % 5];
    const unsigned share = next() % 100;  // per cent of national characters
    while (text.size() < length) {
      const unsigned pick = next() % 100;
      if (pick < share) {
        text += script[next() % script.size()];
      } else if (pick == 99) {
        text += scripts[next() % 5][0];
      } else {
        text += plain[next() % plain.size()];
      }
    }
    const CodingPlan best = PlanText(text, Coding::kAuto, all);
    EXPECT_EQ(best.parts, ReferenceFewestParts(text)) << round;
    EXPECT_LE(best.parts, PlanText(text, Coding::kAuto, {}).parts) << round;
    for (int language = 1; language < kLanguageCount; ++language) {
      EXPECT_LE(best.parts, PlanText(text, Coding::kAuto, {language}).parts) << round << " language " << language;
    }
    SubmitOptions o = To();
    o.languages = all;
    o.maxParts = 255;
    const SubmitMessage m = EncodeSubmitMessage(text, o);
    ASSERT_EQ(static_cast<int>(m.parts.size()), best.parts) << round;
    WideString joined;
    for (const SubmitPart& p : m.parts) joined += DecodePdu(p.pdu).text;
    EXPECT_TRUE(joined == text) << round;
    ++chosen[std::string(CodingName(best.coding)) + (best.lockingLanguage ? " locking" : "") +
             (best.singleLanguage ? " single" : "")];
  }
  // The texts reach every kind of choice.
  for (const char* kind : {"gsm7", "gsm7 single", "gsm7 locking", "gsm7 locking single", "ucs2"}) {
    EXPECT_GT(chosen[kind], 0) << kind;
  }
}
}  // namespace
}  // namespace vela::coding

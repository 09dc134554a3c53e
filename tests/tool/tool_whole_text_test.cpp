// velasms encode --split, decode's Unicode keys and join, run in-process.
// The parts encode --split prints are read back by the simulator's own,
// independent SUBMIT decoder, so each side checks the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "commands.h"
#include "sim_pdu.h"

namespace vela::tool {
namespace {

struct Result {
  int status;
  std::string out, err;
};

Result Velasms(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int status = RunVelasms(args, out, err);
  return {status, out.str(), err.str()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Repeat(const std::string& unit, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += unit;
  return text;
}

// The value of a string key in one JSON line of ours ("key": "value").
std::string StringValue(const std::string& line, const std::string& key) {
  const std::string head = "\"" + key + "\": \"";
  size_t at = line.find(head);
  if (at == std::string::npos) return "<no " + key + ">";
  at += head.size();
  return line.substr(at, line.find('"', at) - at);
}

struct Part {
  std::string pdu;
  int length = 0, part = 0, parts = 0;
};

// encode --split output, every line checked for its exact key set.
std::vector<Part> SplitParts(const std::string& out) {
  std::vector<Part> parts;
  for (const std::string& line : Lines(out)) {
    Part p;
    p.pdu = StringValue(line, "pdu");
    char tail[64] = {};
    const size_t at = line.find("\", \"length\": ");
    EXPECT_NE(at, std::string::npos) << line;
    if (at == std::string::npos) continue;
    EXPECT_EQ(std::sscanf(line.c_str() + at, "\", \"length\": %d, \"part\": %d, \"parts\": %d%63s", &p.length, &p.part,
                          &p.parts, tail),
              4)
        << line;
    EXPECT_STREQ(tail, "}") << line;
    parts.push_back(p);
  }
  return parts;
}

struct DecodedPart {
  sim::pdu::Submit submit;
  int reference = -1, total = 0, sequence = 0;  // from the concatenation element, if any
  std::vector<int> singleShift, lockingShift;   // languages of IEI 0x24 / 0x25
};

DecodedPart DecodeWithSimulator(const Part& part) {
  DecodedPart d;
  std::string error;
  EXPECT_TRUE(sim::pdu::DecodeSubmit(part.pdu, part.length, &d.submit, &error)) << part.pdu << ": " << error;
  const sim::pdu::Bytes& h = d.submit.header;
  for (size_t i = 0; i + 1 < h.size(); i += 2 + h[i + 1]) {
    const size_t len = h[i + 1];
    if (i + 2 + len > h.size()) break;
    if (h[i] == 0x00 && len == 3) d.reference = h[i + 2], d.total = h[i + 3], d.sequence = h[i + 4];
    if (h[i] == 0x08 && len == 4) d.reference = h[i + 2] << 8 | h[i + 3], d.total = h[i + 4], d.sequence = h[i + 5];
    if (h[i] == 0x24 && len == 1) d.singleShift.push_back(h[i + 2]);
    if (h[i] == 0x25 && len == 1) d.lockingShift.push_back(h[i + 2]);
  }
  return d;
}

TEST(ToolEncodeSplit, PartCountsAreTheMinimumAndPartsCarryTheWholeText) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> options;
    int parts;
    int dcs;
  };
  const std::string kZhe = "\xD0\x96";            // Ж, UCS2 only
  const std::string kEmoji = "\xF0\x9F\x98\x80";  // 😀, two UTF-16 units
  const std::string kEuro = "\xE2\x82\xAC";       // €, an extension character: two septets
  const Case cases[] = {
      {"gsm7 160", std::string(160, 'a'), {}, 1, 0x00},
      {"gsm7 161", std::string(161, 'a'), {}, 2, 0x00},
      {"gsm7 306", std::string(306, 'a'), {}, 2, 0x00},
      {"gsm7 307", std::string(307, 'a'), {}, 3, 0x00},
      {"extension 80", Repeat(kEuro, 80), {}, 1, 0x00},
      {"extension 81", Repeat(kEuro, 81), {}, 2, 0x00},
      {"escape pair not split", std::string(152, 'a') + kEuro + std::string(10, 'b'), {}, 2, 0x00},
      {"ucs2 70", Repeat(kZhe, 70), {}, 1, 0x08},
      {"ucs2 71", Repeat(kZhe, 71), {}, 2, 0x08},
      {"ucs2 134", Repeat(kZhe, 134), {}, 2, 0x08},
      {"ucs2 135", Repeat(kZhe, 135), {}, 3, 0x08},
      {"emoji 35", Repeat(kEmoji, 35), {}, 1, 0x08},
      {"emoji 36", Repeat(kEmoji, 36), {}, 2, 0x08},
      {"surrogate pair not split", Repeat(kZhe, 66) + kEmoji + Repeat(kZhe, 10), {}, 2, 0x08},
      {"forced ucs2", "abc", {"--coding", "ucs2"}, 1, 0x08},
      {"8bit 140", std::string(140, 'x'), {"--coding", "8bit"}, 1, 0x04},
      {"8bit 141", std::string(141, 'x'), {"--coding", "8bit"}, 2, 0x04},
      {"empty", "", {}, 1, 0x00},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"encode", "--split", "--reference", "42", "--to", "+12345678901"};
    args.insert(args.end() - 2, c.options.begin(), c.options.end());
    args.push_back(c.text);
    Result r = Velasms(args);
    ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
    EXPECT_EQ(r.err, "") << c.name;
    std::vector<Part> parts = SplitParts(r.out);
    ASSERT_EQ(parts.size(), size_t(c.parts)) << c.name << "\n" << r.out;
    std::string joined;
    for (size_t i = 0; i < parts.size(); ++i) {
      EXPECT_EQ(parts[i].part, int(i + 1)) << c.name;
      EXPECT_EQ(parts[i].parts, c.parts) << c.name;
      DecodedPart d = DecodeWithSimulator(parts[i]);
      EXPECT_EQ(d.submit.dcs, c.dcs) << c.name;
      EXPECT_EQ(d.submit.destination.number, "+12345678901") << c.name;
      if (c.parts == 1) {
        EXPECT_FALSE(d.submit.hasHeader()) << c.name << ": a one-part message needs no header";
      } else {
        EXPECT_EQ(d.reference, 42) << c.name;
        EXPECT_EQ(d.total, c.parts) << c.name;
        EXPECT_EQ(d.sequence, int(i + 1)) << c.name;
      }
      joined += d.submit.text;
    }
    if (c.dcs != 0x04) EXPECT_EQ(joined, c.text) << c.name;  // 8-bit data reads back as Latin-1
  }
}

TEST(ToolEncodeSplit, NationalTablesOnlyWhenAllowedAndOptionsReachThePdu) {
  const std::string kTurkish = "\xC4\x9F\xC3\xBC\xC5\x9F\xC4\xB0";  // ğüşİ
  // Without national tables Turkish letters need UCS2.
  Result r = Velasms({"encode", "--split", "--to", "+905551234567", kTurkish});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<Part> parts = SplitParts(r.out);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(DecodeWithSimulator(parts[0]).submit.dcs, 0x08);

  // Allowed, they go in 7 bits with the Turkish shift table named in the header.
  for (const char* languages : {"tr", "turkish", "1", "all", "es,tr"}) {
    r = Velasms({"encode", "--split", "--languages", languages, "--to", "+905551234567", kTurkish});
    ASSERT_EQ(r.status, 0) << languages << ": " << r.err;
    parts = SplitParts(r.out);
    ASSERT_EQ(parts.size(), 1u) << languages;
    DecodedPart d = DecodeWithSimulator(parts[0]);
    EXPECT_EQ(d.submit.dcs, 0x00) << languages;
    EXPECT_TRUE(d.singleShift == std::vector<int>{1} || d.lockingShift == std::vector<int>{1}) << languages;
    Result decoded = Velasms({"decode", "--json", parts[0].pdu});
    EXPECT_NE(decoded.out.find("\"unicode_text\": \"" + kTurkish + "\""), std::string::npos) << decoded.out;
  }

  // Status report request, 16-bit reference.
  r = Velasms({"encode", "--split", "--status-report", "--ref16", "--reference", "4660", "--to", "+1555",
               std::string(200, 'z')});
  ASSERT_EQ(r.status, 0) << r.err;
  parts = SplitParts(r.out);
  ASSERT_EQ(parts.size(), 2u);
  for (const Part& p : parts) {
    DecodedPart d = DecodeWithSimulator(p);
    EXPECT_TRUE(d.submit.statusReportRequest());
    EXPECT_EQ(d.reference, 0x1234);
  }

  // Without --reference two messages get references of their own (random:
  // retry once against a chance collision).
  auto reference = [](const std::string& text) {
    Result x = Velasms({"encode", "--split", "--to", "+1555", text});
    return DecodeWithSimulator(SplitParts(x.out).at(0)).reference;
  };
  const std::string kLong(170, 'q');
  int first = reference(kLong);
  EXPECT_TRUE(reference(kLong) != first || reference(kLong) != first);
}

TEST(ToolEncodeSplit, RefusalsExitTwoBeforeAnythingIsPrinted) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--max-parts", "2", "--to", "+1555", std::string(400, 'a')}, "more than the limit of 2"},
      {{"--to", "abc", "hi"}, "invalid destination number"},
      {{"--to", "+1-555-0100-2000-3000-40001", "hi"}, "invalid destination number"},  // 21 digits
      {{"--coding", "gsm7", "--to", "+1555", "\xE4\xB8\x96"}, "GSM 7-bit alphabet"},
      {{"--coding", "9bit", "--to", "+1555", "hi"}, "'--coding' takes auto, gsm7, ucs2 or 8bit"},
      {{"--languages", "xx", "--to", "+1555", "hi"}, "option '--languages'"},
      {{"--reference", "256", "--to", "+1555", "hi"}, "'--reference' needs a whole number from 0 to 255"},
      {{"--max-parts", "0", "--to", "+1555", "hi"}, "'--max-parts' needs a whole number"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"encode", "--split"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Result r = Velasms(args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.out, "") << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << "expected '" << c.message << "' in: " << r.err;
  }
  // The new options belong to --split; the former encoder is left as it was.
  Result r = Velasms({"encode", "--languages", "tr", "--to", "1", "hi"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("option '--languages' needs --split"), std::string::npos) << r.err;
}

// --validity against the relative format of TS 23.040 9.2.3.12.1, rounded up
// to the next period it can carry; decode reads the period back.
TEST(ToolEncodeSplit, ValidityIsTheRelativePeriodRoundedUpAndDecodesBack) {
  struct Case {
    const char* given;
    int vp;             // -1: refused
    const char* shown;  // decode's text, or a part of the refusal
  };
  const Case cases[] = {
      {"5m", 0x00, "5 minutes"},
      {"6m", 0x01, "10 minutes"},
      {"90m", 0x11, "90 minutes"},
      {"12h", 0x8F, "720 minutes"},
      {"721m", 0x90, "12 hours 30 minutes"},
      {"12h30m", 0x90, "12 hours 30 minutes"},
      {"24h", 0xA7, "12 hours 720 minutes"},
      {"1d1m", 0xA8, "2 days"},
      {"2d", 0xA8, "2 days"},
      {"3D", 0xA9, "3 days"},
      {"30d", 0xC4, "30 days"},
      {"31d", 0xC5, "5 weeks"},
      {"2w", 0xB4, "14 days"},
      {"5w", 0xC5, "5 weeks"},
      {"63w", 0xFF, "63 weeks"},
      {"max", 0xFF, "63 weeks"},
      {"0", -1, "the number has no unit"},
      {"0m", -1, "shorter than 5 minutes"},
      {"4m", -1, "shorter than 5 minutes"},
      {"64w", -1, "longer than 63 weeks"},
      {"62w7d1m", -1, "longer than 63 weeks"},
      {"99999999999999999999w", -1, "longer than 63 weeks"},
      {"abc", -1, "a number was expected"},
      {"5s", -1, "unknown unit 's'"},
      {"", -1, "empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    Result r = Velasms({"encode", "--split", "--validity", c.given, "--to", "+12345678901", "hi"});
    if (c.vp < 0) {
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err.find(std::string("option '--validity': invalid validity period '") + c.given + "': " + c.shown),
                std::string::npos)
          << r.err;
      EXPECT_NE(r.err.find("from 5 minutes to 63 weeks"), std::string::npos) << r.err;
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Part> parts = SplitParts(r.out);
    ASSERT_EQ(parts.size(), 1u);
    const DecodedPart d = DecodeWithSimulator(parts[0]);
    EXPECT_EQ(d.submit.validityFormat, 2);
    ASSERT_EQ(d.submit.validity.size(), 1u);
    EXPECT_EQ(d.submit.validity[0], c.vp);
    Result decoded = Velasms({"decode", "--json", parts[0].pdu});
    EXPECT_NE(decoded.out.find(std::string(R"("validity_period": ")") + c.shown + "\""), std::string::npos)
        << decoded.out;
  }
  // The one-part encoder has no choice of period.
  Result r = Velasms({"encode", "--validity", "1d", "--to", "1", "hi"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("option '--validity' needs --split"), std::string::npos) << r.err;
}

// DELIVER with a concatenation header (8-bit reference A7, part 1 of 2) and "hi".
const char* const kConcatenatedDeliver = "07912143658709F1440B919178563412F000003210802143650009050003A70201D069";

TEST(ToolDecodeUnicode, HeaderElementsAndUnicodeTextAreAdded) {
  struct Case {
    std::string pdu;
    std::string tail;  // the end of the JSON line: the new keys
  };
  const Case cases[] = {
      {kConcatenatedDeliver,
       R"("unicode_text": "hi", "udh": [{"iei": 0, "data": "A70201", "reference": 167, "parts": 2, "part": 1}]})"},
      // 16-bit reference 0x1234, part 3 of 3, and an unknown element 0x70 kept raw.
      {"07912143658709F1440B919178563412F0000832108021436500"
       "0C"
       "0908041234030370"
       "01AA"
       "0041",
       R"("unicode_text": "A", "udh": [{"iei": 8, "data": "12340303", "reference": 4660, "parts": 3, "part": 3}, )"
       R"({"iei": 112, "data": "AA"}]})"},
      // UCS2 without a header: the emoji comes through whole.
      {"07912143658709F1040B919178563412F0000832108021436500"
       "04"
       "D83DDE00",
       "\"unicode_text\": \"\xF0\x9F\x98\x80\", \"udh\": []}"},
      // Turkish single shift (IEI 0x24, language 1): escape + 0x67 is ğ.
      {"07912143658709F1440B919178563412F000003210802143650007"
       "03240101"
       "D89C01",
       "\"unicode_text\": \"\xC4\x9F\", \"udh\": [{\"iei\": 36, \"data\": \"01\", \"language\": 1}]}"},
      // A status report has neither.
      {"07912143658709F1062A0B919178563412F0321080214365003210802153200000", R"("unicode_text": "", "udh": []})"},
      // A header running past its end: what can be read, no failure.
      {"07912143658709F1440B919178563412F00000321080214365000405000300", R"("udh": [)"},
  };
  for (const Case& c : cases) {
    Result r = Velasms({"decode", "--json", c.pdu});
    EXPECT_EQ(r.status, 0) << c.pdu;
    ASSERT_FALSE(r.out.empty()) << c.pdu;
    const std::string line = Lines(r.out)[0];
    if (c.tail.back() == '}') {
      ASSERT_GE(line.size(), c.tail.size()) << line;
      EXPECT_EQ(line.substr(line.size() - c.tail.size()), c.tail) << line;
    } else {
      EXPECT_NE(line.find(c.tail), std::string::npos) << line;
    }
    // The keys come after every former key.
    EXPECT_LT(line.find("\"analysis\": {"), line.find("\"unicode_text\": ")) << line;
  }
}

// encode --split of `text` to +12345678901 with reference `reference`.
std::vector<std::string> SplitPdus(const std::string& text, int reference, std::vector<std::string> options = {}) {
  std::vector<std::string> args{"encode", "--split", "--reference", std::to_string(reference), "--to", "+12345678901"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(text);
  Result r = Velasms(args);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> pdus;
  for (const Part& p : SplitParts(r.out)) pdus.push_back(p.pdu);
  return pdus;
}

TEST(ToolJoin, PartsInAnyOrderWithDuplicatesAndOtherMessagesComeBackWhole) {
  const std::string kLong = "\xCE\x93\xCE\xB5\xCE\xB9\xCE\xB1 " + std::string(300, 'g') + " \xD0\x96";  // Γεια ... Ж
  const std::string kOther = std::string(200, 'o');
  std::vector<std::string> a = SplitPdus(kLong, 7);
  std::vector<std::string> b = SplitPdus(kOther, 8);
  ASSERT_EQ(a.size(), 5u);  // UCS2: 306 units
  ASSERT_EQ(b.size(), 2u);
  // Interleaved, reversed, one part twice.
  std::vector<std::string> args{"join", "--json", a[4], b[1], a[2], a[3], a[2], a[0], b[0], a[1]};
  Result r = Velasms(args);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[0],
            R"({"from": "+12345678901", "text": ")" + kLong + R"(", "parts": 5, "complete": true, "missing": []})");
  EXPECT_EQ(lines[1],
            R"({"from": "+12345678901", "text": ")" + kOther + R"(", "parts": 2, "complete": true, "missing": []})");

  // A single message passes through; the human form names what is missing.
  r = Velasms({"join", SplitPdus("short", 9)[0], a[0], a[2]});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("Message from +12345678901 (1 part):\n  short\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("(5 parts, incomplete: parts 2, 4, 5 missing):\n"), std::string::npos) << r.out;
}

TEST(ToolJoin, MissingPartsAreMarkedAndUnreadablePdusNamed) {
  std::vector<std::string> a = SplitPdus(std::string(400, 'm'), 200);
  ASSERT_EQ(a.size(), 3u);
  Result r = Velasms(
      {"join", "--json", a[0], "07912143658709F1062A0B919178563412F0321080214365003210802153200000", "ZZ", a[2]});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("PDU 2 is a status report"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("PDU 3 is no SMS-DELIVER or SMS-SUBMIT PDU"), std::string::npos) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_NE(lines[0].find(R"("parts": 3, "complete": false, "missing": [2]})"), std::string::npos) << lines[0];
  // Parts 1 and 3 in place, something marking part 2 between them.
  const std::string text = StringValue(lines[0], "text");
  EXPECT_EQ(text.rfind(std::string(153, 'm'), 0), 0u) << text;
  EXPECT_GT(text.size(), 400u - 153u) << text;
  EXPECT_EQ(text.substr(text.size() - (400 - 306)), std::string(400 - 306, 'm')) << text;

  r = Velasms({"join"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("missing PDU"), std::string::npos);
}

}  // namespace
}  // namespace vela::tool

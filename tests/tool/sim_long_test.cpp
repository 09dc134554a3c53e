// The simulator's own coding of long, Unicode and national-language messages:
// tables against the CSV transcription, headers, part splitting, hand-built PDUs.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "sim_pdu.h"

namespace vela::sim::pdu {
namespace {

// ---- the CSV files, read here with their own small parser ----------------

// Splits one CSV line; cells may be quoted ("," is a comma) or bare (empty).
std::vector<std::string> CsvCells(const std::string& line) {
  std::vector<std::string> cells(1);
  bool quoted = false;
  for (char c : line) {
    if (c == '"')
      quoted = !quoted;
    else if (c == ',' && !quoted)
      cells.emplace_back();
    else if (c != '\r')
      cells.back().push_back(c);
  }
  return cells;
}

// Code -> code point of every defined cell (the escape cell left out).
std::map<int, char32_t> ReadCsvTable(const std::string& file) {
  std::ifstream in(std::string(VELA_SIM_GSM_TABLES_DIR) + "/" + file);
  std::map<int, char32_t> table;
  std::string line;
  std::getline(in, line);  // header row
  while (std::getline(in, line)) {
    std::vector<std::string> cells = CsvCells(line);
    if (cells.size() < 9) continue;
    int low = std::stoi(cells[0], nullptr, 16);
    for (int high = 0; high < 8; ++high) {
      const std::string& c = cells[static_cast<size_t>(high) + 1];
      int code = high * 16 + low;
      if (c.empty() || code == 0x1B) continue;
      char32_t cp = c == "SP"       ? U' '
                    : c == "LF"     ? U'\n'
                    : c == "CR"     ? U'\r'
                    : c == "QM"     ? U'"'
                    : c.size() == 1 ? static_cast<char32_t>(static_cast<unsigned char>(c[0]))
                                    : static_cast<char32_t>(std::stoul(c, nullptr, 16));
      table[code] = cp;
    }
  }
  return table;
}

const struct {
  int id;
  const char* stem;
  bool locking;
} kLanguages[] = {
    {1, "turkish", true}, {2, "spanish", false}, {3, "portugese", true}, {4, "bengali", true}, {5, "gujarati", true},
    {6, "hindi", true},   {7, "kannada", true},  {8, "malayalam", true}, {9, "oriya", true},   {10, "punjabi", true},
    {11, "tamil", true},  {12, "telugu", true},  {13, "urdu", true},
};

TEST(SimNationalTables, EveryCsvCellDecodesThroughItsTable) {
  std::map<int, char32_t> defaultLock = ReadCsvTable("default_lock.csv");
  ASSERT_EQ(defaultLock.size(), 127u);
  for (const auto& lang : kLanguages) {
    SCOPED_TRACE(lang.stem);
    std::map<int, char32_t> lock = lang.locking ? ReadCsvTable(std::string(lang.stem) + "_lock.csv") : defaultLock;
    std::map<int, char32_t> shift = ReadCsvTable(std::string(lang.stem) + "_shift.csv");
    ASSERT_FALSE(shift.empty());
    for (const auto& [code, cp] : lock) {
      EXPECT_EQ(GsmToTextWith(Bytes{static_cast<uint8_t>(code)}, lang.id, -1), std::u32string(1, cp))
          << "locking code " << code;
    }
    for (int code = 0; code < 128; ++code) {
      if (code == 0x1B) continue;
      // A code the single shift table leaves undefined shows the locking table's character.
      auto s = shift.find(code);
      char32_t expected = s != shift.end() ? s->second : lock.count(code) ? lock.at(code) : 0xFFFD;
      EXPECT_EQ(GsmToTextWith(Bytes{0x1B, static_cast<uint8_t>(code)}, lang.id, lang.id), std::u32string(1, expected))
          << "single shift code " << code;
    }
  }
}

TEST(SimNationalTables, DefaultTablesAgreeWithTheDefaultAlphabetCoder) {
  std::map<int, char32_t> lock = ReadCsvTable("default_lock.csv");
  std::map<int, char32_t> shift = ReadCsvTable("default_shift.csv");
  for (const auto& [code, cp] : lock) {
    Bytes septets;
    ASSERT_TRUE(TextToGsm(std::u32string(1, cp), &septets)) << code;
    EXPECT_EQ(septets, Bytes{static_cast<uint8_t>(code)});
    EXPECT_EQ(GsmToTextWith(septets, -1, -1), std::u32string(1, cp));
    EXPECT_EQ(GsmToTextWith(septets, 0, 0), std::u32string(1, cp));
  }
  ASSERT_EQ(shift.size(), 10u);
  for (const auto& [code, cp] : shift) {
    Bytes septets;
    ASSERT_TRUE(TextToGsm(std::u32string(1, cp), &septets)) << code;
    EXPECT_EQ(septets, (Bytes{0x1B, static_cast<uint8_t>(code)}));
  }
  // Escape-escape is reserved and shows a space; unknown identifiers mean the defaults.
  EXPECT_EQ(GsmToTextWith(Bytes{0x41, 0x1B, 0x1B, 0x42}, -1, -1), U"A B");
  EXPECT_EQ(GsmToTextWith(Bytes{0x1B, 0x65, 0x07}, 99, 99), U"\u20AC\u00EC");
  EXPECT_EQ(GsmToTextWith(Bytes{0x41, 0x1B}, 1, 1), U"A");
  EXPECT_EQ(LanguageName(1), std::string("turkish"));
  EXPECT_EQ(LanguageName(14), std::string(""));
  EXPECT_EQ(LockingTable(2), nullptr);  // Spanish has a single shift table only
  EXPECT_NE(SingleShiftTable(2), nullptr);
}

// ---- user data header ------------------------------------------------------

TEST(SimHeader, ParsesElementsAndRefusesMalformedOnes) {
  struct Case {
    const char* hex;
    const char* errorPart;  // "" when valid
    int reference, total, sequence;
    bool ref16;
    int locking, single;
    size_t elements;
  } cases[] = {
      {"0003CC0201", "", 0xCC, 2, 1, false, -1, -1, 1},
      {"080412340302", "", 0x1234, 3, 2, true, -1, -1, 1},
      {"240101250102", "", -1, 0, 0, false, 2, 1, 2},
      {"0003070303250101", "", 7, 3, 3, false, 1, -1, 2},
      {"050415811581", "", -1, 0, 0, false, -1, -1, 1},  // application ports, kept raw
      {"", "", -1, 0, 0, false, -1, -1, 0},
      {"0003CC02", "runs past", 0, 0, 0, false, 0, 0, 0},
      {"00", "no length", 0, 0, 0, false, 0, 0, 0},
      {"0002CC02", "needs 3 octets", 0, 0, 0, false, 0, 0, 0},
      {"0803123402", "needs 4 octets", 0, 0, 0, false, 0, 0, 0},
      {"0003CC0001", "part 1 of 0", 0, 0, 0, false, 0, 0, 0},
      {"0003CC0200", "part 0 of 2", 0, 0, 0, false, 0, 0, 0},
      {"0003CC0203", "part 3 of 2", 0, 0, 0, false, 0, 0, 0},
      {"0003CC02010003CC0202", "two concatenation", 0, 0, 0, false, 0, 0, 0},
      {"24020101", "needs 1 octet", 0, 0, 0, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    Bytes header;
    ASSERT_TRUE(FromHex(c.hex, &header));
    UserDataHeader h;
    std::string error;
    bool ok = ParseHeader(header, &h, &error);
    if (*c.errorPart) {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(h.elements.size(), c.elements);
    EXPECT_EQ(h.concatenated, c.reference >= 0);
    EXPECT_EQ(h.reference, c.reference);
    EXPECT_EQ(h.total, c.total);
    EXPECT_EQ(h.sequence, c.sequence);
    EXPECT_EQ(h.reference16, c.ref16);
    EXPECT_EQ(h.lockingShift, c.locking);
    EXPECT_EQ(h.singleShift, c.single);
  }
}

TEST(SimHeader, HandBuiltSubmitsDecodeWithTheirHeaders) {
  struct Case {
    const char* pdu;
    int length;
    const char* text;
    int reference, total, sequence;
    bool ref16;
    int locking, single;
  } cases[] = {
      // 7-bit, 8-bit reference CC part 1 of 2; one fill bit after the 6 header octets.
      {"0041000B912143658709F10000090500"
       "03CC02019069",
       21, "Hi", 0xCC, 2, 1, false, -1, -1},
      // UCS2, 16-bit reference 0x0102, part 3 of 3, "Я".
      {"0041000B912143658709F10008090608040102030304"
       "2F",
       22, "\u042F", 0x0102, 3, 3, true, -1, -1},
      // Turkish single shift and locking tables: ı (locking 07), Ğ (escape 47), İ (locking 40).
      {"0041000B912143658709F100000C0624010125010187CD1108", 24, "\u0131\u011E\u0130", -1, 0, 0, false, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pdu);
    Submit s;
    std::string error;
    ASSERT_TRUE(DecodeSubmit(c.pdu, c.length, &s, &error)) << error;
    EXPECT_EQ(s.text, c.text);
    EXPECT_EQ(s.udh.reference, c.reference);
    EXPECT_EQ(s.udh.total, c.total);
    EXPECT_EQ(s.udh.sequence, c.sequence);
    EXPECT_EQ(s.udh.reference16, c.ref16);
    EXPECT_EQ(s.udh.lockingShift, c.locking);
    EXPECT_EQ(s.udh.singleShift, c.single);
  }
  // A malformed header refuses the message and says why.
  Submit s;
  std::string error;
  EXPECT_FALSE(
      DecodeSubmit("0041000B912143658709F10000090500"
                   "03CC03049069",
                   21, &s, &error));
  EXPECT_NE(error.find("user data header: concatenation part 4 of 3"), std::string::npos) << error;
}

// ---- splitting long texts into DELIVER parts ------------------------------

struct Split {
  std::vector<Deliver> parts;
  std::vector<std::u32string> texts;
};

Split SplitText(const std::u32string& text, bool ucs2 = false, bool ref16 = false) {
  Split s;
  LongMessageOptions o;
  o.ucs2 = ucs2;
  o.reference16 = ref16;
  o.reference = ref16 ? 0xABCD : 0x42;
  EXPECT_TRUE(MakeLongDeliver("+15550000100", "+4915", CodePointsToUtf8(text), Timestamp{2026, 12, 9, 1, 2, 3, 4}, o,
                              &s.parts));
  for (size_t i = 0; i < s.parts.size(); ++i) {
    Deliver back;
    std::string error;
    std::string hex = EncodeDeliver(s.parts[i]);
    EXPECT_TRUE(DecodeDeliver(hex, &back, &error)) << error;
    EXPECT_LE(s.parts[i].userData.size(), 140u);
    if (s.parts.size() > 1) {
      EXPECT_TRUE(back.udh.concatenated);
      EXPECT_EQ(back.udh.reference, o.reference);
      EXPECT_EQ(back.udh.reference16, ref16);
      EXPECT_EQ(back.udh.total, static_cast<int>(s.parts.size()));
      EXPECT_EQ(back.udh.sequence, static_cast<int>(i + 1));
    } else {
      EXPECT_EQ(back.firstOctet & 0x40, 0);  // one part carries no header
    }
    s.texts.push_back(Utf8ToCodePoints(back.text));
  }
  return s;
}

std::u32string Joined(const Split& s) {
  std::u32string all;
  for (const std::u32string& t : s.texts) all += t;
  return all;
}

TEST(SimLongMessage, PartCountsAreTheMinimum) {
  const std::u32string emoji = U"\U0001F600";
  struct Case {
    std::u32string text;
    bool ucs2;
    bool ref16;
    size_t parts;
    size_t firstPartChars;
  } cases[] = {
      {std::u32string(160, U'a'), false, false, 1, 160},
      {std::u32string(161, U'a'), false, false, 2, 153},
      {std::u32string(306, U'a'), false, false, 2, 153},
      {std::u32string(307, U'a'), false, false, 3, 153},
      {std::u32string(305, U'a'), false, true, 3, 152},
      {std::u32string(80, U'\u20AC'), false, false, 1, 80},  // 160 septets
      {std::u32string(81, U'\u20AC'), false, false, 2, 76},  // an escape pair is never split
      {std::u32string(70, U'\u0416'), false, false, 1, 70},
      {std::u32string(71, U'\u0416'), false, false, 2, 67},
      {std::u32string(134, U'\u0416'), false, false, 2, 67},
      {std::u32string(135, U'\u0416'), false, false, 3, 67},
      {std::u32string(133, U'\u0416'), false, true, 3, 66},
      {std::u32string(10, U'a'), true, false, 1, 10},  // UCS2 on request
      {std::u32string(35, U'\U0001F600'), false, false, 1, 35},
      {std::u32string(66, U'x') + emoji + U"yzw", false, false, 2, 66},  // the pair goes whole to part 2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.size());
    Split s = SplitText(c.text, c.ucs2, c.ref16);
    ASSERT_EQ(s.parts.size(), c.parts);
    EXPECT_EQ(s.texts[0].size(), c.firstPartChars);
    EXPECT_EQ(Joined(s), c.text);
  }
}

TEST(SimLongMessage, MixedTextsRoundTripWhole) {
  const char* texts[] = {
      "Gr\u00FC\u00DFe aus K\u00F6ln [{~}] \u20AC ",
      "\u041F\u0440\u0438\u0432\u0435\u0442, \u043C\u0438\u0440! ",
      "\u4F60\u597D\U0001F44D\U0001F3FD\U0001F1E9\U0001F1EA\U0001F468\u200D\U0001F469\u200D\U0001F467 ",
  };
  for (const char* t : texts) {
    std::u32string one = Utf8ToCodePoints(t), text;
    while (text.size() < 700) text += one;
    Split s = SplitText(text);
    EXPECT_GT(s.parts.size(), 2u);
    EXPECT_EQ(Joined(s), text) << t;
    Deliver back;
    std::string error;
    ASSERT_TRUE(DecodeDeliver(EncodeDeliver(s.parts[0]), &back, &error));
    EXPECT_EQ(back.dcs, text.find(U'\u00FC') != std::u32string::npos ? 0x00 : 0x08);
  }
  std::vector<Deliver> parts;
  EXPECT_FALSE(
      MakeLongDeliver("", "+1", std::string(153 * 255 + 1, 'a'), Timestamp{2026, 1, 1, 0, 0, 0, 0}, {}, &parts));
}

}  // namespace
}  // namespace vela::sim::pdu

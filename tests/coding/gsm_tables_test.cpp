// The GSM 7-bit tables against their CSV transcriptions, every cell in both
// directions: table code -> character, and the encoder's character -> code.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "coding/text_coding.h"
#include "coding/text_encode_internal.h"
#include "submit_reader.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace vela::coding {
namespace {

// One table as the CSV gives it: code -> code point (0: undefined), 0x1B
// (the escape) left out.
struct CsvTable {
  std::string file;
  int language = 0;
  bool locking = false;
  std::map<int, char16_t> cells;
};

// Minimal CSV: fields in double quotes, "" inside a quoted field is a quote.
std::vector<std::vector<std::string>> ReadCsv(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::vector<std::string>> rows;
  if (!in) return rows;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      const char c = line[i];
      if (quoted) {
        if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
          field.push_back('"');
          ++i;
        } else if (c == '"') {
          quoted = false;
        } else {
          field.push_back(c);
        }
      } else if (c == '"') {
        quoted = true;
      } else if (c == ',') {
        row.push_back(field);
        field.clear();
      } else {
        field.push_back(c);
      }
    }
    row.push_back(field);
    rows.push_back(row);
  }
  return rows;
}

char16_t CellValue(const std::string& cell) {
  if (cell == "SP") return u' ';
  if (cell == "LF") return u'\n';
  if (cell == "CR") return u'\r';
  if (cell == "QM") return u'"';
  if (cell.size() == 1) return static_cast<char16_t>(static_cast<unsigned char>(cell[0]));
  return static_cast<char16_t>(std::stoul(cell, nullptr, 16));
}

const std::vector<CsvTable>& AllTables() {
  static const std::vector<CsvTable> tables = [] {
    const std::pair<const char*, int> stems[] = {
        {"default", 0},  {"turkish", 1}, {"spanish", 2}, {"portugese", 3}, {"bengali", 4},
        {"gujarati", 5}, {"hindi", 6},   {"kannada", 7}, {"malayalam", 8}, {"oriya", 9},
        {"punjabi", 10}, {"tamil", 11},  {"telugu", 12}, {"urdu", 13},
    };
    std::vector<CsvTable> out;
    for (const auto& [stem, language] : stems) {
      for (bool locking : {true, false}) {
        CsvTable t;
        t.file = std::string(stem) + (locking ? "_lock.csv" : "_shift.csv");
        t.language = language;
        t.locking = locking;
        const auto rows = ReadCsv(std::string(VELA_GSM_TABLES_DIR) + "/" + t.file);
        if (rows.empty()) continue;  // Spanish has no locking table
        for (size_t r = 1; r < rows.size(); ++r) {
          const int low = std::stoi(rows[r][0], nullptr, 16);
          for (int col = 0; col < 8 && col + 1 < static_cast<int>(rows[r].size()); ++col) {
            const std::string& cell = rows[r][static_cast<size_t>(col) + 1];
            const int code = col * 16 + low;
            if (cell.empty() || code == 0x1B) continue;
            t.cells[code] = CellValue(cell);
          }
        }
        out.push_back(t);
      }
    }
    return out;
  }();
  return tables;
}

const CsvTable* Find(int language, bool locking) {
  for (const CsvTable& t : AllTables()) {
    if (t.language == language && t.locking == locking) return &t;
  }
  return nullptr;
}

// Lowest code of `ch` in the table, -1 when absent.
int CodeOf(const CsvTable* t, char16_t ch) {
  if (t == nullptr) return -1;
  for (const auto& [code, value] : t->cells) {
    if (value == ch) return code;
  }
  return -1;
}

TEST(GsmTablesTest, CsvFilesPresent) {
  // 14 single shift tables and 13 locking tables (Spanish has none).
  ASSERT_EQ(AllTables().size(), 27u) << "CSV files not found in " << VELA_GSM_TABLES_DIR;
}

TEST(GsmTablesTest, EveryCellCodeToCharacter) {
  for (const CsvTable& t : AllTables()) {
    const GsmTable* table = t.locking ? LockingTable(t.language) : ShiftTable(t.language);
    ASSERT_NE(table, nullptr) << t.file;
    for (int code = 0; code < 128; ++code) {
      if (code == 0x1B) {
        // The escape: announced in locking tables, undefined in shift tables.
        EXPECT_EQ(table->code[code], t.locking ? 0x1B : 0) << t.file;
        continue;
      }
      const auto it = t.cells.find(code);
      const char16_t expected = it == t.cells.end() ? 0 : it->second;
      EXPECT_EQ(table->code[code], expected) << t.file << " code 0x" << std::hex << code;
    }
  }
}

TEST(GsmTablesTest, TablesThatDoNotExist) {
  EXPECT_EQ(LockingTable(kLanguageSpanish), nullptr);
  EXPECT_NE(ShiftTable(kLanguageSpanish), nullptr);
  for (int language : {-1, kLanguageCount, 99}) {
    EXPECT_EQ(LockingTable(language), nullptr) << language;
    EXPECT_EQ(ShiftTable(language), nullptr) << language;
  }
}

// Every character of a locking table is its own code under that table; every
// character of a single shift table is escape + code unless the locking
// table in use has it (then its one-septet code).
TEST(GsmTablesTest, EveryCellCharacterToCode) {
  for (const CsvTable& t : AllTables()) {
    for (const auto& [code, ch] : t.cells) {
      const WideString text(1, ch);
      if (t.locking) {
        const auto septets = detail::EncodeSeptets(text, t.language, 0);
        ASSERT_TRUE(septets) << t.file << " code 0x" << std::hex << code;
        EXPECT_EQ(*septets, std::string(1, static_cast<char>(CodeOf(&t, ch)))) << t.file << " 0x" << std::hex << code;
        continue;
      }
      for (int locking : {0, t.language}) {
        const CsvTable* lock = Find(locking, true);
        if (lock == nullptr) continue;
        const auto septets = detail::EncodeSeptets(text, locking, t.language);
        ASSERT_TRUE(septets) << t.file << " code 0x" << std::hex << code;
        const int in_lock = CodeOf(lock, ch);
        const std::string expected = in_lock >= 0 ? std::string(1, static_cast<char>(in_lock))
                                                  : std::string{'\x1B', static_cast<char>(CodeOf(&t, ch))};
        EXPECT_EQ(*septets, expected) << t.file << " code 0x" << std::hex << code << " locking " << locking;
      }
    }
  }
}

// Through the public encoder: each character alone, forced 7-bit, with its
// language allowed, comes out as septets that the CSV tables named by the
// PDU's header read back as that character.
TEST(GsmTablesTest, EveryCellThroughTheEncoder) {
  for (const CsvTable& t : AllTables()) {
    for (const auto& [code, ch] : t.cells) {
      SubmitOptions options;
      options.destination = "+15550000000";
      options.coding = Coding::kGsm7;
      if (t.language != 0) options.languages = {t.language};
      const SubmitMessage m = EncodeSubmitMessage(WideString(1, ch), options);
      ASSERT_EQ(m.parts.size(), 1u);
      const testing::ReadSubmit u = testing::ReadSubmitPdu(m.parts[0].pdu);
      EXPECT_EQ(u.locking, m.lockingLanguage);
      EXPECT_EQ(u.single, m.singleLanguage);
      const CsvTable* lock = Find(u.locking, true);
      const CsvTable* shift = Find(u.single, false);
      ASSERT_TRUE(lock && shift) << t.file;
      char16_t read = 0;
      if (u.septets.size() == 1) {
        read = lock->cells.count(u.septets[0]) ? lock->cells.at(u.septets[0]) : 0;
      } else if (u.septets.size() == 2 && u.septets[0] == 0x1B) {
        read = shift->cells.count(u.septets[1]) ? shift->cells.at(u.septets[1]) : 0;
      }
      EXPECT_EQ(read, ch) << t.file << " code 0x" << std::hex << code;
    }
  }
}

#ifndef _WIN32
// The checked-in tables are what the generator makes of the CSV files.
TEST(GsmTablesTest, GeneratedSourceIsUpToDate) {
  if (std::FILE* f = std::fopen("/usr/bin/python3", "r")) {
    std::fclose(f);
  } else {
    GTEST_SKIP() << "/usr/bin/python3 not installed";
  }
  char dir[] = "/tmp/gsm-tables-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string out = std::string(dir) + "/gsm_tables.cpp";
  const std::string command = std::string("/usr/bin/python3 '") + VELA_SOURCE_DIR + "/scripts/gen-gsm-tables' --out '" +
                              out + "' --data '" + VELA_GSM_TABLES_DIR + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  auto slurp = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };
  const std::string generated = slurp(out);
  std::remove(out.c_str());
  rmdir(dir);
  EXPECT_FALSE(generated.empty());
  EXPECT_TRUE(generated == slurp(std::string(VELA_SOURCE_DIR) + "/src/coding/gsm_tables.cpp"))
      << "src/coding/gsm_tables.cpp differs from the generator's output: run scripts/gen-gsm-tables";
}
#endif

}  // namespace
}  // namespace vela::coding

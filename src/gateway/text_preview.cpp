#include "gateway/text_preview.h"

#include <algorithm>
#include <cstdio>

#include "common/hex.h"
#include "common/utf8.h"

namespace vela::gateway {

using nlohmann::json;

namespace {

// Look-alikes people type without meaning to (word processors, phone
// keyboards) and their stand-ins in the default alphabet.
struct Replacement {
  char32_t from;
  const char* to;
};
constexpr Replacement kReplacements[] = {
    {0x00A0, " "},  {0x00AB, "\""}, {0x00B4, "'"},  {0x00BB, "\""}, {0x00E1, "a"},  {0x00E2, "a"}, {0x00E3, "a"},
    {0x00E7, "c"},  {0x00EA, "e"},  {0x00EB, "e"},  {0x00ED, "i"},  {0x00EE, "i"},  {0x00EF, "i"}, {0x00F3, "o"},
    {0x00F4, "o"},  {0x00F5, "o"},  {0x00FA, "u"},  {0x00FB, "u"},  {0x02BC, "'"},  {0x02C6, "^"}, {0x02DC, "~"},
    {0x2002, " "},  {0x2003, " "},  {0x2009, " "},  {0x200A, " "},  {0x200B, ""},   {0x2010, "-"}, {0x2011, "-"},
    {0x2012, "-"},  {0x2013, "-"},  {0x2014, "-"},  {0x2015, "-"},  {0x2018, "'"},  {0x2019, "'"}, {0x201A, "'"},
    {0x201B, "'"},  {0x201C, "\""}, {0x201D, "\""}, {0x201E, "\""}, {0x201F, "\""}, {0x2022, "-"}, {0x2026, "..."},
    {0x202F, " "},  {0x2032, "'"},  {0x2033, "\""}, {0x2039, "<"},  {0x203A, ">"},  {0x2212, "-"}, {0x2044, "/"},
    {0x2122, "TM"}, {0x2190, "<-"}, {0x2192, "->"}, {0xFEFF, ""},   {0xFF01, "!"},
};

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Whether a table of the default alphabet or of an allowed language has `ch`.
bool InGsmTables(char16_t ch, const std::vector<int>& languages) {
  if (ch == 0x1B) return false;
  auto has = [ch](const coding::GsmTable* table) {
    if (!table) return false;
    for (int code = 0; code < 128; ++code) {
      if (code != 0x1B && table->code[code] == ch) return true;
    }
    return false;
  };
  for (size_t i = 0; i <= languages.size(); ++i) {
    const int language = i == 0 ? coding::kLanguageDefault : languages[i - 1];
    if (has(coding::LockingTable(language)) || has(coding::ShiftTable(language))) return true;
  }
  return false;
}

std::string CodePointName(char32_t cp) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(cp));
  return text;
}

// Room of one part as its PDU says: text units and units still free.
struct PartRoom {
  int units = 0;
  int left = 0;
};

PartRoom RoomOf(const std::string& pdu, coding::Coding coding) {
  auto octet = [&pdu](size_t at) { return hex::DigitValue(pdu[at]) * 16 + hex::DigitValue(pdu[at + 1]); };
  size_t at = 2 + 2 * static_cast<size_t>(octet(0));         // service-centre address
  const bool header = (octet(at) & 0x40) != 0;               // TP-UDHI
  at += 4;                                                   // first octet, TP-MR
  at += 4 + 2 * ((static_cast<size_t>(octet(at)) + 1) / 2);  // TP-DA: digits, type, semi-octets
  at += 4;                                                   // TP-PID, TP-DCS
  const int udl = octet(at);
  const int headerOctets = header ? octet(at + 2) + 1 : 0;
  switch (coding) {
    case coding::Coding::kUcs2:
      return {(udl - headerOctets) / 2, (140 - udl) / 2};
    case coding::Coding::kEightBit:
      return {udl - headerOctets, 140 - udl};
    default:  // UDL counts septets, the header's fill included
      return {udl - (headerOctets * 8 + 6) / 7, 160 - udl};
  }
}

}  // namespace

std::optional<std::string> GsmReplacement(char32_t codePoint) {
  const auto it = std::lower_bound(std::begin(kReplacements), std::end(kReplacements), codePoint,
                                   [](const Replacement& r, char32_t cp) { return r.from < cp; });
  if (it == std::end(kReplacements) || it->from != codePoint) return std::nullopt;
  return std::string(it->to);
}

json PreviewText(const std::string& utf8, coding::Coding coding, const std::vector<int>& languages) {
  const WideString text = WideFromUtf8(utf8);
  coding::SubmitOptions options;
  options.destination = "0";
  options.coding = coding;
  options.languages = languages;
  options.maxParts = 255;
  const coding::SubmitMessage message = coding::EncodeSubmitMessage(text, options);

  int units = 0;
  PartRoom last;
  for (const coding::SubmitPart& part : message.parts) {
    last = RoomOf(part.pdu, message.coding);
    units += last.units;
  }
  json used = json::array();
  for (int language : {message.lockingLanguage, message.singleLanguage}) {
    const std::string code = coding::LanguageCode(language);
    if (!code.empty() && std::find(used.begin(), used.end(), code) == used.end()) used.push_back(code);
  }

  // Characters no allowed table has, when they are why the text went UCS2.
  json because = json::array();
  WideString replaced;
  bool anyReplacement = false;
  const bool forced = coding == coding::Coding::kAuto && message.coding == coding::Coding::kUcs2;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool pair = IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1]);
    const WideString unit = text.substr(i, pair ? 2 : 1);
    if (forced && (pair || !InGsmTables(text[i], languages))) {
      const char32_t cp = pair ? 0x10000 + ((text[i] - 0xD800u) << 10) + (text[i + 1] - 0xDC00u) : text[i];
      const std::optional<std::string> stand_in = GsmReplacement(cp);
      const std::string shown = Utf8FromWide(unit);
      const bool seen = std::any_of(because.begin(), because.end(), [&](const json& b) { return b["char"] == shown; });
      if (!seen) {
        because.push_back(json{{"char", shown},
                               {"codepoint", CodePointName(cp)},
                               {"replacement", stand_in ? json(*stand_in) : json(nullptr)}});
      }
      if (stand_in) {
        replaced += WideFromUtf8(*stand_in);
        anyReplacement = true;
      } else {
        replaced += unit;
      }
    } else {
      replaced += unit;
    }
    if (pair) ++i;
  }
  json ifReplaced = nullptr;
  if (anyReplacement) {
    const coding::CodingPlan plan = coding::PlanText(replaced, coding, languages);
    ifReplaced = json{{"parts", plan.parts}, {"coding", coding::CodingName(plan.coding)}};
  }
  return json{{"parts", static_cast<int>(message.parts.size())},
              {"coding", coding::CodingName(message.coding)},
              {"septets_or_units", units},
              {"left_in_part", last.left},
              {"languages", used},
              {"ucs2_because", because},
              {"if_replaced", ifReplaced}};
}

}  // namespace vela::gateway

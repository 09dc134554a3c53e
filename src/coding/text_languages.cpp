// National language names and coding names of the text coder.
#include <algorithm>
#include <string>
#include <vector>

#include "coding/text_coding.h"

namespace vela::coding {

// --- Languages and codings -----------------------------------------------------

namespace {

struct LanguageName {
  int id;
  const char* code;
  const char* name;
};

constexpr LanguageName kLanguageNames[] = {
    {1, "tr", "turkish"}, {2, "es", "spanish"}, {3, "pt", "portuguese"}, {4, "bn", "bengali"}, {5, "gu", "gujarati"},
    {6, "hi", "hindi"},   {7, "kn", "kannada"}, {8, "ml", "malayalam"},  {9, "or", "oriya"},   {10, "pa", "punjabi"},
    {11, "ta", "tamil"},  {12, "te", "telugu"}, {13, "ur", "urdu"},
};

std::string Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

int LanguageFromName(const std::string& name) {
  const std::string key = Lower(name);
  if (!key.empty() && key.size() <= 2 &&
      std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    const int id = std::stoi(key);
    return id >= 1 && id < kLanguageCount ? id : -1;
  }
  if (key == "odia") return 9;  // the current name of Oriya
  for (const LanguageName& l : kLanguageNames) {
    if (key == l.code || key == l.name) return l.id;
  }
  return -1;
}

std::string LanguageCode(int language) {
  for (const LanguageName& l : kLanguageNames) {
    if (l.id == language) return l.code;
  }
  return std::string();
}

std::vector<int> ParseLanguageList(const std::string& list) {
  std::vector<int> out;
  std::string entry;
  bool all = false;
  auto take = [&] {
    if (entry.empty()) return;
    const std::string key = Lower(entry);
    if (key == "all") {
      all = true;
    } else if (key != "none") {
      const int id = LanguageFromName(entry);
      if (id < 0) {
        throw ETextCodingError("unknown national language '" + entry +
                               "': use codes (tr, es, pt, bn, gu, hi, kn, ml, or, pa, ta, te, ur), English names, "
                               "identifiers 1 to 13, all or none");
      }
      if (std::find(out.begin(), out.end(), id) == out.end()) out.push_back(id);
    }
    entry.clear();
  };
  for (char c : list) {
    if (c == ',' || c == ' ' || c == '\t') {
      take();
    } else {
      entry.push_back(c);
    }
  }
  take();
  if (all) {
    out.clear();
    for (int id = 1; id < kLanguageCount; ++id) out.push_back(id);
  }
  return out;
}

const char* CodingName(Coding coding) {
  switch (coding) {
    case Coding::kAuto:
      return "auto";
    case Coding::kGsm7:
      return "gsm7";
    case Coding::kUcs2:
      return "ucs2";
    case Coding::kEightBit:
      return "8bit";
  }
  return "auto";
}

Coding ParseCoding(const std::string& name) {
  const std::string key = Lower(name);
  if (key == "auto") return Coding::kAuto;
  if (key == "gsm7" || key == "7bit") return Coding::kGsm7;
  if (key == "ucs2") return Coding::kUcs2;
  if (key == "8bit") return Coding::kEightBit;
  throw ETextCodingError("unknown coding '" + name + "': use auto, gsm7, ucs2 or 8bit");
}

}  // namespace vela::coding

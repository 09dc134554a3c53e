// Windows code page 1252 without the operating system.
#include "common/code_page.h"

#include <cstdint>

namespace vela {

namespace {

// 0x80-0x9F of cp1252. The five bytes the code page leaves undefined map to
// the C1 control of the same value, as Windows' own conversion does.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr char16_t ToWide(uint8_t byte) {
  return byte >= 0x80 && byte < 0xA0 ? kHighControls[byte - 0x80] : static_cast<char16_t>(byte);
}

// Reverse of ToWide for one BMP code unit; '?' when cp1252 lacks it.
constexpr char ToByte(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  // The high controls lie in U+0080-U+02FF and U+2000-U+21FF: other units
  // (Greek, Cyrillic, CJK, surrogates...) need no search.
  if ((unit >= 0x0300 && unit < 0x2000) || unit >= 0x2200) return '?';
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

constexpr bool HighControlsInSearchedRanges() {
  for (char16_t unit : kHighControls) {
    if ((unit >= 0x0300 && unit < 0x2000) || unit >= 0x2200) return false;
  }
  return true;
}
static_assert(HighControlsInSearchedRanges(), "ToByte skips the search for units outside these ranges");

// ToWide of every byte, and ToByte of every unit below 0x100 (the units that
// text of this code page mostly consists of).
struct Tables {
  char16_t wide[256];
  char narrow[256];
  constexpr Tables() : wide(), narrow() {
    for (int i = 0; i < 256; ++i) {
      wide[i] = ToWide(static_cast<uint8_t>(i));
      narrow[i] = ToByte(static_cast<char16_t>(i));
    }
  }
};

constexpr Tables kTables{};

class Cp1252CodePage final : public CodePage {
 public:
  ByteString Narrow(const WideString& text) const override {
    // One byte per code unit, as Windows converts to a single-byte code
    // page: a character outside the BMP (a surrogate pair) becomes "??".
    ByteString out(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) {
      const char16_t unit = text[i];
      out[i] = unit < 0x100 ? kTables.narrow[unit] : ToByte(unit);
    }
    return out;
  }

  WideString Widen(const ByteString& text) const override {
    WideString out(text.size(), u'\0');
    for (size_t i = 0; i < text.size(); ++i) out[i] = kTables.wide[static_cast<uint8_t>(text[i])];
    return out;
  }
};

}  // namespace

const CodePage& Cp1252() {
  static const Cp1252CodePage page;
  return page;
}

}  // namespace vela

#include "coding/gsm_alphabet.h"

namespace vela {

namespace {

constexpr std::array<uint8_t, 256> BuildAlphabet() {
  std::array<uint8_t, 256> t{};
  // 0x00-0x1F: the default alphabet's accented letters, control characters
  // and Greek capitals (as their ISO 8859-7 bytes); 0x1B is the escape code.
  constexpr uint8_t low[32] = {
      0x40, 0xA3, 0x24, 0xA5, 0xE8, 0xE9, 0xF9, 0xEC,  // @ £ $ ¥ è é ù ì
      0xF2, 0xC7, 0x0A, 0xD8, 0xF8, 0x0D, 0xC5, 0xE5,  // ò Ç LF Ø ø CR Å å
      0xC4, 0x5F, 0xD6, 0xC3, 0xCB, 0xD9, 0xD0, 0xD8,  // Δ _ Φ Γ Λ Ω Π Ψ
      0xD3, 0xC8, 0xCE, 0x00, 0xC6, 0xE6, 0xDF, 0xC9,  // Σ Θ Ξ ESC Æ æ ß É
  };
  for (int i = 0; i < 32; ++i) t[i] = low[i];
  for (int i = 0x20; i <= 0x7F; ++i) t[i] = static_cast<uint8_t>(i);
  t[0x24] = 0xA4;                                                              // ¤ (the dollar sign lives at 0x02)
  t[0x40] = 0xA1;                                                              // ¡ (the at sign lives at 0x00)
  constexpr uint8_t national_upper[6] = {0xC4, 0xD6, 0xD1, 0xDC, 0xA7, 0xBF};  // Ä Ö Ñ Ü § ¿
  for (int i = 0; i < 6; ++i) t[0x5B + i] = national_upper[i];
  constexpr uint8_t national_lower[5] = {0xE4, 0xF6, 0xF1, 0xFC, 0xE0};  // ä ö ñ ü à
  for (int i = 0; i < 5; ++i) t[0x7B + i] = national_lower[i];
  // Upper half: no GSM characters; gives Latin-1 characters outside the
  // alphabet a code >= 0x80 so that they are recognised as not 7-bit.
  t[0x88] = 0xB7;
  for (int i = 0xA1; i <= 0xFF; ++i) t[i] = static_cast<uint8_t>(i);
  t[0xAD] = 0x00;
  t[0xB7] = 0x00;
  t[0xF7] = 0x00;
  t[0xF8] = 0x00;
  return t;
}

// The extension table: character byte and the code that follows the escape.
struct Extension {
  uint8_t byte;
  uint8_t code;
};
constexpr Extension kExtensions[] = {
    {0x0C, 0x0A},  // form feed
    {0x5E, 0x14},  // ^
    {0x7B, 0x28},  // {
    {0x7D, 0x29},  // }
    {0x5C, 0x2F},  // backslash
    {0x5B, 0x3C},  // [
    {0x7E, 0x3D},  // ~
    {0x5D, 0x3E},  // ]
    {0x7C, 0x40},  // |
    {0xA4, 0x65},  // euro sign of ISO 8859-15
};

// Reverse lookup built once: byte -> first code whose entry equals it, or
// -1. Equivalent to searching the table from code 0 upward.
struct CodeIndex {
  int16_t first[256];
  constexpr CodeIndex() : first() {
    for (int b = 0; b < 256; ++b) first[b] = -1;
    const std::array<uint8_t, 256> t = BuildAlphabet();
    for (int code = 255; code >= 0; --code) first[t[code]] = static_cast<int16_t>(code);
  }
};

constexpr CodeIndex kCodeIndex{};

// Byte of the character each code after the escape stands for; 0x00 for
// codes the extension table does not hold.
struct ExtensionIndex {
  uint8_t byte[256];
  constexpr ExtensionIndex() : byte() {
    for (const Extension& e : kExtensions) byte[e.code] = e.byte;
  }
};

constexpr ExtensionIndex kExtensionIndex{};

constexpr std::array<uint8_t, 256> kAlphabet = BuildAlphabet();

}  // namespace

const std::array<uint8_t, 256> GsmAlphabet = kAlphabet;

uint8_t GsmCharCode(char c) {
  const auto b = static_cast<uint8_t>(c);
  if (kCodeIndex.first[b] >= 0) return static_cast<uint8_t>(kCodeIndex.first[b]);
  for (const Extension& e : kExtensions) {
    if (e.byte == b) return e.code;
  }
  return 0x3F;
}

bool IsGsmExtensionChar(char c) {
  const auto b = static_cast<uint8_t>(c);
  if (kCodeIndex.first[b] >= 0) return false;
  for (const Extension& e : kExtensions) {
    if (e.byte == b) return true;
  }
  return false;
}

ByteString GsmToText(const ByteString& codes) {
  // At most one character per code; written in place, then cut to length.
  ByteString text(codes.size(), '\0');
  size_t n = 0;
  bool escaped = false;
  for (char ch : codes) {
    const auto code = static_cast<uint8_t>(ch);
    if (escaped) {
      escaped = false;
      text[n++] = static_cast<char>(kExtensionIndex.byte[code]);
    } else if (code == kGsmEscape) {
      escaped = true;
    } else {
      text[n++] = static_cast<char>(kAlphabet[code]);
    }
  }
  text.resize(n);
  return text;
}

ByteString SwapSemiOctets(const ByteString& text) {
  ByteString swapped = text;
  for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
  return swapped;
}

}  // namespace vela

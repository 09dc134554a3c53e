// UTF-8 <-> UTF-16 and code points, the same on every platform.
#include "common/utf8.h"

#include <cstdint>

namespace vela {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(WideString& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(cp));
  }
}

void AppendUtf8(std::string& out, char32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The code point at utf8[i], advancing i past it. Each maximal ill-formed
// subsequence gives one U+FFFD (the Unicode "substitution of maximal
// subparts" practice); overlong forms, encoded surrogates and values above
// U+10FFFF are ill-formed.
char32_t Next(const std::string& utf8, size_t& i) {
  const size_t n = utf8.size();
  const auto b0 = static_cast<uint8_t>(utf8[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int length = 0;
  char32_t cp = 0;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    ++i;
    return kReplacement;
  }
  size_t j = i + 1;
  for (int k = 1; k < length; ++k, ++j) {
    const uint8_t b = j < n ? static_cast<uint8_t>(utf8[j]) : 0;
    if (j >= n || b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) {
      i = j;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  i = j;
  return cp;
}

}  // namespace

WideString WideFromUtf8(const std::string& utf8) {
  WideString out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) AppendUtf16(out, Next(utf8, i));
  return out;
}

std::u32string CodePointsFromUtf8(const std::string& utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) out.push_back(Next(utf8, i));
  return out;
}

size_t Utf8SequenceLength(const std::string& utf8, size_t i) {
  if (i >= utf8.size()) return 0;
  size_t next = i;
  const char32_t cp = Next(utf8, next);
  // U+FFFD itself is three well-formed bytes; a replacement is not.
  if (cp == kReplacement && !(next - i == 3 && utf8.compare(i, 3, "\xEF\xBF\xBD") == 0)) return 0;
  return next - i;
}

std::string Utf8FromWide(const WideString& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else {
      AppendUtf8(out, u);  // a lone surrogate becomes U+FFFD
    }
  }
  return out;
}

std::string Utf8FromCodePoints(const std::u32string& text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t cp : text) AppendUtf8(out, cp);
  return out;
}

}  // namespace vela

// UTF-8 <-> UTF-16, the same on every platform (no code page involved).
#include <cstdint>

#include "platform/codepage.h"

namespace vela::platform {

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

}  // namespace

WideString WideFromUtf8(const std::string& utf8) {
  // Each maximal ill-formed subsequence becomes one U+FFFD (the Unicode
  // "substitution of maximal subparts" practice); overlong forms, encoded
  // surrogates and values above U+10FFFF are ill-formed.
  WideString out;
  out.reserve(utf8.size());
  const size_t n = utf8.size();
  size_t i = 0;
  while (i < n) {
    const auto b0 = static_cast<uint8_t>(utf8[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
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
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool complete = true;
    for (int k = 1; k < length; ++k, ++j) {
      const uint8_t b = j < n ? static_cast<uint8_t>(utf8[j]) : 0;
      const uint8_t min = k == 1 ? lo : 0x80;
      const uint8_t max = k == 1 ? hi : 0xBF;
      if (j >= n || b < min || b > max) {
        complete = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (complete) {
      AppendUtf16(out, cp);
    } else {
      out.push_back(static_cast<char16_t>(kReplacement));
    }
    i = j;
  }
  return out;
}

size_t Utf8SequenceLength(const std::string& utf8, size_t i) {
  auto at = [&](size_t k) -> unsigned { return k < utf8.size() ? static_cast<unsigned char>(utf8[k]) : 0x100; };
  auto cont = [](unsigned b, unsigned lo = 0x80, unsigned hi = 0xBF) { return b >= lo && b <= hi; };
  const unsigned b0 = at(i);
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) return cont(at(i + 1)) ? 2 : 0;
  if (b0 == 0xE0) return cont(at(i + 1), 0xA0, 0xBF) && cont(at(i + 2)) ? 3 : 0;
  if (b0 == 0xED) return cont(at(i + 1), 0x80, 0x9F) && cont(at(i + 2)) ? 3 : 0;  // no surrogates
  if (b0 >= 0xE1 && b0 <= 0xEF) return cont(at(i + 1)) && cont(at(i + 2)) ? 3 : 0;
  if (b0 == 0xF0) return cont(at(i + 1), 0x90, 0xBF) && cont(at(i + 2)) && cont(at(i + 3)) ? 4 : 0;
  if (b0 >= 0xF1 && b0 <= 0xF3) return cont(at(i + 1)) && cont(at(i + 2)) && cont(at(i + 3)) ? 4 : 0;
  if (b0 == 0xF4) return cont(at(i + 1), 0x80, 0x8F) && cont(at(i + 2)) && cont(at(i + 3)) ? 4 : 0;
  return 0;
}

std::string Utf8FromWide(const WideString& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

}  // namespace vela::platform

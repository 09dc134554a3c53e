#include "text.h"

#include "args.h"
#include "common/utf8.h"
#include "common/hex.h"
#include "coding/validity.h"
#include "platform/codepage.h"
#include "common/datetime.h"

namespace vela::tool {

ByteString BytesFromUtf8(const std::string& utf8) { return platform::NarrowFromWide(WideFromUtf8(utf8)); }

std::string Utf8FromBytes(const ByteString& bytes) { return Utf8FromWide(platform::WideFromNarrow(bytes)); }

ByteString MessageTextFromUtf8(const std::string& utf8, bool& lossy, bool& cut) {
  WideString wide = WideFromUtf8(utf8);
  ByteString text = platform::NarrowFromWide(wide);
  lossy = platform::WideFromNarrow(text) != wide;
  cut = text.size() > 160;
  if (text.size() > 255) text.resize(255);
  if (text.size() > 160) text.resize(160);
  return text;
}

Json TimeJson(DateTime value) {
  if (value == 0) return Json();
  return Json(FormatDateTime(value));
}

std::string TimeText(DateTime value) { return value == 0 ? std::string("-") : FormatDateTime(value); }

std::string IndentedText(const std::string& utf8, const std::string& indent) {
  const char* const kHex = hex::kDigits;
  std::string out;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == '\r' || c == '\n') {
      // CR LF and LF CR are one break, as the decoder writes them.
      if (i + 1 < utf8.size() && (utf8[i + 1] == '\r' || utf8[i + 1] == '\n') && utf8[i + 1] != utf8[i]) ++i;
      out += '\n';
      out += indent;
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool SameMessageReference(const ByteString& sentDecimal, const ByteString& reportedHex) {
  if (sentDecimal.empty() || sentDecimal.size() > 9 ||
      sentDecimal.find_first_not_of("0123456789") != ByteString::npos) {
    return true;
  }
  if (reportedHex.size() != 2 || reportedHex.find_first_not_of("0123456789ABCDEFabcdef") != ByteString::npos) {
    return false;
  }
  // TP-MR is one octet: the modem's counter wraps at 256.
  return std::stol(reportedHex, nullptr, 16) == std::stol(sentDecimal) % 256;
}

coding::Coding ParseCodingOption(const std::string& name) {
  try {
    return coding::ParseCoding(name);
  } catch (const coding::ETextCodingError&) {
    throw UsageError("option '--coding' takes auto, gsm7, ucs2 or 8bit, not '" + name + "'");
  }
}

std::vector<int> ParseLanguagesOption(const std::string& list) {
  try {
    return coding::ParseLanguageList(list);
  } catch (const coding::ETextCodingError& e) {
    throw UsageError(std::string("option '--languages': ") + e.what());
  }
}

uint8_t ParseValidityOption(const std::string& duration) {
  try {
    return coding::ParseValidity(duration);
  } catch (const coding::ETextCodingError& e) {
    throw UsageError(std::string("option '--validity': ") + e.what());
  }
}

}  // namespace vela::tool

#include "coding/sms.h"

#include <algorithm>
#include <array>

#include "coding/gsm_alphabet.h"
#include "common/hex.h"
#include "coding/pack.h"
#include "coding/text_coding.h"
#include "common/code_page.h"
#include "common/datetime.h"

namespace vela {

namespace {

// Capacity of the user data of one SMS (3GPP TS 23.040: 140 octets).
constexpr size_t kMaxSeptets = 160;
constexpr size_t kMaxOctets = 140;
constexpr size_t kMaxUcs2Units = 70;

const char16_t* const kUnsupportedCoding = u"(Unsupported: Unknown coding scheme)";
const char16_t* const kDecodingError = u"(Decoding Error)";

// Internal failure of a decoding step; never leaves this file.
struct DecodeFailure {};

// The tree's hex table (common/hex.h).
using hex::AppendHex;
constexpr const hex::Index& kHexIndex = hex::kIndex;
using pack::AppendHexRun;
using pack::AppendPackedSeptets;

// Value of a run of up to seven hex characters (either case); -1 when empty
// or when a character is not hex.
int32_t HexRun(const char* p, size_t n) {
  if (n == 0) return -1;
  int32_t value = 0;
  for (size_t i = 0; i < n; ++i) {
    const int32_t d = kHexIndex.value[static_cast<uint8_t>(p[i])];
    if (d < 0) return -1;
    value = value * 16 + d;
  }
  return value;
}

// Value of a run of hex characters (either case); nullopt when empty or
// when a character is not hex.
std::optional<unsigned> ParseHex(const char* p, size_t n) {
  if (n == 0) return std::nullopt;
  unsigned value = 0;
  for (size_t i = 0; i < n; ++i) {
    const int d = kHexIndex.value[static_cast<uint8_t>(p[i])];
    if (d < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(d);
  }
  return value;
}

// Characters of `text` from 1-based `pos`, at most `count` of them; empty
// when `pos` lies outside the text.
ByteString Slice(const ByteString& text, int64_t pos, int64_t count) {
  if (pos < 1 || count <= 0 || static_cast<uint64_t>(pos) > text.size()) return ByteString();
  return text.substr(static_cast<size_t>(pos - 1), static_cast<size_t>(count));
}

// The octet at 1-based `pos` of a PDU text (a last lone character counts
// as its own value); nullopt when outside the text or not hex.
std::optional<unsigned> OctetAt(const ByteString& text, int64_t pos) {
  const ByteString two = Slice(text, pos, 2);
  return ParseHex(two.data(), two.size());
}

// Number of groups of `width` characters in `length` characters, rounded to
// the nearest integer with halves going to the even neighbour.
size_t RoundedGroups(size_t length, size_t width) {
  const size_t whole = length / width;
  const size_t rest = length % width;
  if (rest * 2 > width) return whole + 1;
  if (rest * 2 == width && whole % 2 == 1) return whole + 1;
  return whole;
}

// The `index`-th group of `width` (2 or 4) characters; a last, shorter
// group gives the characters it has. -1 when absent or not hex.
int32_t GroupValue(const ByteString& hex, size_t index, size_t width) {
  const size_t start = index * width;
  if (start >= hex.size()) return -1;
  return HexRun(hex.data() + start, std::min(width, hex.size() - start));
}

bool HasLineBreak(const ByteString& text) {
  for (char c : text) {
    if (c == '\r' || c == '\n') return true;
  }
  return false;
}

// Six two-digit decimal numbers from a 12-character time stamp in reading
// order: YY MM DD hh mm ss (3GPP TS 23.040 TP-SCTS without the zone).
DateTime TimeStampToDateTime(const ByteString& semi_octets) {
  const ByteString digits = SwapSemiOctets(semi_octets);
  if (digits.size() != 12) throw EConvertError("'" + digits + "' is not a valid time stamp");
  int values[6];
  for (int i = 0; i < 6; ++i) {
    const char hi = digits[2 * i];
    const char lo = digits[2 * i + 1];
    if (hi < '0' || hi > '9' || lo < '0' || lo > '9') {
      throw EConvertError("'" + digits.substr(2 * i, 2) + "' is not a valid integer value");
    }
    values[i] = (hi - '0') * 10 + (lo - '0');
  }
  return EncodeDateTime(DateTimePartsFromYyMmDd(values));
}

// The GSM codes each byte is sent as: an extension character is the escape
// code followed by its code. Built once from the alphabet's lookups.
struct SendCode {
  uint8_t code;
  bool escaped;
};

const std::array<SendCode, 256>& SendCodes() {
  static const std::array<SendCode, 256> table = [] {
    std::array<SendCode, 256> t{};
    for (int b = 0; b < 256; ++b) {
      const char c = static_cast<char>(b);
      const bool extension = IsGsmExtensionChar(c);
      uint8_t code = GsmCharCode(c);
      // The byte 0 matches the escape code's empty table entry; sent as such
      // it would swallow the next character at the receiver.
      if (code == kGsmEscape && !extension) code = 0x3F;
      t[static_cast<size_t>(b)] = {code, extension};
    }
    return t;
  }();
  return table;
}

// Codes of `text` into `codes`, whole characters only, at most `limit`
// codes; returns their number.
size_t CodesOf(const ByteString& text, uint8_t* codes, size_t limit) {
  const std::array<SendCode, 256>& table = SendCodes();
  size_t n = 0;
  for (char c : text) {
    const SendCode& send = table[static_cast<uint8_t>(c)];
    if (n + (send.escaped ? 2 : 1) > limit) break;
    if (send.escaped) codes[n++] = kGsmEscape;
    codes[n++] = send.code;
  }
  return n;
}

// ChooseCoding for a text already narrowed to `narrow`.
int32_t ChooseCodingOf(const WideString& text, const ByteString& narrow, const CodePage& codePage) {
  if (codePage.Widen(narrow) != text) return TSMS::kCodingUcs2;
  for (char c : narrow) {
    if (static_cast<uint8_t>(c) >= 0xC0) return TSMS::kCodingUcs2;
    if (GsmCharCode(c) >= 0x80) return TSMS::kCoding8Bit;
  }
  return TSMS::kCoding7Bit;
}

}  // namespace

// --- Encoding ---------------------------------------------------------------

ByteString TSMS::EncodeAddress(const ByteString& number) {
  if (number.empty()) throw EEncodeError();  // the plain message, as for every other encoding failure
  ByteString digits;
  try {
    digits = coding::NormaliseDestination(number);
  } catch (const coding::ETextCodingError& e) {
    throw EEncodeError(e.what());
  }
  ByteString type = "81";  // type of number unknown, telephone numbering plan
  if (digits[0] == '+') {
    type = "91";  // international number, telephone numbering plan
    digits.erase(0, 1);
  }
  // '*' and '#' are the semi-octets A and B (TS 23.040 9.1.2.3).
  for (char& c : digits) {
    if (c == '*') c = 'A';
    if (c == '#') c = 'B';
  }
  ByteString result;
  AppendHex(result, static_cast<unsigned>(digits.size()), 2);
  if (digits.size() % 2 == 1) digits.push_back('F');
  result += type;
  result += SwapSemiOctets(digits);
  return result;
}

int32_t TSMS::ChooseCoding(const WideString& text, const CodePage& codePage) {
  return ChooseCodingOf(text, codePage.Narrow(text), codePage);
}

ByteString TSMS::EncodeSubmitPDU() {
  try {
    const ByteString narrow = codePage_->Narrow(Text);
    const ByteString address = EncodeAddress(Destination);

    int32_t coding = kCodingUcs2;
    const int32_t automatic = CodingSelector == kCodingAuto ? ChooseCodingOf(Text, narrow, *codePage_) : -1;
    if (CodingSelector == kCoding7Bit || automatic == kCoding7Bit) {
      coding = kCoding7Bit;
    } else if (CodingSelector == kCoding8Bit || automatic == kCoding8Bit) {
      coding = kCoding8Bit;
    }

    unsigned first_octet = 0x11;                   // TP-MTI SMS-SUBMIT, TP-VPF relative
    if (StatusReportRequest) first_octet |= 0x20;  // TP-SRR
    if (ReplyPath) first_octet |= 0x80;            // TP-RP

    // "00": no service-centre address, the modem uses its stored one.
    ByteString pdu;
    pdu.reserve(16 + MessageReference.size() + address.size() + 4 * kMaxUcs2Units);
    pdu += "00";
    AppendHex(pdu, first_octet, 2);
    pdu += MessageReference.empty() ? ByteString("00") : MessageReference;
    pdu += address;
    pdu += "00";  // TP-PID: plain short message

    uint8_t codes[kMaxSeptets];
    if (coding == kCoding7Bit) {
      const size_t n = CodesOf(narrow, codes, kMaxSeptets);
      // Codes from the table's upper half do not fit in a septet.
      for (size_t i = 0; i < n; ++i) {
        if (codes[i] >= 0x80) codes[i] = 0x3F;
      }
      pdu += Class0 ? "10" : "00";  // TP-DCS
      pdu += "FF";                  // TP-VP: 63 weeks, the longest relative period
      AppendHex(pdu, static_cast<unsigned>(n), 2);
      AppendPackedSeptets(pdu, codes, n);
    } else if (coding == kCoding8Bit) {
      const size_t n = CodesOf(narrow, codes, kMaxOctets);
      pdu += "04FF";
      AppendHex(pdu, static_cast<unsigned>(n), 2);
      AppendHexRun(pdu, codes, n, 2);
    } else {
      size_t units = std::min(Text.size(), kMaxUcs2Units);
      // Never split a surrogate pair at the cut.
      if (units < Text.size() && units > 0 && Text[units - 1] >= 0xD800 && Text[units - 1] <= 0xDBFF) {
        --units;
      }
      pdu += "08FF";
      AppendHex(pdu, static_cast<unsigned>(units * 2), 2);
      AppendHexRun(pdu, Text.data(), units, 4);
    }

    TpduLength = static_cast<int32_t>((pdu.size() - 2) / 2);
    return pdu;
  } catch (const EEncodeError&) {
    throw;
  } catch (...) {
    throw EEncodeError();
  }
}

// --- Decoding ---------------------------------------------------------------

void TSMS::ParsePDU(const ByteString& pdu) {
  Pdu = pdu;
  SmscDigits = static_cast<int32_t>(2 * OctetAt(Pdu, 1).value_or(0));
  TpduLength = (static_cast<int32_t>(Pdu.size()) - SmscDigits) / 2 - 1;
  TpduPos = 3 + SmscDigits;

  const unsigned first_octet = OctetAt(Pdu, TpduPos).value_or(0);
  IsSubmit = false;
  switch (first_octet & 3) {  // TP-MTI
    case 1:
      IsSubmit = true;
      Kind = kSubmit;
      break;
    case 2:
      Kind = kStatusReport;
      break;
    default:
      Kind = kDeliver;
      break;
  }
  HasHeader = (first_octet & 0x40) != 0;  // TP-UDHI

  // m: width of TP-MR, present in SUBMIT and STATUS-REPORT only.
  int32_t m = 0;
  ValidityDigits = 0;
  if (Kind == kSubmit) {
    switch ((first_octet >> 3) & 3) {  // TP-VPF
      case 0:
        ValidityDigits = 0;
        break;
      case 2:
        ValidityDigits = 2;  // relative
        break;
      default:
        ValidityDigits = 14;  // enhanced or absolute
        break;
    }
    m = 2;
  } else if (Kind == kStatusReport) {
    m = 2;
  }

  AddressPos = TpduPos + m + 4;
  // The address length counts useful semi-octets; the value field is whole octets.
  AddressDigits = static_cast<int32_t>(OctetAt(Pdu, AddressPos - 2).value_or(0));
  if (AddressDigits % 2 == 1) ++AddressDigits;

  if (Kind == kStatusReport) MessageReference = Slice(Pdu, TpduPos + 2, 2);

  const unsigned dcs = OctetAt(Pdu, int64_t{TpduPos} + AddressDigits + m + 8).value_or(0);
  Coding = static_cast<int32_t>((dcs >> 2) & 3);  // TP-DCS alphabet bits
}

ByteString TSMS::GetOriginator() const { return DecodeAddress(Slice(Pdu, AddressPos, int64_t{AddressDigits} + 2)); }

WideString TSMS::GetMessageText() {
  if (Kind == kStatusReport) return WideString();
  try {
    const int64_t p = int64_t{TpduPos} + AddressDigits + ValidityDigits + 12 + (IsSubmit ? 0 : 12);

    unsigned h = 0;
    if (HasHeader) {
      const auto header_length = OctetAt(Pdu, p + 2);
      if (!header_length) throw DecodeFailure();
      h = *header_length;
      Header = Slice(Pdu, p + 2, 2 * int64_t{h} + 2);
      // Blank the header so that it reads as zero septets/octets below.
      Pdu.replace(static_cast<size_t>(p + 1), Header.size(), Header.size(), '0');
    }

    const auto udl = OctetAt(Pdu, p);
    if (!udl) throw DecodeFailure();
    UserDataLength = static_cast<int32_t>(*udl);
    const ByteString user_data = Slice(Pdu, p + 2, 2 * int64_t{UserDataLength});

    WideString text;
    size_t skip = 0;
    switch (Coding) {
      case kCoding7Bit:
        text = codePage_->Widen(Decode7Bit(user_data));
        // Septets taken by the header octets and the fill bits after them.
        if (HasHeader) skip = h + h / 7 + 2;
        break;
      case kCoding8Bit: {
        const auto bytes = Decode8Bit(user_data);
        if (!bytes) throw DecodeFailure();
        text = codePage_->Widen(*bytes);
        if (HasHeader) skip = h + 1;
        break;
      }
      case kCodingUcs2: {
        // UCS2 characters start right after the header octets, without fill,
        // also when the header has an odd number of octets.
        const size_t header_chars = HasHeader ? 2 * (size_t{h} + 1) : 0;
        const auto units = DecodeUCS2(header_chars < user_data.size() ? user_data.substr(header_chars) : ByteString());
        if (!units) throw DecodeFailure();
        text = *units;
        break;
      }
      default:
        return kUnsupportedCoding;
    }
    if (skip == 0) return text;
    return text.substr(std::min(skip, text.size()));
  } catch (...) {
    return kDecodingError;
  }
}

DateTime TSMS::GetServiceCentreTime() const {
  if (IsSubmit) return 0;
  const int64_t pos = int64_t{TpduPos} + AddressDigits + (Kind == kStatusReport ? 8 : 10);
  return TimeStampToDateTime(Slice(Pdu, pos, 12));
}

DateTime TSMS::GetDischargeTime() const {
  if (Kind != kStatusReport) return 0;
  return TimeStampToDateTime(Slice(Pdu, int64_t{TpduPos} + AddressDigits + 22, 12));
}

ByteString TSMS::DecodeAddress(const ByteString& text) {
  const auto type = ParseHex(text.data(), std::min<size_t>(2, text.size()));
  if (!type || text.size() <= 2) return ByteString();
  const ByteString value = text.substr(2);
  // Type of number 5 (alphanumeric, 7-bit packed) and 7 (reserved) share
  // the bits 0x50.
  if ((*type & 0x50) == 0x50) return Decode7Bit(value);
  ByteString digits = SwapSemiOctets(value);
  // Odd-count filler; hex is read in either case, so the filler may be 'f'.
  if (!digits.empty() && (digits.back() == 'F' || digits.back() == 'f')) digits.pop_back();
  if (((*type >> 4) & 7) == 1) digits.insert(0, 1, '+');  // international
  return digits;
}

ByteString TSMS::Decode7Bit(const ByteString& hex) {
  const size_t n = RoundedGroups(hex.size(), 2);
  ByteString septets(n + n / 7, '\0');
  size_t count = 0;
  unsigned shift = 1;
  unsigned carry = 0;
  const size_t pairs = hex.size() / 2;  // groups of two characters; a lone last one may follow
  const auto* digits = reinterpret_cast<const uint8_t*>(hex.data());
  for (size_t j = 0; j < n; ++j) {
    int32_t group;
    if (j < pairs) {
      const int32_t hi = kHexIndex.value[digits[2 * j]];
      const int32_t lo = kHexIndex.value[digits[2 * j + 1]];
      group = (hi | lo) < 0 ? -1 : hi * 16 + lo;
    } else {
      group = GroupValue(hex, j, 2);
    }
    if (group < 0) continue;  // unreadable octet: skipped, shift and carry kept
    const auto v = static_cast<unsigned>(group);
    septets[count++] = static_cast<char>(((v & (0xFFu >> shift)) << (shift - 1)) | carry);
    carry = v >> (8 - shift);
    ++shift;
    if (shift == 8) {
      // Seven octets hold eight septets; a zero eighth septet at the very
      // end is the fill of a message that ends seven bits short.
      if (!(j == n - 1 && carry == 0)) septets[count++] = static_cast<char>(carry);
      shift = 1;
      carry = 0;
    }
  }
  septets.resize(count);
  ByteString text = GsmToText(septets);
  if (!HasLineBreak(text)) return text;
  return NormalizeLineBreaks(text);
}

std::optional<ByteString> TSMS::Decode8Bit(const ByteString& hex) {
  const size_t n = RoundedGroups(hex.size(), 2);
  ByteString codes(n, '\0');
  for (size_t j = 0; j < n; ++j) {
    const int32_t v = GroupValue(hex, j, 2);
    if (v < 0) return std::nullopt;
    codes[j] = static_cast<char>(v);
  }
  return GsmToText(codes);
}

std::optional<WideString> TSMS::DecodeUCS2(const ByteString& hex) {
  const size_t n = RoundedGroups(hex.size(), 4);
  WideString text(n, u'\0');
  for (size_t j = 0; j < n; ++j) {
    const int32_t v = GroupValue(hex, j, 4);
    if (v < 0) return std::nullopt;
    text[j] = static_cast<char16_t>(v);
  }
  return text;
}

ByteString TSMS::NormalizeLineBreaks(const ByteString& text) {
  ByteString out;
  out.reserve(text.size() + text.size() / 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      out.push_back(c);
      continue;
    }
    // CR LF and LF CR are one break each; a lone CR or LF is one too.
    const char other = c == '\r' ? '\n' : '\r';
    if (i + 1 < text.size() && text[i + 1] == other) ++i;
    out += "\r\n";
  }
  return out;
}

}  // namespace vela

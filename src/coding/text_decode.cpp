// Received PDUs decoded with full Unicode (3GPP TS 23.040 9.2.2, 9.2.3;
// TS 23.038 4, 6.1.2.1, 6.2.1). The PDU is read as octets with bounds on
// every field: a PDU that ends early yields the fields read so far and the
// truncated flag, never an exception.
#include <algorithm>
#include <string>

#include "common/hex.h"
#include "coding/sms.h"
#include "coding/text_coding.h"
#include "common/datetime.h"
#include "common/utf8.h"

namespace vela::coding {

namespace {

constexpr uint8_t kEscape = 0x1B;

// Sequential reader over the PDU's octets; a read past the end fails and
// leaves the reader at the end.
class Reader {
 public:
  explicit Reader(const std::string& octets) : data_(octets) {}
  bool Octet(uint8_t& out) {
    if (pos_ >= data_.size()) return false;
    out = static_cast<uint8_t>(data_[pos_++]);
    return true;
  }
  bool Take(size_t n, std::string& out) {
    if (n > data_.size() - pos_) {
      pos_ = data_.size();
      return false;
    }
    out = data_.substr(pos_, n);
    pos_ += n;
    return true;
  }
  bool Skip(size_t n) {
    std::string ignored;
    return Take(n, ignored);
  }
  std::string Rest() const { return data_.substr(pos_); }

 private:
  const std::string& data_;
  size_t pos_ = 0;
};

// Septet `index` of packed 7-bit data, counted from bit 0 of `octets`
// (TS 23.038 6.1.2.1.1: least significant bit first). The caller keeps the
// septet's bits inside the octets.
uint8_t SeptetAt(const std::string& octets, size_t index) {
  const size_t bit = index * 7;
  const size_t at = bit / 8;
  const unsigned shift = bit % 8;
  unsigned value = static_cast<uint8_t>(octets[at]) >> shift;
  if (shift > 1) value |= static_cast<unsigned>(static_cast<uint8_t>(octets[at + 1])) << (8 - shift);
  return static_cast<uint8_t>(value & 0x7F);
}

// Septets `from` .. `to` (exclusive), one per byte; `to` within the bits.
std::string Unpack(const std::string& octets, size_t from, size_t to) {
  std::string septets;
  septets.reserve(to > from ? to - from : 0);
  for (size_t i = from; i < to; ++i) septets.push_back(static_cast<char>(SeptetAt(octets, i)));
  return septets;
}

// Septets whose bits lie wholly inside `n` octets.
size_t SeptetsIn(size_t n) { return n * 8 / 7; }

// The TP-DCS alphabet (TS 23.038 4). Compressed text cannot be read as
// characters and is given as 8-bit data; reserved alphabets too; reserved
// coding groups are read as the default alphabet, as the clause asks.
Coding AlphabetOf(uint8_t dcs) {
  const unsigned group = dcs >> 4;
  if (group <= 7) {  // general data coding, with or without automatic deletion
    if (dcs & 0x20) return Coding::kEightBit;
    switch ((dcs >> 2) & 3) {
      case 0:
        return Coding::kGsm7;
      case 2:
        return Coding::kUcs2;
      default:
        return Coding::kEightBit;
    }
  }
  if (group == 0x0E) return Coding::kUcs2;  // message waiting, store, UCS2
  if (group == 0x0F) return (dcs & 0x04) ? Coding::kEightBit : Coding::kGsm7;
  return Coding::kGsm7;  // 0x8-0xB reserved, 0xC/0xD message waiting
}

// TP-SCTS / TP-DT: seven octets of swapped BCD digits, the zone ignored.
// Empty text and 0 when a digit is not decimal or the date is impossible.
void ReadTimeStamp(const std::string& stamp, std::string& text, DateTime& value) {
  int fields[6];
  for (int i = 0; i < 6; ++i) {
    const auto b = static_cast<uint8_t>(stamp[static_cast<size_t>(i)]);
    const int lo = b & 0x0F, hi = b >> 4;
    if (lo > 9 || hi > 9) return;
    fields[i] = lo * 10 + hi;
  }
  DateTime dt = 0;
  if (!TryEncodeDateTime(DateTimePartsFromYyMmDd(fields), dt)) return;
  value = dt;
  text = FormatDateTime(dt);
}

// TP-OA / TP-DA / TP-RA (TS 23.040 9.1.2.5): "+" for international
// numbers, the digits otherwise, an alphanumeric address as UTF-8.
bool ReadAddress(Reader& in, ByteString& out) {
  uint8_t digits = 0, type = 0;
  if (!in.Octet(digits) || !in.Octet(type)) return false;
  std::string value;
  if (!in.Take((digits + 1u) / 2, value)) return false;
  if ((type & 0x50) == 0x50) {
    // Alphanumeric (type of number 5; the reserved 7 too, as the one-part
    // path reads it): GSM 7-bit septets packed into the value; the length
    // counts the semi-octets used.
    const size_t septets = std::min<size_t>(digits * 4u / 7u, SeptetsIn(value.size()));
    out = Utf8FromWide(SeptetsToUnicode(Unpack(value, 0, septets), 0, 0));
    return true;
  }
  std::string field(1, static_cast<char>(type));
  field += value;
  out = TSMS::DecodeAddress(hex::FromOctets(field));
  // Semi-octets 1010..1110 are '*', '#', 'a', 'b', 'c' (TS 23.040 9.1.2.3);
  // the version-1 reading shows them as hex letters.
  for (char& c : out) {
    switch (c) {
      case 'A':
      case 'a':
        c = '*';
        break;
      case 'B':
      case 'b':
        c = '#';
        break;
      case 'C':
      case 'c':
        c = 'a';
        break;
      case 'D':
      case 'd':
        c = 'b';
        break;
      case 'E':
      case 'e':
        c = 'c';
        break;
      default:
        break;
    }
  }
  return true;
}

// UTF-8 when the octets are well-formed UTF-8, else one Latin-1 character
// per octet (8-bit data has no character set of its own).
WideString EightBitText(const std::string& octets) {
  WideString wide = WideFromUtf8(octets);
  // The UTF-8 reading replaces ill-formed sequences; well-formed input
  // survives the way back unchanged.
  if (Utf8FromWide(wide) == octets) return wide;
  wide.clear();
  for (char c : octets) wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
  return wide;
}

// The user data after TP-UDL: header and text.
void ReadUserData(DecodedUserData& r, uint8_t udl, const std::string& ud) {
  if (r.coding == Coding::kGsm7) {
    const size_t needed = (udl * 7u + 7u) / 8u;
    if (ud.size() < needed) r.truncated = true;
    const size_t septets = std::min<size_t>(udl, SeptetsIn(ud.size()));
    size_t first = 0;
    if (r.hasHeader) {
      if (ud.empty() || udl == 0) {
        r.truncated = true;
        r.header.malformed = true;
        return;
      }
      // The header fills whole octets; fill bits pad it to a septet boundary.
      const size_t udhl = static_cast<uint8_t>(ud[0]);
      const size_t inside = std::min({udhl, ud.size() - 1, needed > 0 ? needed - 1 : 0});
      r.header = ParseUserDataHeader(ud.substr(1, inside));
      if (inside < udhl) r.header.malformed = true;
      first = ((udhl + 1) * 8 + 6) / 7;
    }
    if (first < septets)
      r.text = SeptetsToUnicode(Unpack(ud, first, septets), r.header.lockingLanguage, r.header.singleLanguage);
  } else {
    if (ud.size() < udl) r.truncated = true;
    const std::string data = ud.substr(0, udl);
    size_t first = 0;
    if (r.hasHeader) {
      if (data.empty()) {
        r.truncated = true;
        r.header.malformed = true;
        return;
      }
      const size_t udhl = static_cast<uint8_t>(data[0]);
      const size_t inside = std::min(udhl, data.size() - 1);
      r.header = ParseUserDataHeader(data.substr(1, inside));
      if (inside < udhl) r.header.malformed = true;
      first = std::min(udhl + 1, data.size());
    }
    const std::string body = data.substr(first);
    if (r.coding == Coding::kUcs2) {
      // UTF-16 big-endian; lone surrogates are kept so that a pair split by
      // the sender between parts joins again after reassembly.
      if (body.size() % 2) r.truncated = true;
      r.text.reserve(body.size() / 2);
      for (size_t i = 0; i + 1 < body.size(); i += 2) {
        r.text.push_back(
            static_cast<char16_t>((static_cast<uint8_t>(body[i]) << 8) | static_cast<uint8_t>(body[i + 1])));
      }
    } else {
      r.text = EightBitText(body);
    }
  }
  if (r.header.malformed) r.truncated = true;
}

}  // namespace

WideString SeptetsToUnicode(const std::string& septets, int lockingLanguage, int singleLanguage) {
  const GsmTable* locking = LockingTable(lockingLanguage);
  if (!locking) locking = LockingTable(kLanguageDefault);
  const GsmTable* single = ShiftTable(singleLanguage);
  if (!single) single = ShiftTable(kLanguageDefault);
  WideString text;
  if (!locking || !single) return text;
  text.reserve(septets.size());
  for (size_t i = 0; i < septets.size(); ++i) {
    const uint8_t code = static_cast<uint8_t>(septets[i]) & 0x7F;
    if (code != kEscape) {
      if (const char16_t c = locking->code[code]) text.push_back(c);
      continue;
    }
    if (++i == septets.size()) break;  // a trailing escape stands for nothing
    const uint8_t next = static_cast<uint8_t>(septets[i]) & 0x7F;
    if (next == kEscape) {
      // Reserved for a further extension table: shown as a space
      // (TS 23.038 6.2.1.1).
      text.push_back(u' ');
    } else if (const char16_t c = single->code[next]) {
      text.push_back(c);
    } else if (const char16_t d = locking->code[next]) {
      text.push_back(d);
    }
  }
  return text;
}

DecodedUserData DecodePdu(const ByteString& pdu) {
  DecodedUserData r;
  const std::string octets = hex::ToOctets(pdu);
  Reader in(octets);
  uint8_t smsc = 0, first = 0;
  if (!in.Octet(smsc) || !in.Skip(smsc) || !in.Octet(first)) {
    r.truncated = true;
    return r;
  }
  r.hasHeader = (first & 0x40) != 0;  // TP-UDHI
  uint8_t octet = 0;
  std::string stamp;
  switch (first & 3) {  // TP-MTI
    case 0:             // SMS-DELIVER: OA, PID, DCS, SCTS
      r.kind = 1;
      if (!ReadAddress(in, r.originator) || !in.Skip(1) || !in.Octet(octet)) break;
      r.dcs = octet;
      if (!in.Take(7, stamp)) break;
      ReadTimeStamp(stamp, r.smscTime, r.smscDateTime);
      break;
    case 1: {  // SMS-SUBMIT: MR, DA, PID, DCS, VP
      r.kind = 0;
      if (!in.Octet(octet)) break;
      r.reference = octet;
      if (!ReadAddress(in, r.originator) || !in.Skip(1) || !in.Octet(octet)) break;
      r.dcs = octet;
      const unsigned vpf = (first >> 3) & 3;
      if (!in.Skip(vpf == 0 ? 0 : vpf == 2 ? 1 : 7)) break;
      break;
    }
    case 2:  // SMS-STATUS-REPORT: MR, RA, SCTS; no text
      r.kind = 2;
      r.hasHeader = false;
      if (!in.Octet(octet)) {
        r.truncated = true;
        return r;
      }
      r.reference = octet;
      if (!ReadAddress(in, r.originator) || !in.Take(7, stamp)) {
        r.truncated = true;
        return r;
      }
      ReadTimeStamp(stamp, r.smscTime, r.smscDateTime);
      // TP-DT and TP-ST complete the report.
      if (!in.Take(7, stamp)) {
        r.truncated = true;
        return r;
      }
      ReadTimeStamp(stamp, r.dischargeTime, r.dischargeDateTime);
      if (!in.Octet(octet)) {
        r.truncated = true;
        return r;
      }
      r.status = octet;
      return r;
    default:  // reserved message type
      return r;
  }
  r.coding = AlphabetOf(static_cast<uint8_t>(r.dcs));
  uint8_t udl = 0;
  if (stamp.size() != 7 && r.kind == 1) {
    r.truncated = true;
    return r;
  }
  if (!in.Octet(udl)) {
    r.truncated = true;
    return r;
  }
  ReadUserData(r, udl, in.Rest());
  return r;
}

}  // namespace vela::coding

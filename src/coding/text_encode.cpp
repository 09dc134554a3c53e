// Unicode text to the SMS-SUBMIT PDUs of one message: GSM 7-bit through the
// default and national tables, UCS2 and 8-bit, split into concatenated parts
// (3GPP TS 23.038, TS 23.040 9.2.3.24), and the destination number check.
#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <map>
#include <tuple>

#include "common/hex.h"
#include "coding/pack.h"
#include "coding/sms.h"
#include "coding/text_coding.h"
#include "coding/text_encode_internal.h"
#include "common/utf8.h"

namespace vela::coding {

namespace {

constexpr uint8_t kEscape = 0x1B;
constexpr int kMaxConcatenatedParts = 255;  // the total is one octet

// --- Reverse tables ------------------------------------------------------------

// Every character of any table with its code in each locking table and in
// each single shift table (bit L of a mask: defined in language L's table).
struct CharCodes {
  char16_t ch = 0;
  uint16_t lockingMask = 0;
  uint16_t shiftMask = 0;
  uint8_t locking[kLanguageCount] = {};
  uint8_t shift[kLanguageCount] = {};
};

class ReverseIndex {
 public:
  static const ReverseIndex& Get() {
    static const ReverseIndex index;
    return index;
  }

  const CharCodes* Find(char16_t ch) const {
    if (ch < latin_.size()) {
      const int16_t at = latin_[ch];
      return at < 0 ? nullptr : &entries_[static_cast<size_t>(at)];
    }
    const auto it =
        std::lower_bound(entries_.begin(), entries_.end(), ch, [](const CharCodes& e, char16_t c) { return e.ch < c; });
    return it != entries_.end() && it->ch == ch ? &*it : nullptr;
  }

 private:
  ReverseIndex() {
    std::map<char16_t, CharCodes> by_char;
    // Codes in ascending order: a character a table holds twice keeps its
    // lowest code.
    auto add = [&](const GsmTable* table, int language, uint16_t CharCodes::*mask,
                   uint8_t(CharCodes::*codes)[kLanguageCount]) {
      for (int code = 0; table != nullptr && code < 128; ++code) {
        const char16_t ch = table->code[code];
        if (ch == 0 || code == kEscape) continue;
        CharCodes& e = by_char[ch];
        if (e.*mask & (1u << language)) continue;
        e.*mask = static_cast<uint16_t>(e.*mask | (1u << language));
        (e.*codes)[language] = static_cast<uint8_t>(code);
      }
    };
    for (int language = 0; language < kLanguageCount; ++language) {
      add(LockingTable(language), language, &CharCodes::lockingMask, &CharCodes::locking);
      add(ShiftTable(language), language, &CharCodes::shiftMask, &CharCodes::shift);
    }
    entries_.reserve(by_char.size());
    latin_.fill(-1);
    for (auto& [ch, e] : by_char) {
      e.ch = ch;
      if (ch < latin_.size()) latin_[ch] = static_cast<int16_t>(entries_.size());
      entries_.push_back(e);
    }
  }

  std::vector<CharCodes> entries_;  // sorted by character
  std::array<int16_t, 256> latin_;  // entry of each character below U+0100, -1 none
};

// Septets of one character under locking table `l` and single shift table
// `s`: 1, 2 (escape pair) or 0 (not representable).
inline int SeptetCost(const CharCodes* c, int l, int s) {
  if (c == nullptr) return 0;
  if ((c->lockingMask >> l) & 1) return 1;
  if ((c->shiftMask >> s) & 1) return 2;
  return 0;
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// --- Splitting -------------------------------------------------------------------

// Room in one part, in the coding's units: septets, octets or UTF-16 units.
struct Capacity {
  size_t single;  // a one-part message (no concatenation element)
  size_t multi;   // each part of a concatenated message
};

size_t ShiftElementOctets(int locking, int single) { return (locking != 0 ? 3 : 0) + (single != 0 ? 3 : 0); }
size_t ConcatElementOctets(bool ref16) { return ref16 ? 6 : 5; }

// User data header octets (UDHL included), 0 when there are no elements.
size_t HeaderOctets(size_t element_octets) { return element_octets == 0 ? 0 : 1 + element_octets; }

Capacity CapacityOf(Coding coding, int locking, int single, bool ref16) {
  const size_t shift = ShiftElementOctets(locking, single);
  const size_t one = HeaderOctets(shift);
  const size_t many = HeaderOctets(shift + ConcatElementOctets(ref16));
  switch (coding) {
    case Coding::kUcs2:
      return {(140 - one) / 2, (140 - many) / 2};
    case Coding::kEightBit:
      return {140 - one, 140 - many};
    default:  // 160 septets fill the 140 octets exactly
      return {160 - pack::HeaderSeptets(one), 160 - pack::HeaderSeptets(many)};
  }
}

struct SplitResult {
  bool ok = true;
  size_t failAt = 0;  // unit index of the first character that cannot be coded
  size_t total = 0;   // units of the coding for the whole text
  int parts = 1;
};

// Greedy split: a part takes whole characters while they fit, which gives the
// fewest parts since every character fits an empty part. `step(i, cost)`
// returns how many input units the character at i spans and sets its cost in
// the coding's units (0: cannot be coded). `starts` (optional) receives the
// first input unit of every part. Gives up (ok false, failAt unset) as soon
// as the text is known to need more than `give_up_above` parts.
template <typename Step>
SplitResult Split(size_t n, Capacity capacity, Step step, std::vector<size_t>* starts,
                  int give_up_above = std::numeric_limits<int>::max()) {
  SplitResult r;
  size_t used = 0;
  if (starts) starts->assign(1, 0);
  for (size_t i = 0; i < n;) {
    size_t cost = 0;
    const size_t span = step(i, cost);
    if (cost == 0) {
      r.ok = false;
      r.failAt = i;
      return r;
    }
    if (used + cost > capacity.multi) {
      ++r.parts;
      used = 0;
      if (starts) starts->push_back(i);
    }
    used += cost;
    r.total += cost;
    i += span;
    if (r.parts > give_up_above && r.total > capacity.single) {
      r.ok = false;
      return r;
    }
  }
  if (r.total <= capacity.single) {
    r.parts = 1;
    if (starts) starts->assign(1, 0);
  }
  return r;
}

// Per UTF-16 unit, its entry in the reverse tables. Stops at the first unit
// that no table has (then `missing` is its index and the result is short).
std::vector<const CharCodes*> LookUp(const WideString& text, std::optional<size_t>& missing) {
  const ReverseIndex& index = ReverseIndex::Get();
  std::vector<const CharCodes*> codes(text.size());
  missing.reset();
  for (size_t i = 0; i < text.size(); ++i) {
    codes[i] = index.Find(text[i]);
    if (codes[i] == nullptr) {
      missing = i;
      codes.resize(i);
      break;
    }
  }
  return codes;
}

SplitResult SplitGsm7(const std::vector<const CharCodes*>& codes, int locking, int single, bool ref16,
                      std::vector<size_t>* starts, int give_up_above = std::numeric_limits<int>::max()) {
  return Split(
      codes.size(), CapacityOf(Coding::kGsm7, locking, single, ref16),
      [&](size_t i, size_t& cost) {
        cost = static_cast<size_t>(SeptetCost(codes[i], locking, single));
        return size_t{1};
      },
      starts, give_up_above);
}

// A surrogate pair is one character of two units and is never split.
SplitResult SplitUcs2(const WideString& text, bool ref16, std::vector<size_t>* starts) {
  return Split(
      text.size(), CapacityOf(Coding::kUcs2, 0, 0, ref16),
      [&](size_t i, size_t& cost) {
        const bool pair = IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]);
        cost = pair ? 2 : 1;
        return cost;
      },
      starts);
}

// A UTF-8 sequence is kept in one part, so that every part is valid UTF-8.
SplitResult SplitEightBit(const std::string& utf8, bool ref16, std::vector<size_t>* starts) {
  return Split(
      utf8.size(), CapacityOf(Coding::kEightBit, 0, 0, ref16),
      [&](size_t i, size_t& cost) {
        const auto lead = static_cast<uint8_t>(utf8[i]);
        size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        cost = std::min(len, utf8.size() - i);
        return cost;
      },
      starts);
}

// --- Choosing ------------------------------------------------------------------

struct Choice {
  Coding coding = Coding::kGsm7;
  int locking = 0;
  int single = 0;
  int parts = 0;
  size_t units = 0;
};

// Simplicity on a tie: default tables, single shift only, locking shift
// (with or without single shift), UCS2.
int Rank(const Choice& c) {
  if (c.coding == Coding::kUcs2) return 3;
  if (c.coding == Coding::kEightBit) return 4;
  if (c.locking != 0) return 2;
  return c.single != 0 ? 1 : 0;
}

bool Better(const Choice& a, const Choice& b) {
  const auto key = [](const Choice& c) {
    return std::make_tuple(c.parts, Rank(c), ShiftElementOctets(c.locking, c.single), c.units, c.locking, c.single);
  };
  return key(a) < key(b);
}

// Language identifiers as a validated list (0 and repeats dropped).
std::vector<int> CheckLanguages(const std::vector<int>& languages) {
  std::vector<int> out;
  for (int language : languages) {
    if (language < 0 || language >= kLanguageCount) {
      throw ETextCodingError("unknown national language identifier " + std::to_string(language) + " (known: 1 to " +
                             std::to_string(kLanguageCount - 1) + ")");
    }
    if (language != 0 && std::find(out.begin(), out.end(), language) == out.end()) out.push_back(language);
  }
  return out;
}

// "U+00E7" or "U+1F600" for the character at unit index `at`.
std::string CodePointName(const WideString& text, size_t at) {
  uint32_t cp = text[at];
  if (IsHighSurrogate(text[at]) && at + 1 < text.size() && IsLowSurrogate(text[at + 1])) {
    cp = 0x10000 + ((cp - 0xD800) << 10) + (text[at + 1] - 0xDC00u);
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(cp));
  return buffer;
}

// Characters (not units) before unit index `at`, plus one.
size_t CharacterPosition(const WideString& text, size_t at) {
  size_t position = 1;
  for (size_t i = 0; i < at; ++i) {
    if (!(IsLowSurrogate(text[i]) && i > 0 && IsHighSurrogate(text[i - 1]))) ++position;
  }
  return position;
}

std::string LanguageListText(const std::vector<int>& languages) {
  std::string out;
  for (int language : languages) {
    if (!out.empty()) out += ',';
    out += LanguageCode(language);
  }
  return out;
}

// The best GSM 7-bit table combination among the allowed ones for a text
// whose every character some table has; nullopt when no combination has them
// all, with `fail_at` set to the character that stopped the combination that
// got furthest.
std::optional<Choice> BestGsm7(const std::vector<const CharCodes*>& codes, const std::vector<int>& languages,
                               bool ref16, size_t& fail_at) {
  std::vector<int> locking = {0};
  std::vector<int> single = {0};
  uint32_t single_mask = 1;
  for (int language : languages) {
    if (LockingTable(language)) locking.push_back(language);
    if (ShiftTable(language)) {
      single.push_back(language);
      single_mask |= 1u << language;
    }
  }
  std::optional<Choice> best;
  for (int l : locking) {
    // The single shift tables that hold every character this locking table
    // lacks, and the septets of the text with any of them (one per character
    // of the locking table, two per escape pair).
    uint32_t feasible = single_mask;
    size_t septets = 0;
    for (const CharCodes* c : codes) {
      if ((c->lockingMask >> l) & 1) {
        ++septets;
      } else {
        feasible &= c->shiftMask;
        septets += 2;
        if (feasible == 0) break;
      }
    }
    for (int s : single) {
      if (!((feasible >> s) & 1)) continue;
      Choice c{Coding::kGsm7, l, s, 0, septets};
      // Parts this combination needs at least, and the most it may need to
      // beat the best so far (fewer when it would lose a tie).
      const Capacity capacity = CapacityOf(Coding::kGsm7, l, s, ref16);
      const size_t at_least = septets <= capacity.single ? 1 : (septets + capacity.multi - 1) / capacity.multi;
      int at_most = std::numeric_limits<int>::max();
      if (best) {
        c.parts = best->parts;
        at_most = Better(*best, c) ? best->parts - 1 : best->parts;
      }
      if (at_least > static_cast<size_t>(at_most)) continue;
      const SplitResult r = SplitGsm7(codes, l, s, ref16, nullptr, at_most);
      if (!r.ok) continue;
      c.parts = r.parts;
      if (!best || Better(c, *best)) best = c;
      // Nothing beats the default tables in one part.
      if (l == 0 && s == 0 && r.parts == 1) return best;
    }
  }
  if (best) return best;
  fail_at = 0;
  for (int l : locking) {
    for (int s : single) fail_at = std::max(fail_at, SplitGsm7(codes, l, s, ref16, nullptr).failAt);
  }
  return std::nullopt;
}

// The coding of `text`; for GSM 7-bit, `gsm7_codes` (if given) receives the
// text's entries in the reverse tables.
Choice Choose(const WideString& text, Coding coding, const std::vector<int>& allowed, bool ref16,
              std::vector<const CharCodes*>* gsm7_codes = nullptr) {
  const std::vector<int> languages = CheckLanguages(allowed);
  switch (coding) {
    case Coding::kUcs2: {
      const SplitResult r = SplitUcs2(text, ref16, nullptr);
      return {Coding::kUcs2, 0, 0, r.parts, r.total};
    }
    case Coding::kEightBit: {
      const SplitResult r = SplitEightBit(Utf8FromWide(text), ref16, nullptr);
      return {Coding::kEightBit, 0, 0, r.parts, r.total};
    }
    case Coding::kGsm7:
    case Coding::kAuto:
      break;
  }
  std::optional<size_t> missing;
  std::vector<const CharCodes*> codes = LookUp(text, missing);
  size_t fail_at = missing.value_or(0);
  std::optional<Choice> gsm7;
  if (!missing) gsm7 = BestGsm7(codes, languages, ref16, fail_at);
  if (gsm7 && gsm7_codes) *gsm7_codes = std::move(codes);
  if (coding == Coding::kGsm7) {
    if (gsm7) return *gsm7;
    std::string message = "the character " + CodePointName(text, fail_at) + " at position " +
                          std::to_string(CharacterPosition(text, fail_at)) +
                          " cannot be sent in the GSM 7-bit alphabet";
    message += languages.empty() ? " (no national language tables allowed)"
                                 : " with the national language tables allowed (" + LanguageListText(languages) + ")";
    throw ETextCodingError(message);
  }
  const SplitResult r = SplitUcs2(text, ref16, nullptr);
  const Choice ucs2{Coding::kUcs2, 0, 0, r.parts, r.total};
  return gsm7 && !Better(ucs2, *gsm7) ? *gsm7 : ucs2;
}

// --- PDUs ------------------------------------------------------------------------

// The user data header of one part (UDHL first), empty when it needs none.
ByteString BuildHeader(const Choice& c, const std::optional<Concatenation>& concat) {
  std::vector<UdhElement> elements;
  if (concat) {
    std::string data;
    if (concat->ref16) data.push_back(static_cast<char>(concat->reference >> 8));
    data += {static_cast<char>(concat->reference & 0xFF), static_cast<char>(concat->total),
             static_cast<char>(concat->sequence)};
    elements.push_back({static_cast<uint8_t>(concat->ref16 ? 0x08 : 0x00), data});
  }
  if (c.single != 0) elements.push_back({0x24, std::string(1, static_cast<char>(c.single))});
  if (c.locking != 0) elements.push_back({0x25, std::string(1, static_cast<char>(c.locking))});
  return elements.empty() ? ByteString() : EncodeUserDataHeader(elements);
}

// Everything of the TPDU before TP-DCS.
ByteString PduStart(const ByteString& address, bool status_report, bool has_header, bool has_validity) {
  unsigned first_octet = 0x01;             // TP-MTI SMS-SUBMIT
  if (has_validity) first_octet |= 0x10;   // TP-VPF 10: relative
  if (status_report) first_octet |= 0x20;  // TP-SRR
  if (has_header) first_octet |= 0x40;     // TP-UDHI
  ByteString pdu = "00";                   // no service-centre address: the modem uses its stored one
  hex::AppendHex(pdu, first_octet, 2);
  pdu += "00";  // TP-MR: the modem assigns the reference
  pdu += address;
  pdu += "00";  // TP-PID: plain short message
  return pdu;
}

}  // namespace

namespace detail {

std::optional<std::string> EncodeSeptets(const WideString& text, int lockingLanguage, int singleLanguage) {
  if (!LockingTable(lockingLanguage) || !ShiftTable(singleLanguage)) return std::nullopt;
  const ReverseIndex& index = ReverseIndex::Get();
  std::string septets;
  septets.reserve(text.size());
  for (char16_t u : text) {
    const CharCodes* c = index.Find(u);
    switch (SeptetCost(c, lockingLanguage, singleLanguage)) {
      case 1:
        septets.push_back(static_cast<char>(c->locking[lockingLanguage]));
        break;
      case 2:
        septets.push_back(static_cast<char>(kEscape));
        septets.push_back(static_cast<char>(c->shift[singleLanguage]));
        break;
      default:
        return std::nullopt;
    }
  }
  return septets;
}

}  // namespace detail

// --- Destination numbers -----------------------------------------------------------

ByteString NormaliseDestination(const ByteString& number) {
  auto invalid = [&number](const std::string& reason) {
    return ETextCodingError("invalid destination number '" + number + "': " + reason);
  };
  ByteString out;
  out.reserve(number.size());
  size_t digits = 0;  // semi-octets: digits, '*' and '#'
  bool any_digit = false;
  for (char c : number) {
    if (c == ' ' || c == '\t' || c == '-' || c == '.' || c == '(' || c == ')') continue;
    if (c == '+') {
      if (!out.empty()) throw invalid("'+' is allowed only at the start");
      out.push_back(c);
      continue;
    }
    if (c >= '0' && c <= '9') {
      any_digit = true;
    } else if (c != '*' && c != '#') {
      const auto byte = static_cast<unsigned char>(c);
      char shown[8];
      if (byte > 0x20 && byte < 0x7F) {
        std::snprintf(shown, sizeof shown, "'%c'", c);
      } else {
        std::snprintf(shown, sizeof shown, "0x%02X", byte);
      }
      throw invalid(std::string("the character ") + shown + " is not allowed (digits, '*', '#' and a leading '+')");
    }
    ++digits;
    out.push_back(c);
  }
  if (!any_digit) throw invalid("no digit");
  if (digits > 20) throw invalid("more than 20 digits (" + std::to_string(digits) + ")");
  return out;
}

// --- Planning and encoding ---------------------------------------------------------

CodingPlan PlanText(const WideString& text, Coding coding, const std::vector<int>& languages) {
  const Choice c = Choose(text, coding, languages, false);
  CodingPlan plan;
  plan.coding = c.coding;
  plan.lockingLanguage = c.locking;
  plan.singleLanguage = c.single;
  plan.parts = c.parts;
  plan.units = static_cast<int>(c.units);
  return plan;
}

SubmitMessage EncodeSubmitMessage(const WideString& text, const SubmitOptions& options) {
  if (options.maxParts < 1) {
    throw ETextCodingError("the part limit must be at least 1, not " + std::to_string(options.maxParts));
  }
  const ByteString address = TSMS::EncodeAddress(NormaliseDestination(options.destination));
  std::vector<const CharCodes*> codes;
  const Choice c = Choose(text, options.coding, options.languages, options.ref16, &codes);
  if (c.parts > options.maxParts) {
    throw ETextCodingError("the text needs " + std::to_string(c.parts) + " parts, more than the limit of " +
                           std::to_string(options.maxParts));
  }
  if (c.parts > kMaxConcatenatedParts) {
    throw ETextCodingError("the text needs " + std::to_string(c.parts) + " parts, more than the limit of " +
                           std::to_string(kMaxConcatenatedParts) + " of a concatenated message");
  }

  std::vector<size_t> starts;
  std::string utf8;
  size_t end = text.size();
  switch (c.coding) {
    case Coding::kUcs2:
      SplitUcs2(text, options.ref16, &starts);
      break;
    case Coding::kEightBit:
      utf8 = Utf8FromWide(text);
      end = utf8.size();
      SplitEightBit(utf8, options.ref16, &starts);
      break;
    default:
      SplitGsm7(codes, c.locking, c.single, options.ref16, &starts);
      break;
  }

  SubmitMessage message;
  message.coding = c.coding;
  message.lockingLanguage = c.locking;
  message.singleLanguage = c.single;
  const int parts = static_cast<int>(starts.size());
  std::vector<uint8_t> septets;
  for (int k = 0; k < parts; ++k) {
    const size_t from = starts[static_cast<size_t>(k)];
    const size_t to = k + 1 < parts ? starts[static_cast<size_t>(k) + 1] : end;
    std::optional<Concatenation> concat;
    if (parts > 1) {
      concat =
          Concatenation{options.reference, static_cast<uint8_t>(parts), static_cast<uint8_t>(k + 1), options.ref16};
    }
    const ByteString header = BuildHeader(c, concat);
    ByteString pdu = PduStart(address, options.statusReport, !header.empty(), options.validity.has_value());
    // TP-DCS, then TP-VP when there is one.
    auto add_dcs = [&pdu, &options](const char* dcs) {
      pdu += dcs;
      if (options.validity) hex::AppendHex(pdu, *options.validity, 2);
    };
    const auto* header_octets = reinterpret_cast<const uint8_t*>(header.data());
    switch (c.coding) {
      case Coding::kUcs2:
        add_dcs("08");
        hex::AppendHex(pdu, static_cast<unsigned>(header.size() + 2 * (to - from)), 2);
        pack::AppendHexRun(pdu, header_octets, header.size(), 2);
        pack::AppendHexRun(pdu, text.data() + from, to - from, 4);
        break;
      case Coding::kEightBit:
        add_dcs("04");
        hex::AppendHex(pdu, static_cast<unsigned>(header.size() + (to - from)), 2);
        pack::AppendHexRun(pdu, header_octets, header.size(), 2);
        pack::AppendHexRun(pdu, reinterpret_cast<const uint8_t*>(utf8.data()) + from, to - from, 2);
        break;
      default:
        septets.clear();
        for (size_t i = from; i < to; ++i) {
          const CharCodes* e = codes[i];
          if (SeptetCost(e, c.locking, c.single) == 1) {
            septets.push_back(e->locking[c.locking]);
          } else {
            septets.push_back(kEscape);
            septets.push_back(e->shift[c.single]);
          }
        }
        add_dcs("00");
        hex::AppendHex(pdu, static_cast<unsigned>(pack::HeaderSeptets(header.size()) + septets.size()), 2);
        pack::AppendPackedUserData(pdu, header_octets, header.size(), septets.data(), septets.size());
        break;
    }
    SubmitPart part;
    part.length = static_cast<int>((pdu.size() - 2) / 2);
    part.pdu = std::move(pdu);
    part.part = k + 1;
    part.parts = parts;
    message.parts.push_back(std::move(part));
  }
  return message;
}

}  // namespace vela::coding

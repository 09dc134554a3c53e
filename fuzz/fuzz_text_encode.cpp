// libFuzzer target for the multi-part SUBMIT encoder. The first octets choose
// the options (coding, allowed national tables, reference width), the rest
// is the text as UTF-16 units. The encoder either refuses with its own error
// or gives parts that each fit one SMS and that the decoder reads back, in
// order, as exactly the text (8-bit: as the text's UTF-8).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/hex.h"
#include "coding/text_coding.h"
#include "common/utf8.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vela::coding;
  if (size < 4) return 0;
  SubmitOptions options;
  options.destination = "+15550000000";
  const Coding codings[] = {Coding::kAuto, Coding::kGsm7, Coding::kUcs2, Coding::kEightBit};
  options.coding = codings[data[0] & 3];
  options.ref16 = (data[0] & 4) != 0;
  options.statusReport = (data[0] & 8) != 0;
  const unsigned mask = data[1] | (data[2] << 8);
  for (int language = 1; language < kLanguageCount; ++language) {
    if (mask & (1u << language)) options.languages.push_back(language);
  }
  options.reference = static_cast<uint16_t>(data[3] * 257);
  options.maxParts = 255;
  vela::WideString text;
  for (size_t i = 4; i + 1 < size; i += 2) text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));

  SubmitMessage m;
  try {
    m = EncodeSubmitMessage(text, options);
  } catch (const ETextCodingError&) {
    return 0;  // a forced coding that cannot carry the text, or too many parts
  }
  Check(m.coding != Coding::kAuto);
  Check(!m.parts.empty());
  const CodingPlan plan = PlanText(text, options.coding, options.languages);
  if (!options.ref16) Check(plan.parts == static_cast<int>(m.parts.size()));
  vela::WideString joined;
  std::string octets;
  for (size_t k = 0; k < m.parts.size(); ++k) {
    const SubmitPart& p = m.parts[k];
    Check(p.part == static_cast<int>(k) + 1 && p.parts == static_cast<int>(m.parts.size()));
    Check(p.length == static_cast<int>(p.pdu.size() / 2) - 1);
    const DecodedUserData d = DecodePdu(p.pdu);
    Check(d.kind == 0 && !d.truncated);
    Check(d.header.lockingLanguage == m.lockingLanguage && d.header.singleLanguage == m.singleLanguage);
    Check(d.header.concatenation.has_value() == (m.parts.size() > 1));
    if (d.header.concatenation) {
      Check(d.header.concatenation->sequence == k + 1 && d.header.concatenation->ref16 == options.ref16);
    }
    joined += d.text;
    // The user data (after TP-UDL) never exceeds 140 octets.
    const std::string raw = vela::hex::ToOctets(p.pdu);
    const size_t da_octets = (static_cast<uint8_t>(raw[3]) + 1u) / 2;
    const size_t ud_at = 1 + 1 + 1 + 2 + da_octets + 2 + 1;
    Check(raw.size() >= ud_at && raw.size() - ud_at <= 140);
    if (m.coding == Coding::kEightBit) {
      const size_t header = d.hasHeader ? static_cast<uint8_t>(raw[ud_at]) + 1u : 0;
      octets += raw.substr(ud_at + header);
    }
  }
  if (m.coding == Coding::kEightBit) {
    Check(octets == vela::Utf8FromWide(text));
  } else {
    Check(joined == text);
  }
  return 0;
}

// libFuzzer target for user data header parsing, Unicode PDU decoding and
// reassembly. The input is read three ways: as header octets, as a PDU (its
// hex and its raw characters), and as a stream of parts for a Reassembler
// with small bounds and a short time-out. "A result, never a crash", plus
// the promises the decoder and the reassembler make, checked by trapping.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/hex.h"
#include "coding/reassembly.h"
#include "coding/text_coding.h"

namespace {

using vela::coding::AssembledMessage;
using vela::coding::Concatenation;
using vela::coding::ReassemblyOptions;
using vela::coding::ReceivedPart;

volatile size_t g_sink;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void Touch(const vela::coding::DecodedUserData& d) {
  g_sink = g_sink + d.text.size() + d.originator.size() + d.header.elements.size() + static_cast<size_t>(d.kind + 1);
  if (d.kind == 2) Check(d.text.empty());
  if (d.header.malformed) Check(d.truncated);
}

// Every tag handed in comes out at most once.
void CheckMessages(const std::vector<AssembledMessage>& messages, std::vector<bool>& out) {
  for (const AssembledMessage& m : messages) {
    Check(m.parts >= 1);
    Check(m.complete == m.missing.empty());
    Check(std::is_sorted(m.missing.begin(), m.missing.end()));
    for (int seq : m.missing) {
      Check(seq >= 1 && seq <= m.parts);
      Check(m.text.find(vela::coding::MissingPartMarker(seq, m.parts)) != vela::WideString::npos);
    }
    Check(!m.tags.empty());
    for (uint64_t tag : m.tags) {
      Check(tag < out.size() && !out[tag]);
      out[tag] = true;
    }
  }
}

void FeedReassembler(const uint8_t* data, size_t size) {
  ReassemblyOptions options;
  options.timeoutMs = 200;
  options.maxPending = 3;
  options.maxPendingBytes = 40;
  vela::coding::Reassembler r(options);
  std::vector<bool> out;
  uint64_t now = 0;
  size_t i = 0;
  // Records: flags, reference, total, sequence, text length, text.
  while (i + 5 <= size) {
    const uint8_t flags = data[i], ref = data[i + 1], total = data[i + 2], seq = data[i + 3];
    const size_t length = std::min<size_t>(data[i + 4] % 16, size - i - 5);
    ReceivedPart part;
    part.originator = std::string(1, static_cast<char>('A' + (flags & 3)));
    if (!(flags & 8)) {
      const bool ref16 = (flags & 4) != 0;
      part.concatenation = Concatenation{static_cast<uint16_t>((ref % 4) + (ref16 ? 0x100 : 0)),
                                         static_cast<uint8_t>(total % 5), static_cast<uint8_t>(seq % 6), ref16};
    }
    for (size_t k = 0; k < length; ++k) part.text.push_back(static_cast<char16_t>(data[i + 5 + k] % 4 + 'a'));
    part.tag = out.size();
    out.push_back(false);
    i += 5 + length;

    now += (flags >> 4) * 10u;
    CheckMessages(r.Add(std::move(part), now), out);
    Check(r.Pending() <= options.maxPending);
    if ((flags >> 4) >= 12) {
      CheckMessages(r.Expire(now), out);
      if (const auto deadline = r.NextDeadline()) Check(*deadline > now);
    }
  }
  CheckMessages(r.Flush(), out);
  Check(r.Pending() == 0 && !r.NextDeadline());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  const vela::coding::UserDataHeader header = vela::coding::ParseUserDataHeader(bytes);
  g_sink = g_sink + header.elements.size() + static_cast<size_t>(header.malformed);
  if (!header.malformed && bytes.size() <= 255) {
    // A header that parsed whole is written back octet for octet.
    Check(vela::coding::EncodeUserDataHeader(header.elements).substr(1) == bytes);
  }

  Touch(vela::coding::DecodePdu(vela::hex::FromOctets(bytes)));
  Touch(vela::coding::DecodePdu(bytes));
  const int language = size ? data[0] % 16 : 0;
  g_sink = g_sink + vela::coding::SeptetsToUnicode(bytes, language, static_cast<int>(size % 16)).size();

  FeedReassembler(data, size);
  return 0;
}

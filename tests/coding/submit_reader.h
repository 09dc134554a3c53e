// A small reader of the SMS-SUBMIT PDUs the encoder makes ("00" service-centre
// field, no TP-VP), written apart from the encoder so that tests check its
// output bit by bit rather than through its own helpers.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vela::coding::testing {

struct ReadSubmit {
  int firstOctet = 0;
  int reference = 0;    // TP-MR
  std::string address;  // TP-DA: length, type of address and semi-octets, as hex
  int pid = 0, dcs = 0, udl = 0;
  int vp = -1;  // relative TP-VP, -1 when the first octet announces none
  std::vector<std::pair<int, std::vector<int>>> elements;  // user data header
  int locking = 0, single = 0;
  std::vector<int> septets;   // 7-bit: the text's septets (header and fill skipped)
  std::vector<int> octets;    // 8-bit and UCS2: the octets after the header
  size_t userDataOctets = 0;  // octets of TP-UD in the PDU
};

inline ReadSubmit ReadSubmitPdu(const std::string& pdu) {
  auto octet = [&pdu](size_t i) { return static_cast<int>(std::stoul(pdu.substr(2 * i, 2), nullptr, 16)); };
  ReadSubmit r;
  r.firstOctet = octet(1);
  r.reference = octet(2);
  const size_t da_octets = (static_cast<size_t>(octet(3)) + 1) / 2;
  r.address = pdu.substr(6, 4 + 2 * da_octets);
  size_t at = 5 + da_octets;
  r.pid = octet(at++);
  r.dcs = octet(at++);
  if ((r.firstOctet & 0x18) == 0x10) r.vp = octet(at++);
  r.udl = octet(at++);
  std::vector<int> bytes;
  for (size_t i = at; 2 * i < pdu.size(); ++i) bytes.push_back(octet(i));
  r.userDataOctets = bytes.size();
  size_t header = 0;  // octets, UDHL included
  if (r.firstOctet & 0x40) {
    const size_t udhl = static_cast<size_t>(bytes.at(0));
    for (size_t i = 1; i <= udhl;) {
      const int iei = bytes.at(i);
      const size_t len = static_cast<size_t>(bytes.at(i + 1));
      std::vector<int> data(bytes.begin() + static_cast<long>(i) + 2, bytes.begin() + static_cast<long>(i + 2 + len));
      if (iei == 0x25 && len == 1) r.locking = data[0];
      if (iei == 0x24 && len == 1) r.single = data[0];
      r.elements.emplace_back(iei, data);
      i += 2 + len;
    }
    header = udhl + 1;
  }
  if ((r.dcs & 0x0C) == 0) {
    const int skip = static_cast<int>((header * 8 + 6) / 7);
    for (int s = 0; s < r.udl; ++s) {
      const int bit = 7 * s;
      int v = bytes.at(static_cast<size_t>(bit / 8)) >> (bit % 8);
      if (bit % 8 > 1) v |= bytes.at(static_cast<size_t>(bit / 8) + 1) << (8 - bit % 8);
      if (s >= skip) r.septets.push_back(v & 0x7F);
    }
  } else {
    r.octets.assign(bytes.begin() + static_cast<long>(header), bytes.end());
  }
  return r;
}

}  // namespace vela::coding::testing

// User data header (3GPP TS 23.040 9.2.3.24): a sequence of information
// elements, each IEI, length, data. Every element is kept raw; the ones the
// system acts on are also interpreted. A repeated element overrides the
// earlier one (TS 23.040 9.2.3.24: the last occurrence is used).
#include <string>
#include <vector>

#include "common/hex.h"
#include "coding/text_coding.h"

namespace vela::coding {

namespace {

constexpr uint8_t kIeiConcat8 = 0x00;   // 9.2.3.24.1
constexpr uint8_t kIeiPorts8 = 0x04;    // 9.2.3.24.3
constexpr uint8_t kIeiPorts16 = 0x05;   // 9.2.3.24.4
constexpr uint8_t kIeiConcat16 = 0x08;  // 9.2.3.24.8
constexpr uint8_t kIeiSingle = 0x24;    // 9.2.3.24.15
constexpr uint8_t kIeiLocking = 0x25;   // 9.2.3.24.16

uint8_t At(const std::string& data, size_t i) { return static_cast<uint8_t>(data[i]); }

uint16_t Be16(const std::string& data, size_t i) { return static_cast<uint16_t>((At(data, i) << 8) | At(data, i + 1)); }

// Applies one complete element to the interpreted fields; elements of the
// wrong length for their IEI are left raw.
void Interpret(UserDataHeader& header, const UdhElement& e) {
  const std::string& d = e.data;
  switch (e.iei) {
    case kIeiConcat8:
      if (d.size() == 3) header.concatenation = Concatenation{At(d, 0), At(d, 1), At(d, 2), false};
      break;
    case kIeiConcat16:
      if (d.size() == 4) header.concatenation = Concatenation{Be16(d, 0), At(d, 2), At(d, 3), true};
      break;
    case kIeiPorts8:
      if (d.size() == 2) {
        header.destinationPort = At(d, 0);
        header.originatorPort = At(d, 1);
      }
      break;
    case kIeiPorts16:
      if (d.size() == 4) {
        header.destinationPort = Be16(d, 0);
        header.originatorPort = Be16(d, 2);
      }
      break;
    case kIeiSingle:
      if (d.size() == 1) header.singleLanguage = At(d, 0);
      break;
    case kIeiLocking:
      if (d.size() == 1) header.lockingLanguage = At(d, 0);
      break;
    default:
      break;
  }
}

}  // namespace

UserDataHeader ParseUserDataHeader(const std::string& octets) {
  UserDataHeader header;
  size_t i = 0;
  while (i < octets.size()) {
    UdhElement element;
    element.iei = At(octets, i);
    if (i + 1 >= octets.size()) {  // an IEI without its length octet
      header.elements.push_back(element);
      header.malformed = true;
      break;
    }
    const size_t length = At(octets, i + 1);
    const size_t start = i + 2;
    const size_t available = octets.size() - start;
    element.data = octets.substr(start, length < available ? length : available);
    if (length > available) {
      // Kept raw for display, not interpreted: its values are cut off.
      header.elements.push_back(std::move(element));
      header.malformed = true;
      break;
    }
    Interpret(header, element);
    header.elements.push_back(std::move(element));
    i = start + length;
  }
  return header;
}

std::string EncodeUserDataHeader(const std::vector<UdhElement>& elements) {
  std::string out(1, '\0');
  for (const UdhElement& e : elements) {
    if (e.data.size() > 255) {
      std::string iei = "0x";
      hex::AppendHex(iei, e.iei, 2);
      throw ETextCodingError("user data header element " + iei + " has " + std::to_string(e.data.size()) +
                             " octets, more than the 255 its length octet holds");
    }
    out.push_back(static_cast<char>(e.iei));
    out.push_back(static_cast<char>(e.data.size()));
    out += e.data;
  }
  if (out.size() - 1 > 255) {
    throw ETextCodingError("user data header of " + std::to_string(out.size() - 1) +
                           " octets is longer than the 255 its length octet holds");
  }
  out[0] = static_cast<char>(out.size() - 1);
  return out;
}

}  // namespace vela::coding

#include "sim_ussd.h"

#include "sim_pdu.h"

namespace vela::sim {

const char* const kUssdBalanceText = "Balance: 12.50 \u20AC, valid until 31.12.2026 23:59. Thanks";
const char* const kUssdMenuText = "Bundles:\n1 Data 1 GB\n2 Top up\nReply with a number";
const char* const kUssdDataText = "Data 1 GB: 734 MB left until 31.12.";
const char* const kUssdTopUpText = "Top up with a voucher: *101*code#";
const char* const kUssdBadChoice = "Unknown choice, session ended.";

bool ValidUssdForm(const std::string& form) { return form == "packed" || form == "ucs2" || form == "text"; }

std::string UssdLine(int status, const std::string& text, const std::string& form) {
  const std::u32string points = pdu::Utf8ToCodePoints(text);
  std::string str;
  int dcs = 15;
  if (form == "ucs2") {
    dcs = 72;
    pdu::Bytes octets;
    for (char32_t c : points) {
      auto unit = [&octets](uint32_t u) {
        octets.push_back(static_cast<uint8_t>(u >> 8));
        octets.push_back(static_cast<uint8_t>(u & 0xFF));
      };
      if (c >= 0x10000) {
        unit(0xD800 + ((c - 0x10000) >> 10));
        unit(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        unit(static_cast<uint32_t>(c));
      }
    }
    str = pdu::ToHex(octets);
  } else if (form == "packed") {
    pdu::Bytes septets;
    for (char32_t c : points) {
      pdu::Bytes one;
      if (!pdu::TextToGsm(std::u32string(1, c), &one)) pdu::TextToGsm(U"?", &one);
      septets.insert(septets.end(), one.begin(), one.end());
    }
    if (septets.size() % 8 == 7) septets.push_back(0x0D);
    str = pdu::ToHex(pdu::PackSeptets(septets));
  } else {
    str = text;
  }
  return "+CUSD: " + std::to_string(status) + ",\"" + str + "\"," + std::to_string(dcs);
}

std::optional<std::string> UssdNetwork::Request(const std::string& text, const std::string& form) {
  if (menuOpen_) {
    menuOpen_ = false;
    if (text == "1") return UssdLine(0, kUssdDataText, form);
    if (text == "2") return UssdLine(0, kUssdTopUpText, form);
    return UssdLine(2, kUssdBadChoice, form);
  }
  if (text == "*100#") return UssdLine(0, kUssdBalanceText, form);
  if (text == "*111#") {
    menuOpen_ = true;
    return UssdLine(1, kUssdMenuText, form);
  }
  if (text == "*999#") return std::nullopt;
  return std::string("+CUSD: 4");
}

}  // namespace vela::sim

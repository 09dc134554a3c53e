// Received lines reach the decoder straight from the modem: whatever they
// hold, decoding gives a result and never crashes. Only the time getters may
// raise, and only EConvertError (a malformed time stamp).
#include <cstddef>
#include <cstdint>

#include "coding/sms.h"
#include "coding/text_coding.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const vela::ByteString line(reinterpret_cast<const char*>(data), size);

  vela::TSMS sms;
  sms.ParsePDU(line);
  try {
    sms.GetServiceCentreTime();
  } catch (const vela::EConvertError&) {}
  try {
    sms.GetDischargeTime();
  } catch (const vela::EConvertError&) {}
  sms.GetMessageText();
  sms.GetOriginator();

  // The encoder with any text and a valid destination gives a PDU that the
  // decoder reads back; an invalid destination is refused with EEncodeError
  // and nothing else.
  if (size > 0) {
    const size_t split = data[0] % (size + 1);
    vela::TSMS out;
    out.Destination = line.substr(0, split) + "1";
    bool valid = true;
    try {
      vela::coding::NormaliseDestination(out.Destination);
    } catch (const vela::coding::ETextCodingError&) {
      valid = false;
    }
    if (!valid) {
      try {
        out.EncodeSubmitPDU();
      } catch (const vela::EEncodeError&) {
        return 0;
      }
      __builtin_trap();  // an invalid number was encoded
    }
    for (size_t i = split; i + 1 < size; i += 2) {
      out.Text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    out.CodingSelector = static_cast<int32_t>(data[0] % 4) - 1;  // auto, 7-bit, 8-bit, UCS2
    out.StatusReportRequest = (data[0] & 0x80) != 0;
    vela::TSMS in;
    in.ParsePDU(out.EncodeSubmitPDU());
    in.GetMessageText();
    in.GetOriginator();
  }
  return 0;
}

// Uses the installed headers and libraries: encodes a message and checks the
// driver links.
#include <cstdio>

#include "coding/text_coding.h"
#include "modem/vuz_vela.h"

int main() {
  vela::coding::SubmitOptions options;
  options.destination = "+15551234567";
  const auto message = vela::coding::EncodeSubmitMessage(u"Hello", options);
  vela::TVuZVela driver;  // the driver and the layers below it link
  std::printf("%s\n", message.parts.at(0).pdu.c_str());
  return message.parts.size() == 1 && !driver.IsOpen() ? 0 : 1;
}

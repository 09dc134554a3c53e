// libFuzzer target for the receive path, from the modem's bytes to events:
// the line framing (under an expected-answer set chosen by the input), the
// recognition of indications and error results, the answer parsers, and the
// modem driver's handling of every line the channel hands up (indication
// headers, PDU lines, storage indications), which decodes and reassembles
// what it is given and raises the message and report events.
//
// "Events or nothing, never a crash, never a hang": beside the sanitizers,
// the framing's promises are checked by trapping.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "at/at_protocol.h"
#include "modem/vuz_vela.h"
#include "platform/message_target.h"
#include "at/line_framing.h"

namespace {

volatile size_t g_sink;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

const std::vector<std::vector<vela::ByteString>> kAnswerSets = {
    {},
    {"OK", "ERROR", ">", "READY", "SIM PIN"},  // the driver's usual answers
    {"OK", "ERROR"},
    {">"},
    {"+CMGS:", "ERROR"},
    {"READY"},
};

bool Blank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

// Frames `bytes` as the channel does and checks the framing's promises.
std::vector<vela::ByteString> Frame(const vela::ByteString& bytes, const std::vector<vela::ByteString>& expected) {
  vela::LineFramer framer;
  std::vector<vela::ByteString> lines;
  size_t kept = 0;  // bytes that may end up in a line
  size_t in_lines = 0;
  vela::ByteString line;
  for (char byte : bytes) {
    if (byte != '\0' && byte != '\n' && byte != '\r') ++kept;
    if (!framer.Feed(byte, expected, line)) continue;
    // Line feeds only inside the quoted text of a USSD answer.
    Check(line.find('\0') == vela::ByteString::npos &&
          (line.find('\n') == vela::ByteString::npos || vela::TrimControl(line).rfind("+CUSD:", 0) == 0));
    // A line ended by "\r" is never blank: blank lines are dropped.
    if (byte == '\r') Check(!std::all_of(line.begin(), line.end(), Blank));
    // A line cut before its line end held an expected answer and could not
    // have become an indication.
    if (byte != '\r') {
      Check(vela::ContainsAny(expected, line));
      Check(!vela::at::IsIndicationPrefix(line));
    }
    // Line feeds kept inside a USSD text are not counted in `kept`.
    in_lines += line.size() - static_cast<size_t>(std::count(line.begin(), line.end(), '\n'));
    lines.push_back(vela::TrimControl(line));
  }
  // Nothing but blank lines is lost.
  const vela::ByteString& pending = framer.Buffer();
  Check(in_lines + pending.size() - static_cast<size_t>(std::count(pending.begin(), pending.end(), '\n')) <= kept);
  return lines;
}

void TouchParsers(const vela::ByteString& response) {
  for (const auto& m : vela::at::ParseCmgl(response)) {
    Check(m.pdu.empty() || vela::at::IsPduLine(m.pdu));
    g_sink = g_sink + m.pdu.size() + static_cast<size_t>(m.index);
  }
  if (auto m = vela::at::ParseCmgr(response)) Check(vela::at::IsPduLine(m->pdu));
  if (auto e = vela::at::FindModemError(response)) Check(!e->Describe().empty());
  if (auto dbm = vela::at::ParseCsqDbm(response)) Check(*dbm >= -113 && *dbm <= -51);
  if (auto r = vela::at::ParseCmgsReference(response)) Check(*r >= 0 && *r <= 255);
  if (auto s = vela::at::ParseCpms(response)) g_sink = g_sink + static_cast<size_t>(s->used);
  if (auto p = vela::at::ParsePinAttempts(response)) Check(!p->Empty());
  for (const auto& values : vela::at::ParseSupportedValues(response, "+CNMI")) Check(values.size() <= 256);
  if (auto reg = vela::at::ParseRegistration(response)) g_sink = g_sink + reg->size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::vector<vela::ByteString>& expected = kAnswerSets[data[0] % kAnswerSets.size()];
  const vela::ByteString bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  const std::vector<vela::ByteString> lines = Frame(bytes, expected);
  TouchParsers(bytes);

  // The driver as after Open in listen mode: no command waits, so the
  // channel hands every line up. A closed port makes acknowledgements
  // no-ops; the events are counted.
  vela::TVuZVela driver;
  size_t events = 0;
  driver.OnReceiveMessage = [&](const vela::ByteString& from, const vela::ByteString& text, vela::DateTime) {
    events += 1 + from.size() + text.size();
  };
  driver.OnDeliveryReport = [&](const vela::ByteString& reference, bool, vela::DateTime, vela::DateTime) {
    events += 1 + reference.size();
  };
  driver.OnReceiveText = [&](const vela::coding::AssembledMessage& message) { events += 1 + message.text.size(); };
  for (const vela::ByteString& line : lines) {
    if (auto indication = vela::at::RecogniseIndication(line)) g_sink = g_sink + indication->alpha.size();
    driver.QueueLine(driver.Channel(), line);
  }
  vela::platform::DispatchPendingMessages();
  driver.FlushReassembly();
  vela::platform::DispatchPendingMessages();
  g_sink = g_sink + events;
  return 0;
}

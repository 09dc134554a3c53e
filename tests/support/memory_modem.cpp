#include "memory_modem.h"

#include <string>

#include "at/at_protocol.h"
#include "at/line_framing.h"

namespace vela::test {

MemoryModem::MemoryModem() {
  table_["AT+CGMI"] = {"Maker Ltd", "OK"};
  table_["AT+CGMM"] = {"Model X", "OK"};
  table_["AT+CGSN"] = {"490154203237518", "OK"};
  table_["AT+CPIN?"] = {"+CPIN: READY", "OK"};
  table_["AT+CSMS=?"] = {"+CSMS: (0,1)", "OK"};
  table_["AT+CSMS=1"] = {"+CSMS: 1,1,1", "OK"};
}

void MemoryModem::Answer(const ByteString& command, std::vector<ByteString> lines) {
  table_[command] = std::move(lines);
}

size_t MemoryModem::Count(const ByteString& command) const {
  size_t n = 0;
  for (const ByteString& c : commands_) n += c == command ? 1 : 0;
  return n;
}

std::vector<ByteString> MemoryModem::Reply(const ByteString& command) {
  if (responder_) {
    if (std::optional<std::vector<ByteString>> lines = responder_(command)) return *lines;
  }
  auto found = table_.find(command);
  if (found != table_.end()) return found->second;
  if (command.rfind("AT+CMGS=", 0) == 0) return {"> "};
  if (!command.empty() && command.back() == '\x1A') return {"+CMGS: " + std::to_string(nextReference_++), "OK"};
  return {"OK"};
}

void MemoryModem::HandUp(const ByteString& line) {
  if (busy_) {
    later_.push_back(line);
  } else if (handler_) {
    handler_(line);
  }
}

void MemoryModem::Indicate(const std::vector<ByteString>& lines) {
  for (const ByteString& line : lines) HandUp(line);
}

ByteString MemoryModem::Exchange(const ByteString& command, const std::vector<ByteString>& expected,
                                 uint32_t /*timeoutMs*/) {
  const ByteString sent =
      command.size() > 0 && command.back() == '\r' ? command.substr(0, command.size() - 1) : command;
  commands_.push_back(sent);
  busy_ = true;
  std::vector<ByteString> lines;
  if (echo && !sent.empty() && sent != "\x1B") lines.push_back(sent);
  for (ByteString& line : Reply(sent)) lines.push_back(std::move(line));

  std::vector<ByteString> response;
  bool answered = false;
  bool pduFollows = false;
  for (const ByteString& raw : lines) {
    const ByteString line = TrimControl(raw);
    if (line.empty()) continue;
    // An indication, or the PDU line after its header, is no part of the
    // response whatever it holds.
    const bool pduLine = pduFollows && at::IsPduLine(line);
    pduFollows = false;
    const std::optional<at::Indication> indication = pduLine ? std::nullopt : at::RecogniseIndication(line);
    if (pduLine || indication || answered) {
      pduFollows = indication && indication->PduFollows();
      HandUp(line);
      continue;
    }
    response.push_back(line);
    answered = ContainsAny(expected, raw);
  }
  if (!answered) ++timeouts_;
  busy_ = false;
  std::vector<ByteString> later;
  later.swap(later_);
  for (const ByteString& line : later) HandUp(line);
  return JoinLines(response);
}

}  // namespace vela::test

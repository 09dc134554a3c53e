// A scripted modem in memory, for tests of the driver's protocol decisions:
// it implements the command port and answers every command at once, on the
// calling thread, from a script. No pseudo-terminal, no thread, no sleep.
//
// Like the channel, it ends a command's response at the first line holding
// an expected answer, and hands indications (with the PDU line after a
// +CMT / +CDS / +CBM header) and lines after the answer to the line handler.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "at/command_port.h"

namespace vela::test {

class MemoryModem : public at::CommandPort {
 public:
  // The lines the modem sends for `command` (without its "\r"), echo
  // excluded; nullopt: not handled here (the next rule or the default).
  using Responder = std::function<std::optional<std::vector<ByteString>>(const ByteString& command)>;

  // A compliant modem: a ready SIM, message service 1, identity answers,
  // the prompt for AT+CMGS and references 1, 2, 3, ... for the PDUs.
  MemoryModem();

  // The lines `command` gets instead of the default (an empty list: silence,
  // i.e. a time-out).
  void Answer(const ByteString& command, std::vector<ByteString> lines);
  // Asked before the table and the defaults.
  void Respond(Responder responder) { responder_ = std::move(responder); }
  bool echo = true;

  // Lines the modem sends unasked now: handed to the line handler (or, while
  // a command runs, after its answer).
  void Indicate(const std::vector<ByteString>& lines);

  // Every command received, without its "\r" (a PDU keeps its Ctrl-Z).
  const std::vector<ByteString>& Commands() const { return commands_; }
  size_t Count(const ByteString& command) const;
  int TimeOuts() const { return timeouts_; }

  ByteString Exchange(const ByteString& command, const std::vector<ByteString>& expected, uint32_t timeoutMs) override;
  bool IsBusy() const override { return busy_; }
  void SetLineHandler(LineHandler handler) override { handler_ = std::move(handler); }

 private:
  std::vector<ByteString> Reply(const ByteString& command);
  void HandUp(const ByteString& line);

  std::map<ByteString, std::vector<ByteString>> table_;
  Responder responder_;
  LineHandler handler_;
  std::vector<ByteString> commands_;
  std::vector<ByteString> later_;  // unsolicited lines of a running command
  bool busy_ = false;
  int timeouts_ = 0;
  int nextReference_ = 1;
};

}  // namespace vela::test

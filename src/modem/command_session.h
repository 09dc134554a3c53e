// The driver's commands as results: each command's response with the modem's
// error, if any (refused, or not answered), and the last error of the session.
// Every part of the driver sends through one CommandSession; the version-1
// surface turns its results into exceptions and texts.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "at/at_protocol.h"
#include "at/command_port.h"
#include "common/types.h"

namespace vela {

// Command texts and answer lists of the driver.
class TATCommands {
 public:
  // Answers that end every command's wait: "OK", "ERROR", ">", "READY", "SIM PIN".
  static std::vector<ByteString> DefaultAnswers();
  // "AT+CMGS=<length>\r": announces a PDU of `length` octets (TPDU only,
  // without the service-centre prefix).
  static ByteString CMGSCommand(int32_t length);
};

namespace modem {

// What one command brought back.
struct CommandResult {
  ByteString response;                  // every line received, each followed by "\r\n"
  std::optional<at::ModemError> error;  // refused (+CMS / +CME ERROR, ERROR) or not answered
  bool Ok() const { return !error; }
  bool Has(const char* text) const { return response.find(text) != ByteString::npos; }
  // The response holds "OK" and no error.
  bool Confirmed() const { return Ok() && Has("OK"); }
};

// A value or the modem's error: how a part reports a failure.
template <class T>
struct Result {
  T value{};
  std::optional<at::ModemError> error;
  bool Ok() const { return !error; }
  static Result Failed(at::ModemError e) {
    Result r;
    r.error = std::move(e);
    return r;
  }
};

class CommandSession {
 public:
  explicit CommandSession(at::CommandPort& port) : port_(port) {}

  // Sends `command` (with its own "\r") and waits for one of `answers`.
  CommandResult Run(const ByteString& command, const std::vector<ByteString>& answers, uint32_t timeoutMs);
  // With TATCommands::DefaultAnswers.
  CommandResult Send(const ByteString& command, uint32_t timeoutMs);
  // Queries and storage commands end at their final result only ("OK" or
  // "ERROR"): answers such as "+CPINR: SIM PIN,3,3" or a name holding
  // "READY" are no results.
  CommandResult Query(const ByteString& command, uint32_t timeoutMs);

  // The last error any command of this session got.
  const at::ModemError& LastError() const { return last_; }
  void SetLastError(const at::ModemError& error) { last_ = error; }

  at::CommandPort& Port() { return port_; }

 private:
  at::CommandPort& port_;
  at::ModemError last_;
};

// The modem's error in `response` to `command`: its error result, or "no
// answer" when none of the default answers came; nullopt when it succeeded.
std::optional<at::ModemError> ErrorOf(const ByteString& command, const ByteString& response);

}  // namespace modem
}  // namespace vela

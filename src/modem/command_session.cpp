#include "modem/command_session.h"

#include <string>

#include "at/line_framing.h"

namespace vela {

std::vector<ByteString> TATCommands::DefaultAnswers() { return {"OK", "ERROR", ">", "READY", "SIM PIN"}; }

ByteString TATCommands::CMGSCommand(int32_t length) { return "AT+CMGS=" + std::to_string(length) + "\r"; }

namespace modem {

std::optional<at::ModemError> ErrorOf(const ByteString& command, const ByteString& response) {
  std::optional<at::ModemError> error = at::FindModemError(response);
  if (!error && !ContainsAny(TATCommands::DefaultAnswers(), response)) {
    error = at::ModemError{};
    error->kind = at::ModemError::Kind::kNoAnswer;
  }
  if (error) {
    error->command = TrimControl(command);
    // A PIN is never shown.
    if (error->command.compare(0, 8, "AT+CPIN=") == 0) error->command = "AT+CPIN=...";
  }
  return error;
}

CommandResult CommandSession::Run(const ByteString& command, const std::vector<ByteString>& answers,
                                  uint32_t timeoutMs) {
  CommandResult result;
  result.response = port_.Exchange(command, answers, timeoutMs);
  result.error = ErrorOf(command, result.response);
  if (result.error) last_ = *result.error;
  return result;
}

CommandResult CommandSession::Send(const ByteString& command, uint32_t timeoutMs) {
  return Run(command, TATCommands::DefaultAnswers(), timeoutMs);
}

CommandResult CommandSession::Query(const ByteString& command, uint32_t timeoutMs) {
  static const std::vector<ByteString> kFinalResults = {"OK", "ERROR"};
  return Run(command, kFinalResults, timeoutMs);
}

}  // namespace modem
}  // namespace vela

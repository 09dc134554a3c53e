#include "modem/diagnostics.h"

namespace vela::modem {
namespace {
constexpr uint32_t kQueryTimeoutMs = 5000;
}  // namespace

Diagnostics QueryDiagnostics(CommandSession& session) {
  Diagnostics result;
  int silent = 0;
  auto query = [&](const char* command) -> std::optional<ByteString> {
    if (silent >= 2) return std::nullopt;
    const CommandResult answer = session.Query(command, kQueryTimeoutMs);
    if (answer.error) {
      silent = answer.error->kind == at::ModemError::Kind::kNoAnswer ? silent + 1 : 0;
      return std::nullopt;
    }
    silent = 0;
    return answer.response;
  };
  if (auto answer = query("AT+CSQ\r")) result.signalDbm = at::ParseCsqDbm(*answer);
  if (auto answer = query("AT+CREG?\r")) result.registration = at::ParseRegistration(*answer);
  if (!result.registration || (*result.registration != "home" && *result.registration != "roaming")) {
    // LTE-only registration shows in +CEREG.
    if (auto answer = query("AT+CEREG?\r")) {
      auto lte = at::ParseRegistration(*answer);
      if (lte && (!result.registration || *lte == "home" || *lte == "roaming")) result.registration = lte;
    }
  }
  if (auto answer = query("AT+COPS?\r")) result.operatorName = at::ParseCopsOperator(*answer);
  if (auto answer = query("AT+CSCA?\r")) result.smsc = at::ParseCscaNumber(*answer);
  if (auto answer = query("AT+CPMS?\r")) {
    if (auto storage = at::ParseCpms(*answer))
      result.storage = StorageStatus{storage->name, storage->used, storage->total};
  }
  if (auto answer = query("AT+CIMI\r")) result.imsi = at::ParseImsi(*answer);
  if (auto answer = query("AT+CCID\r")) result.iccid = at::ParseIccid(*answer);
  if (!result.iccid) {
    if (auto answer = query("AT+ICCID\r")) result.iccid = at::ParseIccid(*answer);
  }
  if (auto answer = query("AT+CPINR\r")) {
    if (auto attempts = at::ParsePinAttempts(*answer)) {
      result.pinAttempts = attempts->pin;
      result.pukAttempts = attempts->puk;
    }
  }
  return result;
}

}  // namespace vela::modem

// The modem's state for people and monitoring: signal, registration,
// operator, service centre, storage, SIM identity and PIN attempts.
#pragma once

#include <optional>

#include "modem/command_session.h"

namespace vela::modem {

struct StorageStatus {
  ByteString name;
  int used = 0;
  int total = 0;
};

// Each field is best effort: nullopt when the modem refused or did not tell.
struct Diagnostics {
  std::optional<int> signalDbm;            // AT+CSQ
  std::optional<ByteString> registration;  // AT+CREG? / AT+CEREG?: "home", "roaming", "searching",
                                           // "denied", "not registered", "unknown"
  std::optional<ByteString> operatorName;  // AT+COPS?
  std::optional<ByteString> smsc;          // AT+CSCA?
  std::optional<StorageStatus> storage;    // AT+CPMS? (the read storage)
  std::optional<ByteString> imsi;          // AT+CIMI
  std::optional<ByteString> iccid;         // AT+CCID or AT+ICCID
  std::optional<int> pinAttempts;          // AT+CPINR (or a vendor counter)
  std::optional<int> pukAttempts;
};

// Sends the queries; a refused query leaves its field empty. Two queries in
// a row without any answer mean a modem that has gone quiet: the rest is
// skipped.
Diagnostics QueryDiagnostics(CommandSession& session);

}  // namespace vela::modem

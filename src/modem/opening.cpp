#include "modem/opening.h"

#include <cctype>
#include <utility>
#include <vector>

#include "at/line_framing.h"

namespace vela::modem {

namespace {

constexpr uint32_t kScriptTimeoutMs = 25000;
constexpr uint32_t kPinQueryTimeoutMs = 30000;
constexpr uint32_t kPinEntryTimeoutMs = 15000;
constexpr int kServiceAttemptsAfterPin = 10;
constexpr uint32_t kServicePauseMs = 1000;

bool Contains(const ByteString& text, const char* part) { return text.find(part) != ByteString::npos; }

// The response as its lines (each was followed by "\r\n").
std::vector<ByteString> SplitLines(const ByteString& response) {
  std::vector<ByteString> lines;
  size_t start = 0;
  while (start < response.size()) {
    size_t end = response.find("\r\n", start);
    if (end == ByteString::npos) end = response.size();
    lines.push_back(response.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

bool EqualsIgnoreCase(const ByteString& a, const ByteString& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

// Final result codes of 27.007 / 27.005 commands as this driver sees them.
bool IsFinalResult(const ByteString& line) { return line == "OK" || Contains(line, "ERROR"); }

// The information text of an identity query (+CGMI, +CGMM, +CGSN): the first
// line that is neither the modem's echo of the command nor a final result.
// With echo on this is the second line; a modem that does not echo gives it
// as the first, and a modem that gives none yields an empty text rather than
// its "OK".
ByteString InformationLine(const ByteString& response, const ByteString& command) {
  const ByteString echo = TrimControl(command);
  std::vector<ByteString> lines = SplitLines(response);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 0 && EqualsIgnoreCase(lines[i], echo)) continue;
    if (IsFinalResult(lines[i])) continue;
    return lines[i];
  }
  return ByteString();
}

}  // namespace

bool Opening::Run(const ByteString& pin, bool storageRequested, ByteString& errorText,
                  std::optional<at::ModemError>& detail) {
  detail.reset();
  // A step succeeds when its response holds "OK"; a failure keeps the modem's error.
  auto confirmed = [&](const char* command, ByteString* response = nullptr) {
    modem::CommandResult result = session_.Send(command, kScriptTimeoutMs);
    detail = result.error;
    const bool ok = result.Has("OK");
    if (response) *response = std::move(result.response);
    return ok;
  };

  if (onStep) onStep(1, "ATZ reset");
  errorText = "Modem may be unavailable.";
  if (!confirmed("ATZ\r")) return false;

  if (onStep) onStep(2, "ATE1 echo on");
  if (!confirmed("ATE1\r")) return false;

  if (onStep) onStep(3, "AT attention");
  if (!confirmed("AT\r")) return false;

  ByteString response;
  if (onStep) onStep(4, "AT+CGMI manufacturer");
  errorText = "Retrieving manufacturer error.";
  if (!confirmed("AT+CGMI\r", &response)) return false;
  manufacturer_ = TrimControl(InformationLine(response, "AT+CGMI\r"));

  if (onStep) onStep(5, "AT+CGMM device model");
  errorText = "Retrieving device model error.";
  if (!confirmed("AT+CGMM\r", &response)) return false;
  model_ = InformationLine(response, "AT+CGMM\r");

  if (onStep) onStep(6, "AT+CGSN device serial");
  errorText = "Retrieving device serial error.";
  if (!confirmed("AT+CGSN\r", &response)) return false;
  serial_ = InformationLine(response, "AT+CGSN\r");

  if (onStep) onStep(7, "AT+CPIN? SIM PIN");
  errorText = "Check and Set Pin error.";
  detail.reset();
  bool pinEntered = false;
  ByteString pinDetail;
  if (!CheckPin(pin, pinEntered, pinDetail)) {
    if (!pinDetail.empty()) errorText += " (" + pinDetail + ")";
    return false;
  }

  if (onStep) onStep(8, "message service");
  if (!pinEntered) return SetupService(storageRequested, errorText, detail);
  // A SIM that has just been unlocked may need a while before it accepts the
  // message-service commands.
  for (int attempt = 0; attempt < kServiceAttemptsAfterPin; ++attempt) {
    if (pause) pause(kServicePauseMs);
    if (SetupService(storageRequested, errorText, detail)) return true;
  }
  return false;
}

bool Opening::CheckPin(const ByteString& pin, bool& pinEntered, ByteString& detail) {
  pinEntered = false;
  detail.clear();
  // The channel ends this wait as soon as "READY" or "SIM PIN" has arrived,
  // before the modem's final "OK" (27.007 +CPIN: <code>).
  const modem::CommandResult query = session_.Send("AT+CPIN?\r", kPinQueryTimeoutMs);
  if (query.Has("READY")) return true;
  if (!query.Has("SIM PIN")) {
    // PUK, error or no answer: say which.
    if (query.error) {
      detail = query.error->Describe();
    } else if (auto code = at::ParseCpin(query.response)) {
      detail = "the SIM asks for " + *code;
    }
    return false;
  }
  pinEntered = true;
  if (TrimControl(pin).empty()) return false;
  // A PIN the SIM has refused is not entered again: every wrong entry uses
  // up one of the SIM's few attempts before it locks itself (PUK).
  if (PinRefused(pin)) {
    detail = "the PIN was refused before (" + refusedPinError_ + "); it is not entered again until it is changed";
    return false;
  }
  refusedPin_.clear();
  const modem::CommandResult entry = session_.Send("AT+CPIN=" + pin + "\r", kPinEntryTimeoutMs);
  if (entry.Confirmed()) return true;
  if (entry.error && entry.error->kind == at::ModemError::Kind::kNoAnswer) {
    detail = entry.error->Describe();  // not known to be wrong: may be entered again
    return false;
  }
  refusedPin_ = pin;
  refusedPinError_ = entry.error ? entry.error->Describe() : ByteString("refused");
  detail = refusedPinError_;
  return false;
}

bool Opening::SetupService(bool storageRequested, ByteString& errorText, std::optional<at::ModemError>& detail) {
  if (serviceReady_) return true;
  auto confirmed = [&](const char* command, modem::CommandResult* out = nullptr) {
    modem::CommandResult result = session_.Send(command, kScriptTimeoutMs);
    detail = result.error;
    const bool ok = result.Has("OK");
    if (out) *out = std::move(result);
    return ok;
  };

  errorText = "Setting PDU mode error.";
  if (!confirmed("AT+CMGF=0\r")) return false;

  errorText = "Setting message service error.";
  if (storageRequested) return SetupStorageRouting(errorText, detail, std::nullopt);

  // +CSMS: (list of supported services); service 1 makes routed messages and
  // reports need +CNMA.
  modem::CommandResult services;
  if (!confirmed("AT+CSMS=?\r", &services)) return false;
  // A modem without service 1, or one that refuses it or direct routing,
  // still stores and indicates messages: fall back to storage routing.
  if (!at::OffersMessageServiceOne(services.response)) return SetupStorageRouting(errorText, detail, detail);
  if (!confirmed("AT+CSMS=1\r")) return SetupStorageRouting(errorText, detail, detail);

  // +CNMI=2,2,2,1,1: deliveries routed as +CMT, status reports as +CDS.
  errorText = "Setting aknowledgment type error.";
  if (!confirmed("AT+CNMI=2,2,2,1,1\r")) return SetupStorageRouting(errorText, detail, detail);

  storageRouting_ = false;
  serviceReady_ = true;
  if (onServiceSetUp) onServiceSetUp(false);
  return true;
}

bool Opening::SetupStorageRouting(ByteString& errorText, std::optional<at::ModemError>& detail,
                                  std::optional<at::ModemError> refused) {
  // Service 0: nothing routed needs +CNMA. +CNMI=2,1,0,1,0: each message is
  // stored and indicated (+CMTI: <mem>,<index>); status reports come as +CDS
  // (no acknowledgement under service 0) or, where the modem stores them, +CDSI.
  session_.Send("AT+CSMS=0\r", kScriptTimeoutMs);  // a modem without +CSMS is in service 0 already
  const modem::CommandResult routing = session_.Send("AT+CNMI=2,1,0,1,0\r", kScriptTimeoutMs);
  detail = routing.error;
  if (!routing.Has("OK")) {
    errorText = "Setting aknowledgment type error.";
    return false;
  }
  if (refused) session_.SetLastError(*refused);  // why the fallback was taken
  detail.reset();
  storageRouting_ = true;
  serviceReady_ = true;
  if (onServiceSetUp) onServiceSetUp(true);
  return true;
}

}  // namespace vela::modem

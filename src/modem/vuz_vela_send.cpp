// Sending: one part in the version-1 way (SubmitMessage) and whole texts of
// any length (SendText), with the references the modem assigns recorded for
// the matching of status reports.
#include <string>
#include <utility>

#include "at/line_framing.h"
#include "coding/sms.h"
#include "coding/str_utils.h"
#include "modem/vuz_vela.h"
#include "platform/codepage.h"

namespace vela {

namespace {

constexpr uint32_t kSendTimeoutMs = 15000;
constexpr uint32_t kQueryTimeoutMs = 5000;

// The message reference from the answer to the PDU: "+CMGS: <mr>" (27.005).
// Taken from the result line itself, so neither a missing echo nor an
// unsolicited line among the answer lines can make something else the
// reference.
ByteString ReferenceFromResponse(const ByteString& response) {
  size_t start = 0;
  while (start < response.size()) {
    size_t end = response.find("\r\n", start);
    if (end == ByteString::npos) end = response.size();
    const ByteString line = response.substr(start, end - start);
    if (line.compare(0, 6, "+CMGS:") == 0) return TrimControl(ExtractField(line, 2, ':'));
    start = end + 2;
  }
  return ByteString();
}

}  // namespace

void TVuZVela::SubmitMessage(const ByteString& destination, const ByteString& text, ByteString& reference,
                             bool statusReportRequest) {
  OperationScope scope(*this);
  reference.clear();
  TSMS sms(platform::SystemCodePage());
  sms.Destination = destination;
  sms.Text = platform::WideFromNarrow(text);
  sms.StatusReportRequest = statusReportRequest;
  const ByteString pdu = sms.EncodeSubmitPDU();
  // The length announced counts the TPDU octets, without the "00" service-centre prefix.
  const auto length = static_cast<int32_t>(pdu.size() / 2) - 1;

  if (!session_->Send(TATCommands::CMGSCommand(length), kSendTimeoutMs).Has(">")) return;
  const modem::CommandResult response = session_->Send(pdu + "\x1A", kSendTimeoutMs);
  if (!response.Has("OK")) return;
  reference = ReferenceFromResponse(response.response);
}

modem::Result<ByteString> TVuZVela::SendOnePdu(const ByteString& pdu, int length) {
  const modem::CommandResult prompt = session_->Send(TATCommands::CMGSCommand(length), kSendTimeoutMs);
  auto refused = [](std::optional<at::ModemError> error, const char* what) {
    if (!error) {
      // Not the modem's error: say what was missing.
      error = at::ModemError{};
      error->text = what;
    }
    return modem::Result<ByteString>::Failed(*error);
  };
  if (!prompt.Has(">") || prompt.error) return refused(prompt.error, "no prompt for the PDU");
  modem::CommandResult response = session_->Send(pdu + "\x1A", kSendTimeoutMs);
  if (response.error) {
    response.error->command = "the PDU";  // rather than its hex digits
    session_->SetLastError(*response.error);
  }
  if (!response.Has("OK") || response.error) return refused(response.error, "the PDU was not confirmed");
  const std::optional<int> reference = at::ParseCmgsReference(response.response);
  if (!reference) return refused(std::nullopt, "no +CMGS reference in the answer");
  return {std::to_string(*reference), std::nullopt};
}

TVuZVela::SendTextResult TVuZVela::SendText(const ByteString& destination, const WideString& text,
                                            const SendTextOptions& options) {
  OperationScope scope(*this);
  coding::SubmitOptions submit;
  submit.destination = destination;
  submit.coding = options.coding;
  submit.languages = options.languages;
  submit.maxParts = options.maxParts;
  submit.ref16 = options.ref16;
  submit.reference = options.ref16 ? concatReference_ : static_cast<uint16_t>(concatReference_ & 0xFF);
  submit.statusReport = options.statusReport;
  submit.validity = options.validity;
  const coding::SubmitMessage message = coding::EncodeSubmitMessage(text, submit);

  SendTextResult result;
  result.parts = static_cast<int>(message.parts.size());
  result.coding = message.coding;
  result.lockingLanguage = message.lockingLanguage;
  result.singleLanguage = message.singleLanguage;
  const bool multiPart = message.parts.size() > 1;
  // Each multi-part message gets the next reference, so that no two
  // consecutive ones share it (the 8-bit reference wraps at 256).
  if (multiPart) ++concatReference_;
  return SendParts(message, multiPart, std::move(result));
}

TVuZVela::SendTextResult TVuZVela::SendParts(const coding::SubmitMessage& message, bool multiPart,
                                             SendTextResult result) {
  // AT+CMMS=1 keeps the radio link open between the parts (27.005 3.5.6);
  // a modem without it sends the parts all the same.
  bool linkKept = false;
  if (multiPart && isOpen_) {
    if (!cmmsSupported_) {
      const modem::CommandResult answer = session_->Query("AT+CMMS=?\r", kQueryTimeoutMs);
      cmmsSupported_ = answer.Ok() && answer.Has("+CMMS");
    }
    if (*cmmsSupported_) linkKept = session_->Query("AT+CMMS=1\r", kQueryTimeoutMs).Confirmed();
  }
  std::optional<at::ModemError> sendError;
  for (const coding::SubmitPart& part : message.parts) {
    const modem::Result<ByteString> sent = SendOnePdu(part.pdu, part.length);
    if (!sent.Ok()) {
      // A refused part stops the rest.
      const at::ModemError& error = *sent.error;
      const bool fromModem = error.kind != at::ModemError::Kind::kNone;
      result.cmsError = error.kind == at::ModemError::Kind::kCms ? error.code.value_or(0) : 0;
      result.errorText = fromModem ? error.Describe() : error.text;
      if (fromModem) sendError = error;
      break;
    }
    result.references.push_back(sent.value);
  }
  if (linkKept) {
    session_->Query("AT+CMMS=0\r", kQueryTimeoutMs);
    if (sendError) session_->SetLastError(*sendError);
  }
  if (result.references.empty()) return result;
  // Remember the message for its status reports.
  result.messageId = sent_.Record(result.references, result.parts);
  return result;
}

const TVuZVela::SentMessage* TVuZVela::SentMessageForReport(const ByteString& referenceHex) const {
  char* end = nullptr;
  const long value = std::strtol(referenceHex.c_str(), &end, 16);
  if (referenceHex.empty() || end == nullptr || *end != '\0' || value < 0) return nullptr;
  return sent_.ForReference(static_cast<int>(value & 0xFF));
}

}  // namespace vela

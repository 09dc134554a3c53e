#include "modem/vuz_vela.h"

#include <cctype>
#include <string>
#include <utility>

#include "coding/sms.h"
#include "coding/str_utils.h"
#include "pdu/pdu_sms.h"
#include "platform/codepage.h"
#include "platform/message_target.h"
#include "platform/sync.h"
#include "transport/comm.h"

namespace vela {

namespace {

constexpr uint32_t kScriptTimeoutMs = 25000;
constexpr uint32_t kPinQueryTimeoutMs = 30000;
constexpr uint32_t kPinEntryTimeoutMs = 15000;
constexpr uint32_t kSendTimeoutMs = 15000;
constexpr uint32_t kAcknowledgeTimeoutMs = 15000;
constexpr int kServiceAttemptsAfterPin = 10;
constexpr uint32_t kServicePauseMs = 1000;

bool Contains(const ByteString& text, const char* part) { return text.find(part) != ByteString::npos; }

// Leading and trailing blanks and control bytes (0x00..0x20) removed.
ByteString Trim(const ByteString& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 0x20) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 0x20) --end;
  return text.substr(begin, end - begin);
}

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
  const ByteString echo = Trim(command);
  std::vector<ByteString> lines = SplitLines(response);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == 0 && EqualsIgnoreCase(lines[i], echo)) continue;
    if (IsFinalResult(lines[i])) continue;
    return lines[i];
  }
  return ByteString();
}

// The message reference from the answer to the PDU: "+CMGS: <mr>" (27.005).
// Taken from the result line itself, so neither a missing echo nor an
// unsolicited line among the answer lines can make something else the
// reference.
ByteString ReferenceFromResponse(const ByteString& response) {
  for (const ByteString& line : SplitLines(response)) {
    if (line.compare(0, 6, "+CMGS:") == 0) return Trim(ExtractField(line, 2, ':'));
  }
  return ByteString();
}

}  // namespace

// ---------------------------------------------------------------------------

std::vector<ByteString> TATCommands::DefaultAnswers() { return {"OK", "ERROR", ">", "READY", "SIM PIN"}; }

ByteString TATCommands::CMGSCommand(int32_t length) { return "AT+CMGS=" + std::to_string(length) + "\r"; }

// ---------------------------------------------------------------------------

TVuZVela::OperationScope::OperationScope(TVuZVela& driver) : driver_(driver) { ++driver_.operationDepth_; }

TVuZVela::OperationScope::~OperationScope() {
  if (--driver_.operationDepth_ != 0) return;
  // The outermost operation has returned: indications that arrived during it
  // are reported when the thread next dispatches its messages.
  if (!driver_.ready_.empty() && !driver_.deliverPosted_ && driver_.target_) {
    driver_.deliverPosted_ = driver_.target_->Post(kDeliverMessage, 0, 0);
  }
}

TVuZVela::TVuZVela()
    : target_(std::make_unique<platform::MessageTarget>(
          [this](uint32_t code, uintptr_t param1, uintptr_t param2) { HandleMessage(code, param1, param2); })),
      channel_(std::make_unique<TmyXComm>()) {
  channel_->OnUnsolicitedLine = [this](TmyXComm& sender, const ByteString& line) { QueueLine(sender, line); };
}

TVuZVela::~TVuZVela() {
  // Lines still queued are dropped with the target; their copies are freed below.
  target_.reset();
  if (isOpen_) {
    try {
      Close();
    } catch (...) {
      // A destructor reports nothing; the channel closes the port in its own destructor.
    }
  }
  for (ByteString* line : postedLines_) delete line;
  postedLines_.clear();
  channel_.reset();
}

TmyXComm& TVuZVela::Channel() { return *channel_; }

ByteString TVuZVela::SendCommand(const ByteString& command, uint32_t timeoutMs) {
  OperationScope scope(*this);
  ByteString response;
  channel_->SendCommand(command, TATCommands::DefaultAnswers(), response, timeoutMs);
  return response;
}

void TVuZVela::Step(int step, const char* description) {
  if (OnStep) OnStep(step, description);
}

// --- Opening and initialisation ----------------------------------------------

void TVuZVela::Open() {
  OperationScope scope(*this);
  channel_->Connect(Port, std::to_string(BaudRate));
  isOpen_ = true;
  ByteString errorText;
  if (!Initialize(errorText)) {
    Close();
    throw EXVelaException("Cannot initialize commands on modem. " + errorText);
  }
}

void TVuZVela::Close() {
  OperationScope scope(*this);
  channel_->Disconnect();
  isOpen_ = false;
}

bool TVuZVela::Initialize(ByteString& errorText) {
  if (!isOpen_) return false;

  Step(1, "ATZ reset");
  errorText = "Modem may be unavailable.";
  if (!Contains(SendCommand("ATZ\r", kScriptTimeoutMs), "OK")) return false;

  Step(2, "ATE1 echo on");
  if (!Contains(SendCommand("ATE1\r", kScriptTimeoutMs), "OK")) return false;

  Step(3, "AT attention");
  if (!Contains(SendCommand("AT\r", kScriptTimeoutMs), "OK")) return false;

  Step(4, "AT+CGMI manufacturer");
  errorText = "Retrieving manufacturer error.";
  ByteString response = SendCommand("AT+CGMI\r", kScriptTimeoutMs);
  if (!Contains(response, "OK")) return false;
  manufacturer_ = Trim(InformationLine(response, "AT+CGMI\r"));

  Step(5, "AT+CGMM device model");
  errorText = "Retrieving device model error.";
  response = SendCommand("AT+CGMM\r", kScriptTimeoutMs);
  if (!Contains(response, "OK")) return false;
  deviceModel_ = InformationLine(response, "AT+CGMM\r");

  Step(6, "AT+CGSN device serial");
  errorText = "Retrieving device serial error.";
  response = SendCommand("AT+CGSN\r", kScriptTimeoutMs);
  if (!Contains(response, "OK")) return false;
  deviceSerial_ = InformationLine(response, "AT+CGSN\r");

  Step(7, "AT+CPIN? SIM PIN");
  errorText = "Check and Set Pin error.";
  bool pinEntered = false;
  if (!CheckAndSetPin(pinEntered)) return false;

  Step(8, "message service");
  if (!pinEntered) return SetupMessageService(errorText);
  // A SIM that has just been unlocked may need a while before it accepts the
  // message-service commands.
  for (int attempt = 0; attempt < kServiceAttemptsAfterPin; ++attempt) {
    platform::SleepMs(kServicePauseMs);
    if (SetupMessageService(errorText)) return true;
  }
  return false;
}

bool TVuZVela::CheckAndSetPin(bool& pinEntered) {
  pinEntered = false;
  if (!isOpen_) return false;
  // The channel ends this wait as soon as "READY" or "SIM PIN" has arrived,
  // before the modem's final "OK" (27.007 +CPIN: <code>).
  const ByteString response = SendCommand("AT+CPIN?\r", kPinQueryTimeoutMs);
  if (Contains(response, "READY")) return true;
  if (!Contains(response, "SIM PIN")) return false;  // PUK, error or no answer
  pinEntered = true;
  if (Trim(Pin).empty()) return false;
  return Contains(SendCommand("AT+CPIN=" + Pin + "\r", kPinEntryTimeoutMs), "OK");
}

bool TVuZVela::SetupMessageService(ByteString& errorText) {
  if (messageServiceReady_) return true;
  if (!isOpen_) return false;

  errorText = "Setting PDU mode error.";
  if (!Contains(SendCommand("AT+CMGF=0\r", kScriptTimeoutMs), "OK")) return false;

  // +CSMS: (list of supported services); service 1 makes routed messages and
  // reports need +CNMA. ",1)" is found when the list ends with 1 after another entry.
  errorText = "Setting message service error.";
  ByteString response = SendCommand("AT+CSMS=?\r", kScriptTimeoutMs);
  if (!Contains(response, "OK")) return false;
  ByteString joined;
  for (const ByteString& line : SplitLines(response)) joined += line + "|";
  if (!Contains(joined, ",1)")) return false;
  if (!Contains(SendCommand("AT+CSMS=1\r", kScriptTimeoutMs), "OK")) return false;

  // +CNMI=2,2,2,1,1: deliveries routed as +CMT, status reports as +CDS.
  errorText = "Setting aknowledgment type error.";
  if (!Contains(SendCommand("AT+CNMI=2,2,2,1,1\r", kScriptTimeoutMs), "OK")) return false;

  messageServiceReady_ = true;
  return true;
}

// --- Sending -------------------------------------------------------------------

void TVuZVela::SubmitMessage(const ByteString& destination, const ByteString& text, ByteString& reference,
                             bool statusReportRequest) {
  OperationScope scope(*this);
  reference.clear();
  TSMS sms;
  sms.Destination = destination;
  sms.Text = platform::WideFromNarrow(text);
  sms.StatusReportRequest = statusReportRequest;
  const ByteString pdu = sms.EncodeSubmitPDU();
  // The length announced counts the TPDU octets, without the "00" service-centre prefix.
  const auto length = static_cast<int32_t>(pdu.size() / 2) - 1;

  if (!Contains(SendCommand(TATCommands::CMGSCommand(length), kSendTimeoutMs), ">")) return;
  const ByteString response = SendCommand(pdu + "\x1A", kSendTimeoutMs);
  if (!Contains(response, "OK")) return;
  reference = ReferenceFromResponse(response);
}

// --- Indications -----------------------------------------------------------------

void TVuZVela::QueueLine(TmyXComm& /*sender*/, const ByteString& line) {
  if (!target_) return;  // being destroyed
  auto* copy = new ByteString(line);
  if (target_->Post(kIndicationMessage, reinterpret_cast<uintptr_t>(copy), 0)) {
    postedLines_.insert(copy);
  } else {
    delete copy;
  }
}

void TVuZVela::HandleMessage(uint32_t code, uintptr_t param1, uintptr_t /*param2*/) {
  // Nothing may leave a handler: it runs inside the host's message dispatch.
  try {
    if (code == kIndicationMessage) {
      std::unique_ptr<ByteString> line(reinterpret_cast<ByteString*>(param1));
      postedLines_.erase(line.get());
      HandleIndication(*line);
    } else if (code == kDeliverMessage) {
      deliverPosted_ = false;
      DeliverReady();
    }
  } catch (...) {
  }
}

void TVuZVela::HandleIndication(const ByteString& line) {
  // The line after a header is its PDU, whatever it holds.
  if (pendingIndication_ == "+CMT:") {
    pendingIndication_.clear();
    ready_.push_back(Indication{false, line});
  } else if (pendingIndication_ == "+CDS:") {
    pendingIndication_.clear();
    ready_.push_back(Indication{true, line});
  }
  // 27.005 +CMT: [<alpha>],<length> / +CDS: <length>, each followed by the PDU line.
  if (Contains(line, "+CMT:")) pendingIndication_ = "+CMT:";
  if (Contains(line, "+CDS:")) pendingIndication_ = "+CDS:";
  DeliverReady();
}

void TVuZVela::DeliverReady() {
  if (delivering_) return;  // the outer delivery loop takes the rest, in order
  delivering_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{delivering_};
  // A command below on this thread's stack cannot end before this handler
  // returns; the indications wait for it, and the outermost operation
  // schedules them again when it has returned.
  while (!ready_.empty() && operationDepth_ == 0 && !channel_->IsBusy()) {
    Indication indication = std::move(ready_.front());
    ready_.pop_front();
    try {
      Deliver(indication);
    } catch (...) {
      // A malformed time stamp or a failing event sink drops this indication
      // only; it has been acknowledged already.
    }
  }
}

void TVuZVela::AcknowledgeIndication() {
  // Under message service 1 every routed SMS-DELIVER and status report must
  // be acknowledged (27.005 +CNMA); the answer does not matter. Nothing can
  // be written to a closed port.
  if (isOpen_) SendCommand("AT+CNMA\r", kAcknowledgeTimeoutMs);
}

bool TVuZVela::Accepted(bool report, const ByteString& pdu) {
  if (!OnAcceptIndication) return true;
  try {
    return OnAcceptIndication(report, pdu);
  } catch (...) {
    return false;
  }
}

void TVuZVela::Deliver(const Indication& indication) {
  if (indication.report ? !OnDeliveryReport : !OnReceiveMessage) return;
  if (!Accepted(indication.report, indication.pdu)) return;
  TSMS sms;
  if (!indication.report) {
    try {
      sms.ParsePDU(indication.pdu);
    } catch (...) {
    }
    if (!OnReceiveMessage) return;
    AcknowledgeIndication();
    const DateTime serviceCentreTime = sms.GetServiceCentreTime();
    const ByteString text = platform::NarrowFromWide(sms.GetMessageText());
    const ByteString originator = sms.GetOriginator();
    if (OnReceiveMessage) OnReceiveMessage(originator, text, serviceCentreTime);
    return;
  }

  TPDUSMS pdu(platform::WideFromNarrow(indication.pdu));
  try {
    sms.ParsePDU(indication.pdu);
  } catch (...) {
  }
  if (!OnDeliveryReport) return;
  AcknowledgeIndication();
  const ByteString reference = pdu.GetMessageReference();
  if (auto* report = dynamic_cast<const TSMSReport*>(pdu.GetSMSType())) {
    const bool delivered = report->IsDelivered();
    const TTimeStamp* stamp = pdu.GetTimeStamp();
    const DateTime serviceCentreTime = stamp ? stamp->GetDateTime() : 0;
    const TTimeStamp* discharge = report->GetDischargeTimeStamp();
    const DateTime dischargeTime = discharge ? discharge->GetDateTime() : 0;
    if (OnDeliveryReport) OnDeliveryReport(reference, delivered, serviceCentreTime, dischargeTime);
  } else {
    const DateTime serviceCentreTime = sms.GetServiceCentreTime();
    const DateTime dischargeTime = sms.GetDischargeTime();
    if (OnDeliveryReport) OnDeliveryReport(reference, true, serviceCentreTime, dischargeTime);
  }
}

}  // namespace vela

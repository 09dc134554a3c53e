// The modem driver: the AT-command dialogue with one GSM modem over one command
// channel. It opens the port and runs the initialisation script (reset, echo on,
// identity, SIM PIN, PDU mode, message service 1, indications routed to the
// line), sends SMS-SUBMIT PDUs with AT+CMGS, and recognises, acknowledges
// (AT+CNMA) and reports the +CMT / +CDS indications the modem sends unasked.
//
// Threads: a TVuZVela belongs to the thread that created it. Every member is
// called on that thread, and every callback (OnReceiveMessage, OnDeliveryReport,
// OnStep) runs on it. That thread must dispatch its messages
// (platform::DispatchPendingMessages or a message loop) for indications to be
// reported; while a command waits for its answer the driver dispatches them
// itself, so callbacks and other calls can run nested inside Open or
// SubmitMessage. An indication that arrives while a command runs is reported
// after that command has returned, never in the middle of it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "coding/reassembly.h"
#include "coding/text_coding.h"
#include "common/errors.h"
#include "common/types.h"

namespace vela {

namespace platform {
class MessageTarget;
}

class TmyXComm;

// A failed initialisation: "Cannot initialize commands on modem. " + step text.
class EXVelaException : public Exception {
 public:
  using Exception::Exception;
};

// Command texts and answer lists of the driver.
class TATCommands {
 public:
  // Answers that end every command's wait: "OK", "ERROR", ">", "READY", "SIM PIN".
  static std::vector<ByteString> DefaultAnswers();
  // "AT+CMGS=<length>\r": announces a PDU of `length` octets (TPDU only,
  // without the service-centre prefix).
  static ByteString CMGSCommand(int32_t length);
};

class TVuZVela {
 public:
  using ReceiveMessageCallback = std::function<void(const ByteString& originator, const ByteString& text,
                                                    DateTime serviceCentreTime)>;
  using DeliveryReportCallback = std::function<void(const ByteString& reference, bool delivered,
                                                    DateTime serviceCentreTime, DateTime dischargeTime)>;
  // Progress of Open: called before each step of the script (1..8).
  using StepCallback = std::function<void(int step, const ByteString& description)>;

  // Message code of an indication line posted to the driver's own target.
  static constexpr uint32_t kIndicationMessage = 0x402;
  // Message code that asks the driver to report indications deferred while a
  // command was running.
  static constexpr uint32_t kDeliverMessage = 0x403;

  // The creating thread becomes the thread that must dispatch messages.
  TVuZVela();
  // Closes an open port.
  ~TVuZVela();
  TVuZVela(const TVuZVela&) = delete;
  TVuZVela& operator=(const TVuZVela&) = delete;

  // Opens Port at BaudRate and runs the initialisation script. The port
  // component's exception when the port cannot be opened; EXVelaException
  // (port closed again) when a step fails; EAbort when the host terminates.
  void Open();
  // Closes the port (a running command is let finish first).
  void Close();

  // Sends one message in PDU mode. `reference` receives the message reference
  // the modem assigned (decimal text), empty when the modem refused the message.
  // Encoder errors ("Error encoding PDU") and EAbort propagate.
  void SubmitMessage(const ByteString& destination, const ByteString& text, ByteString& reference,
                     bool statusReportRequest);

  // Settings, read and written at any time; used by the next Open.
  ByteString Port{"COM3"};
  int32_t BaudRate = 9600;
  ByteString Pin;

  const ByteString& Manufacturer() const { return manufacturer_; }
  const ByteString& DeviceModel() const { return deviceModel_; }
  const ByteString& DeviceSerial() const { return deviceSerial_; }
  bool IsOpen() const { return isOpen_; }
  // The message-service settings have succeeded once on this driver; later
  // Opens skip them.
  bool MessageServiceReady() const { return messageServiceReady_; }

  // Either may be unset: an indication is then not acknowledged and not reported.
  ReceiveMessageCallback OnReceiveMessage;
  DeliveryReportCallback OnDeliveryReport;
  StepCallback OnStep;

  // The command channel (borrowed). Tools that send their own commands
  // should use SendCommand below instead of the channel's, so that
  // indications deferred during the command are reported afterwards.
  TmyXComm& Channel();

  // Sends one command (with its own "\r") with DefaultAnswers and returns the
  // lines received, each followed by "\r\n". EAbort when the host terminates.
  ByteString SendCommand(const ByteString& command, uint32_t timeoutMs);

  // Steps of the script, used by Open; each returns false when its step failed.
  bool Initialize(ByteString& errorText);
  bool CheckAndSetPin(bool& pinEntered);
  bool SetupMessageService(ByteString& errorText);

  // Called by the channel for every line that is no expected answer: posts a
  // copy of the line to the driver's target (handled later on this thread).
  void QueueLine(TmyXComm& sender, const ByteString& line);

  // Indications recognised but not yet acknowledged and reported.
  size_t DeferredIndications() const { return ready_.size(); }

  // --- Whole messages: any text, any length -----------------------------------
  // Beside the one-part, code-page path above (SubmitMessage, OnReceiveMessage,
  // OnDeliveryReport keep firing exactly as before, one per part).

  struct SendTextOptions {
    coding::Coding coding = coding::Coding::kAuto;
    std::vector<int> languages;  // national tables allowed (1..13); empty: none
    int maxParts = 10;
    bool ref16 = false;          // 16-bit concatenation reference
    bool statusReport = false;
  };
  struct SendTextResult {
    ByteString messageId;               // non-empty once the first part went out
    std::vector<ByteString> references; // decimal, one per part the modem accepted, in order
    int parts = 0;                      // parts of the message
    coding::Coding coding = coding::Coding::kGsm7;
    int lockingLanguage = 0, singleLanguage = 0;
    int cmsError = 0;                   // +CMS ERROR of the refused part, 0 if none/unknown
    bool Complete() const { return parts > 0 && references.size() == static_cast<size_t>(parts); }
  };
  // Splits and encodes `text` (coding::EncodeSubmitMessage) and sends the
  // parts in order, one AT+CMGS each, with AT+CMMS=1 around them where the
  // modem supports it. A refused part stops the rest; `references` says which
  // went out. coding::ETextCodingError (too many parts, invalid number)
  // before anything is sent; EAbort when the host terminates.
  SendTextResult SendText(const ByteString& destination, const WideString& text, const SendTextOptions& options);

  // A sent message's delivery state, once its parts' reports come in.
  struct SentMessage {
    ByteString messageId;
    std::vector<ByteString> references;  // decimal
    std::vector<int> partStatus;         // per part: -1 no report yet, else TP-ST
    std::optional<bool> Delivered() const;  // nullopt while some part has no report
  };
  // The sent message a status report with this reference (two hex digits,
  // as OnDeliveryReport gives it) belongs to: the most recent send with that
  // reference modulo 256. The driver records the report before it calls
  // OnDeliveryReport, so a lookup inside that callback sees it. nullptr when
  // the reference belongs to no message sent through SendText.
  const SentMessage* SentMessageForReport(const ByteString& referenceHex) const;

  // A whole incoming message (reassembled; incomplete after the time-out).
  using ReceiveTextCallback = std::function<void(const coding::AssembledMessage& message)>;
  // Once every part of a SendText message has its report.
  using MessageStatusCallback = std::function<void(const SentMessage& message, bool delivered)>;
  ReceiveTextCallback OnReceiveText;
  MessageStatusCallback OnMessageStatus;

  // Reassembly time-outs: hosts that wait for messages wait at most this long
  // before calling RunDueTimers (nullopt: nothing pending, wait for ever).
  std::optional<uint32_t> MsUntilNextTimer() const;
  void RunDueTimers();
  coding::ReassemblyOptions ReassemblySettings;  // used from the next Open

 private:
  // One decoded-to-be indication: the header kind and its PDU line.
  struct Indication {
    bool report = false;  // +CDS: (status report) rather than +CMT: (message)
    ByteString pdu;
  };

  void HandleMessage(uint32_t code, uintptr_t param1, uintptr_t param2);
  void HandleIndication(const ByteString& line);
  void DeliverReady();
  void Deliver(const Indication& indication);
  void AcknowledgeIndication();
  void Step(int step, const char* description);

  // Marks a driver operation (Open, SubmitMessage, SendCommand) on the stack;
  // when the outermost one ends, deferred indications are scheduled.
  class OperationScope {
   public:
    explicit OperationScope(TVuZVela& driver);
    ~OperationScope();
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

   private:
    TVuZVela& driver_;
  };

  std::unique_ptr<platform::MessageTarget> target_;
  std::unique_ptr<TmyXComm> channel_;
  bool isOpen_ = false;
  ByteString deviceSerial_;
  ByteString deviceModel_;
  ByteString manufacturer_;
  bool messageServiceReady_ = false;

  // Kind of PDU line the next indication line is ("+CMT:", "+CDS:" or empty).
  // Per driver, so two modems whose lines interleave keep their own state.
  ByteString pendingIndication_;
  // Indications waiting for the channel to be free, in arrival order.
  std::deque<Indication> ready_;
  bool delivering_ = false;     // DeliverReady is on the stack
  bool deliverPosted_ = false;  // a kDeliverMessage is queued
  int operationDepth_ = 0;      // OperationScopes on the stack
  // Line copies posted to target_ and not yet handled; freed by the destructor.
  std::unordered_set<ByteString*> postedLines_;
};

}  // namespace vela

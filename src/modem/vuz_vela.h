// The modem driver: the AT-command dialogue with one GSM modem over one command
// channel. It opens the port and runs the initialisation script (reset, echo on,
// identity, SIM PIN, PDU mode, message service 1, indications routed to the
// line), sends SMS-SUBMIT PDUs with AT+CMGS, and recognises, acknowledges
// (AT+CNMA) and reports the +CMT / +CDS indications the modem sends unasked.
// Beside that one-part path: whole messages of any text and length (SendText,
// OnReceiveText, OnMessageStatus), storage routing where the modem refuses
// direct routing (+CMTI / +CDSI, read, report, then delete), routing repaired
// after a missed acknowledgement, stored-message functions and diagnostics.
//
// Threads: a TVuZVela belongs to the thread that created it. Every member is
// called on that thread, and every callback (OnReceiveMessage, OnDeliveryReport,
// OnReceiveText, OnMessageStatus, OnStep, OnPortLost, OnLockWait) runs on it. That thread must dispatch its messages
// (platform::DispatchPendingMessages or a message loop) for indications to be
// reported; while a command waits for its answer the driver dispatches them
// itself, so callbacks and other calls can run nested inside Open or
// SubmitMessage. An indication that arrives while a command runs is reported
// after that command has returned, never in the middle of it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "at/at_protocol.h"
#include "coding/reassembly.h"
#include "coding/text_coding.h"
#include "coding/validity.h"
#include "common/errors.h"
#include "common/types.h"
#include "modem/command_session.h"
#include "modem/diagnostics.h"
#include "modem/message_storage.h"
#include "modem/opening.h"
#include "modem/reception.h"
#include "modem/sent_messages.h"

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

// A modem command the caller asked for was refused or not answered; the
// message names the command and the modem's error ("AT+CMGR=3: +CMS ERROR:
// 321: invalid memory index").
class EModemCommand : public Exception {
 public:
  using Exception::Exception;
};

class TVuZVela {
 public:
  using ReceiveMessageCallback =
      std::function<void(const ByteString& originator, const ByteString& text, DateTime serviceCentreTime)>;
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
  // A driver that talks through `port` instead of its own channel (a modem
  // in memory, for tests): Open and Close then neither open nor close a
  // device. `port` must outlive the driver.
  explicit TVuZVela(at::CommandPort& port);
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

  const ByteString& Manufacturer() const { return opening_.Manufacturer(); }
  const ByteString& DeviceModel() const { return opening_.Model(); }
  const ByteString& DeviceSerial() const { return opening_.Serial(); }
  bool IsOpen() const { return isOpen_; }
  // The message-service settings have succeeded once on this driver; later
  // Opens skip them.
  bool MessageServiceReady() const { return opening_.ServiceReady(); }

  // Which routed indications (+CMT / +CDS under message service 1) are
  // acknowledged with AT+CNMA. kWhenReported: those a callback reports (a
  // message needs OnReceiveMessage or OnReceiveText, a report
  // OnDeliveryReport or OnMessageStatus); the others are neither acknowledged
  // nor reported. kAlways: every one that OnAcceptIndication accepts, whether
  // or not a callback reports it.
  enum class Acknowledgement { kWhenReported, kAlways };
  Acknowledgement AckPolicy = Acknowledgement::kWhenReported;

  ReceiveMessageCallback OnReceiveMessage;
  // Runs before an incoming message part or status report is acknowledged
  // (AT+CNMA) or deleted from the modem's storage (AT+CMGD), with its PDU as
  // the modem gave it. Returning false (or throwing) leaves it
  // unacknowledged / stored and reports nothing, so the network or the
  // storage delivers it again: a host that must not lose a message commits
  // it to its own storage here. Unset: everything is accepted.
  std::function<bool(bool report, const ByteString& pdu)> OnAcceptIndication;
  DeliveryReportCallback OnDeliveryReport;
  StepCallback OnStep;

  // The command channel (borrowed). Tools that send their own commands
  // should use SendCommand below instead of the channel's, so that
  // indications deferred during the command are reported afterwards.
  TmyXComm& Channel();

  // Sends one command (with its own "\r") with DefaultAnswers and returns the
  // lines received, each followed by "\r\n". EAbort when the host terminates.
  ByteString SendCommand(const ByteString& command, uint32_t timeoutMs);

  // Ends the PDU input a process that died after the prompt of AT+CMGS left
  // the modem in (ESC, 27.005 3.5.1; ignored in command mode), on Port at
  // BaudRate, waiting `waitMs` for an answer; the port is closed again.
  // Errors are swallowed: Open reports what is wrong with the port.
  void CancelPduInput(uint32_t waitMs);

  // Steps of the script, used by Open; each returns false when its step failed.
  bool Initialize(ByteString& errorText);
  bool CheckAndSetPin(bool& pinEntered);
  bool SetupMessageService(ByteString& errorText);

  // Called by the channel for every line that is no expected answer: posts a
  // copy of the line to the driver's target (handled later on this thread).
  void QueueLine(TmyXComm& sender, const ByteString& line);

  // Every +CUSD line (a USSD answer, 27.007 7.15) as it arrives, on the
  // driver's thread, also while a command runs; see modem/ussd.h. Unset: dropped.
  std::function<void(const ByteString& line)> OnUssdLine;

  // The network registration changed (+CREG while the host has AT+CREG=1 or
  // 2 on; Open does not switch it on): "home", "roaming", "searching",
  // "denied", "not registered" or "unknown". Reported in order with the
  // other indications, never in the middle of a command.
  std::function<void(const ByteString& registration)> OnRegistrationChange;

  // Indications recognised but not yet acknowledged and reported.
  size_t DeferredIndications() const { return reception_.Size(); }

  // --- Whole messages: any text, any length -----------------------------------
  // Beside the one-part, code-page path above (SubmitMessage, OnReceiveMessage,
  // OnDeliveryReport keep firing exactly as before, one per part).

  struct SendTextOptions {
    coding::Coding coding = coding::Coding::kAuto;
    std::vector<int> languages;  // national tables allowed (1..13); empty: none
    int maxParts = 10;
    bool ref16 = false;  // 16-bit concatenation reference
    bool statusReport = false;
    // TP-VP, relative format, in every part (coding/validity.h): 63 weeks,
    // as SubmitMessage sends; nullopt leaves it to the service centre.
    std::optional<uint8_t> validity = coding::kValidityMax;
  };
  struct SendTextResult {
    ByteString messageId;                // non-empty once the first part went out
    std::vector<ByteString> references;  // decimal, one per part the modem accepted, in order
    int parts = 0;                       // parts of the message
    coding::Coding coding = coding::Coding::kGsm7;
    int lockingLanguage = 0, singleLanguage = 0;
    int cmsError = 0;      // +CMS ERROR of the refused part, 0 if none/unknown
    ByteString errorText;  // why the part was refused: "+CMS ERROR: 304: invalid PDU
                           // mode parameter", "ERROR", "no answer"; empty when all went out
    bool Complete() const { return parts > 0 && references.size() == static_cast<size_t>(parts); }
  };
  // Splits and encodes `text` (coding::EncodeSubmitMessage) and sends the
  // parts in order, one AT+CMGS each, with AT+CMMS=1 around them where the
  // modem supports it. A refused part stops the rest; `references` says which
  // went out. coding::ETextCodingError (too many parts, invalid number)
  // before anything is sent; EAbort when the host terminates.
  SendTextResult SendText(const ByteString& destination, const WideString& text, const SendTextOptions& options);

  using SentMessage = modem::SentMessage;
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
  // Delivers every message still waiting for parts, incomplete (hosts call it
  // before they end; pending parts are otherwise lost with the driver).
  void FlushReassembly();
  coding::ReassemblyOptions ReassemblySettings;  // used from the next Open

  // --- Errors --------------------------------------------------------------------
  // The last error the modem answered a command with (any command of this
  // driver, including those of Open, SendText and the storage functions).
  using ModemError = at::ModemError;
  const ModemError& LastModemError() const { return session_->LastError(); }
  // A PIN the SIM refused (+CME ERROR: 16 or any other failure of AT+CPIN=)
  // is never entered again by this driver until Pin is changed: Open then
  // fails at once with "Check and Set Pin error. (...)" naming the refusal,
  // so repeated Opens cannot use up the SIM's attempts.
  bool PinRefused() const { return opening_.PinRefused(Pin); }

  // --- Routing and stored messages --------------------------------------------
  // kAuto: indications routed to the line (+CMT / +CDS, acknowledged with
  // AT+CNMA) as Open has always done; when the modem refuses AT+CSMS=1, that
  // AT+CNMI or AT+CNMA, the driver falls back to storage routing.
  // kStorage: storage routing from the start. Under storage routing the
  // modem stores each message and indicates it (+CMTI / +CDSI, AT+CSMS=0,
  // AT+CNMI=2,1,0,1,0); the driver reads it (AT+CMGR), reports it and deletes
  // it (AT+CMGD) only after its event was delivered: a callback that throws
  // leaves it stored.
  enum class Routing { kAuto, kStorage };
  Routing RoutingMode = Routing::kAuto;  // used by the next Open that sets up the message service
  // An AT+CNMA that could be sent only this long after its indication
  // arrived counts as missed, like one the modem refused: the modem may have
  // switched routing off, so the driver sends AT+CNMI again and reports what
  // was stored meanwhile (unread messages, AT+CMGL=0).
  uint32_t AckDeadlineMs = 5000;
  // Routed messages and reports are acknowledged before their events run
  // (as always). true: after them, so that a host which stores each event
  // before it returns loses nothing if it dies in between (the modem then
  // gets no acknowledgement and the network delivers the message again).
  bool AcknowledgeAfterEvents = false;
  // The open session uses storage routing (fallback or asked for).
  bool StorageRouting() const { return opening_.StorageRouting(); }

  // Messages already stored in the modem when Open succeeds. kIgnore (the
  // default): nothing is read, Open's dialogue is unchanged. kDeliver: each
  // is read (AT+CPMS?, AT+CMGL=4), reported and then deleted. kKeep: reported
  // but left stored.
  enum class StoredPolicy { kIgnore, kDeliver, kKeep };
  StoredPolicy StoredAtOpen = StoredPolicy::kIgnore;

  // Where the event being delivered came from, readable inside any callback
  // (OnReceiveMessage, OnReceiveText, OnDeliveryReport, OnMessageStatus).
  // Outside a callback: stored == false, index -1, no indices.
  struct IncomingContext {
    bool stored = false;       // read from the modem's storage (not routed to the line)
    ByteString storage;        // "SM", "ME", "SR", ... when stored
    int index = -1;            // storage index of this part (OnReceiveMessage / OnDeliveryReport),
                               // of the first stored part (OnReceiveText)
    std::vector<int> indices;  // OnReceiveText: every stored part's index, in arrival order
  };
  const IncomingContext& CurrentIncoming() const { return context_; }

  // Stored messages, for tools that list, read and delete them. Each raises
  // EModemCommand when the modem refuses (the text names the command and the
  // modem's error); EAbort when the host terminates.
  // A stored message: index, status, storage and its PDU as the modem printed it.
  using StoredMessage = at::StoredMessage;
  // "unread", "read", "unsent", "sent"; "" for other values.
  static const char* StoredStatusName(int status);
  static const char* StoredStatusName(at::MessageStatus status) { return at::MessageStatusText(status); }
  // Selects `storage` ("SM", "ME", "MT", ...) for reading and deleting
  // (AT+CPMS="<storage>"); an empty name keeps the modem's current choice.
  void SelectStorage(const ByteString& storage);
  // Every stored message of the selected storage (AT+CMGL=4), by index.
  std::vector<StoredMessage> ListStoredMessages(const ByteString& storage = ByteString());
  // One message (AT+CMGR=<index>); nullopt when the index holds none.
  std::optional<StoredMessage> ReadStoredMessage(int index, const ByteString& storage = ByteString());
  void DeleteStoredMessage(int index, const ByteString& storage = ByteString());
  // Deletes every message of the storage (AT+CMGD=1,4; where refused, one
  // AT+CMGD per listed index). Returns how many were stored (-1 when unknown).
  int DeleteAllStoredMessages(const ByteString& storage = ByteString());

  // --- Diagnostics ---------------------------------------------------------------
  using StorageStatus = modem::StorageStatus;
  using Diagnostics = modem::Diagnostics;
  // Sends the queries on the open port; never raises for a refused query.
  Diagnostics QueryDiagnostics();

  // --- Port loss and lock scope ----------------------------------------------------
  // Called on the driver's thread once when the device disappeared (USB stick
  // pulled, modem re-enumerated). The driver is closed by then (IsOpen false)
  // and the message-service settings are forgotten, so the next Open sets
  // them up again; pending reassembly parts and the sent-message history are
  // kept. Open again once the device is back.
  std::function<void()> OnPortLost;

  // Which commands wait for each other: kMachine (default) lets one command
  // of every VelaCtrl user on the machine be on the wire at a time; kPort
  // only serialises commands to the same device. Effective from the next command.
  using LockScope = vela::LockScope;
  LockScope Lock = LockScope::kMachine;
  // Called with true when a command has waited more than a second for the
  // lock, and with false when it got it after such a wait. Driver's thread.
  std::function<void(bool waiting)> OnLockWait;

 private:
  class Link;

  using Work = modem::Reception::Work;

  void HandleMessage(uint32_t code, uintptr_t param1, uintptr_t param2);
  void HandleIndication(const ByteString& line);
  void DeliverReady();
  void Deliver(const Work& work);
  void AcknowledgeIndication();
  bool Accepted(bool report, const ByteString& pdu);
  void Step(int step, const char* description);
  bool Reports(bool report) const;

  [[noreturn]] static void Raise(const at::ModemError& error);

  void QueueStoredAtOpen();
  void Acknowledge(const Work& work);
  void RepairRouting();
  void QueueUnreadStored();
  void DeliverRoutedMessage(const Work& work);
  void DeliverRoutedReport(const Work& work);
  void DeliverStored(const Work& work);
  // Reports one message part (both paths); false when the version-1 callback
  // was set and failed, so that a stored part stays stored.
  bool ReportPart(const ByteString& pdu, const coding::DecodedUserData& decoded, uint64_t tag);
  bool ReportStatus(const ByteString& pdu, const coding::DecodedUserData& decoded);
  void DeliverAssembled(const coding::AssembledMessage& message);
  bool DeleteStoredPart(uint64_t tag);
  void HandlePortLost();
  void ApplyLockScope();
  void Release(std::vector<coding::AssembledMessage> messages);
  static uint64_t NowMs();
  SendTextResult SendParts(const coding::SubmitMessage& message, bool multiPart, SendTextResult result);
  modem::Result<ByteString> SendOnePdu(const ByteString& pdu, int length);

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
  at::CommandPort* external_ = nullptr;             // used instead of the channel when set
  std::unique_ptr<Link> link_;                      // the channel as the parts' command port
  std::unique_ptr<modem::CommandSession> session_;  // every command, with the last error
  modem::MessageStorage storage_;
  modem::SentMessages sent_;
  modem::Opening opening_;  // script, PIN, message service and routing choice
  bool isOpen_ = false;

  modem::Reception reception_;  // queue, acknowledgement policy, stored parts, reassembly
  bool delivering_ = false;     // DeliverReady is on the stack
  bool deliverPosted_ = false;  // a kDeliverMessage is queued
  int operationDepth_ = 0;      // OperationScopes on the stack
  // Line copies posted to target_ and not yet handled; freed by the destructor.
  std::unordered_set<ByteString*> postedLines_;

  bool portLost_ = false;  // the device went away since the last Open
  IncomingContext context_;
  std::optional<bool> cmmsSupported_;  // probed at the first multi-part send of an Open
  uint16_t concatReference_ = 0;
};

}  // namespace vela

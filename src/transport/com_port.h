// TComPort: the serial port component. Owns one serial device, holds its line
// settings, opens and closes it, writes and reads byte strings in single
// transfers waited on to completion, and watches the line with an event
// thread that turns device events into handler calls.
//
// Threads:
//  - Settings, OpenPort, ClosePort and destruction belong to the owning
//    thread (the thread that calls OpenPort). OnBeforeOpen, OnAfterOpen,
//    OnBeforeClose, OnAfterClose and the signal reports made by OpenPort and
//    ClosePort run on that thread, inside those calls.
//  - Line-event handlers (OnRxChar, OnTxEmpty, OnBreak, OnRing, OnRxFlag,
//    OnRx80Full, OnCTSChange, OnDSRChange, OnRLSDChange, OnError):
//      smWindowSync: on the opening thread, one at a time, only while it
//        dispatches messages (platform::DispatchPendingMessages, its message
//        loop, or DispatchSentMessages). The event thread is released as soon
//        as the opening thread takes each event. Exceptions escaping a handler
//        are swallowed (EAbort silently, others reported to stderr).
//      smThreadSync: also on the opening thread through its messages, but the
//        event thread waits until the handler has finished; an exception
//        escaping a handler ends the event thread.
//      smNone: on the event thread itself; an exception ends the event thread.
//  - WriteString, ReadString, PurgeQueues, PendingInputCount, LineSignals and
//    TakeLineErrors may be called from any thread while the port is open; each
//    transfer is independent, so a write on one thread may overlap a read on
//    another.
//
// ReadString with the default time-outs never waits: it returns at once with
// the bytes already received, 0 and an empty string on an empty port.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "common/errors.h"
#include "common/types.h"
#include "platform/serial_device.h"

// <windows.h> (winspool.h) defines SetPort as SetPortA/SetPortW; a translation
// unit that includes it first would otherwise rename the member below.
#ifdef SetPort
#undef SetPort
#endif

namespace vela {

enum TBaudRate {
  brCustom,
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent { evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full };
enum TComError { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };
// The line signals reported by LineSignals.
enum TComSignal { csCTS, csDSR, csRing, csRLSD };

// A set of enumeration values: bit n stands for the value of ordinal n.
template <typename E, int N>
class TEnumSet {
 public:
  constexpr TEnumSet() = default;
  constexpr TEnumSet(std::initializer_list<E> items) {
    for (E e : items) bits_ |= Bit(e);
  }
  static constexpr TEnumSet FromBits(uint32_t bits) {
    TEnumSet s;
    s.bits_ = bits & kAll;
    return s;
  }
  static constexpr TEnumSet All() { return FromBits(kAll); }
  constexpr uint32_t Bits() const { return bits_; }
  constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  TEnumSet& Include(E e) {
    bits_ |= Bit(e);
    return *this;
  }
  TEnumSet& Exclude(E e) {
    bits_ &= ~Bit(e);
    return *this;
  }
  constexpr bool operator==(const TEnumSet& o) const { return bits_ == o.bits_; }
  constexpr bool operator!=(const TEnumSet& o) const { return bits_ != o.bits_; }

 private:
  static constexpr uint32_t kAll = (1u << N) - 1;
  static constexpr uint32_t Bit(E e) { return 1u << static_cast<int>(e); }
  uint32_t bits_ = 0;
};

using TComEvents = TEnumSet<TComEvent, 10>;
using TComErrors = TEnumSet<TComError, 8>;
using TComSignals = TEnumSet<TComSignal, 4>;

class TComPort;

// The component's error: a code 1..23 selecting a fixed text, and the
// operating-system error number (-1 when there is none).
class EComPort : public Exception {
 public:
  // Message: the code's text, plus " (win error code: %d)" when
  // `system_error` is not -1.
  explicit EComPort(int error_code, int system_error = -1);
  // Message: the code's text, then ": " and `detail` (no system error).
  EComPort(int error_code, const std::string& detail);
  // Message: as EComPort(error_code, system_error), then ": ", the device's
  // path, ": " and the reason in words, e.g. "Unable to open com port (win
  // error code: 2): /dev/ttyUSB3: no such file".
  EComPort(int error_code, int system_error, const std::string& path, const std::string& reason);
  int ErrorCode() const { return error_code_; }
  int SystemErrorCode() const { return system_error_; }
  // The fixed text of a code; empty for codes outside 1..23.
  static std::string MessageText(int error_code);

 private:
  int error_code_;
  int system_error_;
};

// What the groups of settings below share: the port they belong to (none for
// a free-standing group), to which a changed value is applied while it is
// open. Each group reads Name() and writes SetName(value); Assign copies a
// whole group and applies it once.
class TComSettingsGroup {
 public:
  TComSettingsGroup(const TComSettingsGroup&) = delete;
  TComSettingsGroup& operator=(const TComSettingsGroup&) = delete;

 protected:
  // What a change applies: the line settings, the time-outs or the queue sizes.
  enum class Applies { kLine, kTimeouts, kQueues };
  TComSettingsGroup(TComPort* owner, Applies applies) : owner_(owner), applies_(applies) {}
  ~TComSettingsGroup() = default;
  template <class T>
  void Set(T& field, T value) {
    if (field == value) return;
    field = value;
    Changed();
  }
  template <class Fields>
  void AssignAll(Fields& fields, const Fields& source) {
    fields = source;
    Changed();
  }
  // Applies the group to the owner's open port.
  void Changed();

 private:
  TComPort* owner_;
  Applies applies_;
};

// A setting of a group, kept in `fields_.field`.
#define VELA_COM_SETTING(Type, Name, field)   \
  Type Name() const { return fields_.field; } \
  void Set##Name(Type value) { Set(fields_.field, value); }

// Parity settings; they belong to the line settings.
class TComParity final : public TComSettingsGroup {
 public:
  void Assign(const TComParity& source) { AssignAll(fields_, source.fields_); }
  explicit TComParity(TComPort* owner = nullptr) : TComSettingsGroup(owner, Applies::kLine) {}
  VELA_COM_SETTING(TParityBits, Bits, bits)
  VELA_COM_SETTING(bool, Check, check)
  VELA_COM_SETTING(bool, Replace, replace)
  VELA_COM_SETTING(char, ReplaceChar, replace_char)

 private:
  struct {
    TParityBits bits = prNone;
    bool check = false, replace = false;
    char replace_char = 0;
  } fields_;
};

// Flow-control settings; they belong to the line settings.
class TComFlowControl final : public TComSettingsGroup {
 public:
  explicit TComFlowControl(TComPort* owner = nullptr) : TComSettingsGroup(owner, Applies::kLine) {}
  // Derived from ControlRTS, OutCTSFlow, XonXoffIn and XonXoffOut; writing it
  // sets those four (fcCustom sets none) and always applies.
  TFlowControl FlowControl() const;
  void SetFlowControl(TFlowControl value);
  VELA_COM_SETTING(bool, OutCTSFlow, out_cts_flow)
  VELA_COM_SETTING(bool, OutDSRFlow, out_dsr_flow)
  VELA_COM_SETTING(TDTRFlowControl, ControlDTR, control_dtr)
  VELA_COM_SETTING(TRTSFlowControl, ControlRTS, control_rts)
  VELA_COM_SETTING(bool, XonXoffOut, xon_xoff_out)
  VELA_COM_SETTING(bool, XonXoffIn, xon_xoff_in)
  VELA_COM_SETTING(bool, DSRSensitivity, dsr_sensitivity)
  VELA_COM_SETTING(bool, TxContinueOnXoff, tx_continue_on_xoff)
  VELA_COM_SETTING(char, XonChar, xon_char)
  VELA_COM_SETTING(char, XoffChar, xoff_char)
  void Assign(const TComFlowControl& source) { AssignAll(fields_, source.fields_); }

 private:
  struct {
    bool out_cts_flow = false, out_dsr_flow = false;
    TDTRFlowControl control_dtr = dtrDisable;
    TRTSFlowControl control_rts = rtsDisable;
    bool xon_xoff_out = false, xon_xoff_in = false, dsr_sensitivity = false, tx_continue_on_xoff = false;
    char xon_char = 17, xoff_char = 19;
  } fields_;
};

// Time-outs in milliseconds; -1 means no limit (MAXDWORD). Other negative
// values are refused with ERangeError when applied.
class TComTimeouts final : public TComSettingsGroup {
 public:
  explicit TComTimeouts(TComPort* owner = nullptr) : TComSettingsGroup(owner, Applies::kTimeouts) {}
  void Assign(const TComTimeouts& source) { AssignAll(fields_, source.fields_); }
  VELA_COM_SETTING(int32_t, ReadInterval, read_interval)
  VELA_COM_SETTING(int32_t, ReadTotalMultiplier, read_total_multiplier)
  VELA_COM_SETTING(int32_t, ReadTotalConstant, read_total_constant)
  VELA_COM_SETTING(int32_t, WriteTotalMultiplier, write_total_multiplier)
  VELA_COM_SETTING(int32_t, WriteTotalConstant, write_total_constant)

 private:
  struct {
    int32_t read_interval = -1, read_total_multiplier = 0, read_total_constant = 0;
    int32_t write_total_multiplier = 100, write_total_constant = 1000;
  } fields_;
};

#undef VELA_COM_SETTING

// Requested receive and transmit queue sizes. A positive odd size is stored
// reduced by one (4097 becomes 4096).
class TComBuffer final : public TComSettingsGroup {
 public:
  explicit TComBuffer(TComPort* owner = nullptr) : TComSettingsGroup(owner, Applies::kQueues) {}
  int32_t InputSize() const { return input_size_; }
  void SetInputSize(int32_t value);
  int32_t OutputSize() const { return output_size_; }
  void SetOutputSize(int32_t value);
  void Assign(const TComBuffer& source);

 private:
  int32_t input_size_ = 1024;
  int32_t output_size_ = 1024;
};

class TComPort {
 public:
  using TNotifyEvent = std::function<void(TComPort& sender)>;
  using TRxCharEvent = std::function<void(TComPort& sender, int32_t count)>;
  using TComSignalEvent = std::function<void(TComPort& sender, bool on_off)>;
  using TComErrorEvent = std::function<void(TComPort& sender, TComErrors errors)>;

  // Port message code of the event hand-off (first user message + 1).
  static constexpr uint32_t kPortEventMessage = 1025;
  // Port message code of the report that the device has gone.
  static constexpr uint32_t kPortLostMessage = 1026;

  // Receives the text of an error that escaped a line-event handler on the
  // window path (a full stop appended when the text ends in a character
  // after '.'); EAbort is never reported. Process-wide; the default writes
  // the text to stderr. A host with a user interface shows it in a box.
  using ErrorReporter = std::function<void(const std::string& text)>;
  static void SetHandlerErrorReporter(ErrorReporter reporter);

  TComPort();
  // Closes the port (ClosePort, with its handlers); errors are swallowed.
  ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  // ---- settings (owning thread) ----
  const ByteString& Port() const;
  // Byte-wise compare; a new name while open closes and reopens the port.
  void SetPort(const ByteString& value);
  // The last valid rate set (a rejected name leaves it unchanged).
  TBaudRate BaudRate() const;
  // Refuses values outside the sixteen TBaudRate values with ERangeError.
  void SetBaudRate(TBaudRate value);
  // Sets the rate from its name ("br9600"; one of the fifteen rated names).
  // A name that names no rate is recorded as invalid: OpenPort then raises
  // EComPort code 7 naming it (while open it is raised at once and the
  // current rate stays). A later valid rate clears the record.
  void SetBaudRateByName(const ByteString& name);
  // The name rejected by SetBaudRateByName and not yet replaced; empty when none.
  const ByteString& InvalidBaudRateName() const;
  int32_t CustomBaudRate() const;
  void SetCustomBaudRate(int32_t value);
  TDataBits DataBits() const;
  void SetDataBits(TDataBits value);
  TStopBits StopBits() const;
  void SetStopBits(TStopBits value);
  TComParity& Parity() { return parity_; }
  const TComParity& Parity() const { return parity_; }
  TComFlowControl& FlowControl() { return flow_control_; }
  const TComFlowControl& FlowControl() const { return flow_control_; }
  TComTimeouts& Timeouts() { return timeouts_; }
  const TComTimeouts& Timeouts() const { return timeouts_; }
  TComBuffer& Buffer() { return buffer_; }
  const TComBuffer& Buffer() const { return buffer_; }
  bool DiscardNull() const;
  void SetDiscardNull(bool value);
  char EventChar() const;
  void SetEventChar(char value);
  // Takes effect at the next OpenPort.
  TComEvents Events() const;
  void SetEvents(TComEvents value);
  TSyncMethod SyncMethod() const;
  // Refused while open (EComPort code 14) unless unchanged.
  void SetSyncMethod(TSyncMethod value);

  bool Connected() const;
  // The device went away while open (a read, a write or the event wait
  // failed with platform::IsDeviceLostError); cleared by the next OpenPort.
  // Any thread.
  bool Lost() const;
  // true: OpenPort; false: ClosePort.
  void SetConnected(bool value);

  // ---- operations ----
  void OpenPort();
  void ClosePort();
  // Whole string in one transfer; returns the bytes written (0 for "").
  int32_t WriteString(const ByteString& text);
  // Up to `count` bytes in one transfer; `text` holds the bytes read.
  int32_t ReadString(ByteString& text, int32_t count);
  void PurgeQueues(bool input, bool output);
  int32_t PendingInputCount();
  // Devices without modem-control lines (a pseudo-terminal) report all off.
  TComSignals LineSignals();
  TComErrors TakeLineErrors();

  // ---- pure translations of the settings (no device involved) ----
  // The device-control record of the current settings; ERangeError for a
  // negative custom rate or an XON/XOFF limit outside 0..65535; EComPort
  // code 7 when a rejected rate name is recorded.
  platform::DeviceControl BuildDeviceControl() const;
  // The time-outs record; ERangeError for a negative value other than -1.
  platform::DeviceTimeouts BuildTimeouts() const;
  static uint32_t EventMask(TComEvents events);
  static TComEvents EventsFromMask(uint32_t mask);
  static TComErrors ErrorsFromFlags(uint32_t flags, bool parity_check);
  static TComSignals SignalsFromStatus(uint32_t status);
  // Bits per second of a rate value (0 for brCustom and out-of-range values).
  static int32_t RateOf(TBaudRate rate);
  // "br9600" -> br9600; false for names of no rated value (and "brCustom").
  static bool BaudRateFromName(const ByteString& name, TBaudRate& rate);

  // ---- handlers (see the thread notes at the top) ----
  TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
  TRxCharEvent OnRxChar;
  TNotifyEvent OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
  TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
  TComErrorEvent OnError;
  // The device has gone (see Lost): called once per opening. smWindowSync
  // and smThreadSync: on the opening thread through its messages (when the
  // port has an event thread); smNone: on the thread that noticed it. The
  // port stays open until ClosePort; its event thread has ended, transfers
  // fail at once.
  TNotifyEvent OnPortLost;

 private:
  friend class TComSettingsGroup;
  struct State;

  void ApplyLineSettings();
  // Stores a changed line setting and applies the line settings.
  template <class T>
  void SetLine(T& field, T value);
  void ApplyTimeoutSettings();
  void ApplyQueueSizes();
  void StopEventThread(platform::SerialDevice* device);
  void RunEventThread(std::shared_ptr<platform::SerialDevice> device);
  // Hands a batch to the handlers; false when the event thread is to end.
  bool DispatchEvents(TComEvents batch);
  void OnPortMessage(uint32_t code, uintptr_t flag);
  void HandleEvent(uint32_t flag);
  uint32_t ModemStatusBits();
  // Records the device's loss once and reports it through OnPortLost.
  void NoteLost();
  // NoteLost when `error` says the device has gone; returns `error`.
  int CheckLost(int error);

  TComParity parity_{this};
  TComFlowControl flow_control_{this};
  TComTimeouts timeouts_{this};
  TComBuffer buffer_{this};
  std::unique_ptr<State> state_;
};

}  // namespace vela

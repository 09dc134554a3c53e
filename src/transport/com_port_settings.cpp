// The serial port component's settings objects and the pure translations
// between its settings and the platform's device control.
#include <string>

#include "transport/com_port.h"

namespace vela {

namespace {

struct RateEntry {
  TBaudRate rate;
  const char* name;
  int32_t bits_per_second;
};

const RateEntry kRates[] = {
    {br110, "br110", 110},          {br300, "br300", 300},          {br600, "br600", 600},
    {br1200, "br1200", 1200},       {br2400, "br2400", 2400},       {br4800, "br4800", 4800},
    {br9600, "br9600", 9600},       {br14400, "br14400", 14400},    {br19200, "br19200", 19200},
    {br38400, "br38400", 38400},    {br56000, "br56000", 56000},    {br57600, "br57600", 57600},
    {br115200, "br115200", 115200}, {br128000, "br128000", 128000}, {br256000, "br256000", 256000},
};

uint32_t TimeoutValue(int32_t value, const char* name) {
  if (value == -1) return 0xFFFFFFFFu;
  if (value < 0) throw ERangeError(std::string("Time-out out of range: ") + name + " = " + std::to_string(value));
  return static_cast<uint32_t>(value);
}

}  // namespace

// ---- settings objects ----

#define VELA_SETTER(Class, Name, Type, field) \
  void Class::Set##Name(Type value) {         \
    if (field == value) return;               \
    field = value;                            \
    Changed();                                \
  }

VELA_SETTER(TComParity, Bits, TParityBits, bits_)
VELA_SETTER(TComParity, Check, bool, check_)
VELA_SETTER(TComParity, Replace, bool, replace_)
VELA_SETTER(TComParity, ReplaceChar, char, replace_char_)

void TComParity::Assign(const TComParity& source) {
  bits_ = source.bits_;
  check_ = source.check_;
  replace_ = source.replace_;
  replace_char_ = source.replace_char_;
  Changed();
}

void TComParity::Changed() {
  if (owner_ != nullptr) owner_->ApplyLineSettings();
}

VELA_SETTER(TComFlowControl, OutCTSFlow, bool, out_cts_flow_)
VELA_SETTER(TComFlowControl, OutDSRFlow, bool, out_dsr_flow_)
VELA_SETTER(TComFlowControl, ControlDTR, TDTRFlowControl, control_dtr_)
VELA_SETTER(TComFlowControl, ControlRTS, TRTSFlowControl, control_rts_)
VELA_SETTER(TComFlowControl, XonXoffOut, bool, xon_xoff_out_)
VELA_SETTER(TComFlowControl, XonXoffIn, bool, xon_xoff_in_)
VELA_SETTER(TComFlowControl, DSRSensitivity, bool, dsr_sensitivity_)
VELA_SETTER(TComFlowControl, TxContinueOnXoff, bool, tx_continue_on_xoff_)
VELA_SETTER(TComFlowControl, XonChar, char, xon_char_)
VELA_SETTER(TComFlowControl, XoffChar, char, xoff_char_)

TFlowControl TComFlowControl::FlowControl() const {
  if (control_rts_ == rtsHandshake && out_cts_flow_ && !xon_xoff_in_ && !xon_xoff_out_) return fcHardware;
  if (control_rts_ == rtsDisable && !out_cts_flow_ && xon_xoff_in_ && xon_xoff_out_) return fcSoftware;
  if (control_rts_ == rtsDisable && !out_cts_flow_ && !xon_xoff_in_ && !xon_xoff_out_) return fcNone;
  return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
  if (value != fcCustom) {
    control_rts_ = rtsDisable;
    out_cts_flow_ = false;
    xon_xoff_in_ = false;
    xon_xoff_out_ = false;
    if (value == fcHardware) {
      control_rts_ = rtsHandshake;
      out_cts_flow_ = true;
    } else if (value == fcSoftware) {
      xon_xoff_in_ = true;
      xon_xoff_out_ = true;
    }
  }
  Changed();
}

void TComFlowControl::Assign(const TComFlowControl& source) {
  out_cts_flow_ = source.out_cts_flow_;
  out_dsr_flow_ = source.out_dsr_flow_;
  control_dtr_ = source.control_dtr_;
  control_rts_ = source.control_rts_;
  xon_xoff_out_ = source.xon_xoff_out_;
  xon_xoff_in_ = source.xon_xoff_in_;
  dsr_sensitivity_ = source.dsr_sensitivity_;
  tx_continue_on_xoff_ = source.tx_continue_on_xoff_;
  xon_char_ = source.xon_char_;
  xoff_char_ = source.xoff_char_;
  Changed();
}

void TComFlowControl::Changed() {
  if (owner_ != nullptr) owner_->ApplyLineSettings();
}

VELA_SETTER(TComTimeouts, ReadInterval, int32_t, read_interval_)
VELA_SETTER(TComTimeouts, ReadTotalMultiplier, int32_t, read_total_multiplier_)
VELA_SETTER(TComTimeouts, ReadTotalConstant, int32_t, read_total_constant_)
VELA_SETTER(TComTimeouts, WriteTotalMultiplier, int32_t, write_total_multiplier_)
VELA_SETTER(TComTimeouts, WriteTotalConstant, int32_t, write_total_constant_)

void TComTimeouts::Assign(const TComTimeouts& source) {
  read_interval_ = source.read_interval_;
  read_total_multiplier_ = source.read_total_multiplier_;
  read_total_constant_ = source.read_total_constant_;
  write_total_multiplier_ = source.write_total_multiplier_;
  write_total_constant_ = source.write_total_constant_;
  Changed();
}

void TComTimeouts::Changed() {
  if (owner_ != nullptr) owner_->ApplyTimeoutSettings();
}

#undef VELA_SETTER

namespace {
// A positive odd queue size is rounded down to even.
int32_t EvenSize(int32_t value) { return (value > 0 && value % 2 != 0) ? value - 1 : value; }
}  // namespace

void TComBuffer::SetInputSize(int32_t value) {
  value = EvenSize(value);
  if (input_size_ == value) return;
  input_size_ = value;
  Changed();
}

void TComBuffer::SetOutputSize(int32_t value) {
  value = EvenSize(value);
  if (output_size_ == value) return;
  output_size_ = value;
  Changed();
}

void TComBuffer::Assign(const TComBuffer& source) {
  input_size_ = EvenSize(source.input_size_);
  output_size_ = EvenSize(source.output_size_);
  Changed();
}

void TComBuffer::Changed() {
  if (owner_ != nullptr) owner_->ApplyQueueSizes();
}

// ---- pure translations ----

int32_t TComPort::RateOf(TBaudRate rate) {
  for (const RateEntry& e : kRates)
    if (e.rate == rate) return e.bits_per_second;
  return 0;
}

bool TComPort::BaudRateFromName(const ByteString& name, TBaudRate& rate) {
  for (const RateEntry& e : kRates) {
    if (name == e.name) {
      rate = e.rate;
      return true;
    }
  }
  return false;
}

TComErrors TComPort::ErrorsFromFlags(uint32_t flags, bool parity_check) {
  TComErrors errors;
  if (flags & platform::kCeRxOver) errors.Include(ceRxOver);
  if (flags & platform::kCeOverrun) errors.Include(ceOverrun);
  if ((flags & platform::kCeRxParity) && parity_check) errors.Include(ceRxParity);
  if (flags & platform::kCeFrame) errors.Include(ceFrame);
  if (flags & platform::kCeBreak) errors.Include(ceBreak);
  if (flags & platform::kCeTxFull) errors.Include(ceTxFull);
  if (flags & platform::kCeIoe) errors.Include(ceIO);
  if (flags & platform::kCeMode) errors.Include(ceMode);
  return errors;
}

TComSignals TComPort::SignalsFromStatus(uint32_t status) {
  TComSignals signals;
  if (status & platform::kMsCtsOn) signals.Include(csCTS);
  if (status & platform::kMsDsrOn) signals.Include(csDSR);
  if (status & platform::kMsRingOn) signals.Include(csRing);
  if (status & platform::kMsRlsdOn) signals.Include(csRLSD);
  return signals;
}

platform::DeviceTimeouts TComPort::BuildTimeouts() const {
  const TComTimeouts& t = timeouts_;
  platform::DeviceTimeouts out;
  out.read_interval = TimeoutValue(t.ReadInterval(), "ReadInterval");
  out.read_total_multiplier = TimeoutValue(t.ReadTotalMultiplier(), "ReadTotalMultiplier");
  out.read_total_constant = TimeoutValue(t.ReadTotalConstant(), "ReadTotalConstant");
  out.write_total_multiplier = TimeoutValue(t.WriteTotalMultiplier(), "WriteTotalMultiplier");
  out.write_total_constant = TimeoutValue(t.WriteTotalConstant(), "WriteTotalConstant");
  return out;
}

}  // namespace vela

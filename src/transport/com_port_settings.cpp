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

void TComSettingsGroup::Changed() {
  if (owner_ == nullptr) return;
  if (applies_ == Applies::kLine) owner_->ApplyLineSettings();
  if (applies_ == Applies::kTimeouts) owner_->ApplyTimeoutSettings();
  if (applies_ == Applies::kQueues) owner_->ApplyQueueSizes();
}

TFlowControl TComFlowControl::FlowControl() const {
  const auto& f = fields_;
  if (f.control_rts == rtsHandshake && f.out_cts_flow && !f.xon_xoff_in && !f.xon_xoff_out) return fcHardware;
  if (f.control_rts == rtsDisable && !f.out_cts_flow && f.xon_xoff_in && f.xon_xoff_out) return fcSoftware;
  if (f.control_rts == rtsDisable && !f.out_cts_flow && !f.xon_xoff_in && !f.xon_xoff_out) return fcNone;
  return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
  if (value != fcCustom) {
    fields_.control_rts = value == fcHardware ? rtsHandshake : rtsDisable;
    fields_.out_cts_flow = value == fcHardware;
    fields_.xon_xoff_in = fields_.xon_xoff_out = value == fcSoftware;
  }
  Changed();
}

namespace {
// A positive odd queue size is rounded down to even.
int32_t EvenSize(int32_t value) { return (value > 0 && value % 2 != 0) ? value - 1 : value; }
}  // namespace

void TComBuffer::SetInputSize(int32_t value) { Set(input_size_, EvenSize(value)); }

void TComBuffer::SetOutputSize(int32_t value) { Set(output_size_, EvenSize(value)); }

void TComBuffer::Assign(const TComBuffer& source) {
  input_size_ = EvenSize(source.input_size_);
  output_size_ = EvenSize(source.output_size_);
  Changed();
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

// A serial communications device: opening by name, line settings, time-outs,
// queue sizes, line-event waits, transfers waited on to completion, purge,
// error clearing and modem status. Values use the Win32 communications
// encoding (EV_, CE_, MS_, PURGE_ constants, DCB flag bits) on every platform.
//   Windows: CreateFileA("\\.\" + name) with overlapped I/O and the Comm APIs.
//   POSIX:   a tty opened O_NOCTTY|O_NONBLOCK, exclusive (TIOCEXCL), in raw
//            mode; events from poll on the device and a stop descriptor.
//
// Threads: one thread may wait for events while other threads read, write,
// purge and query; each transfer is independent. Open/Close and the settings
// belong to the owning thread. Every operation returns 0 on success or the
// operating-system error number (GetLastError / errno).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vela::platform {

// Line events (EV_*).
constexpr uint32_t kEvRxChar = 0x0001;
constexpr uint32_t kEvRxFlag = 0x0002;
constexpr uint32_t kEvTxEmpty = 0x0004;
constexpr uint32_t kEvCts = 0x0008;
constexpr uint32_t kEvDsr = 0x0010;
constexpr uint32_t kEvRlsd = 0x0020;
constexpr uint32_t kEvBreak = 0x0040;
constexpr uint32_t kEvErr = 0x0080;
constexpr uint32_t kEvRing = 0x0100;
constexpr uint32_t kEvRx80Full = 0x0400;

// Line errors (CE_*).
constexpr uint32_t kCeRxOver = 0x0001;
constexpr uint32_t kCeOverrun = 0x0002;
constexpr uint32_t kCeRxParity = 0x0004;
constexpr uint32_t kCeFrame = 0x0008;
constexpr uint32_t kCeBreak = 0x0010;
constexpr uint32_t kCeTxFull = 0x0100;
constexpr uint32_t kCeIoe = 0x0400;
constexpr uint32_t kCeMode = 0x8000;

// Modem input signals (MS_*).
constexpr uint32_t kMsCtsOn = 0x0010;
constexpr uint32_t kMsDsrOn = 0x0020;
constexpr uint32_t kMsRingOn = 0x0040;
constexpr uint32_t kMsRlsdOn = 0x0080;

// Purge requests (PURGE_*).
constexpr uint32_t kPurgeTxAbort = 0x0001;
constexpr uint32_t kPurgeRxAbort = 0x0002;
constexpr uint32_t kPurgeTxClear = 0x0004;
constexpr uint32_t kPurgeRxClear = 0x0008;

// Flag bits of the device-control record, laid out as the DCB's bit fields.
constexpr uint32_t kDcbBinary = 0x0001;
constexpr uint32_t kDcbParity = 0x0002;
constexpr uint32_t kDcbOutxCtsFlow = 0x0004;
constexpr uint32_t kDcbOutxDsrFlow = 0x0008;
constexpr uint32_t kDcbDtrControlMask = 0x0030;  // 0x00 disable, 0x10 enable, 0x20 handshake
constexpr uint32_t kDcbDsrSensitivity = 0x0040;
constexpr uint32_t kDcbTxContinueOnXoff = 0x0080;
constexpr uint32_t kDcbOutX = 0x0100;
constexpr uint32_t kDcbInX = 0x0200;
constexpr uint32_t kDcbErrorChar = 0x0400;
constexpr uint32_t kDcbNull = 0x0800;
constexpr uint32_t kDcbRtsControlMask = 0x3000;  // 0x0000 disable, 0x1000 enable, 0x2000 handshake, 0x3000 toggle
constexpr uint32_t kDcbDtrEnable = 0x0010;
constexpr uint32_t kDcbDtrHandshake = 0x0020;
constexpr uint32_t kDcbRtsEnable = 0x1000;
constexpr uint32_t kDcbRtsHandshake = 0x2000;
constexpr uint32_t kDcbRtsToggle = 0x3000;

// The device-control record: the DCB fields that the port component sets.
struct DeviceControl {
  uint32_t length = 28;    // DCBlength
  uint32_t baud_rate = 0;  // bits per second
  uint32_t flags = 0;      // kDcb* bits
  uint16_t xon_limit = 0;
  uint16_t xoff_limit = 0;
  uint8_t byte_size = 8;  // 5..8
  uint8_t parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t stop_bits = 0;  // 0 one, 1 one and a half, 2 two
  char xon_char = 0;
  char xoff_char = 0;
  char error_char = 0;
  char eof_char = 0;
  char event_char = 0;

  bool operator==(const DeviceControl& o) const {
    return length == o.length && baud_rate == o.baud_rate && flags == o.flags && xon_limit == o.xon_limit &&
           xoff_limit == o.xoff_limit && byte_size == o.byte_size && parity == o.parity && stop_bits == o.stop_bits &&
           xon_char == o.xon_char && xoff_char == o.xoff_char && error_char == o.error_char && eof_char == o.eof_char &&
           event_char == o.event_char;
  }
};

// COMMTIMEOUTS, in its order; 0xFFFFFFFF is MAXDWORD. A read with
// read_interval = MAXDWORD and both read totals 0 returns at once with the
// bytes already received (possibly none).
struct DeviceTimeouts {
  uint32_t read_interval = 0;
  uint32_t read_total_multiplier = 0;
  uint32_t read_total_constant = 0;
  uint32_t write_total_multiplier = 0;
  uint32_t write_total_constant = 0;
};

// Outcome of one event wait.
enum class SerialWait {
  kEvents,   // `mask` holds the events that occurred (may be 0)
  kStopped,  // StopWaits was called
  kFailed,   // the wait failed; `error` holds the reason
};

class SerialDevice {
 public:
  // Opens the device named `port` (see SerialDevicePath). On failure returns
  // null and stores the operating-system error in `error`.
  static std::shared_ptr<SerialDevice> Open(const std::string& port, int& error);

  // Closes the device. Transfers still running on other threads are aborted.
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  int SetQueueSizes(uint32_t input, uint32_t output);
  // POSIX has no counterpart for null discarding, error-character
  // replacement, DSR flow/sensitivity and continue-after-XOFF: those flags
  // are accepted and have no effect there; 1.5 stop bits become two.
  int SetControl(const DeviceControl& control);
  int SetTimeouts(const DeviceTimeouts& timeouts);
  // Chooses the events WaitEvents reports; mask 0 ends a wait in progress.
  int SetEventMask(uint32_t mask);

  // Waits without time limit for line events of the mask, or for StopWaits.
  // POSIX reports no EV_RXFLAG and no EV_RX80FULL. A device that has gone
  // (see IsDeviceLostError) fails the wait with such an error.
  SerialWait WaitEvents(uint32_t& mask, int& error);
  // Any thread: ends a WaitEvents in progress; later waits return kStopped at once.
  void StopWaits();
  // Sleeps up to `ms` milliseconds; false at once when StopWaits was called.
  bool SleepUnlessStopped(uint32_t ms);

  // One transfer each, waited on to completion under the time-outs in force.
  // A read under "return at once" time-outs never waits, also on Windows
  // under Wine, where it reads only what the receive queue reports (Wine
  // leaves such a read pending on an empty pseudo-terminal).
  int Write(const char* data, uint32_t size, uint32_t& written);
  int Read(char* data, uint32_t size, uint32_t& read);

  // kPurge* bits; the abort bits end transfers in progress on other threads.
  int Purge(uint32_t flags);
  // Takes and clears the pending line errors (kCe* bits) and reports the
  // number of bytes waiting in the receive queue.
  int ClearErrors(uint32_t& errors, uint32_t& input_count);
  // The number of bytes waiting in the receive queue; pending line errors
  // stay pending for ClearErrors.
  int InputCount(uint32_t& input_count);
  // kMs* bits of the modem input signals.
  int ModemStatus(uint32_t& status);

  // Native handle (file descriptor or HANDLE), for diagnostics.
  intptr_t NativeHandle() const;

 private:
  SerialDevice();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The path a port name opens. Windows: "\\.\" + name. POSIX: a name
// containing "/" is a path as it stands; "COMn" (n >= 1) is /dev/ttyS{n-1};
// any other name is /dev/<name>.
std::string SerialDevicePath(const std::string& port);

// True for the errors a device without modem-control lines answers to a
// modem-status request (a pseudo-terminal: ENOTTY/EINVAL; Wine on a pty:
// ERROR_NOT_SUPPORTED).
bool IsNoModemLinesError(int error);

// The error an operation reports on a device that is not open
// (ERROR_INVALID_HANDLE / EBADF).
int NotOpenError();

// True for the errors of a device that has gone away while open: a USB
// adapter pulled, a modem re-enumerating after a reset, the far side of a
// pseudo-terminal closed (POSIX: EIO, ENXIO, ENODEV; Windows:
// ERROR_ACCESS_DENIED on an open handle, ERROR_BAD_COMMAND,
// ERROR_GEN_FAILURE, ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED,
// ERROR_NO_SUCH_DEVICE).
bool IsDeviceLostError(int error);

// Why opening a device failed with `error`, in words a user can act on:
// "no such file", "permission denied: add yourself to the dialout group",
// "device busy: another program (e.g. ModemManager) holds it", ... Never
// empty; pure.
std::string OpenErrorReason(int error);

// The name of the lock that serialises the commands to one device when the
// lock scope is per port: derived from the device's canonical path, so that
// every name of one device (/dev/serial/by-id/... and /dev/ttyUSB0, COM5 and
// com5) shares one lock. POSIX: "port-" + the resolved path with '/' as '_'
// (a MachineLock on /tmp/vela-port-_dev_ttyUSB0.lock); Windows:
// "DezIsBusy-" + the upper-cased port name.
std::string PortLockName(const std::string& port);

}  // namespace vela::platform

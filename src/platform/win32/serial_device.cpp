// Serial devices on Windows: the communications API on a handle opened for
// overlapped transfers. Each transfer and each event wait has its own
// overlapped record and manual-reset completion event.
//
// Wine on a pseudo-terminal cannot wait for line events: every WaitCommEvent
// ends as aborted after a few milliseconds, and each one costs Wine a thread
// of its own (some 4 ms of processor time). A device that keeps answering so
// is watched by polling its queues instead (see PollEvents); no EV_RXFLAG or
// EV_RX80FULL is reported then.
#include "platform/serial_device.h"

#include <windows.h>

#include <cctype>
#include <string>

#include <atomic>
#include <mutex>

namespace vela::platform {

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;
// Event waits that ended as aborted without a stop request, in a row, after
// which the device's events are polled.
constexpr int kAbortsBeforePolling = 2;
// Pause between two looks at a polled device: the latency of a received byte.
constexpr DWORD kEventPollMs = 10;
constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;

// One overlapped request: zero-filled record and its completion event
// (manual reset, created signalled), freed on every path.
struct Overlapped {
  OVERLAPPED ov = {};
  Overlapped() { ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr); }
  ~Overlapped() {
    if (ov.hEvent) CloseHandle(ov.hEvent);
  }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
};

int LastError() { return static_cast<int>(GetLastError()); }

// One overlapped ReadFile or WriteFile (`io`), waited for: 0 with the bytes
// moved in `done`, or the error.
template <class Io>
int Transfer(HANDLE handle, Io io, DWORD& done) {
  Overlapped request;
  if (!request.ov.hEvent) return LastError();
  done = 0;
  if (!io(handle, &done, &request.ov) && GetLastError() != ERROR_IO_PENDING) return LastError();
  if (WaitForSingleObject(request.ov.hEvent, INFINITE) != WAIT_OBJECT_0) return LastError();
  if (!GetOverlappedResult(handle, &request.ov, &done, FALSE)) return LastError();
  return 0;
}

}  // namespace

struct SerialDevice::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE stop = nullptr;  // manual reset: once set, every wait ends
  std::mutex mutex;       // guards the fields below
  // Held by a read under "return at once" time-outs from the receive count
  // to its end, and by purges that clear the receive queue: bytes counted
  // must still be there when the read asks for them, or Wine keeps the read
  // pending (and no purge aborts it).
  std::mutex read_mutex;
  DeviceTimeouts timeouts;
  // Line errors taken by internal ClearCommError calls, kept for ClearErrors.
  DWORD kept_errors = 0;
  DWORD event_mask = 0;

  // Completed writes, for EV_TXEMPTY while events are polled.
  std::atomic<uint32_t> writes{0};
  // The waiting thread's own: the device cannot wait for events.
  int unexplained_aborts = 0;
  bool poll_events = false;
  uint32_t writes_seen = 0;
  bool modem_known = false;
  DWORD modem_status = 0;

  bool Stopped() { return WaitForSingleObject(stop, 0) == WAIT_OBJECT_0; }
  // Counts a wait that ended as aborted (`error` 995) although nobody asked
  // for it; after a few in a row the device's events are polled.
  void NoteWaitResult(DWORD error) {
    if (error == ERROR_OPERATION_ABORTED && !Stopped()) {
      if (++unexplained_aborts >= kAbortsBeforePolling) {
        poll_events = true;
        writes_seen = writes.load();
      }
    } else {
      unexplained_aborts = 0;
    }
  }
  SerialWait PollEvents(uint32_t& mask_out, int& error);

  bool ImmediateReads() {
    std::lock_guard<std::mutex> lock(mutex);
    return timeouts.read_interval == kMaxDword && timeouts.read_total_multiplier == 0 &&
           timeouts.read_total_constant == 0;
  }
  int QueueStatus(DWORD& errors, DWORD& in_queue) {
    COMSTAT stat = {};
    if (!ClearCommError(handle, &errors, &stat)) return LastError();
    in_queue = stat.cbInQue;
    return 0;
  }
};

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>()) {}

SerialDevice::~SerialDevice() {
  if (impl_->stop) {
    SetEvent(impl_->stop);
    CloseHandle(impl_->stop);
  }
  if (impl_->handle != INVALID_HANDLE_VALUE) CloseHandle(impl_->handle);
}

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& port, int& error) {
  const std::string path = SerialDevicePath(port);
  HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = LastError();
    return nullptr;
  }
  std::shared_ptr<SerialDevice> device(new SerialDevice());
  device->impl_->handle = handle;
  device->impl_->stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  error = 0;
  return device;
}

int SerialDevice::SetQueueSizes(uint32_t input, uint32_t output) {
  return SetupComm(impl_->handle, input, output) ? 0 : LastError();
}

int SerialDevice::SetControl(const DeviceControl& c) {
  DCB dcb = {};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = c.baud_rate;
  const uint32_t f = c.flags;
  dcb.fBinary = (f & kDcbBinary) ? 1 : 0;
  dcb.fParity = (f & kDcbParity) ? 1 : 0;
  dcb.fOutxCtsFlow = (f & kDcbOutxCtsFlow) ? 1 : 0;
  dcb.fOutxDsrFlow = (f & kDcbOutxDsrFlow) ? 1 : 0;
  dcb.fDtrControl = (f & kDcbDtrControlMask) >> 4;
  dcb.fDsrSensitivity = (f & kDcbDsrSensitivity) ? 1 : 0;
  dcb.fTXContinueOnXoff = (f & kDcbTxContinueOnXoff) ? 1 : 0;
  dcb.fOutX = (f & kDcbOutX) ? 1 : 0;
  dcb.fInX = (f & kDcbInX) ? 1 : 0;
  dcb.fErrorChar = (f & kDcbErrorChar) ? 1 : 0;
  dcb.fNull = (f & kDcbNull) ? 1 : 0;
  dcb.fRtsControl = (f & kDcbRtsControlMask) >> 12;
  dcb.XonLim = c.xon_limit;
  dcb.XoffLim = c.xoff_limit;
  dcb.ByteSize = c.byte_size;
  dcb.Parity = c.parity;
  dcb.StopBits = c.stop_bits;
  dcb.XonChar = c.xon_char;
  dcb.XoffChar = c.xoff_char;
  dcb.ErrorChar = c.error_char;
  dcb.EofChar = c.eof_char;
  dcb.EvtChar = c.event_char;
  return SetCommState(impl_->handle, &dcb) ? 0 : LastError();
}

int SerialDevice::SetTimeouts(const DeviceTimeouts& t) {
  COMMTIMEOUTS ct = {t.read_interval, t.read_total_multiplier, t.read_total_constant, t.write_total_multiplier,
                     t.write_total_constant};
  if (!SetCommTimeouts(impl_->handle, &ct)) return LastError();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->timeouts = t;
  return 0;
}

int SerialDevice::SetEventMask(uint32_t mask) {
  if (!SetCommMask(impl_->handle, mask)) return LastError();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->event_mask = mask;
  return 0;
}

// Looks at the queues every kEventPollMs until an event of the mask shows:
// bytes waiting (EV_RXCHAR, reported at each look while any remain), line
// errors (EV_ERR, EV_BREAK; kept for ClearErrors), the transmit queue empty
// after a write (EV_TXEMPTY) and changed modem signals where the device has
// them.
SerialWait SerialDevice::Impl::PollEvents(uint32_t& mask_out, int& error) {
  for (;;) {
    if (WaitForSingleObject(stop, kEventPollMs) != WAIT_TIMEOUT) return SerialWait::kStopped;
    DWORD wanted = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      wanted = event_mask;
    }
    COMSTAT stat = {};
    DWORD errors = 0;
    if (!ClearCommError(handle, &errors, &stat)) {
      error = LastError();
      return SerialWait::kFailed;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      kept_errors |= errors;
    }
    DWORD events = 0;
    if ((wanted & EV_RXCHAR) && stat.cbInQue > 0) events |= EV_RXCHAR;
    if ((wanted & EV_ERR) && (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY))) events |= EV_ERR;
    if ((wanted & EV_BREAK) && (errors & CE_BREAK)) events |= EV_BREAK;
    const uint32_t written = writes.load();
    if (written != writes_seen && stat.cbOutQue == 0) {
      writes_seen = written;
      if (wanted & EV_TXEMPTY) events |= EV_TXEMPTY;
    }
    DWORD status = 0;
    if ((wanted & kModemEvents) && GetCommModemStatus(handle, &status)) {
      const DWORD changed = modem_known ? (status ^ modem_status) : 0;
      modem_known = true;
      modem_status = status;
      if ((wanted & EV_CTS) && (changed & MS_CTS_ON)) events |= EV_CTS;
      if ((wanted & EV_DSR) && (changed & MS_DSR_ON)) events |= EV_DSR;
      if ((wanted & EV_RLSD) && (changed & MS_RLSD_ON)) events |= EV_RLSD;
      if ((wanted & EV_RING) && (changed & MS_RING_ON) && (status & MS_RING_ON)) events |= EV_RING;
    }
    if (events != 0) {
      mask_out = events;
      return SerialWait::kEvents;
    }
  }
}

SerialWait SerialDevice::WaitEvents(uint32_t& mask_out, int& error) {
  mask_out = 0;
  error = 0;
  if (impl_->Stopped()) return SerialWait::kStopped;
  if (impl_->poll_events) return impl_->PollEvents(mask_out, error);
  Overlapped request;
  DWORD mask = 0;
  if (!WaitCommEvent(impl_->handle, &mask, &request.ov)) {
    const DWORD e = GetLastError();
    if (e != ERROR_IO_PENDING) {
      impl_->NoteWaitResult(e);
      error = static_cast<int>(e);
      return SerialWait::kFailed;
    }
    HANDLE handles[2] = {impl_->stop, request.ov.hEvent};
    const DWORD r = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (r != WAIT_OBJECT_0 + 1) {
      // Stopped: end the pending wait before its record goes away.
      CancelIo(impl_->handle);
      DWORD ignored = 0;
      GetOverlappedResult(impl_->handle, &request.ov, &ignored, TRUE);
      return SerialWait::kStopped;
    }
    DWORD ignored = 0;
    if (!GetOverlappedResult(impl_->handle, &request.ov, &ignored, FALSE)) {
      const DWORD e = GetLastError();  // Wine on a pty: 995, every time
      impl_->NoteWaitResult(e);
      error = static_cast<int>(e);
      return SerialWait::kFailed;
    }
  }
  impl_->NoteWaitResult(0);
  mask_out = mask;
  return SerialWait::kEvents;
}

void SerialDevice::StopWaits() {
  if (impl_->stop) SetEvent(impl_->stop);
}

bool SerialDevice::SleepUnlessStopped(uint32_t ms) { return WaitForSingleObject(impl_->stop, ms) == WAIT_TIMEOUT; }

int SerialDevice::Write(const char* data, uint32_t size, uint32_t& written) {
  written = 0;
  if (size == 0) return 0;
  DWORD done = 0;
  const int error = Transfer(
      impl_->handle, [&](HANDLE h, DWORD* n, OVERLAPPED* ov) { return WriteFile(h, data, size, n, ov); }, done);
  if (error != 0) return error;
  written = done;
  impl_->writes.fetch_add(1);
  return 0;
}

int SerialDevice::Read(char* data, uint32_t size, uint32_t& read) {
  read = 0;
  if (size == 0) return 0;
  std::unique_lock<std::mutex> counted(impl_->read_mutex, std::defer_lock);
  if (impl_->ImmediateReads()) {
    counted.lock();
    // A read that is to return at once reads only what is waiting: Wine
    // leaves such a read pending on an empty pseudo-terminal.
    DWORD errors = 0, waiting = 0;
    if (int e = impl_->QueueStatus(errors, waiting)) return e;
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      impl_->kept_errors |= errors;
    }
    if (waiting == 0) return 0;
    if (waiting < size) size = waiting;
  }
  DWORD done = 0;
  const int error = Transfer(
      impl_->handle, [&](HANDLE h, DWORD* n, OVERLAPPED* ov) { return ReadFile(h, data, size, n, ov); }, done);
  if (error != 0) return error;
  read = done;
  return 0;
}

int SerialDevice::Purge(uint32_t flags) {
  // A purge that aborts reads must not wait for one.
  std::unique_lock<std::mutex> counted(impl_->read_mutex, std::defer_lock);
  if ((flags & PURGE_RXCLEAR) && !(flags & PURGE_RXABORT)) counted.lock();
  return PurgeComm(impl_->handle, flags) ? 0 : LastError();
}

int SerialDevice::ClearErrors(uint32_t& errors, uint32_t& input_count) {
  DWORD e = 0, waiting = 0;
  const int result = impl_->QueueStatus(e, waiting);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (result != 0) {
    errors = 0;
    input_count = 0;
    return result;
  }
  errors = e | impl_->kept_errors;
  impl_->kept_errors = 0;
  input_count = waiting;
  return 0;
}

int SerialDevice::InputCount(uint32_t& input_count) {
  DWORD e = 0, waiting = 0;
  input_count = 0;
  if (int result = impl_->QueueStatus(e, waiting)) return result;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->kept_errors |= e;
  input_count = waiting;
  return 0;
}

int SerialDevice::ModemStatus(uint32_t& status) {
  DWORD s = 0;
  status = 0;
  if (!GetCommModemStatus(impl_->handle, &s)) return LastError();
  status = s;
  return 0;
}

intptr_t SerialDevice::NativeHandle() const { return reinterpret_cast<intptr_t>(impl_->handle); }

std::string SerialDevicePath(const std::string& port) { return "\\\\.\\" + port; }

bool IsNoModemLinesError(int error) { return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION; }

int NotOpenError() { return ERROR_INVALID_HANDLE; }

// winerror.h of mingw lacks it (433: a device that does not exist was named).
constexpr int kErrorNoSuchDevice = 433;

bool IsDeviceLostError(int error) {
  // On a handle that is open, access denied is what USB serial drivers answer
  // once their device has been removed.
  return error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND || error == ERROR_GEN_FAILURE ||
         error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_DEVICE_REMOVED || error == kErrorNoSuchDevice;
}

std::string OpenErrorReason(int error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "no such port";
    case ERROR_ACCESS_DENIED:
      return "access denied: another program holds the port";
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return "device busy: another program holds it";
    case ERROR_INVALID_NAME:
      return "invalid port name";
    case ERROR_DEVICE_NOT_CONNECTED:
    case kErrorNoSuchDevice:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:
      return "device not connected (unplugged, or not ready yet)";
    case ERROR_SEM_TIMEOUT:
      return "the device does not respond";
    default:
      return "system error " + std::to_string(error);
  }
}

std::string PortLockName(const std::string& port) {
  // Semaphore names may not contain '\\' (the namespace separator).
  std::string name = "DezIsBusy-";
  const std::string device = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
  for (char c : device) {
    name += c == '\\' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return name;
}

}  // namespace vela::platform

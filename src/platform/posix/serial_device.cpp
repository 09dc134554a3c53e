// Serial devices on POSIX: a tty in raw mode behind the Win32-style device
// operations. Transfers honour the COMMTIMEOUTS rules with poll(); the event
// wait watches the device and a stop pipe, and emulates the Win32 events:
// EV_RXCHAR when new bytes arrived since the last report (or since the last
// read), EV_TXEMPTY when the output queue drained after a write, and line
// changes, breaks, rings and errors from the driver's interrupt counters.
#include "platform/serial_device.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/posix/wake_fd.h"

namespace vela::platform {
namespace posix {
int SetArbitraryRate(int fd, uint32_t rate);  // serial_rate_linux.cpp
}

namespace {

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;
// Events that only the driver's interrupt counters reveal.
constexpr uint32_t kCounterEvents = kEvCts | kEvDsr | kEvRlsd | kEvBreak | kEvErr | kEvRing;
// How often line states are looked at while bytes sit unread or output drains.
constexpr int kRecheckMs = 10;
// How often the interrupt counters are looked at while counter events are wanted.
constexpr int kCounterPollMs = 50;

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits up to `timeout` ms (-1: no limit) until the device at `fd` is ready
// for `events` or the abort is signalled: 0 when ready or the time is up,
// ECANCELED on the abort, EIO when the device reports one of `failed`
// without `events`, else the poll error.
int AwaitDevice(int fd, int events, int failed, const posix::WakeFd& abort, int timeout) {
  pollfd fds[2] = {{fd, static_cast<short>(events), 0}, {abort.ReadFd(), POLLIN, 0}};
  if (posix::PollRetry(fds, 2, timeout) < 0) return errno;
  if (fds[1].revents & POLLIN) return ECANCELED;
  if ((fds[0].revents & failed) && !(fds[0].revents & events)) return EIO;
  return 0;
}

// The flags of the line counters (TIOCGICOUNT) that moved from `base` to `now`.
struct CounterFlag {
  int serial_icounter_struct::*counter;
  uint32_t flag;
};
constexpr CounterFlag kLineCounters[] = {{&serial_icounter_struct::cts, kEvCts},
                                         {&serial_icounter_struct::dsr, kEvDsr},
                                         {&serial_icounter_struct::dcd, kEvRlsd},
                                         {&serial_icounter_struct::rng, kEvRing},
                                         {&serial_icounter_struct::brk, kEvBreak}};
// Line errors as ClearCommError reports them (a break, too, is an event).
constexpr CounterFlag kErrorCounters[] = {{&serial_icounter_struct::buf_overrun, kCeRxOver},
                                          {&serial_icounter_struct::overrun, kCeOverrun},
                                          {&serial_icounter_struct::parity, kCeRxParity},
                                          {&serial_icounter_struct::frame, kCeFrame},
                                          {&serial_icounter_struct::brk, kCeBreak}};

template <size_t N>
uint32_t ChangedCounters(const serial_icounter_struct& now, const serial_icounter_struct& base,
                         const CounterFlag (&flags)[N]) {
  uint32_t changed = 0;
  for (const CounterFlag& f : flags) {
    if (now.*f.counter != base.*f.counter) changed |= f.flag;
  }
  return changed;
}

int ClampTimeout(int64_t ms) {
  if (ms < 0) return 0;
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

speed_t SpeedConstant(uint32_t rate) {
  switch (rate) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
#ifdef B460800
    case 460800:
      return B460800;
#endif
#ifdef B921600
    case 921600:
      return B921600;
#endif
    default:
      return B0;  // not a constant: set through termios2
  }
}

void MakeRaw(termios& t) {
  // No echo, no canonical mode, no CR/LF translation, no signals: a pty
  // otherwise keeps whatever its last opener set.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                                      INPCK | IGNPAR);
#ifdef IUCLC
  t.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

// Modem-control line changes that fail because the device has no lines.
int SetModemLine(int fd, int line, bool on) {
  if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return 0;
  return IsNoModemLinesError(errno) ? 0 : errno;
}

}  // namespace

struct SerialDevice::Impl {
  int fd = -1;
  posix::WakeFd stop;  // readable once StopWaits was called
  std::atomic<bool> stopped{false};
  posix::WakeFd wake;  // wakes the event wait: mask changed, output started
  std::atomic<uint32_t> event_mask{0};
  std::atomic<uint64_t> read_generation{0};
  std::atomic<bool> tx_pending{false};

  std::mutex mutex;  // guards timeouts, abort, error counters
  DeviceTimeouts timeouts;
  // Signalled and replaced by an aborting purge; each transfer watches the
  // token that was current when it started.
  std::shared_ptr<posix::WakeFd> abort = std::make_shared<posix::WakeFd>();
  bool counters_ok = false;
  serial_icounter_struct error_base{};  // counters at the last ClearErrors

  // Event-wait thread only.
  uint32_t rx_seen = 0;
  uint64_t rx_generation_seen = 0;
  serial_icounter_struct event_base{};

  std::shared_ptr<posix::WakeFd> AbortToken() {
    std::lock_guard<std::mutex> lock(mutex);
    return abort;
  }
  DeviceTimeouts Timeouts() {
    std::lock_guard<std::mutex> lock(mutex);
    return timeouts;
  }
  bool Counters(serial_icounter_struct& c) const { return ::ioctl(fd, TIOCGICOUNT, &c) == 0; }
};

SerialDevice::SerialDevice() : impl_(std::make_unique<Impl>()) {}

SerialDevice::~SerialDevice() {
  impl_->AbortToken()->Signal();
  StopWaits();
  if (impl_->fd >= 0) {
    ::ioctl(impl_->fd, TIOCNXCL);
    ::close(impl_->fd);
  }
}

std::shared_ptr<SerialDevice> SerialDevice::Open(const std::string& port, int& error) {
  const std::string path = SerialDevicePath(port);
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  termios t;
  if (::tcgetattr(fd, &t) != 0) {
    error = errno;  // ENOTTY: not a terminal device
    ::close(fd);
    return nullptr;
  }
  // Not shared: later opens fail with EBUSY while we hold the device.
  // TIOCEXCL does not stop a privileged opener, so an flock on the device
  // (shared by every program that locks serial devices this way) backs it up.
  if (::ioctl(fd, TIOCEXCL) != 0) {
    error = errno;
    ::close(fd);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = (errno == EWOULDBLOCK) ? EBUSY : errno;
    ::close(fd);
    return nullptr;
  }
  MakeRaw(t);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    error = errno;
    ::close(fd);
    return nullptr;
  }
  std::shared_ptr<SerialDevice> device(new SerialDevice());
  device->impl_->fd = fd;
  serial_icounter_struct c{};
  if (device->impl_->Counters(c)) {
    device->impl_->counters_ok = true;
    device->impl_->error_base = c;
    device->impl_->event_base = c;
  }
  error = 0;
  return device;
}

int SerialDevice::SetQueueSizes(uint32_t input, uint32_t output) {
  // The tty layer sizes its own queues; the request is accepted as a hint.
  (void)input;
  (void)output;
  return 0;
}

int SerialDevice::SetControl(const DeviceControl& c) {
  const int fd = impl_->fd;
  if (c.baud_rate == 0 || c.byte_size < 5 || c.byte_size > 8 || c.parity > 4 || c.stop_bits > 2) return EINVAL;
  termios t;
  if (::tcgetattr(fd, &t) != 0) return errno;
  MakeRaw(t);

  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
  t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[c.byte_size - 5];
  switch (c.parity) {
    case 1:
      t.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      t.c_cflag |= PARENB;
      break;
#ifdef CMSPAR
    case 3:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case 4:
      t.c_cflag |= PARENB | CMSPAR;
      break;
#else
    case 3:
    case 4:
      return EINVAL;
#endif
    default:
      break;
  }
  if (c.stop_bits != 0) t.c_cflag |= CSTOPB;  // POSIX has no 1.5: two stop bits
  if (c.flags & kDcbParity) t.c_iflag |= INPCK;
  const uint32_t rts = c.flags & kDcbRtsControlMask;
  if ((c.flags & kDcbOutxCtsFlow) || rts == kDcbRtsHandshake) t.c_cflag |= CRTSCTS;
  if (c.flags & kDcbOutX) t.c_iflag |= IXON;
  if (c.flags & kDcbInX) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(c.xon_char);
  t.c_cc[VSTOP] = static_cast<cc_t>(c.xoff_char);

  const speed_t speed = SpeedConstant(c.baud_rate);
  if (speed != B0) {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
  }
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return errno;
  if (speed == B0) {
    if (int e = posix::SetArbitraryRate(fd, c.baud_rate)) return e;
  }

  const uint32_t dtr = c.flags & kDcbDtrControlMask;
  if (dtr != kDcbDtrHandshake) {
    if (int e = SetModemLine(fd, TIOCM_DTR, dtr == kDcbDtrEnable)) return e;
  }
  if (rts != kDcbRtsHandshake) {
    if (int e = SetModemLine(fd, TIOCM_RTS, rts == kDcbRtsEnable)) return e;
  }
  return 0;
}

int SerialDevice::SetTimeouts(const DeviceTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->timeouts = timeouts;
  return 0;
}

int SerialDevice::SetEventMask(uint32_t mask) {
  impl_->event_mask.store(mask);
  impl_->wake.Signal();
  return 0;
}

SerialWait SerialDevice::WaitEvents(uint32_t& mask_out, int& error) {
  Impl& d = *impl_;
  mask_out = 0;
  error = 0;
  for (;;) {
    if (d.stopped.load()) return SerialWait::kStopped;
    d.wake.Drain();  // anything signalled from here on is seen by the poll below
    const uint32_t mask = d.event_mask.load();
    uint32_t found = 0;
    int timeout = -1;
    bool watch_input = false;

    if (mask & kEvRxChar) {
      int waiting = 0;
      if (::ioctl(d.fd, FIONREAD, &waiting) != 0) {
        error = errno;
        return SerialWait::kFailed;
      }
      const uint64_t generation = d.read_generation.load();
      const uint32_t n = static_cast<uint32_t>(waiting);
      if (n == 0) {
        d.rx_seen = 0;
        watch_input = true;
      } else if (n != d.rx_seen || generation != d.rx_generation_seen) {
        found |= kEvRxChar;
        d.rx_seen = n;
        d.rx_generation_seen = generation;
      } else {
        // Bytes wait unread: a tty cannot signal "more bytes", so look again soon.
        timeout = kRecheckMs;
      }
    }
    if ((mask & kEvTxEmpty) && d.tx_pending.load()) {
      int queued = 0;
      if (::ioctl(d.fd, TIOCOUTQ, &queued) != 0 || queued == 0) {
        found |= kEvTxEmpty;
        d.tx_pending.store(false);
      } else {
        timeout = timeout < 0 ? kRecheckMs : std::min(timeout, kRecheckMs);
      }
    }
    serial_icounter_struct now{};
    if ((mask & kCounterEvents) && d.counters_ok && d.Counters(now)) {
      found |= ChangedCounters(now, d.event_base, kLineCounters);
      if (ChangedCounters(now, d.event_base, kErrorCounters) & ~kCeBreak) found |= kEvErr;
      d.event_base = now;
      timeout = timeout < 0 ? kCounterPollMs : std::min(timeout, kCounterPollMs);
    }
    found &= mask;
    if (found != 0) {
      mask_out = found;
      return SerialWait::kEvents;
    }

    pollfd fds[3] = {{d.stop.ReadFd(), POLLIN, 0}, {d.wake.ReadFd(), POLLIN, 0}, {d.fd, POLLIN, 0}};
    const nfds_t count = watch_input ? 3 : 2;
    if (posix::PollRetry(fds, count, timeout) < 0) {
      error = errno;
      return SerialWait::kFailed;
    }
    // A hang-up with nothing left to read: the device has gone (USB adapter
    // pulled, the far side of a pseudo-terminal closed). It would report
    // POLLHUP without end, so the wait fails as a lost device.
    if (count == 3 && (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds[2].revents & POLLIN)) {
      error = EIO;
      return SerialWait::kFailed;
    }
    if (fds[1].revents & POLLIN) {
      // SetCommMask(0) completes a pending wait with an empty mask.
      if (mask != 0 && d.event_mask.load() == 0) return SerialWait::kEvents;
    }
  }
}

void SerialDevice::StopWaits() {
  impl_->stopped.store(true);
  impl_->stop.Signal();
}

bool SerialDevice::SleepUnlessStopped(uint32_t ms) {
  if (impl_->stopped.load()) return false;
  pollfd fd{impl_->stop.ReadFd(), POLLIN, 0};
  posix::PollRetry(&fd, 1, ClampTimeout(ms));
  return !impl_->stopped.load();
}

int SerialDevice::Write(const char* data, uint32_t size, uint32_t& written) {
  Impl& d = *impl_;
  written = 0;
  if (size == 0) return 0;
  const DeviceTimeouts t = d.Timeouts();
  const auto abort = d.AbortToken();
  const uint64_t total = static_cast<uint64_t>(t.write_total_multiplier) * size + t.write_total_constant;
  const int64_t deadline = NowMs() + static_cast<int64_t>(std::min<uint64_t>(total, 0x7FFFFFFFFFFFull));
  int result = 0;
  while (written < size) {
    ssize_t r = ::write(d.fd, data + written, size - written);
    if (r > 0) {
      written += static_cast<uint32_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      result = errno;
      break;
    }
    int timeout = -1;
    if (total != 0) {
      timeout = ClampTimeout(deadline - NowMs());
      if (timeout == 0) break;  // time-out: completes with the bytes written so far
    }
    result = AwaitDevice(d.fd, POLLOUT, POLLERR | POLLNVAL, *abort, timeout);
    if (result != 0) break;
  }
  if (written > 0) {
    d.tx_pending.store(true);
    d.wake.Signal();
  }
  return result;
}

int SerialDevice::Read(char* data, uint32_t size, uint32_t& read) {
  Impl& d = *impl_;
  read = 0;
  if (size == 0) return 0;
  const DeviceTimeouts t = d.Timeouts();
  const auto abort = d.AbortToken();
  // COMMTIMEOUTS rules: interval MAXDWORD with zero totals returns at once;
  // interval and multiplier MAXDWORD with a constant waits for the first
  // byte up to the constant; otherwise total = multiplier * size + constant
  // (0: none) and the interval limits the gap between bytes (0: none).
  const bool immediate = t.read_interval == kMaxDword && t.read_total_multiplier == 0 && t.read_total_constant == 0;
  const bool first_byte = t.read_interval == kMaxDword && t.read_total_multiplier == kMaxDword &&
                          t.read_total_constant > 0 && t.read_total_constant < kMaxDword;
  const uint64_t total = first_byte ? t.read_total_constant
                                    : static_cast<uint64_t>(t.read_total_multiplier) * size + t.read_total_constant;
  const uint32_t interval = (t.read_interval == kMaxDword) ? 0 : t.read_interval;
  const int64_t start = NowMs();
  const int64_t deadline = start + static_cast<int64_t>(std::min<uint64_t>(total, 0x7FFFFFFFFFFFull));
  int64_t last_byte = start;
  int result = 0;
  while (read < size) {
    ssize_t r = ::read(d.fd, data + read, size - read);
    if (r > 0) {
      read += static_cast<uint32_t>(r);
      last_byte = NowMs();
      if (first_byte) break;
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      result = errno;
      break;
    }
    if (immediate) break;
    int timeout = -1;
    if (total != 0) {
      timeout = ClampTimeout(deadline - NowMs());
      if (timeout == 0) break;
    }
    if (interval != 0 && read > 0) {
      const int gap = ClampTimeout(last_byte + interval - NowMs());
      if (gap == 0) break;
      timeout = timeout < 0 ? gap : std::min(timeout, gap);
    }
    result = AwaitDevice(d.fd, POLLIN, POLLHUP | POLLERR | POLLNVAL, *abort, timeout);
    if (result != 0) break;
  }
  if (read > 0) d.read_generation.fetch_add(1);
  return result;
}

int SerialDevice::Purge(uint32_t flags) {
  Impl& d = *impl_;
  if (flags & (kPurgeTxAbort | kPurgeRxAbort)) {
    std::shared_ptr<posix::WakeFd> old;
    {
      std::lock_guard<std::mutex> lock(d.mutex);
      old = d.abort;
      d.abort = std::make_shared<posix::WakeFd>();
    }
    old->Signal();
  }
  const bool input = (flags & kPurgeRxClear) != 0, output = (flags & kPurgeTxClear) != 0;
  if (input || output) {
    if (::tcflush(d.fd, input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH) != 0) return errno;
  }
  return 0;
}

int SerialDevice::ClearErrors(uint32_t& errors, uint32_t& input_count) {
  Impl& d = *impl_;
  errors = 0;
  input_count = 0;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    serial_icounter_struct now{};
    if (d.counters_ok && d.Counters(now)) {
      errors |= ChangedCounters(now, d.error_base, kErrorCounters);
      d.error_base = now;
    }
  }
  return InputCount(input_count);
}

int SerialDevice::InputCount(uint32_t& input_count) {
  int waiting = 0;
  if (::ioctl(impl_->fd, FIONREAD, &waiting) != 0) {
    input_count = 0;
    return errno;
  }
  input_count = static_cast<uint32_t>(waiting);
  return 0;
}

int SerialDevice::ModemStatus(uint32_t& status) {
  status = 0;
  int lines = 0;
  if (::ioctl(impl_->fd, TIOCMGET, &lines) != 0) return errno;
  if (lines & TIOCM_CTS) status |= kMsCtsOn;
  if (lines & TIOCM_DSR) status |= kMsDsrOn;
  if (lines & TIOCM_RNG) status |= kMsRingOn;
  if (lines & TIOCM_CAR) status |= kMsRlsdOn;
  return 0;
}

intptr_t SerialDevice::NativeHandle() const { return impl_->fd; }

std::string SerialDevicePath(const std::string& port) {
  if (port.find('/') != std::string::npos) return port;
  if (port.size() > 3 && (port[0] == 'C' || port[0] == 'c') && (port[1] == 'O' || port[1] == 'o') &&
      (port[2] == 'M' || port[2] == 'm')) {
    const std::string digits = port.substr(3);
    if (digits.size() <= 9 && std::all_of(digits.begin(), digits.end(),
                                          [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)) != 0; })) {
      const long n = std::stol(digits);
      if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
  }
  return "/dev/" + port;
}

bool IsNoModemLinesError(int error) { return error == ENOTTY || error == EINVAL || error == ENOTSUP; }

int NotOpenError() { return EBADF; }

bool IsDeviceLostError(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

std::string OpenErrorReason(int error) {
  // The errors an open meets most, two to a reason.
  static const struct {
    int errors[2];
    const char* reason;
  } kReasons[] = {
      {{ENOENT, ENOTDIR}, "no such file"},
      {{ENXIO, ENODEV}, "no such device (unplugged, or not ready yet)"},
      {{EACCES, EPERM}, "permission denied: add yourself to the dialout group"},
      {{EBUSY, EAGAIN}, "device busy: another program (e.g. ModemManager) holds it"},
      {{ENOTTY, EISDIR}, "not a serial device"},
      {{EIO, EIO}, "input/output error (the device is failing or was unplugged)"},
      {{ELOOP, ENAMETOOLONG}, "invalid device path"},
  };
  for (const auto& r : kReasons) {
    if (error == r.errors[0] || error == r.errors[1]) return r.reason;
  }
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string PortLockName(const std::string& port) {
  std::string path = SerialDevicePath(port);
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    path = resolved;
    std::free(resolved);
  }
  std::string name = "port-";
  for (char c : path) name += (c == '/' || c == '\0') ? '_' : c;
  return name;
}

}  // namespace vela::platform

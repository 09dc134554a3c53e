// POSIX serial devices: port-name mapping, read time-outs, event waits and
// their stop, aborting purge, rates termios lacks.
#include "platform/serial_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/sync.h"

namespace vela::platform {
namespace {

using Clock = std::chrono::steady_clock;

TEST(SerialDevicePath, MapsNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"COM1", "/dev/ttyS0"},       {"COM10", "/dev/ttyS9"}, {"com3", "/dev/ttyS2"},  {"COM0", "/dev/COM0"},
      {"COM", "/dev/COM"},          {"COMx", "/dev/COMx"},   {"COM1a", "/dev/COM1a"}, {"ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/pts/7", "/dev/pts/7"}, {"./link", "./link"},    {"pts/2", "pts/2"},
  };
  for (const auto& c : cases) EXPECT_EQ(SerialDevicePath(c.first), c.second) << c.first;
}

struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return;
    slave = ::ptsname(master);
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
};

DeviceTimeouts Immediate() {
  DeviceTimeouts t;
  t.read_interval = 0xFFFFFFFFu;
  t.write_total_multiplier = 100;
  t.write_total_constant = 1000;
  return t;
}

TEST(PosixSerialDevice, RegularFileIsNoDevice) {
  char path[] = "/tmp/vela-serial-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  int error = 0;
  EXPECT_FALSE(SerialDevice::Open(path, error));
  EXPECT_EQ(error, ENOTTY);
  ::close(fd);
  ::unlink(path);
}

TEST(PosixSerialDevice, ReadTimeoutRules) {
  Pty pty;
  int error = 0;
  auto device = SerialDevice::Open(pty.slave, error);
  ASSERT_TRUE(device);
  char buf[64];
  uint32_t read = 99;

  // Immediate: empty port returns at once with nothing.
  ASSERT_EQ(device->SetTimeouts(Immediate()), 0);
  auto start = Clock::now();
  EXPECT_EQ(device->Read(buf, 64, read), 0);
  EXPECT_EQ(read, 0u);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));

  // Total time-out: 0 * n + 80 ms, then the bytes so far.
  DeviceTimeouts total;
  total.read_total_constant = 80;
  ASSERT_EQ(device->SetTimeouts(total), 0);
  start = Clock::now();
  EXPECT_EQ(device->Read(buf, 64, read), 0);
  EXPECT_EQ(read, 0u);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(70));

  // Wait for the first byte (MAXDWORD interval and multiplier).
  DeviceTimeouts first;
  first.read_interval = 0xFFFFFFFFu;
  first.read_total_multiplier = 0xFFFFFFFFu;
  first.read_total_constant = 5000;
  ASSERT_EQ(device->SetTimeouts(first), 0);
  std::thread writer([&] {
    SleepMs(40);
    (void)!::write(pty.master, "xyz", 3);
  });
  start = Clock::now();
  EXPECT_EQ(device->Read(buf, 64, read), 0);
  writer.join();
  EXPECT_GE(read, 1u);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

TEST(PosixSerialDevice, EventWaitReportsReceivedBytesOnceAndStops) {
  Pty pty;
  int error = 0;
  auto device = SerialDevice::Open(pty.slave, error);
  ASSERT_TRUE(device);
  ASSERT_EQ(device->SetTimeouts(Immediate()), 0);
  ASSERT_EQ(device->SetEventMask(kEvRxChar | kEvTxEmpty), 0);

  std::thread writer([&] {
    SleepMs(30);
    (void)!::write(pty.master, "abc", 3);
  });
  uint32_t mask = 0;
  EXPECT_EQ(device->WaitEvents(mask, error), SerialWait::kEvents);
  EXPECT_EQ(mask, kEvRxChar);
  writer.join();

  // The bytes stay unread: no second report until something changes; the
  // waiting thread is ended by StopWaits.
  std::thread stopper([&] {
    SleepMs(80);
    device->StopWaits();
  });
  const auto start = Clock::now();
  EXPECT_EQ(device->WaitEvents(mask, error), SerialWait::kStopped);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));
  stopper.join();
  EXPECT_FALSE(device->SleepUnlessStopped(1000));
}

TEST(PosixSerialDevice, ClearMaskEndsWait) {
  Pty pty;
  int error = 0;
  auto device = SerialDevice::Open(pty.slave, error);
  ASSERT_TRUE(device);
  ASSERT_EQ(device->SetEventMask(kEvRxChar), 0);
  std::thread clearer([&] {
    SleepMs(30);
    device->SetEventMask(0);
  });
  uint32_t mask = 1;
  EXPECT_EQ(device->WaitEvents(mask, error), SerialWait::kEvents);
  EXPECT_EQ(mask, 0u);
  clearer.join();
}

TEST(PosixSerialDevice, AbortingPurgeEndsBlockedRead) {
  Pty pty;
  int error = 0;
  auto device = SerialDevice::Open(pty.slave, error);
  ASSERT_TRUE(device);
  DeviceTimeouts forever;  // all zero: wait for the full count
  ASSERT_EQ(device->SetTimeouts(forever), 0);
  std::thread purger([&] {
    SleepMs(50);
    device->Purge(kPurgeRxAbort);
  });
  char buf[8];
  uint32_t read = 0;
  EXPECT_EQ(device->Read(buf, 8, read), ECANCELED);
  purger.join();
  // A later read is not affected by the old abort.
  ASSERT_EQ(device->SetTimeouts(Immediate()), 0);
  EXPECT_EQ(device->Read(buf, 8, read), 0);
}

TEST(PosixSerialDevice, ControlRecordAcceptedIncludingOddRates) {
  Pty pty;
  int error = 0;
  auto device = SerialDevice::Open(pty.slave, error);
  ASSERT_TRUE(device);
  DeviceControl dcb;
  dcb.flags = kDcbBinary | kDcbRtsEnable;
  dcb.xon_char = 17;
  dcb.xoff_char = 19;
  for (uint32_t rate : {9600u, 115200u, 14400u, 56000u, 128000u, 256000u, 31250u}) {
    dcb.baud_rate = rate;
    EXPECT_EQ(device->SetControl(dcb), 0) << rate;
  }
  dcb.baud_rate = 0;
  EXPECT_EQ(device->SetControl(dcb), EINVAL);
}

TEST(PosixOpenErrors, ReasonNamesWhatTheUserCanDo) {
  const std::pair<int, const char*> cases[] = {
      {ENOENT, "no such file"},
      {ENOTDIR, "no such file"},
      {EACCES, "permission denied: add yourself to the dialout group"},
      {EPERM, "permission denied: add yourself to the dialout group"},
      {EBUSY, "device busy: another program (e.g. ModemManager) holds it"},
      {EAGAIN, "device busy: another program (e.g. ModemManager) holds it"},
      {ENOTTY, "not a serial device"},
      {ENXIO, "no such device (unplugged, or not ready yet)"},
      {ENODEV, "no such device (unplugged, or not ready yet)"},
  };
  for (const auto& [error, reason] : cases) EXPECT_EQ(OpenErrorReason(error), reason) << error;
  // Anything else: the system's own words, never empty.
  EXPECT_FALSE(OpenErrorReason(EMFILE).empty());
  EXPECT_FALSE(OpenErrorReason(123456).empty());
}

TEST(PosixOpenErrors, RealFailuresGiveTheirReason) {
  int error = 0;
  EXPECT_EQ(SerialDevice::Open("/dev/vela-no-such-device", error), nullptr);
  EXPECT_EQ(OpenErrorReason(error), "no such file");
  // A regular file is no serial device.
  char path[] = "/tmp/vela-not-a-tty-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(SerialDevice::Open(path, error), nullptr);
  EXPECT_EQ(OpenErrorReason(error), "not a serial device");
  // Without permission (root is never refused, so only for other users).
  if (::geteuid() != 0) {
    ::chmod(path, 0);
    EXPECT_EQ(SerialDevice::Open(path, error), nullptr);
    EXPECT_EQ(OpenErrorReason(error), "permission denied: add yourself to the dialout group");
  }
  ::unlink(path);
  // A device another program holds.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string slave = ::ptsname(master);
  auto first = SerialDevice::Open(slave, error);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(SerialDevice::Open(slave, error), nullptr);
  EXPECT_EQ(OpenErrorReason(error), "device busy: another program (e.g. ModemManager) holds it");
  first.reset();
  ::close(master);
}

TEST(PosixOpenErrors, LostDeviceErrors) {
  for (int e : {EIO, ENXIO, ENODEV}) EXPECT_TRUE(IsDeviceLostError(e)) << e;
  for (int e : {0, EAGAIN, EINTR, EBADF, ECANCELED, ENOENT}) EXPECT_FALSE(IsDeviceLostError(e)) << e;
}

TEST(PosixPortLock, NameFollowsTheCanonicalDevice) {
  EXPECT_EQ(PortLockName("/dev/vela-absent"), "port-_dev_vela-absent");  // unresolved: as given
  EXPECT_EQ(PortLockName("COM1"), PortLockName("/dev/ttyS0"));
  const std::string link = "/tmp/vela-lockname-" + std::to_string(::getpid());
  ::unlink(link.c_str());
  ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0);
  EXPECT_EQ(PortLockName(link), "port-_dev_null");
  ::unlink(link.c_str());
  // Distinct devices, distinct locks that exclude each other only per device.
  MachineLock a(PortLockName("/dev/vela-a")), a2(PortLockName("/dev/vela-a")), b(PortLockName("/dev/vela-b"));
  ASSERT_TRUE(a.TryAcquire(1000));
  EXPECT_TRUE(b.TryAcquire(100));
  EXPECT_FALSE(a2.TryAcquire(100));
  a.Release();
  b.Release();
}

}  // namespace
}  // namespace vela::platform

// TComPort on real pseudo-terminals: the test holds the master side and
// plays the modem; the component opens the slave.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <memory>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_target.h"
#include "pump.h"
#include "platform/sync.h"
#include "transport/com_port.h"

namespace vela {
namespace {

using Clock = std::chrono::steady_clock;
using platform::SleepMs;

struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0) slave = ::ptsname(master);
  }
  ~Pty() {
    if (master >= 0) ::close(master);
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), (ssize_t)bytes.size());
  }
  // Writes one byte at a time with a pause, as a slow modem would.
  void Dribble(const std::string& bytes, uint32_t gap_ms) {
    for (char c : bytes) {
      (void)!::write(master, &c, 1);
      SleepMs(gap_ms);
    }
  }
  std::string Read(size_t want, int timeout_ms = 3000) {
    std::string got;
    const auto limit = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < want && Clock::now() < limit) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 20) == 1) {
        char buf[256];
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
      }
    }
    return got;
  }
};

using test::PumpUntil;

bool WaitUntil(const std::function<bool()>& done, int timeout_ms = 5000) {
  const auto limit = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (Clock::now() >= limit) return false;
    SleepMs(2);
  }
  return true;
}

void ConfigureLikeChannel(TComPort& port, const std::string& device) {
  port.Parity().SetBits(prNone);
  port.SetStopBits(sbOneStopBit);
  port.SetDataBits(dbEight);
  port.SetEvents(TComEvents{evRxChar, evTxEmpty});
  port.Buffer().SetInputSize(4096);
  port.Buffer().SetOutputSize(2048);
  port.FlowControl().SetControlDTR(dtrDisable);
  port.FlowControl().SetControlRTS(rtsEnable);
  port.SetSyncMethod(smWindowSync);
  port.SetPort(device);
}

// Records the handler calls of a port as short texts.
struct Recorder {
  std::vector<std::string> calls;
  std::string received;
  std::vector<int32_t> counts;
  std::vector<std::thread::id> rx_threads;
  bool connected_in_before_close = false, connected_in_after_close = true;
  bool connected_in_after_open = false;

  void Attach(TComPort& port) {
    port.OnBeforeOpen = [this](TComPort&) { calls.push_back("BeforeOpen"); };
    port.OnAfterOpen = [this](TComPort& p) {
      connected_in_after_open = p.Connected();
      calls.push_back("AfterOpen");
    };
    port.OnBeforeClose = [this](TComPort& p) {
      connected_in_before_close = p.Connected();
      calls.push_back("BeforeClose");
    };
    port.OnAfterClose = [this](TComPort& p) {
      connected_in_after_close = p.Connected();
      calls.push_back("AfterClose");
    };
    port.OnCTSChange = [this](TComPort&, bool on) { calls.push_back(on ? "CTS:1" : "CTS:0"); };
    port.OnDSRChange = [this](TComPort&, bool on) { calls.push_back(on ? "DSR:1" : "DSR:0"); };
    port.OnRLSDChange = [this](TComPort&, bool on) { calls.push_back(on ? "RLSD:1" : "RLSD:0"); };
    port.OnRxChar = [this](TComPort& p, int32_t count) {
      counts.push_back(count);
      rx_threads.push_back(std::this_thread::get_id());
      ByteString text;
      const int32_t n = p.ReadString(text, count);
      EXPECT_EQ(n, count);
      EXPECT_EQ(text.size(), static_cast<size_t>(n));
      received += text;
    };
  }
};

TEST(ComPortPty, OpenAndCloseCallHandlersInOrder) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  Recorder r;
  r.Attach(port);
  port.OpenPort();
  EXPECT_TRUE(port.Connected());
  EXPECT_TRUE(r.connected_in_after_open);
  // A pty has no modem lines: every signal reads off.
  EXPECT_EQ(r.calls, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS:0", "DSR:0", "RLSD:0"}));
  EXPECT_TRUE(port.LineSignals().Empty());

  r.calls.clear();
  port.OpenPort();  // already open: nothing
  EXPECT_TRUE(r.calls.empty());

  port.ClosePort();
  EXPECT_EQ(r.calls, (std::vector<std::string>{"CTS:0", "DSR:0", "RLSD:0", "BeforeClose", "AfterClose"}));
  EXPECT_TRUE(r.connected_in_before_close);
  EXPECT_FALSE(r.connected_in_after_close);
  EXPECT_FALSE(port.Connected());
  r.calls.clear();
  port.ClosePort();
  EXPECT_TRUE(r.calls.empty());
}

TEST(ComPortPty, BytesDribbledByTheModemReachOnRxCharOnOpeningThread) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  Recorder r;
  r.Attach(port);
  port.OpenPort();
  const std::string message = "\r\n+CMT: ,24\r\n07911326040000F0\r\n";
  std::thread modem([&] { pty.Dribble(message, 2); });
  EXPECT_TRUE(PumpUntil([&] { return r.received.size() >= message.size(); }));
  modem.join();
  EXPECT_EQ(r.received, message);  // raw: no CR/LF translation, nothing lost
  int32_t total = 0;
  for (int32_t c : r.counts) {
    EXPECT_GT(c, 0);
    total += c;
  }
  EXPECT_EQ(total, static_cast<int32_t>(message.size()));
  for (auto id : r.rx_threads) EXPECT_EQ(id, std::this_thread::get_id());
  port.ClosePort();
}

TEST(ComPortPty, WritesArriveAndNothingIsEchoed) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  port.OpenPort();
  EXPECT_EQ(port.WriteString("ATZ\r\r"), 5);
  EXPECT_EQ(pty.Read(5), "ATZ\r\r");
  pty.Write("OK\r\n");
  EXPECT_EQ(pty.Read(1, 100), "");  // the slave does not echo
  port.ClosePort();
}

TEST(ComPortPty, ReadStringReturnsWhatIsWaitingWithoutBlocking) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  port.SetEvents(TComEvents{});  // no event thread: the test reads itself
  port.OpenPort();
  ByteString text = "stale";
  auto start = Clock::now();
  EXPECT_EQ(port.ReadString(text, 2048), 0);
  EXPECT_TRUE(text.empty());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));

  pty.Write("12345");
  ASSERT_TRUE(WaitUntil([&] { return port.PendingInputCount() == 5; }));
  start = Clock::now();
  EXPECT_EQ(port.ReadString(text, 2048), 5);
  EXPECT_EQ(text, "12345");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  port.ClosePort();
}

TEST(ComPortPty, PurgeDiscardsReceivedBytes) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  port.SetEvents(TComEvents{});
  port.OpenPort();
  pty.Write("garbage");
  ASSERT_TRUE(WaitUntil([&] { return port.PendingInputCount() == 7; }));
  port.PurgeQueues(true, false);
  EXPECT_EQ(port.PendingInputCount(), 0);
  ByteString text;
  EXPECT_EQ(port.ReadString(text, 100), 0);
  pty.Write("ok");
  ASSERT_TRUE(WaitUntil([&] { return port.PendingInputCount() == 2; }));
  port.PurgeQueues(true, true);
  EXPECT_EQ(port.PendingInputCount(), 0);
  port.ClosePort();
}

TEST(ComPortPty, ReopenDeliversEventsAgain) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  Recorder r;
  r.Attach(port);
  for (int round = 0; round < 3; ++round) {
    r.received.clear();
    port.OpenPort();
    pty.Write("R" + std::to_string(round));
    EXPECT_TRUE(PumpUntil([&] { return r.received.size() >= 2; })) << round;
    EXPECT_EQ(r.received, "R" + std::to_string(round));
    port.ClosePort();
  }
}

TEST(ComPortPty, NewPortNameWhileOpenReopensOnNewDevice) {
  Pty first, second;
  TComPort port;
  ConfigureLikeChannel(port, first.slave);
  Recorder r;
  r.Attach(port);
  port.OpenPort();
  r.calls.clear();
  port.SetPort(first.slave);  // same name: nothing
  EXPECT_TRUE(r.calls.empty());
  port.SetPort(second.slave);
  EXPECT_EQ(r.calls, (std::vector<std::string>{"CTS:0", "DSR:0", "RLSD:0", "BeforeClose", "AfterClose", "BeforeOpen",
                                               "AfterOpen", "CTS:0", "DSR:0", "RLSD:0"}));
  second.Write("two");
  EXPECT_TRUE(PumpUntil([&] { return r.received.size() >= 3; }));
  EXPECT_EQ(r.received, "two");
  // The first device was released: it can be opened again.
  TComPort other;
  other.SetPort(first.slave);
  EXPECT_NO_THROW(other.OpenPort());
  port.ClosePort();
}

TEST(ComPortPty, DeviceIsNotShared) {
  Pty pty;
  TComPort a, b;
  a.SetPort(pty.slave);
  b.SetPort(pty.slave);
  a.OpenPort();
  try {
    b.OpenPort();
    FAIL() << "second open succeeded";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), 1);
    EXPECT_EQ(e.SystemErrorCode(), EBUSY);
  }
  a.ClosePort();
  EXPECT_NO_THROW(b.OpenPort());
}

TEST(ComPortPty, SyncMethodCannotChangeWhileOpen) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  port.OpenPort();
  EXPECT_NO_THROW(port.SetSyncMethod(smWindowSync));  // unchanged
  try {
    port.SetSyncMethod(smNone);
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), 14);
    EXPECT_EQ(e.SystemErrorCode(), -1);
    EXPECT_EQ(std::string(e.what()), "Cannot set property while connected");
  }
  EXPECT_EQ(port.SyncMethod(), smWindowSync);
  port.ClosePort();
  port.SetSyncMethod(smNone);
  EXPECT_EQ(port.SyncMethod(), smNone);
}

TEST(ComPortPty, SettingsChangedWhileOpenAreApplied) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  port.OpenPort();
  EXPECT_NO_THROW(port.SetBaudRate(br115200));
  EXPECT_NO_THROW(port.SetBaudRate(br14400));  // not a termios constant
  EXPECT_NO_THROW(port.FlowControl().SetFlowControl(fcSoftware));
  EXPECT_THROW(port.Timeouts().SetReadInterval(-2), ERangeError);
  EXPECT_THROW(port.SetBaudRateByName("br1"), EComPort);
  EXPECT_EQ(port.BaudRate(), br14400);

  // Compare, store, apply: a stored value that cannot be applied shows when
  // (and only when) the line settings are applied.
  port.SetCustomBaudRate(-1);  // stored; unused while the rate is not brCustom
  EXPECT_THROW(port.SetBaudRate(brCustom), ERangeError);
  EXPECT_EQ(port.BaudRate(), brCustom);                                    // stored before applying
  EXPECT_NO_THROW(port.SetBaudRate(brCustom));                             // unchanged: nothing applied
  EXPECT_NO_THROW(port.Parity().SetBits(prNone));                          // unchanged field
  EXPECT_THROW(port.FlowControl().SetFlowControl(fcCustom), ERangeError);  // always applies
  EXPECT_THROW(port.Parity().Assign(port.Parity()), ERangeError);          // always applies
  port.SetCustomBaudRate(31250);
  EXPECT_NO_THROW(port.FlowControl().SetFlowControl(fcCustom));
  port.ClosePort();
}

TEST(ComPortPty, FailedSettingsAtOpenCloseTheDeviceAgain) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  Recorder r;
  r.Attach(port);
  port.Timeouts().SetReadInterval(-2);  // stored; refused when applied
  EXPECT_THROW(port.OpenPort(), ERangeError);
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(r.calls, std::vector<std::string>{"BeforeOpen"});
  TComPort other;
  other.SetPort(pty.slave);
  EXPECT_NO_THROW(other.OpenPort());  // not left held
}

TEST(ComPortPty, SmNoneRunsHandlersOnEventThread) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  port.SetSyncMethod(smNone);
  std::atomic<int> received{0};
  std::atomic<bool> other_thread{true};
  const auto main_id = std::this_thread::get_id();
  port.OnRxChar = [&](TComPort& p, int32_t count) {
    if (std::this_thread::get_id() == main_id) other_thread = false;
    ByteString text;
    received += p.ReadString(text, count);
  };
  port.OpenPort();
  pty.Write("abcdef");
  EXPECT_TRUE(WaitUntil([&] { return received == 6; }));  // no dispatching needed
  EXPECT_TRUE(other_thread);
  port.ClosePort();
}

TEST(ComPortPty, SmThreadSyncRunsHandlersOnOpeningThread) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  port.SetSyncMethod(smThreadSync);
  Recorder r;
  r.Attach(port);
  port.OpenPort();
  pty.Write("sync");
  EXPECT_TRUE(PumpUntil([&] { return r.received.size() >= 4; }));
  EXPECT_EQ(r.received, "sync");
  for (auto id : r.rx_threads) EXPECT_EQ(id, std::this_thread::get_id());
  port.ClosePort();
}

TEST(ComPortPty, CloseWhileEventThreadWaitsForHandOff) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  Recorder r;
  r.Attach(port);
  port.OpenPort();
  pty.Write("late");
  SleepMs(100);  // the event thread now waits in its hand-off; nobody dispatches
  const auto start = Clock::now();
  port.ClosePort();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  // The hand-off was taken inside ClosePort (the released event thread may
  // purge the input before the handler counts it: bytes at close are dropped).
  EXPECT_TRUE(r.received.empty() || r.received == "late") << r.received;
  r.received.clear();
  platform::DispatchPendingMessages();  // nothing left for the closed port
  EXPECT_TRUE(r.received.empty());
}

TEST(ComPortPty, NoEventsMeansNoEventThreadButTransfersWork) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  port.SetEvents(TComEvents{});
  Recorder r;
  r.Attach(port);
  port.OpenPort();
  pty.Write("quiet");
  EXPECT_FALSE(PumpUntil([&] { return !r.counts.empty(); }, 150));
  EXPECT_EQ(port.PendingInputCount(), 5);
  EXPECT_EQ(port.WriteString("AT\r"), 3);
  EXPECT_EQ(pty.Read(3), "AT\r");
  port.ClosePort();
}

TEST(ComPortPty, TransmitEmptyIsReportedAfterWrite) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  std::atomic<int> tx_empty{0};
  port.OnTxEmpty = [&](TComPort&) { ++tx_empty; };
  port.OpenPort();
  port.WriteString("AT\r");
  EXPECT_TRUE(PumpUntil([&] { return tx_empty > 0; }));
  port.ClosePort();
}

TEST(ComPortPty, HandlerErrorsOnWindowPathAreReportedAndEventsKeepFlowing) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  std::vector<std::string> reports;
  TComPort::SetHandlerErrorReporter([&](const std::string& text) { reports.push_back(text); });
  std::string received;
  int call = 0;
  port.OnRxChar = [&](TComPort& p, int32_t count) {
    ByteString text;
    p.ReadString(text, count);
    received += text;
    switch (call++) {
      case 0:
        throw EAbort();  // silent
      case 1:
        throw Exception("Handler failed");  // full stop appended
      case 2:
        throw Exception("Already ends with a dot.");  // left alone
      default:
        break;
    }
  };
  port.OpenPort();
  const char* chunks[] = {"one", "two", "three", "four"};
  std::string expected;
  for (const char* chunk : chunks) {
    pty.Write(chunk);
    expected += chunk;
    EXPECT_TRUE(PumpUntil([&] { return received.size() >= expected.size(); })) << chunk;
  }
  EXPECT_EQ(received, expected);
  EXPECT_EQ(reports, (std::vector<std::string>{"Handler failed.", "Already ends with a dot."}));
  port.ClosePort();
  TComPort::SetHandlerErrorReporter(nullptr);
}

TEST(ComPortPty, HandlerErrorOnEventThreadEndsLineEvents) {
  Pty pty;
  TComPort port;
  ConfigureLikeChannel(port, pty.slave);
  port.SetSyncMethod(smNone);
  std::atomic<int> calls{0};
  port.OnRxChar = [&](TComPort& p, int32_t count) {
    ByteString text;
    p.ReadString(text, count);
    ++calls;
    throw Exception("fails");
  };
  port.OpenPort();
  pty.Write("a");
  EXPECT_TRUE(WaitUntil([&] { return calls == 1; }));
  // The ending event thread discards the receive queue: let it end first.
  SleepMs(100);
  pty.Write("b");
  SleepMs(150);
  EXPECT_EQ(calls.load(), 1);  // no further events, the port stays open
  EXPECT_TRUE(port.Connected());
  EXPECT_EQ(port.PendingInputCount(), 1);
  port.ClosePort();
}

TEST(ComPortPty, HungUpPeerDoesNotMakeTheEventThreadSpin) {
  auto pty = std::make_unique<Pty>();
  TComPort port;
  ConfigureLikeChannel(port, pty->slave);
  port.OpenPort();
  ::close(pty->master);  // the far side goes away: the slave reports POLLHUP from now on
  pty->master = -1;
  const std::clock_t start = std::clock();
  PumpUntil([] { return false; }, 500);
  const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  EXPECT_LT(cpu_ms, 50.0);  // a spinning thread burns most of the half second
  port.ClosePort();
}

TEST(ComPortPty, DeviceThatDisappearsIsReportedOnceOnTheOpeningThread) {
  auto pty = std::make_unique<Pty>();
  TComPort port;
  ConfigureLikeChannel(port, pty->slave);
  std::vector<std::thread::id> lost;
  port.OnPortLost = [&](TComPort& sender) {
    EXPECT_EQ(&sender, &port);
    EXPECT_TRUE(sender.Lost());
    lost.push_back(std::this_thread::get_id());
  };
  port.OpenPort();
  EXPECT_FALSE(port.Lost());
  ::close(pty->master);
  pty->master = -1;
  ASSERT_TRUE(PumpUntil([&] { return !lost.empty(); }, 3000));
  // A write after the loss fails and does not report it again.
  EXPECT_THROW(port.WriteString("AT\r"), EComPort);
  PumpUntil([] { return false; }, 200);
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0], std::this_thread::get_id());
  EXPECT_TRUE(port.Connected());  // open until closed
  port.ClosePort();
  EXPECT_FALSE(port.Connected());

  // Reopened on a device that is there again: no longer lost.
  Pty back;
  port.SetPort(back.slave);
  port.OpenPort();
  EXPECT_FALSE(port.Lost());
  port.ClosePort();
  EXPECT_EQ(lost.size(), 1u);
}

TEST(ComPortPty, OpenFailureNamesThePathAndTheReason) {
  TComPort port;
  port.SetPort("/dev/vela-no-such-device");
  try {
    port.OpenPort();
    FAIL() << "opened";
  } catch (const EComPort& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to open com port (win error code: 2): /dev/vela-no-such-device: no such file");
  }
  Pty pty;
  TComPort holder, second;
  holder.SetPort(pty.slave);
  holder.OpenPort();
  second.SetPort(pty.slave);
  try {
    second.OpenPort();
    FAIL() << "opened twice";
  } catch (const EComPort& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to open com port (win error code: 16): " + pty.slave +
                                         ": device busy: another program (e.g. ModemManager) holds it");
  }
}

}  // namespace
}  // namespace vela

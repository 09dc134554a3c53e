// TComPort through the Win32 communications API on a real device pair. The
// harness (run_wine_com_test.sh) links two COM names of the Wine prefix to the
// two ends of a socat pseudo-terminal pair and names them in
// VELA_TEST_COM_PORT and VELA_TEST_PEER_PORT; without them the tests skip.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
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

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

using test::PumpUntil;

class WineComPort : public ::testing::Test {
 protected:
  void SetUp() override {
    port_name_ = Env("VELA_TEST_COM_PORT");
    peer_name_ = Env("VELA_TEST_PEER_PORT");
    if (port_name_.empty() || peer_name_.empty()) GTEST_SKIP() << "no COM port pair given";
    peer_.SetPort(peer_name_);
    peer_.SetEvents(TComEvents{});
    peer_.OpenPort();
    port_.Parity().SetBits(prNone);
    port_.SetEvents(TComEvents{evRxChar, evTxEmpty});
    port_.Buffer().SetInputSize(4096);
    port_.Buffer().SetOutputSize(2048);
    port_.FlowControl().SetControlRTS(rtsEnable);
    port_.SetSyncMethod(smWindowSync);
    port_.SetPort(port_name_);
    port_.OnRxChar = [this](TComPort& p, int32_t count) {
      counts_.push_back(count);
      threads_.push_back(std::this_thread::get_id());
      ByteString text;
      p.ReadString(text, count);
      received_ += text;
    };
  }

  std::string ReadPeer(size_t want) {
    std::string got;
    const auto limit = Clock::now() + std::chrono::seconds(5);
    while (got.size() < want && Clock::now() < limit) {
      ByteString text;
      peer_.ReadString(text, 2048);
      got += text;
      if (text.empty()) Sleep(5);
    }
    return got;
  }

  std::string port_name_, peer_name_;
  TComPort port_, peer_;
  std::vector<int32_t> counts_;
  std::vector<std::thread::id> threads_;
  std::string received_;
};

TEST_F(WineComPort, OpenReportsSignalsOffOnDeviceWithoutModemLines) {
  std::vector<std::string> calls;
  port_.OnAfterOpen = [&](TComPort&) { calls.push_back("AfterOpen"); };
  port_.OnCTSChange = [&](TComPort&, bool on) { calls.push_back(on ? "CTS:1" : "CTS:0"); };
  port_.OnDSRChange = [&](TComPort&, bool on) { calls.push_back(on ? "DSR:1" : "DSR:0"); };
  port_.OnRLSDChange = [&](TComPort&, bool on) { calls.push_back(on ? "RLSD:1" : "RLSD:0"); };
  port_.OpenPort();
  EXPECT_EQ(calls, (std::vector<std::string>{"AfterOpen", "CTS:0", "DSR:0", "RLSD:0"}));
  port_.ClosePort();
}

TEST_F(WineComPort, ReadStringOnEmptyPortReturnsAtOnce) {
  port_.OpenPort();
  ByteString text = "x";
  const auto start = Clock::now();
  EXPECT_EQ(port_.ReadString(text, 2048), 0);
  EXPECT_TRUE(text.empty());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
  port_.ClosePort();
}

TEST_F(WineComPort, ReceivedBytesReachOnRxCharOnOpeningThread) {
  port_.OpenPort();
  const std::string message = "\r\nOK\r\n+CMTI: \"SM\",3\r\n";
  for (char c : message) {
    peer_.WriteString(std::string(1, c));
    Sleep(2);
  }
  EXPECT_TRUE(PumpUntil([&] { return received_.size() >= message.size(); }));
  EXPECT_EQ(received_, message);
  for (int32_t c : counts_) EXPECT_GT(c, 0);
  for (auto id : threads_) EXPECT_EQ(id, std::this_thread::get_id());
  port_.ClosePort();
}

TEST_F(WineComPort, WritesArrive) {
  port_.OpenPort();
  EXPECT_EQ(port_.WriteString("ATZ\r\r"), 5);
  EXPECT_EQ(ReadPeer(5), "ATZ\r\r");
  port_.ClosePort();
}

TEST_F(WineComPort, IdleEventThreadDoesNotSpin) {
  port_.OpenPort();
  FILETIME created, exited, kernel0, user0, kernel1, user1;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel0, &user0);
  Sleep(1000);
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel1, &user1);
  auto ticks = [](const FILETIME& f) { return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
  const uint64_t busy_100ns = (ticks(kernel1) - ticks(kernel0)) + (ticks(user1) - ticks(user0));
  // Wine ends every event wait on a pty at once; re-arming it cost some
  // 100 ms of this process's time per second, polling the queues instead
  // costs about 10.
  EXPECT_LT(busy_100ns, 2000000u) << "CPU time in one idle second: " << busy_100ns / 10000 << " ms";
  std::printf("CPU time in one idle second: %u ms\n", static_cast<unsigned>(busy_100ns / 10000));
  port_.ClosePort();
}

// Wine cannot wait for events on a pty, so the device polls its queues: a
// finished write still reports the transmit queue empty, once.
TEST_F(WineComPort, WriteReportsTxEmptyOnceWhileEventsArePolled) {
  int tx_empty = 0;
  port_.OnTxEmpty = [&](TComPort&) { ++tx_empty; };
  port_.OpenPort();
  Sleep(100);  // the first waits have ended as aborted: events are polled now
  platform::DispatchPendingMessages();
  tx_empty = 0;
  EXPECT_EQ(port_.WriteString("AT\r"), 3);
  EXPECT_TRUE(PumpUntil([&] { return tx_empty > 0; }));
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(tx_empty, 1);
  EXPECT_EQ(ReadPeer(3), "AT\r");
  port_.ClosePort();
}

// A read under "return at once" time-outs sizes itself from the receive
// count; bytes taken meanwhile by a purge or by a read on another thread must
// not leave it pending (Wine keeps such a read waiting for the missing bytes,
// and not even the close's purge ends it).
TEST_F(WineComPort, ImmediateReadsRacingPurgeAndEachOtherNeverWait) {
  port_.SetEvents(TComEvents{});
  port_.OpenPort();
  // Shared with the readers, which may outlive the test when it fails.
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto readers_done = std::make_shared<std::atomic<int>>(0);
  std::thread writer([&] {
    while (!*stop) {
      peer_.WriteString("0123456789abcdef");
      Sleep(5);  // the queue is often empty again when a read starts
    }
  });
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) {
    readers.emplace_back([this, stop, readers_done] {
      while (!*stop) {
        ByteString text;
        try {
          port_.ReadString(text, 2048);
        } catch (const std::exception&) {}
      }
      ++*readers_done;
    });
  }
  const auto end = Clock::now() + std::chrono::milliseconds(2000);
  while (Clock::now() < end) port_.PurgeQueues(true, false);
  *stop = true;
  writer.join();
  const auto limit = Clock::now() + std::chrono::seconds(3);
  while (*readers_done < 2 && Clock::now() < limit) Sleep(10);
  const bool all_done = *readers_done == 2;
  port_.ClosePort();
  for (std::thread& reader : readers) {
    if (all_done) {
      reader.join();
    } else {
      reader.detach();
    }
  }
  EXPECT_TRUE(all_done) << "a read stayed pending";
}

TEST_F(WineComPort, CloseWhileEventThreadWaitsForHandOff) {
  port_.OpenPort();
  peer_.WriteString("late");
  Sleep(100);  // the event thread now waits in SendMessage; nobody pumps
  const auto start = Clock::now();
  port_.ClosePort();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  received_.clear();
  platform::DispatchPendingMessages();
  EXPECT_TRUE(received_.empty());
}

TEST_F(WineComPort, ReopenDeliversAgain) {
  for (int round = 0; round < 2; ++round) {
    received_.clear();
    port_.OpenPort();
    peer_.WriteString("R" + std::to_string(round));
    EXPECT_TRUE(PumpUntil([&] { return received_.size() >= 2; })) << round;
    port_.ClosePort();
  }
}

}  // namespace
}  // namespace vela

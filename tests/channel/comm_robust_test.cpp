// The command channel against the ways real modems and machines misbehave:
// indications whose alpha holds an expected answer, a silent modem holding
// the command lock, another program's command on the same device, and a
// device that disappears.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_target.h"
#include "platform/serial_device.h"
#include "platform/sync.h"
#include "platform/termination.h"
#include "pty_peer.h"
#include "pump.h"
#include "transport/comm.h"

namespace vela {
namespace {

using test::PtyPeer;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using test::kDefaultAnswers;
const ByteString kPdu = "07912143658709F1040B919178563412F000003210802143650002E834";

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

using test::PumpUntil;

class RobustChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ClearTermination();
    channel_.OnUnsolicitedLine = [this](TmyXComm&, const ByteString& line) { unsolicited_.push_back(line); };
  }
  ByteString Send(const ByteString& command, uint32_t timeout_ms = 3000) {
    ByteString response;
    channel_.SendCommand(command, kDefaultAnswers, response, timeout_ms);
    return response;
  }
  PtyPeer peer_;
  TmyXComm channel_;
  std::vector<ByteString> unsolicited_;
};

// Header variants real modems send; each must reach the driver whole, with
// its PDU line, during a command and between commands, and never end or
// enter a command's response.
const char* const kHeaders[] = {
    "+CMT: \"BROOKE\",20", "+CMT: ,20",          "+CMT: \"OK>\",24",    "+CMT: \"004F004B\",24",
    "+CMT: \"ERROR\",24",  "+CMT: \"READY\",24", "+CMT: \"SIM PIN\",9", "+CDS: 25",
};

TEST_F(RobustChannel, IndicationWithAnswerInAlphaDuringCommandGoesUpWhole) {
  for (const char* header : kHeaders) {
    SCOPED_TRACE(header);
    std::string indication = std::string("\r\n") + header + "\r\n" + kPdu + "\r\n";
    peer_.Start([&](PtyPeer& p, const std::string& line) {
      if (line != "AT+CSQ") return;
      p.Dribble(indication, 0);
      std::this_thread::sleep_for(milliseconds(100));
      p.Dribble("\r\n+CSQ: 17,99\r\n\r\nOK\r\n", 0);
    });
    channel_.Connect(peer_.SlavePath(), "115200");
    unsolicited_.clear();
    // The wait ends at the command's own OK, after the indication.
    EXPECT_EQ(Send("AT+CSQ\r"), "+CSQ: 17,99\r\nOK\r\n");
    EXPECT_FALSE(TmyXComm::TimedOut());
    EXPECT_EQ(unsolicited_, (std::vector<ByteString>{header, kPdu, "+CSQ: 17,99"}));
    channel_.Disconnect();
    peer_.Stop();
  }
}

TEST_F(RobustChannel, IndicationWithAnswerInAlphaBetweenCommandsGoesUpWhole) {
  // After a command the framing must not cut a header at the last command's
  // answers (the version that lost `+CMT: "BROOKE",20` did so).
  peer_.Start([](PtyPeer& p, const std::string& line) { p.Dribble("\r\nOK\r\n", 0); });
  channel_.Connect(peer_.SlavePath(), "115200");
  EXPECT_EQ(Send("AT+CNMI=2,2,0,1,0\r"), "OK\r\n");
  std::vector<ByteString> expected;
  for (const char* header : kHeaders) {
    peer_.Dribble(std::string("\r\n") + header + "\r\n" + kPdu + "\r\n", 0);
    expected.push_back(header);
    expected.push_back(kPdu);
  }
  ASSERT_TRUE(PumpUntil([&] { return unsolicited_.size() >= expected.size(); }, 5000));
  EXPECT_EQ(unsolicited_, expected);
}

TEST_F(RobustChannel, PduLineAfterHeaderNeverEndsCommandButOtherLinesStillDo) {
  // A header whose PDU never comes: the next line, not hex, is handled as usual.
  peer_.Start([](PtyPeer& p, const std::string& line) {
    if (line == "AT") p.Dribble("\r\n+CMT: \"x\",20\r\n\r\nOK\r\n", 0);
  });
  channel_.Connect(peer_.SlavePath(), "115200");
  EXPECT_EQ(Send("AT\r"), "OK\r\n");
  EXPECT_EQ(unsolicited_, std::vector<ByteString>{"+CMT: \"x\",20"});
}

// ---- lock scope ----

// Runs a channel on a thread of its own (a channel belongs to its creating
// thread) that sends one command to a modem that never answers.
struct SilentModemCommand {
  PtyPeer peer;
  std::thread thread;
  std::atomic<bool> done{false};
  explicit SilentModemCommand(LockScope scope, uint32_t timeout_ms) {
    peer.Start(nullptr);
    thread = std::thread([this, scope, timeout_ms] {
      TmyXComm channel;
      channel.Lock = scope;
      channel.Connect(peer.SlavePath(), "115200");
      ByteString response;
      channel.SendCommand("AT+SILENT\r", kDefaultAnswers, response, timeout_ms);
      channel.Disconnect();
      done = true;
    });
  }
  ~SilentModemCommand() {
    if (thread.joinable()) thread.join();
  }
};

TEST_F(RobustChannel, PortScopeCommandsToDifferentDevicesDoNotWaitForEachOther) {
  SilentModemCommand silent(LockScope::kPort, 2500);
  ASSERT_TRUE(silent.peer.WaitForReceived("AT+SILENT\r", 5000));
  peer_.Start([](PtyPeer& p, const std::string&) { p.Dribble("\r\nOK\r\n", 0); });
  channel_.Lock = LockScope::kPort;
  std::vector<bool> lock_waits;
  channel_.OnLockWait = [&](bool waiting) { lock_waits.push_back(waiting); };
  channel_.Connect(peer_.SlavePath(), "115200");
  const auto start = Clock::now();
  EXPECT_EQ(Send("AT\r"), "OK\r\n");
  EXPECT_LT(MsSince(start), 1500);  // not the silent modem's 2.5 s
  EXPECT_FALSE(silent.done);
  EXPECT_TRUE(lock_waits.empty());
}

TEST_F(RobustChannel, MachineScopeWaitsForTheMachineLockAndReportsTheWait) {
  peer_.Start([](PtyPeer& p, const std::string&) { p.Dribble("\r\nOK\r\n", 0); });
  std::vector<bool> lock_waits;
  channel_.OnLockWait = [&](bool waiting) { lock_waits.push_back(waiting); };
  channel_.Connect(peer_.SlavePath(), "115200");

  // Another program's command holds the machine-wide lock for 1.6 s.
  platform::MachineLock other("DezIsBusy");
  ASSERT_TRUE(other.TryAcquire(60000));
  std::thread release([&] {
    std::this_thread::sleep_for(milliseconds(1600));
    other.Release();
  });
  const auto start = Clock::now();
  EXPECT_EQ(Send("AT\r"), "OK\r\n");
  release.join();
  EXPECT_GE(MsSince(start), 1500);
  EXPECT_EQ(lock_waits, (std::vector<bool>{true, false}));

  // With the port scope the machine-wide holder no longer matters.
  ASSERT_TRUE(other.TryAcquire(60000));
  channel_.Lock = LockScope::kPort;
  lock_waits.clear();
  const auto again = Clock::now();
  EXPECT_EQ(Send("AT\r"), "OK\r\n");
  EXPECT_LT(MsSince(again), 1000);
  EXPECT_TRUE(lock_waits.empty());
  other.Release();
}

TEST_F(RobustChannel, PortScopeWaitsForAnotherHolderOfTheSameDevice) {
  peer_.Start([](PtyPeer& p, const std::string&) { p.Dribble("\r\nOK\r\n", 0); });
  channel_.Lock = LockScope::kPort;
  std::vector<bool> lock_waits;
  channel_.OnLockWait = [&](bool waiting) { lock_waits.push_back(waiting); };
  channel_.Connect(peer_.SlavePath(), "115200");

  // Another program names the device through a symbolic link (as
  // /dev/serial/by-id/ does): the lock is still the same.
  const std::string link = "/tmp/vela-robust-link-" + std::to_string(::getpid());
  std::remove(link.c_str());
  ASSERT_EQ(::symlink(peer_.SlavePath().c_str(), link.c_str()), 0);
  ASSERT_EQ(platform::PortLockName(link), platform::PortLockName(peer_.SlavePath()));
  platform::MachineLock other(platform::PortLockName(link));
  std::remove(link.c_str());
  ASSERT_TRUE(other.TryAcquire(60000));
  std::thread release([&] {
    std::this_thread::sleep_for(milliseconds(1400));
    other.Release();
  });
  const auto start = Clock::now();
  EXPECT_EQ(Send("AT\r"), "OK\r\n");
  release.join();
  EXPECT_GE(MsSince(start), 1300);
  EXPECT_EQ(lock_waits, (std::vector<bool>{true, false}));
  EXPECT_EQ(peer_.Received(), "AT\r\r");  // written only once the holder let go
}

// ---- port loss ----

TEST_F(RobustChannel, DeviceThatDisappearsEndsTheRunningCommandAndIsReportedOnce) {
  int lost = 0;
  channel_.OnPortLost = [&](TmyXComm& sender) {
    EXPECT_EQ(&sender, &channel_);
    ++lost;
  };
  peer_.Start([](PtyPeer& p, const std::string& line) {
    if (line == "AT+CGSN") p.CloseMaster();  // pulled while the command runs
  });
  channel_.Connect(peer_.SlavePath(), "115200");
  const auto start = Clock::now();
  EXPECT_EQ(Send("AT+CGSN\r", 15000), "");
  EXPECT_LT(MsSince(start), 3000);  // not the 15 s time-out
  EXPECT_TRUE(channel_.PortLost());
  EXPECT_FALSE(channel_.LastTimedOut());

  // Later commands fail at once; the loss is reported once.
  const auto next = Clock::now();
  EXPECT_EQ(Send("AT\r", 15000), "");
  EXPECT_LT(MsSince(next), 2000);
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(lost, 1);

  // Disconnect closes at once; a new Connect to a device that is back
  // clears the state.
  channel_.Disconnect();
  EXPECT_FALSE(channel_.ComPort().Connected());
  PtyPeer back;
  back.Start([](PtyPeer& p, const std::string&) { p.Dribble("\r\nOK\r\n", 0); });
  channel_.Connect(back.SlavePath(), "115200");
  EXPECT_FALSE(channel_.PortLost());
  EXPECT_EQ(Send("AT\r"), "OK\r\n");
}

TEST_F(RobustChannel, DeviceThatDisappearsWhileIdleIsReported) {
  int lost = 0;
  channel_.OnPortLost = [&](TmyXComm&) { ++lost; };
  peer_.Start(nullptr);
  channel_.Connect(peer_.SlavePath(), "115200");
  peer_.CloseMaster();
  ASSERT_TRUE(PumpUntil([&] { return lost > 0; }, 3000));
  PumpUntil([] { return false; }, 200);
  EXPECT_EQ(lost, 1);
  EXPECT_TRUE(channel_.PortLost());
}

}  // namespace
}  // namespace vela

// The command channel against a scripted modem at the far end of a real
// serial line: the same scenarios on every platform, with the peer of the
// platform (see channel_peer.h). Time bounds are generous: under Wine every
// byte passes socat and the wine server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "channel_peer.h"
#include "common/errors.h"
#include "platform/message_target.h"
#include "platform/sync.h"
#include "platform/termination.h"
#include "pump.h"
#include "transport/comm.h"

namespace vela {
namespace {

using test::ChannelPeer;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using test::kDefaultAnswers;

long long MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<milliseconds>(to - from).count();
}

void SleepFor(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

using test::PumpUntil;

class ChannelScenario : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ClearTermination();
    std::string why;
    peer_ = test::MakeChannelPeer(why);
    if (!peer_) GTEST_SKIP() << why;
    channel_ = std::make_unique<TmyXComm>();
    channel_->OnUnsolicitedLine = [this](TmyXComm& sender, const ByteString& line) {
      EXPECT_EQ(&sender, channel_.get());
      unsolicited_.push_back(line);
    };
  }
  void TearDown() override {
    channel_.reset();  // closes the port before the peer goes
    peer_.reset();
    platform::ClearTermination();
  }

  void Open() { channel_->Connect(peer_->ChannelPort(), "115200"); }

  ByteString Send(const ByteString& command, uint32_t timeout_ms = 5000,
                  const std::vector<ByteString>& expected = kDefaultAnswers) {
    ByteString response;
    channel_->SendCommand(command, expected, response, timeout_ms);
    return response;
  }

  // Milliseconds from the peer's receipt of `command` (without its "\r")
  // to `until`: the machine-wide lock may first be held by commands of
  // other processes, so bounds are taken from the moment the command was on
  // the wire. -1 when the peer never received it.
  long long MsFromReceipt(const std::string& command, Clock::time_point until = Clock::now()) const {
    const Clock::time_point received = peer_->LineTime(command);
    if (received == Clock::time_point()) return -1;
    return MsBetween(received, until);
  }

  std::unique_ptr<ChannelPeer> peer_;
  std::unique_ptr<TmyXComm> channel_;
  std::vector<ByteString> unsolicited_;
};

TEST_F(ChannelScenario, CommandGetsExtraCarriageReturnAndEchoWithOkIsTwoLines) {
  // The modem echoes, then answers with an empty line and OK.
  peer_->Start([](ChannelPeer& p, const std::string& line) { p.Dribble(line + "\r\r\nOK\r\n"); });
  Open();
  ASSERT_TRUE(channel_->Connected());
  EXPECT_EQ(Send("ATE1\r"), "ATE1\r\nOK\r\n");
  EXPECT_FALSE(TmyXComm::TimedOut());
  EXPECT_FALSE(channel_->IsBusy());
  ASSERT_TRUE(peer_->WaitForReceived("ATE1\r\r", 2000));
  EXPECT_EQ(peer_->Received(), "ATE1\r\r");
  // The echo matches no expected answer and goes up as well; the OK does not.
  EXPECT_EQ(unsolicited_, std::vector<ByteString>{"ATE1"});
}

TEST_F(ChannelScenario, PromptWithoutLineEndEndsWaitForGreaterThan) {
  peer_->Start([](ChannelPeer& p, const std::string& line) {
    if (line == "AT+CMGS=23") p.Dribble("\r\n> ");
    if (line.find('\x1a') != std::string::npos) p.Dribble("\r\n+CMGS: 7\r\n\r\nOK\r\n");
  });
  Open();
  EXPECT_EQ(Send("AT+CMGS=23\r", 5000, {">", "ERROR"}), ">\r\n");
  EXPECT_FALSE(TmyXComm::TimedOut());
  EXPECT_LT(MsFromReceipt("AT+CMGS=23"), 2000);
  EXPECT_EQ(Send("0011000B\x1a", 5000), "+CMGS: 7\r\nOK\r\n");
  ASSERT_TRUE(peer_->WaitForReceived("\x1a\r", 2000));
  EXPECT_EQ(peer_->Received(), "AT+CMGS=23\r\r0011000B\x1a\r");
}

TEST_F(ChannelScenario, ReadyEndsWaitAtLastLetterAndLateOkEndsNeitherItNorNextCommand) {
  std::atomic<bool> tail_sent{false};
  peer_->Start([&tail_sent](ChannelPeer& p, const std::string& line) {
    if (line == "AT+CPIN?") {
      // Nothing follows "READY" for a while: the wait must end at its "Y".
      p.Dribble("\r\n+CPIN: READY");
      SleepFor(1500);
      tail_sent = true;
      p.Dribble(" \r\n\r\nOK\r\n\r\n+MARK\r\n");
    } else if (line == "AT") {
      SleepFor(400);
      p.Dribble("\r\nOK\r\n");
    }
  });
  Open();
  EXPECT_EQ(Send("AT+CPIN?\r", 8000), "+CPIN: READY\r\n");
  EXPECT_FALSE(tail_sent);
  EXPECT_FALSE(TmyXComm::TimedOut());

  // The OK comes after the wait: no command is waiting, so it is matched
  // against nothing and goes up like any line; the blank after "READY" is
  // dropped.
  ASSERT_TRUE(PumpUntil([&] { return unsolicited_.size() == 2; }, 5000));
  EXPECT_EQ(unsolicited_, (std::vector<ByteString>{"OK", "+MARK"}));

  // The next command must wait for its own answer, not end on that OK.
  EXPECT_EQ(Send("AT\r", 8000), "OK\r\n");
  EXPECT_GE(MsFromReceipt("AT"), 350);
  EXPECT_FALSE(TmyXComm::TimedOut());
}

TEST_F(ChannelScenario, NoAnswerTimesOutTwoToFourHundredMsAfterDeadline) {
  peer_->Start([](ChannelPeer& p, const std::string& line) {
    if (line == "AT+CGMM") p.Dribble("\r\nOK\r\n");
  });
  Open();
  constexpr uint32_t kTimeoutMs = 300;
  const auto start = Clock::now();
  EXPECT_EQ(Send("AT\r", kTimeoutMs), "");
  const auto end = Clock::now();
  EXPECT_TRUE(TmyXComm::TimedOut());
  EXPECT_FALSE(channel_->LastAborted());
  EXPECT_FALSE(channel_->IsBusy());
  // The deadline lies at least `kTimeoutMs` after `start` and the wait ends
  // at least 200 ms after it.
  EXPECT_GE(MsBetween(start, end), kTimeoutMs + 200);
  // The peer received the command a little after the deadline was set, so
  // from its receipt the end lies 200 to 400 ms after `kTimeoutMs`, less the
  // line's latency; the bounds allow for a slow peer and message pump.
  const long long after_deadline = MsFromReceipt("AT", end) - kTimeoutMs;
  EXPECT_GE(after_deadline, 200 - 150);
  EXPECT_LE(after_deadline, 400 + 400);

  // The time-out is no error: the next command is answered.
  EXPECT_EQ(Send("AT+CGMM\r", 5000), "OK\r\n");
  EXPECT_FALSE(TmyXComm::TimedOut());
}

TEST_F(ChannelScenario, UnsolicitedLinesGoUpDuringCommandsAndWithoutOne) {
  peer_->Start([](ChannelPeer& p, const std::string& line) {
    if (line == "AT+CGMI") p.Dribble("\r\n+CMTI: \"SM\",1\r\n\r\nOK\r\n");
  });
  Open();
  // The indication goes up and is no part of the command's response.
  EXPECT_EQ(Send("AT+CGMI\r"), "OK\r\n");
  EXPECT_EQ(unsolicited_, std::vector<ByteString>{"+CMTI: \"SM\",1"});

  // Closing the port empties the answers: lines then end only at "\r" and
  // every one goes up trimmed, even an OK or a prompt.
  channel_->Disconnect();
  Open();
  unsolicited_.clear();
  peer_->Dribble("\r\n  RING \r\n\r\nOK\r\n> x\r\n+CDS: 25\r\n");
  ASSERT_TRUE(PumpUntil([&] { return unsolicited_.size() == 4; }, 5000));
  EXPECT_EQ(unsolicited_, (std::vector<ByteString>{"RING", "OK", "> x", "+CDS: 25"}));
}

TEST_F(ChannelScenario, ClosingThePortDuringAWaitEndsIt) {
  channel_->OnUnsolicitedLine = [this](TmyXComm& sender, const ByteString& line) {
    unsolicited_.push_back(line);
    if (line == "RING") sender.ComPort().ClosePort();
  };
  peer_->Start([](ChannelPeer& p, const std::string& line) {
    if (line == "AT+CGSN") p.Dribble("\r\nRING\r\n");
  });
  Open();
  const auto start = Clock::now();
  EXPECT_EQ(Send("AT+CGSN\r", 20000), "");  // RING went up, not into the response
  // Far below the time-out: the close signals the answer event.
  EXPECT_LT(MsFromReceipt("AT+CGSN"), 3000);
  EXPECT_LT(MsBetween(start, Clock::now()), 15000);
  EXPECT_FALSE(TmyXComm::TimedOut());
  EXPECT_FALSE(channel_->ComPort().Connected());
  EXPECT_TRUE(TmyXComm::ExpectedAnswers().empty());
  EXPECT_FALSE(channel_->IsBusy());
}

TEST_F(ChannelScenario, HostTerminationDuringCommandRaisesOperationAborted) {
  peer_->Start([](ChannelPeer&, const std::string& line) {
    if (line == "AT+COPS?") platform::RequestTermination();
  });
  Open();
  try {
    Send("AT+COPS?\r", 20000);
    FAIL() << "no abort";
  } catch (const EAbort& e) {
    EXPECT_STREQ(e.what(), "Operation aborted");
  }
  EXPECT_LT(MsFromReceipt("AT+COPS?"), 3000);
  EXPECT_TRUE(channel_->LastAborted());
  EXPECT_FALSE(channel_->IsBusy());
  platform::ClearTermination();
  // After an abort the port closes at once.
  const auto start = Clock::now();
  channel_->Disconnect();
  EXPECT_LT(MsBetween(start, Clock::now()), 2000);
  EXPECT_FALSE(channel_->ComPort().Connected());
}

// An open channel with nothing arriving must not keep a core busy. Under Wine
// the port cannot wait for received bytes and polls about every 10 ms, which
// costs about 1% of a core; re-arming an event wait that Wine ends at once
// cost over 10%.
TEST_F(ChannelScenario, IdleOpenChannelCostsLittleCpu) {
  Open();
  const double cpu_start = test::ProcessCpuMs();
  const auto start = Clock::now();
  // Blocks in the message wait, as a host's idle message loop does.
  for (long long left = 3000; left > 0; left = 3000 - MsBetween(start, Clock::now())) {
    platform::WaitForMessages(static_cast<uint32_t>(left));
    platform::DispatchPendingMessages();
  }
  const double cpu_ms = test::ProcessCpuMs() - cpu_start;
  const long long wall_ms = MsBetween(start, Clock::now());
  const double share = cpu_ms / static_cast<double>(wall_ms);
  std::printf("idle open channel: %.0f ms CPU in %lld ms (%.1f%% of a core)\n", cpu_ms, wall_ms, 100 * share);
  RecordProperty("idle_cpu_percent", std::to_string(100 * share));
  EXPECT_LT(share, 0.08);
  EXPECT_TRUE(unsolicited_.empty());
}

}  // namespace
}  // namespace vela

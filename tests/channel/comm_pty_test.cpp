// The command channel against a scripted modem on a pseudo-terminal.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "common/errors.h"
#include "platform/message_target.h"
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

std::string TraceEnvPath() { return "/tmp/vela-channel-trace-" + std::to_string(::getpid()) + ".log"; }

// VELACTRL_TRACE is read at the first trace of the process, so it is set
// before any test runs.
class TraceEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::remove(TraceEnvPath().c_str());
    ::setenv("VELACTRL_TRACE", TraceEnvPath().c_str(), 1);
  }
  void TearDown() override { std::remove(TraceEnvPath().c_str()); }
};
const auto* const kTraceEnvironment = ::testing::AddGlobalTestEnvironment(new TraceEnvironment);

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

void SleepFor(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

// Time bounds are taken from the moment the peer received the command: the
// machine-wide lock may first be held by commands of other processes.
long long MsSinceWrite(const PtyPeer& peer, const std::string& command) {
  const PtyPeer::Clock::time_point written = peer.LineTime(command);
  if (written == PtyPeer::Clock::time_point()) return -1;
  return std::chrono::duration_cast<milliseconds>(Clock::now() - written).count();
}

using test::PumpUntil;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ClearTermination();
    channel_.OnUnsolicitedLine = [this](TmyXComm& sender, const ByteString& line) {
      EXPECT_EQ(&sender, &channel_);
      unsolicited_.push_back(line);
    };
  }
  void TearDown() override {
    platform::ClearTermination();
    TmyXComm::SetTraceSink(nullptr);
  }

  void Open() { channel_.Connect(peer_.SlavePath(), "115200"); }

  ByteString Send(const ByteString& command, uint32_t timeout_ms = 3000,
                  const std::vector<ByteString>& expected = kDefaultAnswers) {
    ByteString response;
    channel_.SendCommand(command, expected, response, timeout_ms);
    return response;
  }

  PtyPeer peer_;
  TmyXComm channel_;
  std::vector<ByteString> unsolicited_;
};

TEST_F(ChannelTest, CommandGoesOutWithExtraCarriageReturnAndEchoPlusOkAreTwoLines) {
  // The modem echoes, then answers with an empty line and OK.
  peer_.Start([](PtyPeer& p, const std::string& line) { p.Dribble(line + "\r\r\nOK\r\n"); });
  Open();
  ASSERT_TRUE(channel_.Connected());
  EXPECT_FALSE(channel_.Opening());

  EXPECT_EQ(Send("ATE1\r"), "ATE1\r\nOK\r\n");
  EXPECT_EQ(peer_.Received(), "ATE1\r\r");
  EXPECT_FALSE(TmyXComm::TimedOut());
  EXPECT_FALSE(channel_.IsBusy());
  EXPECT_FALSE(channel_.Busy());
  EXPECT_EQ(channel_.Timeout(), 3000u);
  EXPECT_EQ(channel_.CurrentCommand(), "ATE1\r");
  EXPECT_EQ(TmyXComm::ExpectedAnswers(), kDefaultAnswers);
  // The echo has no expected answer and goes up; the OK does not.
  EXPECT_EQ(unsolicited_, std::vector<ByteString>{"ATE1"});
}

TEST_F(ChannelTest, PromptWithoutLineEndEndsWaitThenPduIsAnswered) {
  peer_.Start([](PtyPeer& p, const std::string& line) {
    if (line == "AT+CMGS=23") p.Dribble("\r\n> ");
    if (line.find('\x1a') != std::string::npos) p.Dribble("\r\n+CMGS: 7\r\n\r\nOK\r\n");
  });
  Open();
  EXPECT_EQ(Send("AT+CMGS=23\r", 2000), ">\r\n");
  EXPECT_FALSE(TmyXComm::TimedOut());
  // The blank after the prompt is still in the line buffer; the next "\r"
  // finds it blank and drops it.
  EXPECT_EQ(Send("0011000B\x1a", 2000), "+CMGS: 7\r\nOK\r\n");
  EXPECT_EQ(peer_.Received(), "AT+CMGS=23\r\r0011000B\x1a\r");
}

TEST_F(ChannelTest, ReadyEndsWaitAtLastLetterAndLateOkDoesNotEndNextWait) {
  peer_.Start([](PtyPeer& p, const std::string& line) {
    if (line == "AT+CPIN?") {
      p.Dribble("AT+CPIN?\r\r\n+CPIN: READY\r\n");
      SleepFor(300);
      p.Dribble("\r\nOK\r\n\r\n+MARK\r\n");
    } else if (line == "AT") {
      SleepFor(300);
      p.Dribble("\r\nOK\r\n");
    }
  });
  Open();
  EXPECT_EQ(Send("AT+CPIN?\r", 5000), "AT+CPIN?\r\n+CPIN: READY\r\n");

  // The final OK of AT+CPIN? comes after the wait: no command is waiting,
  // so it is matched against nothing and goes up like any other line.
  ASSERT_TRUE(PumpUntil([&] { return unsolicited_.size() == 3; }, 2000));
  EXPECT_EQ(unsolicited_, (std::vector<ByteString>{"AT+CPIN?", "OK", "+MARK"}));

  // The next command resets the event before writing, so it waits for its
  // own answer instead of ending on that late OK.
  const auto start = Clock::now();
  EXPECT_EQ(Send("AT\r", 5000), "OK\r\n");
  EXPECT_GE(MsSince(start), 250);
}

TEST_F(ChannelTest, NoAnswerTimesOutWithEmptyResponseUntilTheNextAnswer) {
  peer_.Start([](PtyPeer& p, const std::string& line) {
    if (line == "AT+CGMM") p.Dribble("\r\nOK\r\n");
  });
  Open();
  const auto start = Clock::now();
  EXPECT_EQ(Send("AT\r", 300), "");
  const long long elapsed = MsSince(start);
  EXPECT_TRUE(TmyXComm::TimedOut());
  EXPECT_FALSE(channel_.LastAborted());
  EXPECT_FALSE(channel_.IsBusy());
  // Deadline 300 ms after the write, found passed after a 200 ms slice, and
  // the loop ends one slice later.
  EXPECT_GE(elapsed, 500);
  EXPECT_LT(MsSinceWrite(peer_, "AT"), 2000);

  EXPECT_EQ(Send("AT+CGMM\r", 2000), "OK\r\n");
  EXPECT_FALSE(TmyXComm::TimedOut());

  channel_.Disconnect();
  EXPECT_FALSE(channel_.Connected());
  EXPECT_FALSE(channel_.ComPort().Connected());
  EXPECT_TRUE(TmyXComm::ExpectedAnswers().empty());
}

TEST_F(ChannelTest, UnsolicitedLinesGoUpTrimmedAndDuringCommandsToo) {
  peer_.Start([](PtyPeer& p, const std::string& line) { p.Dribble(line + "\r\r\n+CMTI: \"SM\",1\r\n\r\nOK\r\n"); });
  Open();
  // The indication goes up and is no part of the command's response.
  EXPECT_EQ(Send("AT+CGMI\r"), "AT+CGMI\r\nOK\r\n");
  EXPECT_EQ(unsolicited_, (std::vector<ByteString>{"AT+CGMI", "+CMTI: \"SM\",1"}));

  // Closing the port empties the answers, as at process start: lines end
  // only at "\r" and every one goes up, even an OK or a prompt.
  channel_.Disconnect();
  Open();
  unsolicited_.clear();
  peer_.Dribble("\r\n  RING \r\n\r\nOK\r\n> x\r\n");
  ASSERT_TRUE(PumpUntil([&] { return unsolicited_.size() == 3; }, 2000));
  EXPECT_EQ(unsolicited_, (std::vector<ByteString>{"RING", "OK", "> x"}));
}

TEST_F(ChannelTest, ErrorInUpwardCallbackIsTracedAndLaterLinesStillArrive) {
  std::vector<ByteString> traces;
  TmyXComm::SetTraceSink([&](const ByteString& line) { traces.push_back(line); });
  channel_.OnUnsolicitedLine = [this](TmyXComm&, const ByteString& line) {
    if (line == "BOOM") throw Exception("boom");
    unsolicited_.push_back(line);
  };
  peer_.Start(nullptr);
  Open();
  peer_.Dribble("BOOM\r\nAFTER\r\n");
  ASSERT_TRUE(PumpUntil([&] { return !unsolicited_.empty(); }, 2000));
  EXPECT_EQ(unsolicited_, std::vector<ByteString>{"AFTER"});
  EXPECT_EQ(traces, (std::vector<ByteString>{"[RX] BOOM", "-ERR [ComRead] boom", "[RX] AFTER"}));
  TmyXComm::SetTraceSink(nullptr);  // before `traces` goes
}

TEST_F(ChannelTest, TraceGoesToSinkAndToFileNamedByEnvironment) {
  std::vector<ByteString> traces;
  std::mutex mutex;  // [TX] comes from the wait's thread
  TmyXComm::SetTraceSink([&](const ByteString& line) {
    std::lock_guard<std::mutex> lock(mutex);
    traces.push_back(line);
  });
  peer_.Start([](PtyPeer& p, const std::string& line) { p.Dribble(line + "\r\r\nOK\r\n"); });
  Open();
  Send("AT+CSQ\r");
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(traces, (std::vector<ByteString>{"[TX] AT+CSQ\r", "[RX] AT+CSQ", "[RX] OK"}));
  }
  TmyXComm::SetTraceSink(nullptr);  // before `traces` goes
  const std::string log = ReadFile(TraceEnvPath());
  const std::regex stamp("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
  for (const char* line : {"[TX] AT+CSQ\n", "[RX] AT+CSQ\n", "[RX] OK\n"}) {
    const size_t at = log.find(line);
    ASSERT_NE(at, std::string::npos) << line << " missing from:\n" << log;
    ASSERT_GE(at, 24u);
    EXPECT_TRUE(std::regex_match(log.substr(at - 24, 24), stamp)) << log.substr(at - 24, 24);
  }

  // A file set by a tool replaces it.
  const std::string other = TraceEnvPath() + ".other";
  TmyXComm::SetTraceFile(other);
  Send("AT+CREG?\r");
  TmyXComm::SetTraceFile(TraceEnvPath());
  EXPECT_NE(ReadFile(other).find("[TX] AT+CREG?\n"), std::string::npos);
  EXPECT_EQ(ReadFile(TraceEnvPath()).find("AT+CREG?"), std::string::npos);
  std::remove(other.c_str());
}

TEST(TraceRecord, Format) {
  DateTimeParts when;
  when.year = 2026;
  when.month = 12;
  when.day = 8;
  when.hour = 7;
  when.minute = 3;
  when.second = 1;
  when.millisecond = 23;
  const std::pair<ByteString, ByteString> cases[] = {
      {"[TX] ATZ\r", "2026-12-08 07:03:01.023 [TX] ATZ\n"},
      {"[RX] OK", "2026-12-08 07:03:01.023 [RX] OK\n"},
      {"[TX] 0011\x1a\r", "2026-12-08 07:03:01.023 [TX] 0011\\x1A\n"},
      {"[RX] a\rb\tc\x7f", "2026-12-08 07:03:01.023 [RX] a\\x0Db\\x09c\\x7F\n"},
      {"", "2026-12-08 07:03:01.023 \n"},
  };
  for (const auto& [line, record] : cases) EXPECT_EQ(FormatTraceRecord(when, line), record);
}

TEST_F(ChannelTest, HostTerminationDuringCommandRaisesOperationAborted) {
  peer_.Start([](PtyPeer&, const std::string& line) {
    if (line == "AT+COPS?") platform::RequestTermination();
  });
  Open();
  try {
    Send("AT+COPS?\r", 5000);
    FAIL() << "no abort";
  } catch (const EAbort& e) {
    EXPECT_STREQ(e.what(), "Operation aborted");
  }
  // The wait was stopped before the exception left: it saw the termination
  // on its next slice and ended as aborted.
  EXPECT_LT(MsSinceWrite(peer_, "AT+COPS?"), 2000);
  EXPECT_FALSE(channel_.IsBusy());
  EXPECT_FALSE(channel_.Busy());
  EXPECT_TRUE(channel_.LastAborted());
  EXPECT_FALSE(channel_.AbortRequested());

  // After an abort Disconnect closes at once.
  platform::ClearTermination();
  channel_.Disconnect();
  EXPECT_FALSE(channel_.ComPort().Connected());
}

TEST_F(ChannelTest, HostTerminationWhileAcquiringWritesNothing) {
  peer_.Start(nullptr);
  Open();
  // Another holder has the machine-wide lock for the whole attempt.
  platform::MachineLock other("DezIsBusy");
  ASSERT_TRUE(other.TryAcquire(60000));
  std::thread terminate([] {
    SleepFor(200);
    platform::RequestTermination();
  });
  EXPECT_THROW(Send("AT+CFUN=1\r", 5000), EAbort);
  terminate.join();
  other.Release();
  EXPECT_FALSE(channel_.IsBusy());
  SleepFor(50);
  EXPECT_EQ(peer_.Received(), "");
}

TEST_F(ChannelTest, TimeOutBeyondTickRangeDoesNotExpireAtOnce) {
  peer_.Start([](PtyPeer& p, const std::string&) {
    SleepFor(600);
    p.Dribble("\r\nOK\r\n");
  });
  Open();
  // The deadline is compared wrap-safe on the 32-bit tick; a time-out of
  // 2^32 - 1 ms must not come out as a deadline already passed.
  EXPECT_EQ(Send("AT\r", 0xFFFFFFFFu), "OK\r\n");
  EXPECT_FALSE(TmyXComm::TimedOut());
}

TEST_F(ChannelTest, DisconnectInsideRunningCommandLetsItFinishThenCloses) {
  channel_.OnUnsolicitedLine = [this](TmyXComm& sender, const ByteString& line) {
    unsolicited_.push_back(line);
    if (line == "RING") sender.Disconnect();
  };
  peer_.Start([](PtyPeer& p, const std::string& line) {
    if (line != "AT+CGSN") return;
    p.Dribble("\r\nRING\r\n");
    SleepFor(300);
    p.Dribble("\r\nOK\r\n");
  });
  Open();
  EXPECT_EQ(Send("AT+CGSN\r", 5000), "OK\r\n");  // RING went up, not into the response
  EXPECT_LT(MsSinceWrite(peer_, "AT+CGSN"), 2000);
  EXPECT_FALSE(TmyXComm::TimedOut());
  EXPECT_FALSE(channel_.Connected());
  EXPECT_FALSE(channel_.ComPort().Connected());
  EXPECT_FALSE(channel_.IsBusy());
}

TEST_F(ChannelTest, ClosingThePortEndsARunningWaitWithinOneSlice) {
  channel_.OnUnsolicitedLine = [](TmyXComm& sender, const ByteString& line) {
    if (line == "RING") sender.ComPort().ClosePort();
  };
  peer_.Start([](PtyPeer& p, const std::string& line) {
    if (line == "AT+CGSN") p.Dribble("\r\nRING\r\n");
  });
  Open();
  EXPECT_EQ(Send("AT+CGSN\r", 5000), "");  // RING went up, not into the response
  EXPECT_LT(MsSinceWrite(peer_, "AT+CGSN"), 1500);
  EXPECT_FALSE(TmyXComm::TimedOut());
  EXPECT_TRUE(TmyXComm::ExpectedAnswers().empty());
  EXPECT_FALSE(channel_.IsBusy());
}

TEST_F(ChannelTest, CommandOnClosedPortReturnsEmptyResponse) {
  std::vector<ByteString> traces;
  std::mutex mutex;
  TmyXComm::SetTraceSink([&](const ByteString& line) {
    std::lock_guard<std::mutex> lock(mutex);
    traces.push_back(line);
  });
  // Never connected: the write fails on the wait's thread and ends the wait
  // at once instead of after its time-out; the lock is released again.
  EXPECT_EQ(Send("AT\r", 60000), "");
  EXPECT_FALSE(channel_.IsBusy());
  TmyXComm::SetTraceSink(nullptr);
  ASSERT_EQ(traces.size(), 2u);
  EXPECT_EQ(traces[0], "[TX] AT\r");
  EXPECT_EQ(traces[1].rfind("-ERR [ComWrite] ", 0), 0u) << traces[1];
  platform::MachineLock probe("DezIsBusy");
  ASSERT_TRUE(probe.TryAcquire(60000));
  probe.Release();
}

TEST_F(ChannelTest, BytesWaitingBeforeOpenAreDiscarded) {
  peer_.Write("STALE\r\n");
  peer_.Start(nullptr);
  Open();
  peer_.Dribble("RING\r\n");
  ASSERT_TRUE(PumpUntil([&] { return !unsolicited_.empty(); }, 2000));
  EXPECT_EQ(unsolicited_, std::vector<ByteString>{"RING"});
}

TEST(ChannelConnect, RateThatNamesNoBaudRateIsRefusedAtOpen) {
  PtyPeer peer;
  TmyXComm channel;
  for (const char* rate : {"9601", "", "Custom", "-9600", "9600 "}) {
    try {
      channel.Connect(peer.SlavePath(), rate);
      ADD_FAILURE() << "opened with rate '" << rate << "'";
      channel.Disconnect();
    } catch (const EComPort& e) {
      EXPECT_EQ(e.ErrorCode(), 7) << rate;
    }
    EXPECT_TRUE(channel.Opening());
    EXPECT_FALSE(channel.Connected());
    EXPECT_FALSE(channel.ComPort().Connected());
  }
  // A valid rate afterwards opens.
  channel.Connect(peer.SlavePath(), "9600");
  EXPECT_TRUE(channel.Connected());
  EXPECT_FALSE(channel.Opening());
  EXPECT_EQ(channel.ComPort().BaudRate(), br9600);
}

TEST(ChannelConnect, MissingDeviceRaisesPortErrorUnchanged) {
  TmyXComm channel;
  try {
    channel.Connect("/dev/vela-no-such-device", "9600");
    FAIL() << "opened";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ErrorCode(), 1);
    EXPECT_NE(std::string(e.what()).find("Unable to open com port"), std::string::npos);
  }
  EXPECT_TRUE(channel.Opening());
  EXPECT_FALSE(channel.Connected());
}

// Each channel lives on its own thread (its lines are dispatched there).
struct ChannelOnThread {
  PtyPeer peer;
  ByteString response;
  std::atomic<Clock::rep> answered{0};  // set on the peer's thread
  std::thread thread;

  void Run(const ByteString& command) {
    peer.Start([this](PtyPeer& p, const std::string&) {
      SleepFor(300);
      answered = Clock::now().time_since_epoch().count();
      p.Dribble("\r\nOK\r\n");
    });
    thread = std::thread([this, command] {
      TmyXComm channel;
      channel.Connect(peer.SlavePath(), "115200");
      channel.SendCommand(command, kDefaultAnswers, response, 5000);
      channel.Disconnect();
    });
  }
};

TEST(ChannelLock, TwoChannelsPutOneCommandOnTheWireAtATime) {
  ChannelOnThread a, b;
  a.Run("AT+A\r");
  b.Run("AT+B\r");
  a.thread.join();
  b.thread.join();
  EXPECT_EQ(a.response, "OK\r\n");
  EXPECT_EQ(b.response, "OK\r\n");
  const Clock::time_point a_written = a.peer.LineTime("AT+A");
  const Clock::time_point b_written = b.peer.LineTime("AT+B");
  // The second command reached the wire only after the first one's answer.
  const Clock::time_point a_answered{Clock::duration(a.answered.load())};
  const Clock::time_point b_answered{Clock::duration(b.answered.load())};
  if (a_written < b_written) {
    EXPECT_GE(b_written, a_answered);
  } else {
    EXPECT_GE(a_written, b_answered);
  }
}

}  // namespace
}  // namespace vela

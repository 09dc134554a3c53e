// Channels of separate processes share the machine-wide lock: one command of
// all of them on the wire at a time, and a holder that dies does not keep it.
// The other processes are channel_child programs; their peers run here.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/sync.h"
#include "pty_peer.h"
#include "transport/comm.h"

extern char** environ;

namespace vela {
namespace {

using test::PtyPeer;
using Clock = PtyPeer::Clock;
using std::chrono::milliseconds;

// Other developers' test runs take the same lock, so every bound here is
// generous and no bound is taken from the start of the test.
constexpr int kChildLimitMs = 60000;

pid_t SpawnChild(const std::string& device, const std::string& command, uint32_t timeout_ms) {
  const std::string timeout = std::to_string(timeout_ms);
  char* argv[] = {const_cast<char*>(VELA_CHANNEL_CHILD), const_cast<char*>(device.c_str()),
                  const_cast<char*>(command.c_str()), const_cast<char*>(timeout.c_str()), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, VELA_CHANNEL_CHILD, nullptr, nullptr, argv, environ) != 0) return -1;
  return pid;
}

// The child's exit status, or -1 when it had to be killed after `limit_ms`.
int WaitChild(pid_t pid, int limit_ms) {
  const auto end = Clock::now() + milliseconds(limit_ms);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() >= end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(milliseconds(20));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A modem that answers each command 300 ms after receiving it.
struct SlowModem {
  PtyPeer peer;
  std::atomic<Clock::rep> answer_start{0};

  SlowModem() {
    peer.Start([this](PtyPeer& p, const std::string&) {
      std::this_thread::sleep_for(milliseconds(300));
      // Stamped before the write: the child can only see the answer later.
      answer_start = Clock::now().time_since_epoch().count();
      p.Write("\r\nOK\r\n");
    });
  }
  Clock::time_point Answered() const { return Clock::time_point(Clock::duration(answer_start.load())); }
};

TEST(ChannelProcesses, SecondCommandGoesOnTheWireOnlyAfterTheFirstWasAnswered) {
  SlowModem a, b;
  const pid_t pa = SpawnChild(a.peer.SlavePath(), "AT+A", 10000);
  const pid_t pb = SpawnChild(b.peer.SlavePath(), "AT+B", 10000);
  ASSERT_GT(pa, 0);
  ASSERT_GT(pb, 0);
  EXPECT_EQ(WaitChild(pa, kChildLimitMs), 0);
  EXPECT_EQ(WaitChild(pb, kChildLimitMs), 0);

  const Clock::time_point a_written = a.peer.LineTime("AT+A");
  const Clock::time_point b_written = b.peer.LineTime("AT+B");
  ASSERT_NE(a_written, Clock::time_point());
  ASSERT_NE(b_written, Clock::time_point());
  // Each modem took 300 ms to answer; the later command must not have been
  // written while the earlier one was still unanswered.
  if (a_written < b_written) {
    EXPECT_GE(b_written, a.Answered());
  } else {
    EXPECT_GE(a_written, b.Answered());
  }
}

TEST(ChannelProcesses, HolderKilledWhileWaitingDoesNotBlockTheNextCommand) {
  PtyPeer silent;
  silent.Start(nullptr);
  // Ten minutes: only the holder's death can free the lock within the test.
  const pid_t holder = SpawnChild(silent.SlavePath(), "AT+HOLD", 600000);
  ASSERT_GT(holder, 0);
  ASSERT_TRUE(silent.WaitForReceived("AT+HOLD\r\r", kChildLimitMs));
  {
    platform::MachineLock probe("DezIsBusy");
    EXPECT_FALSE(probe.TryAcquire(100));  // the command on the wire holds it
  }
  ::kill(holder, SIGKILL);
  int status = 0;
  ::waitpid(holder, &status, 0);
  const Clock::time_point killed = Clock::now();

  PtyPeer modem;
  modem.Start([](PtyPeer& p, const std::string&) { p.Write("\r\nOK\r\n"); });
  TmyXComm channel;
  channel.Connect(modem.SlavePath(), "115200");
  ByteString response;
  channel.SendCommand("AT+NEXT\r", {"OK"}, response, 5000);
  EXPECT_EQ(response, "OK\r\n");
  const Clock::time_point written = modem.LineTime("AT+NEXT");
  ASSERT_NE(written, Clock::time_point());
  // Other processes' commands may come first, but no one waits for the
  // dead holder's ten minutes.
  EXPECT_LT(written - killed, std::chrono::seconds(20));
  channel.Disconnect();
}

}  // namespace
}  // namespace vela

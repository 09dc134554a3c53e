// An open channel with nothing arriving must not poll: its threads sleep in
// the kernel until a byte, a write or a close wakes them.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/message_target.h"
#include "pty_peer.h"
#include "pump.h"
#include "transport/comm.h"

namespace vela {
namespace {

using test::PtyPeer;

double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Times the threads of this process gave up the processor of their own
// accord: each wake-up of a polling loop ends in one.
long VoluntarySwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

using test::PumpUntil;

struct IdleCase {
  const char* name;
  bool command_first;  // a command ran (write, transmit-empty, answer) before the idle time
};

class ChannelIdle : public ::testing::TestWithParam<IdleCase> {};

TEST_P(ChannelIdle, CostsNearlyNoProcessorTimeAndStillReceives) {
  PtyPeer peer;
  TmyXComm channel;
  std::vector<ByteString> unsolicited;
  channel.OnUnsolicitedLine = [&](TmyXComm&, const ByteString& line) { unsolicited.push_back(line); };
  if (GetParam().command_first) peer.Start([](PtyPeer& p, const std::string&) { p.Write("\r\nOK\r\n"); });
  channel.Connect(peer.SlavePath(), "115200");
  if (GetParam().command_first) {
    ByteString response;
    channel.SendCommand("AT\r", {"OK"}, response, 5000);
    ASSERT_EQ(response, "OK\r\n");
  }
  peer.Stop();  // the peer's own reader must not count

  // The host's message loop, as an idle host would run it.
  const double cpu_before = ProcessCpuMs();
  const long switches_before = VoluntarySwitches();
  platform::RunMessageLoop(2000);
  const double cpu_ms = ProcessCpuMs() - cpu_before;
  const long wakeups = VoluntarySwitches() - switches_before;
  std::printf("[ idle     ] %s: %.2f ms processor time in 2 s (%.3f %% of one core), %ld wake-ups\n", GetParam().name,
              cpu_ms, cpu_ms / 20.0, wakeups);
  EXPECT_LT(cpu_ms, 40.0);  // 2 % of one core: a busy loop
  // A 50 ms poll wakes 40 times in 2 s, a 10 ms one 200 times; the sanitizer's
  // own background thread wakes about 20 times.
  EXPECT_LT(wakeups, 35);

  // The idle channel still reports what arrives.
  peer.Write("RING\r\n");
  EXPECT_TRUE(PumpUntil([&] { return !unsolicited.empty(); }, 5000));
  EXPECT_EQ(unsolicited, std::vector<ByteString>{"RING"});
  channel.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Channel, ChannelIdle,
                         ::testing::Values(IdleCase{"just connected", false}, IdleCase{"after a command", true}),
                         [](const auto& info) { return info.param.command_first ? "AfterCommand" : "JustConnected"; });

}  // namespace
}  // namespace vela

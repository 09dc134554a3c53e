// The driver's accept hook, through the simulated modem: an indication the
// host does not accept is neither acknowledged nor reported; an accepted one
// is acknowledged after the hook returned.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "modem/vuz_vela.h"
#include "modem_sim.h"
#include "platform/message_target.h"
#include "pump.h"

namespace vela {
namespace {

using test::PumpUntil;

TEST(DriverAcceptHook, RefusedIndicationsAreNotAcknowledgedNorReported) {
  sim::ModemSim sim;
  sim.Start();
  TVuZVela driver;
  driver.Port = sim.DevicePath();
  driver.Lock = TVuZVela::LockScope::kPort;  // not held up by other programs on the machine
  std::vector<std::string> received, reports;
  driver.OnReceiveMessage = [&](const ByteString&, const ByteString& text, DateTime) { received.push_back(text); };
  driver.OnDeliveryReport = [&](const ByteString& ref, bool, DateTime, DateTime) { reports.push_back(ref); };
  struct Call {
    bool report;
    int cnmaBefore;
  };
  std::vector<Call> calls;
  bool accept = false;
  driver.OnAcceptIndication = [&](bool report, const ByteString& pdu) {
    EXPECT_FALSE(pdu.empty());
    calls.push_back({report, sim.CnmaCount()});
    return accept;
  };
  driver.Open();
  sim.ClearLogs();

  sim.InjectDeliver("+4915112345", "kept by the network");
  ASSERT_TRUE(PumpUntil([&] { return calls.size() == 1; }, 5000));
  sim.InjectReport(7);
  ASSERT_TRUE(PumpUntil([&] { return calls.size() == 2; }, 5000));
  EXPECT_FALSE(calls[0].report);
  EXPECT_TRUE(calls[1].report);
  EXPECT_EQ(sim.CnmaCount(), 0);
  EXPECT_TRUE(received.empty());
  EXPECT_TRUE(reports.empty());

  // Accepted: acknowledged only after the hook ran (the count it saw was 0).
  accept = true;
  sim.InjectDeliver("+4915112345", "taken");
  ASSERT_TRUE(PumpUntil([&] { return received.size() == 1; }, 5000));
  EXPECT_EQ(calls.back().cnmaBefore, 0);
  EXPECT_EQ(sim.CnmaCount(), 1);
  EXPECT_EQ(received[0], "taken");

  // A hook that throws counts as a refusal.
  driver.OnAcceptIndication = [&](bool, const ByteString&) -> bool { throw std::runtime_error("disk full"); };
  sim.InjectReport(8);
  platform::DispatchPendingMessages();
  ASSERT_TRUE(sim.WaitForIndicationsWritten(5000));
  bool more = PumpUntil([&] { return !reports.empty(); }, 500);
  EXPECT_FALSE(more);
  EXPECT_EQ(sim.CnmaCount(), 1);
  driver.Close();
}

}  // namespace
}  // namespace vela

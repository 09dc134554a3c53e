// The modem driver end to end: TVuZVela -> channel -> pty -> simulated modem.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "modem/vuz_vela.h"
#include "modem_test_util.h"
#include "common/datetime.h"
#include "modem_sim.h"

namespace vela {
namespace {

using sim::ModemSim;
using sim::ModemSimOptions;
using test::EventLog;
using test::PumpFor;
using test::PumpUntil;

const std::vector<std::string> kScript = {
    "ATZ",      "ATE1",      "AT",        "AT+CGMI",   "AT+CGMM",          "AT+CGSN",
    "AT+CPIN?", "AT+CMGF=0", "AT+CSMS=?", "AT+CSMS=1", "AT+CNMI=2,2,2,1,1"};

std::vector<std::string> Head(const std::vector<std::string>& v, size_t n) {
  return std::vector<std::string>(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min(n, v.size())));
}

size_t CountOf(const std::vector<std::string>& commands, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(commands.begin(), commands.end(), [&](const std::string& c) {
    return c.compare(0, prefix.size(), prefix) == 0;
  }));
}

class DriverSimTest : public ::testing::Test {
 protected:
  void Start(ModemSimOptions options = {}) {
    sim_ = std::make_unique<ModemSim>(options);
    sim_->Start();
    driver_ = std::make_unique<TVuZVela>();
    driver_->Port = sim_->DevicePath();
    events_.Attach(*driver_);
  }
  void TearDown() override {
    driver_.reset();
    sim_.reset();
  }

  std::unique_ptr<ModemSim> sim_;
  std::unique_ptr<TVuZVela> driver_;
  EventLog events_;
};

TEST_F(DriverSimTest, OpenRunsTheScriptInOrderWithOneExtraCarriageReturnEach) {
  Start();
  std::vector<std::pair<int, ByteString>> steps;
  driver_->OnStep = [&](int step, const ByteString& text) { steps.emplace_back(step, text); };
  driver_->Open();

  EXPECT_TRUE(driver_->IsOpen());
  EXPECT_TRUE(driver_->MessageServiceReady());
  EXPECT_EQ(sim_->Commands(), kScript);
  std::string wire;
  for (const std::string& command : kScript) wire += command + "\r\r";
  EXPECT_EQ(sim_->WireLog(), wire);
  EXPECT_EQ(driver_->Manufacturer(), "VelaSim");
  EXPECT_EQ(driver_->DeviceModel(), "GSM-1");
  EXPECT_EQ(driver_->DeviceSerial(), "356938035643809");
  ASSERT_EQ(steps.size(), 8u);
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(steps[i].first, static_cast<int>(i) + 1);
    EXPECT_FALSE(steps[i].second.empty());
  }
}

TEST_F(DriverSimTest, LaterOpensSkipTheMessageServiceSettings) {
  Start();
  driver_->Open();
  driver_->Close();
  EXPECT_FALSE(driver_->IsOpen());
  sim_->ClearLogs();
  driver_->Open();
  EXPECT_EQ(sim_->Commands(), Head(kScript, 7));

  // Opening again while open runs steps 1-7 on the same port.
  sim_->ClearLogs();
  driver_->Open();
  EXPECT_TRUE(driver_->IsOpen());
  EXPECT_EQ(sim_->Commands(), Head(kScript, 7));
}

TEST_F(DriverSimTest, PinPaths) {
  struct Case {
    const char* simPin;
    const char* driverPin;
    bool opens;
    bool pinSent;
  };
  const Case cases[] = {
      {"1234", "1234", true, true},    // the SIM asks, the PIN is entered
      {"1234", "", false, false},      // the SIM asks, no PIN
      {"1234", " \t ", false, false},  // blank counts as no PIN
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("pin '") + c.driverPin + "'");
    ModemSimOptions options;
    options.pin = c.simPin;
    Start(options);
    driver_->Pin = c.driverPin;
    if (c.opens) {
      driver_->Open();
      EXPECT_TRUE(driver_->IsOpen());
      EXPECT_EQ(CountOf(sim_->Commands(), "AT+CNMI=2,2,2,1,1"), 1u);
    } else {
      try {
        driver_->Open();
        ADD_FAILURE() << "Open succeeded";
      } catch (const EXVelaException& e) {
        EXPECT_STREQ(e.what(), "Cannot initialize commands on modem. Check and Set Pin error.");
      }
      EXPECT_FALSE(driver_->IsOpen());
      EXPECT_EQ(sim_->Commands(), Head(kScript, 7));
    }
    EXPECT_EQ(CountOf(sim_->Commands(), "AT+CPIN=" + std::string(c.driverPin)), c.pinSent ? 1u : 0u);
    TearDown();
  }
}

TEST_F(DriverSimTest, MessageServiceIsRetriedAfterThePinUntilTheSimIsReady) {
  ModemSimOptions options;
  options.pin = "0000";
  options.failCmgfTimes = 2;
  Start(options);
  driver_->Pin = "0000";
  const auto start = std::chrono::steady_clock::now();
  driver_->Open();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(driver_->MessageServiceReady());
  EXPECT_EQ(CountOf(sim_->Commands(), "AT+CMGF=0"), 3u);
  EXPECT_EQ(CountOf(sim_->Commands(), "AT+CSMS=1"), 1u);
  EXPECT_GE(elapsed, std::chrono::milliseconds(3000));  // one pause before each attempt
}

TEST_F(DriverSimTest, ModemWithoutServiceOneOpensWithStorageRouting) {
  ModemSimOptions options;
  options.smsServices = "0";
  Start(options);
  driver_->Open();
  EXPECT_TRUE(driver_->IsOpen());
  EXPECT_TRUE(driver_->MessageServiceReady());
  EXPECT_TRUE(driver_->StorageRouting());
  std::vector<std::string> script = Head(kScript, 9);
  script.insert(script.end(), {"AT+CSMS=0", "AT+CNMI=2,1,0,1,0"});
  EXPECT_EQ(sim_->Commands(), script);
  EXPECT_EQ(CountOf(sim_->Commands(), "AT+CSMS=1"), 0u);

  // Messages are stored and indicated; each is read, reported once and deleted.
  sim_->InjectDeliver("+4915112345678", "stored one");
  sim_->InjectDeliver("+4915112345678", "stored two");
  ASSERT_TRUE(PumpUntil([&] { return events_.received.size() == 2 && sim_->Stored().empty(); }, 10000))
      << events_.received.size() << " reported, " << sim_->Stored().size() << " still stored";
  PumpFor(200);
  ASSERT_EQ(events_.received.size(), 2u);
  EXPECT_EQ(events_.received[0].text, "stored one");
  EXPECT_EQ(events_.received[1].text, "stored two");
  EXPECT_EQ(sim_->TotalDeletions(), 2);
  EXPECT_EQ(sim_->CnmaCount(), 0);
}

TEST_F(DriverSimTest, SubmitReturnsTheModemsReferenceAndReportsItInHex) {
  ModemSimOptions options;
  options.reportDelayMs = 50;
  Start(options);
  driver_->Open();

  struct Case {
    bool report;
    const char* text;
  };
  const Case cases[] = {{false, "Hello world"}, {true, "With report"}};
  for (size_t i = 0; i < 2; ++i) {
    ByteString reference = "stale";
    driver_->SubmitMessage("+4917012345678", cases[i].text, reference, cases[i].report);
    const auto submits = sim_->Submits();
    ASSERT_EQ(submits.size(), i + 1);
    const auto& record = submits.back();
    EXPECT_TRUE(record.accepted) << record.error;
    EXPECT_EQ(record.statusReportRequest, cases[i].report);
    EXPECT_EQ(record.destination, "+4917012345678");
    EXPECT_EQ(record.text, cases[i].text);
    EXPECT_EQ(record.announcedLength * 2 + 2, static_cast<int>(record.pdu.size()));
    EXPECT_EQ(reference, std::to_string(record.reference));
  }
  // Only the second message asked for a report; it names the reference in hex.
  ASSERT_TRUE(PumpUntil([&] { return events_.reports.size() == 1; }, 5000));
  PumpFor(200);
  ASSERT_EQ(events_.reports.size(), 1u);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", sim_->Submits().back().reference & 0xFF);
  EXPECT_EQ(events_.reports[0].reference, hex);
  EXPECT_TRUE(events_.reports[0].delivered);
  EXPECT_GT(events_.reports[0].serviceCentreTime, 0);
  EXPECT_GT(events_.reports[0].dischargeTime, 0);
  EXPECT_EQ(sim_->CnmaCount(), 1);
}

// The answer (here a refusal) comes after the simulated network's delay.
TEST_F(DriverSimTest, RefusedMessageGivesAnEmptyReferenceAfterTheNetworksDelay) {
  ModemSimOptions options;
  options.refuseSend = true;
  options.sendDelayMs = 300;
  Start(options);
  driver_->Open();
  ByteString reference = "stale";
  const auto start = std::chrono::steady_clock::now();
  driver_->SubmitMessage("+4917012345678", "refused", reference, false);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(reference, "");
  ASSERT_EQ(sim_->Submits().size(), 1u);
  EXPECT_FALSE(sim_->Submits()[0].accepted);
}

TEST_F(DriverSimTest, EncoderErrorPropagatesAndNothingIsSent) {
  Start();
  driver_->Open();
  sim_->ClearLogs();
  ByteString reference;
  EXPECT_THROW(driver_->SubmitMessage("", "no destination", reference, false), Exception);
  EXPECT_TRUE(sim_->Commands().empty());
}

TEST_F(DriverSimTest, SubmitOnAClosedPortGivesAnEmptyReference) {
  Start();
  driver_->Open();
  driver_->Close();
  sim_->ClearLogs();
  ByteString reference = "stale";
  const auto start = std::chrono::steady_clock::now();
  driver_->SubmitMessage("+4917012345678", "closed", reference, false);
  EXPECT_EQ(reference, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(sim_->WireLog().empty());
}

TEST_F(DriverSimTest, IncomingMessagesAndReportsAreAcknowledgedAndReported) {
  Start();
  driver_->Open();
  sim_->InjectDeliver("+4915112345678", "Hi there");
  sim_->InjectReport(26, 0x00);
  sim_->InjectReport(27, 0x45);  // permanent error: not delivered
  sim_->InjectDeliver("+4915112345678", "second");
  ASSERT_TRUE(PumpUntil([&] { return events_.received.size() == 2 && events_.reports.size() == 2; }, 5000));
  EXPECT_EQ(events_.received[0].originator, "+4915112345678");
  EXPECT_EQ(events_.received[0].text, "Hi there");
  EXPECT_GT(events_.received[0].serviceCentreTime, 0);
  EXPECT_EQ(events_.received[1].text, "second");
  EXPECT_EQ(events_.reports[0].reference, "1A");
  EXPECT_TRUE(events_.reports[0].delivered);
  EXPECT_EQ(events_.reports[1].reference, "1B");
  EXPECT_FALSE(events_.reports[1].delivered);
  ASSERT_TRUE(sim_->WaitForCnmaCount(4, 2000));
  EXPECT_EQ(sim_->UnexpectedCnmaCount(), 0);
}

TEST_F(DriverSimTest, RingChangesNothing) {
  Start();
  driver_->Open();
  sim_->ClearLogs();
  sim_->InjectRing();
  sim_->InjectRawLine("+CREG: 1");
  ASSERT_TRUE(sim_->WaitForIndicationsWritten(2000));
  PumpFor(300);
  EXPECT_TRUE(events_.received.empty());
  EXPECT_TRUE(sim_->Commands().empty());  // no acknowledgement
  // The state is untouched: the next indication is read normally.
  sim_->InjectDeliver("+4915112345678", "after ring");
  ASSERT_TRUE(PumpUntil([&] { return events_.received.size() == 1; }, 5000));
  EXPECT_EQ(events_.received[0].text, "after ring");
  EXPECT_EQ(sim_->Commands(), std::vector<std::string>{"AT+CNMA"});
}

TEST_F(DriverSimTest, MessagesInjectedWhileSendingAreAllReportedInOrder) {
  ModemSimOptions options;
  options.reportDelayMs = 0;
  Start(options);
  driver_->Open();
  sim_->ClearLogs();

  constexpr int kIncoming = 200;
  std::thread injector([&] {
    for (int i = 0; i < kIncoming; ++i) {
      sim_->InjectDeliver("+4915112345678", "message " + std::to_string(i));
      if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  int sent = 0;
  for (int i = 0; i < 10; ++i) {
    ByteString reference;
    driver_->SubmitMessage("+4917012345678", "outgoing " + std::to_string(i), reference, false);
    if (!reference.empty()) ++sent;
  }
  injector.join();
  EXPECT_EQ(sent, 10);

  ASSERT_TRUE(PumpUntil([&] { return events_.received.size() >= kIncoming; }, 60000))
      << events_.received.size() << " events";
  PumpFor(200);
  ASSERT_EQ(events_.received.size(), static_cast<size_t>(kIncoming));
  for (int i = 0; i < kIncoming; ++i) EXPECT_EQ(events_.received[i].text, "message " + std::to_string(i));
  EXPECT_EQ(sim_->CnmaCount(), kIncoming);
  EXPECT_EQ(sim_->UnexpectedCnmaCount(), 0);
  EXPECT_EQ(driver_->DeferredIndications(), 0u);
}

}  // namespace
}  // namespace vela

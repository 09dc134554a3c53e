// velasms send, listen and info run in-process against the simulated modem
// on a pseudo-terminal: output lines, exit statuses, and ending by signal.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "commands.h"
#include "platform/termination.h"
#include "modem_sim.h"

namespace vela::tool {
namespace {

using sim::ModemSim;
using sim::ModemSimOptions;

struct Result {
  int status;
  std::string out, err;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ToolModem : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearTermination(); }

  void Start(ModemSimOptions options = {}) {
    sim_ = std::make_unique<ModemSim>(options);
    sim_->Start();
  }

  Result Velasms(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--port", sim_->DevicePath()});
    std::ostringstream out, err;
    int status = RunVelasms(args, out, err);
    return {status, out.str(), err.str()};
  }

  std::unique_ptr<ModemSim> sim_;
};

TEST_F(ToolModem, InfoPrintsTheIdentityAndShowsTheOpeningSteps) {
  ModemSimOptions options;
  options.manufacturer = "ACME \"Radio\"";
  options.model = "M-2";
  options.serial = "0042";
  Start(options);
  Result r = Velasms({"info", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  // The identity first, as it always was; the modem's state follows.
  EXPECT_EQ(r.out.rfind(R"({"manufacturer": "ACME \"Radio\"", "model": "M-2", "serial": "0042", )", 0), 0u) << r.out;
  EXPECT_TRUE(Contains(r.err, "velasms: opening the modem, step 1: ")) << r.err;
  EXPECT_TRUE(Contains(r.err, "velasms: opening the modem, step 8: ")) << r.err;

  r = Velasms({"info"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("Manufacturer: ACME \"Radio\"\nModel:        M-2\nSerial:       0042\n", 0), 0u) << r.out;
}

TEST_F(ToolModem, PinIsEnteredWhenGivenAndItsAbsenceIsAnError) {
  ModemSimOptions options;
  options.pin = "1234";
  Start(options);
  Result r = Velasms({"info", "--json"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Contains(r.err, "velasms info: Cannot initialize commands on modem. Check and Set Pin error.\n"))
      << r.err;

  r = Velasms({"info", "--json", "--pin", "1234"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(sim_->WaitForCommand("AT+CPIN=1234", 0));
}

TEST_F(ToolModem, SendWaitsForTheReportAndPrintsWhatArrivesMeanwhile) {
  Start();
  // A message to the simulator's own number comes back; --wait-report asks for the report.
  Result r = Velasms({"send", "--single", "--json", "--to", "+15550000000", "--wait-report", "10",
                      "Gr\xC3\xBC\xC3\x9F"
                      "e"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0], R"({"reference": "1"})");
  EXPECT_EQ(lines[1].rfind("{\"event\": \"message\", \"from\": \"+15550000000\", \"text\": \"Gr\xC3\xBC\xC3\x9F"
                           "e\", "
                           "\"smsc_time\": \"",
                           0),
            0u)
      << lines[1];
  EXPECT_EQ(lines[2].rfind(R"({"event": "report", "reference": "01", "delivered": true, "smsc_time": ")", 0), 0u)
      << lines[2];
  ASSERT_EQ(sim_->Submits().size(), 1u);
  EXPECT_TRUE(sim_->Submits()[0].statusReportRequest);
  EXPECT_EQ(sim_->Submits()[0].text,
            "Gr\xC3\xBC\xC3\x9F"
            "e");
}

TEST_F(ToolModem, SendWithoutWaitingPrintsOnlyTheReference) {
  Start();
  Result r = Velasms({"send", "--single", "--to", "+4930123", "hello"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Reference: 1\n");
  r = Velasms({"send", "--single", "--json", "--status-report", "--to", "+4930123", "again"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, R"({"reference": "2"})"
                   "\n");
  ASSERT_EQ(sim_->Submits().size(), 2u);
  EXPECT_FALSE(sim_->Submits()[0].statusReportRequest);
  EXPECT_TRUE(sim_->Submits()[1].statusReportRequest);
  EXPECT_EQ(sim_->Submits()[1].destination, "+4930123");
}

TEST_F(ToolModem, SendExitsOneWhenTheModemRefuses) {
  ModemSimOptions options;
  options.refuseSend = true;
  Start(options);
  Result r = Velasms({"send", "--single", "--json", "--to", "+4930123", "--wait-report", "5", "hello"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, R"({"reference": ""})"
                   "\n");
  EXPECT_TRUE(Contains(r.err, "velasms send: the modem refused the message\n")) << r.err;
}

TEST_F(ToolModem, SendReportsAMissingOrNegativeReport) {
  ModemSimOptions options;
  options.reportDelayMs = 3000;
  Start(options);
  auto begin = std::chrono::steady_clock::now();
  Result r = Velasms({"send", "--single", "--json", "--to", "+4930123", "--wait-report", "0.3", "hello"});
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, R"({"reference": "1"})"
                   "\n");
  EXPECT_TRUE(Contains(r.err, "velasms send: no delivery report for reference 1 within 0.3 s\n")) << r.err;

  // A report that says "not delivered" is still the awaited report.
  options.reportDelayMs = 50;
  options.reportStatus = 0x40;
  sim_->SetOptions(options);
  r = Velasms({"send", "--single", "--json", "--to", "+4930123", "--wait-report", "10", "hello"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[1].rfind(R"({"event": "report", "reference": "02", "delivered": false, )", 0), 0u) << lines[1];
}

TEST_F(ToolModem, ListenPrintsEventsUntilTheCount) {
  Start();
  std::thread injector([&] {
    // Once the indications are routed to the line, a message and a report arrive.
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
    sim_->InjectDeliver("+4912345", "line1\nsay \"hi\"");
    sim_->InjectReport(26, 0);
    sim_->InjectDeliver("+4912345", "not read: the count is reached");
  });
  Result r = Velasms({"listen", "--json", "--count", "2", "--timeout", "20"});
  injector.join();
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  // A whole message's text is what was sent: its line feed stays one.
  EXPECT_EQ(
      lines[0].rfind(R"({"event": "message", "from": "+4912345", "text": "line1\nsay \"hi\"", "smsc_time": ")", 0), 0u)
      << lines[0];
  EXPECT_EQ(lines[1].rfind(R"({"event": "report", "reference": "1A", "delivered": true, "smsc_time": ")", 0), 0u)
      << lines[1];
  EXPECT_TRUE(Contains(lines[1], R"(", "discharge_time": ")")) << lines[1];
  // What came after the count was neither printed nor acknowledged.
  EXPECT_EQ(sim_->CnmaCount(), 2);
}

TEST_F(ToolModem, ListenEndsAtTheTimeout) {
  Start();
  auto begin = std::chrono::steady_clock::now();
  Result r = Velasms({"listen", "--json", "--timeout", "0.2"});
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(ToolModem, InterruptEndsListenCleanlyAndTheModemCanBeOpenedAgain) {
  Start();
  std::thread interrupter([&] {
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    kill(getpid(), SIGINT);  // handled by listen's own handler, not the default one
  });
  auto begin = std::chrono::steady_clock::now();
  Result r = Velasms({"listen", "--json"});
  interrupter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");

  platform::ClearTermination();
  sim_->ClearLogs();
  r = Velasms({"info", "--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(sim_->WaitForCommand("ATZ", 0));
}

TEST_F(ToolModem, InterruptDuringOpeningAbortsWithStatusTwo) {
  ModemSimOptions options;
  options.silent = true;  // the reset is never answered
  Start(options);
  std::thread interrupter([&] {
    sim_->WaitForCommand("ATZ", 10000);
    kill(getpid(), SIGTERM);
  });
  auto begin = std::chrono::steady_clock::now();
  Result r = Velasms({"info"});
  interrupter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "velasms info: Operation aborted\n")) << r.err;
}

}  // namespace
}  // namespace vela::tool

// velasms send --gateway and velasms inbox against the HTTP API on the
// loopback address (a real store; a test thread plays the modem worker).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "commands.h"
#include "gateway/http_api.h"
#include "gateway/sqlite_store.h"
#include "gateway_test_util.h"

namespace vela::gateway {
namespace {

using nlohmann::json;

class OneModem : public ModemDirectory {
 public:
  std::vector<ModemInfo> Modems() override {
    ModemInfo a;
    a.name = "a";
    a.state = "up";
    return {a};
  }
  bool Has(const std::string& name) override { return name == "a"; }
  void WakeSenders() override {}
};

class GatewayClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_unique<SqliteStore>(dir_.Path("g.db"));
    WriteFile(dir_.Path("token"), "secret\n");
    ApiSettings s;
    s.token = "secret";
    s.eventKeepAliveMs = 200;
    api_ = std::make_unique<HttpApi>(*store_, modems_, events_, metrics_, s);
    api_->Bind("127.0.0.1", 0);
    thread_ = std::thread([this] { api_->Run(); });
    url_ = "http://127.0.0.1:" + std::to_string(api_->Port());
  }
  void TearDown() override {
    api_->Stop();
    thread_.join();
  }
  int Run(std::vector<std::string> args, std::string& out, std::string& err) {
    std::ostringstream o, e;
    const int rc = tool::RunVelasms(args, o, e);
    out = o.str();
    err = e.str();
    return rc;
  }
  // Plays the worker: takes the next message, sends it with `references`,
  // and optionally records the reports.
  std::thread Worker(std::vector<std::string> references, int reportStatus) {
    return std::thread([this, references, reportStatus] {
      for (int i = 0; i < 200; ++i) {
        if (auto m = store_->ClaimNext("a", NowMs())) {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          store_->MarkSent(m->id, references, NowMs());
          events_.Notify();
          if (reportStatus >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (const std::string& r : references) {
              store_->RecordReport(ReportRecord{"a", std::stoi(r), reportStatus, "", ""}, NowMs());
            }
            events_.Notify();
          }
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }

  TempDir dir_;
  std::unique_ptr<SqliteStore> store_;
  OneModem modems_;
  EventNotifier events_;
  Metrics metrics_;
  std::unique_ptr<HttpApi> api_;
  std::thread thread_;
  std::string url_;
};

TEST_F(GatewayClientTest, SendWaitsUntilSentAndPrintsTheReferences) {
  std::thread worker = Worker({"7", "8"}, -1);
  std::string out, err;
  const int rc = Run({"send", "--gateway", url_, "--token-file", dir_.Path("token"), "--to", "+15551234567", "--json",
                      "a long message"},
                     out, err);
  worker.join();
  EXPECT_EQ(rc, 0) << err;
  json line = json::parse(out);
  EXPECT_EQ(line["reference"], "7");
  EXPECT_EQ(line["references"], json::array({"7", "8"}));
  EXPECT_EQ(line["parts"], 2);
  auto m = store_->GetMessage(line["id"]);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->to, "+15551234567");
  EXPECT_FALSE(m->report);
}

TEST_F(GatewayClientTest, SendWithWaitReportEndsWithTheMessageLevelReport) {
  std::thread worker = Worker({"9"}, 0x41);
  std::string out, err;
  const int rc = Run({"send", "--gateway", url_, "--token-file", dir_.Path("token"), "--to", "+15551234567",
                      "--wait-report", "10", "--json", "hi"},
                     out, err);
  worker.join();
  EXPECT_EQ(rc, 0) << err;
  std::istringstream lines(out);
  std::string first, second;
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_EQ(json::parse(first)["reference"], "9");
  json report = json::parse(second);
  EXPECT_EQ(report["event"], "report");
  EXPECT_EQ(report["delivered"], false);
}

TEST_F(GatewayClientTest, SendReportsGatewayRefusalsAndFailures) {
  std::string out, err;
  EXPECT_EQ(Run({"send", "--gateway", url_, "--token-file", dir_.Path("token"), "--to", "abc", "hi"}, out, err), 2);
  EXPECT_NE(err.find("422"), std::string::npos) << err;
  EXPECT_NE(err.find("invalid destination"), std::string::npos) << err;

  WriteFile(dir_.Path("wrong"), "nope\n");
  EXPECT_EQ(Run({"send", "--gateway", url_, "--token-file", dir_.Path("wrong"), "--to", "+1555", "hi"}, out, err), 2);
  EXPECT_NE(err.find("401"), std::string::npos) << err;

  EXPECT_EQ(Run({"send", "--gateway", url_, "--token-file", dir_.Path("token"), "--to", "+1555", "--no-wait", "--json",
                 "later"},
                out, err),
            0);
  EXPECT_EQ(json::parse(out)["status"], "queued");

  // A permanent failure: exit 1, as the direct send for a refused message.
  // Both queued messages ("later" and this one) are refused once both are there.
  std::thread failer([this] {
    for (int i = 0; i < 250 && store_->ListMessages({status::kQueued, 0, 10}).size() < 2; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    while (auto m = store_->ClaimNext("a", NowMs())) {
      store_->MarkFinal(m->id, status::kFailed, "+CMS ERROR: 304", NowMs());
      events_.Notify();
    }
  });
  EXPECT_EQ(Run({"send", "--gateway", url_, "--token-file", dir_.Path("token"), "--to", "+1555", "x"}, out, err), 1);
  EXPECT_NE(err.find("failed"), std::string::npos) << err;
  failer.join();
}

TEST_F(GatewayClientTest, InboxPrintsLikeListen) {
  for (int i = 0; i < 3; ++i) {
    ReceivedMessage m;
    m.modem = "a";
    m.originator = "+4917" + std::to_string(i);
    m.text = i == 1 ? "two\nlines" : "text " + std::to_string(i);
    m.smscTime = i == 2 ? "" : "2026-12-09 01:02:03";
    store_->AddReceived(m, {}, false, NowMs());
  }
  std::string out, err;
  ASSERT_EQ(Run({"inbox", "--gateway", url_, "--token-file", dir_.Path("token"), "--json", "--since", "1"}, out, err),
            0)
      << err;
  std::istringstream lines(out);
  std::string line;
  std::vector<json> got;
  while (std::getline(lines, line)) got.push_back(json::parse(line));
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]["event"], "message");
  EXPECT_EQ(got[0]["text"], "two\nlines");
  EXPECT_EQ(got[0]["smsc_time"], "2026-12-09 01:02:03");
  EXPECT_TRUE(got[1]["smsc_time"].is_null());
  EXPECT_EQ(out.find("{\"event\": \"message\", \"from\": \"+49171\""), 0u) << out;

  ASSERT_EQ(Run({"inbox", "--gateway", url_, "--token-file", dir_.Path("token"), "--limit", "1"}, out, err), 0);
  EXPECT_EQ(out, "Message from +49170 (service centre time 2026-12-09 01:02:03):\n  text 0\n");
  EXPECT_EQ(Run({"inbox", "--token-file", dir_.Path("token")}, out, err), 2);
  EXPECT_NE(err.find("--gateway"), std::string::npos);
}

}  // namespace
}  // namespace vela::gateway

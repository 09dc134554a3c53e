// What the gateway receives beside POST /v1/messages: Alertmanager's webhook,
// USSD on a modem, and HTTPS. A gateway in this process with a simulated
// modem on a pseudo-terminal, real HTTP(S) on the loopback address.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "coding/text_coding.h"
#include "commands.h"
#include "gateway/alertmanager.h"
#include "gateway/gateway.h"
#include "gateway_test_util.h"
#include "modem_sim.h"
#include "common/utf8.h"
#include "sim_ussd.h"

namespace vela::gateway {
namespace {

using nlohmann::json;

// One alert as Alertmanager's webhook (payload version 4) carries it.
json Alert(const std::string& status, const std::string& name, const std::string& instance) {
  json labels{{"alertname", name}, {"job", "node"}, {"severity", "critical"}};
  if (!instance.empty()) labels["instance"] = instance;
  return json{{"status", status},
              {"labels", labels},
              {"annotations", {{"summary", name + " on " + instance}}},
              {"startsAt", "2026-12-09T08:00:00.000Z"},
              {"endsAt", status == "resolved" ? "2026-12-09T08:10:00.000Z" : "0001-01-01T00:00:00Z"},
              {"generatorURL", "http://prometheus.example.org:9090/graph?g0.expr=up+%3D%3D+0"},
              {"fingerprint", "1a30ba71cca2921f"}};
}

json Payload(const std::string& status, const std::string& name, std::vector<json> alerts, bool common = true) {
  json commonLabels{{"job", "node"}, {"severity", "critical"}};
  if (common) commonLabels["alertname"] = name;
  return json{{"receiver", "sms"},
              {"status", status},
              {"alerts", alerts},
              {"groupLabels", {{"alertname", name}}},
              {"commonLabels", commonLabels},
              {"commonAnnotations", json::object()},
              {"externalURL", "http://alertmanager.example.org:9093"},
              {"version", "4"},
              {"groupKey", "{}/{severity=\"critical\"}:{alertname=\"" + name + "\"}"},
              {"truncatedAlerts", 0}};
}

std::vector<json> Hosts(const std::string& status, const std::string& name, int n, const std::string& stem) {
  std::vector<json> alerts;
  for (int i = 1; i <= n; ++i) alerts.push_back(Alert(status, name, stem + std::to_string(i)));
  return alerts;
}

void ExpectOneGsmPart(const std::string& text) {
  const coding::CodingPlan plan = coding::PlanText(WideFromUtf8(text), coding::Coding::kAuto, {});
  EXPECT_EQ(plan.parts, 1) << text;
  EXPECT_EQ(plan.coding, coding::Coding::kGsm7) << text;
  EXPECT_LE(GsmSeptets(text), 160) << text;
}

TEST(Alertmanager, SamplePayloadsGiveOnePartTexts) {
  std::vector<json> mixed = Hosts("firing", "HighCPU", 2, "host");
  mixed.push_back(Alert("resolved", "HighCPU", "host9"));  // a resolved one in a firing group
  mixed.push_back(Alert("firing", "HighCPU", "host1"));    // the same instance again
  std::vector<json> unnamed{Alert("firing", "DiskFull", "db1")};
  const std::pair<json, std::string> cases[] = {
      {Payload("firing", "HighCPU", Hosts("firing", "HighCPU", 2, "host")), "FIRING 2: HighCPU (host1, host2)"},
      {Payload("resolved", "HighCPU", Hosts("resolved", "HighCPU", 1, "host")), "RESOLVED 1: HighCPU (host1)"},
      {Payload("firing", "HighCPU", mixed), "FIRING 3: HighCPU (host1, host2)"},
      {Payload("firing", "DiskFull", unnamed, false), "FIRING 1: DiskFull (db1)"},
      {Payload("firing", "Watchdog", {Alert("firing", "Watchdog", "")}), "FIRING 1: Watchdog"},
      {Payload("firing", "NodeDown", Hosts("firing", "NodeDown", 40, "node-exporter-")),
       "FIRING 40: NodeDown (node-exporter-1, node-exporter-2, node-exporter-3, node-exporter-4, node-exporter-5, "
       "node-exporter-6, node-exporter-7, +33 more)"},
      // Characters outside the GSM 7-bit alphabet are replaced, its own kept.
      {Payload("firing", "Température façade ✓", {Alert("firing", "x", "Zürich-1"), Alert("firing", "x", "東京")}),
       "FIRING 2: Température fa?ade ? (Zürich-1, ?"
       "?)"},
      {Payload("firing", "Brace{€}", {Alert("firing", "x", "a|b")}), "FIRING 1: Brace{€} (a|b)"},
      {Payload("firing", "Line\nbreak\t😀", {Alert("firing", "x", "h")}), "FIRING 1: Line break ? (h)"},
      {Payload("firing", std::string(200, 'N'), Hosts("firing", "x", 2, "h")),
       "FIRING 2: " + std::string(137, 'N') + "... (+2 more)"},
  };
  for (const auto& [payload, text] : cases) {
    const std::string got = AlertText(ParseAlertPayload(payload.dump()));
    EXPECT_EQ(got, text);
    ExpectOneGsmPart(got);
  }
  // Extension characters count twice: a list that would fit by characters does not.
  const std::string wide = AlertText(
      ParseAlertPayload(Payload("firing", std::string(60, '{'), Hosts("firing", "x", 3, std::string(10, 'h'))).dump()));
  ExpectOneGsmPart(wide);
  EXPECT_NE(wide.find("+"), std::string::npos) << wide;
}

TEST(Alertmanager, PayloadsRefused) {
  const std::pair<std::string, int> cases[] = {
      {"not json", 400},
      {"[1]", 400},
      {R"({"version": "3", "status": "firing", "alerts": []})", 422},
      {R"({"version": "4", "status": "pending", "alerts": []})", 422},
      {R"({"version": "4", "status": "firing"})", 422},
      {R"({"version": "4", "status": "firing", "alerts": [{"status": "resolved"}]})", 422},
  };
  for (const auto& [body, status] : cases) {
    try {
      ParseAlertPayload(body);
      ADD_FAILURE() << body;
    } catch (const AlertError& e) {
      EXPECT_EQ(e.status, status) << body;
    }
  }
}

TEST(Alertmanager, Numbers) {
  EXPECT_EQ(ParseAlertNumbers(" 4917012345678"), std::vector<std::string>{"+4917012345678"});
  EXPECT_EQ(ParseAlertNumbers("+4917012345678, 4930123,+4917012345678"),
            (std::vector<std::string>{"+4917012345678", "+4930123"}));
  EXPECT_EQ(ParseAlertNumbers("0170 123-45"), std::vector<std::string>{"017012345"});
  for (const std::string bad : {"", ",", "+49abc", " "}) EXPECT_THROW(ParseAlertNumbers(bad), AlertError) << bad;
}

TEST(Alertmanager, RepeatsWithinTheWindowOnly) {
  AlertRepeats r(600000);
  EXPECT_FALSE(r.Suppress("g", "firing", 0));
  EXPECT_TRUE(r.Suppress("g", "firing", 599999));
  EXPECT_FALSE(r.Suppress("h", "firing", 1000));      // another group
  EXPECT_FALSE(r.Suppress("g", "resolved", 700000));  // window over and a new status
  EXPECT_FALSE(r.Suppress("g", "firing", 710000));    // fires again right after resolving: sent
  EXPECT_TRUE(r.Suppress("g", "firing", 720000));
  r.Forget("g", "firing", 710000);  // could not be queued
  EXPECT_FALSE(r.Suppress("g", "firing", 730000));
}

std::string Openssl(const std::string& args) {
  const std::string command = "openssl " + args + " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
  return command;
}

class GatewayReceivers : public ::testing::Test {
 protected:
  void Start(bool tls = false, sim::ModemSimOptions options = {}) {
    options.ussdDelayMs = 100;
    sim_ = std::make_unique<sim::ModemSim>(options);
    sim_->Start();
    GatewayConfig c;
    ModemConfig m;
    m.name = "a";
    m.path = sim_->DevicePath();
    c.modems.push_back(m);
    c.db = dir_.Path("g.db");
    c.listen = "127.0.0.1:0";
    c.tokenFile = dir_.Path("token");
    c.ussdAnswerTimeoutMs = 2000;
    WriteFile(c.tokenFile, "secret\n");
    if (tls) {
      Openssl(
          "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost "
          "-addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
          dir_.Path("key.pem") + " -out " + dir_.Path("cert.pem"));
      c.tlsCert = dir_.Path("cert.pem");
      c.tlsKey = dir_.Path("key.pem");
    }
    gateway_ = std::make_unique<Gateway>(c, [](const std::string&) {});
    gateway_->Start();
    base_ = std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(gateway_->Port());
  }
  void TearDown() override {
    if (gateway_) gateway_->Stop();
    gateway_.reset();
    sim_.reset();
  }
  std::unique_ptr<httplib::Client> Client() {
    auto c = std::make_unique<httplib::Client>(base_);
    c->set_bearer_token_auth("secret");
    c->set_read_timeout(20, 0);
    if (base_.compare(0, 5, "https") == 0) c->set_ca_cert_path(dir_.Path("cert.pem").c_str());
    return c;
  }
  std::pair<int, json> Post(const std::string& path, const json& body) {
    auto r = Client()->Post(path.c_str(), body.dump(), "application/json");
    if (!r) return {0, json()};
    return {r->status, json::parse(r->body)};
  }

  TempDir dir_;
  std::unique_ptr<sim::ModemSim> sim_;
  std::unique_ptr<Gateway> gateway_;
  std::string base_;
};

TEST_F(GatewayReceivers, AlertmanagerNotificationsBecomeMessagesOnce) {
  Start();
  const json firing = Payload("firing", "HighCPU", Hosts("firing", "HighCPU", 2, "host"));
  // "+" unencoded in the query arrives as a blank.
  auto [status, body] = Post("/v1/alertmanager?to=+15550000007,%2B15550000008", firing);
  ASSERT_EQ(status, 202) << body;
  EXPECT_EQ(body["ids"].size(), 2u);
  EXPECT_EQ(body["text"], "FIRING 2: HighCPU (host1, host2)");
  ASSERT_TRUE(sim_->WaitUntil([&] { return sim_->SubmittedMessages().size() == 2; }, 20000));
  for (const sim::SubmittedMessage& m : sim_->SubmittedMessages()) {
    EXPECT_EQ(m.text, "FIRING 2: HighCPU (host1, host2)");
    EXPECT_EQ(m.dcs, 0);
    EXPECT_EQ(m.total, 1);
  }
  EXPECT_EQ(sim_->SubmittedMessages()[0].destination, "+15550000007");

  // Alertmanager's repeat within the window: not sent again.
  std::tie(status, body) = Post("/v1/alertmanager?to=+15550000007,%2B15550000008", firing);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body["suppressed"], true);

  const json resolved = Payload("resolved", "HighCPU", Hosts("resolved", "HighCPU", 1, "host"));
  std::tie(status, body) = Post("/v1/alertmanager?to=%2B15550000007&resolved=false", resolved);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body["suppressed"], true);
  std::tie(status, body) = Post("/v1/alertmanager?to=%2B15550000007", resolved);
  EXPECT_EQ(status, 202) << body;
  EXPECT_EQ(body["text"], "RESOLVED 1: HighCPU (host1)");

  std::tie(status, body) = Post("/v1/alertmanager?to=%2B15550000007&modem=zz", firing);
  EXPECT_EQ(status, 422);
  std::tie(status, body) = Post("/v1/alertmanager", firing);
  EXPECT_EQ(status, 400);
  auto noToken = httplib::Client(base_).Post("/v1/alertmanager?to=1", firing.dump(), "application/json");
  ASSERT_TRUE(noToken);
  EXPECT_EQ(noToken->status, 401);
  ASSERT_TRUE(sim_->WaitUntil([&] { return sim_->SubmittedMessages().size() == 3; }, 20000));
}

TEST_F(GatewayReceivers, UssdSessionWithMenuErrorAndTimeout) {
  sim::ModemSimOptions options;
  options.ussdForm = "packed";
  Start(false, options);
  // While the worker opens the modem: 503; then no session waits for a reply.
  auto [status, body] = Post("/v1/modems/a/ussd", {{"reply", "1"}});
  for (int i = 0; i < 200 && status == 503; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::tie(status, body) = Post("/v1/modems/a/ussd", {{"reply", "1"}});
  }
  EXPECT_EQ(status, 409) << body;

  std::tie(status, body) = Post("/v1/modems/a/ussd", {{"code", "*111#"}});
  ASSERT_EQ(status, 200) << body;
  EXPECT_EQ(body, (json{{"status", 1}, {"text", sim::kUssdMenuText}}));
  std::tie(status, body) = Post("/v1/modems/a/ussd", {{"reply", "2"}});
  EXPECT_EQ(body, (json{{"status", 0}, {"text", sim::kUssdTopUpText}}));
  std::tie(status, body) = Post("/v1/modems/a/ussd", {{"code", "*100#"}});
  EXPECT_EQ(body, (json{{"status", 0}, {"text", sim::kUssdBalanceText}}));

  std::tie(status, body) = Post("/v1/modems/a/ussd", {{"code", "*404#"}});
  EXPECT_EQ(status, 502);
  EXPECT_NE(body["error"].get<std::string>().find("+CUSD: 4"), std::string::npos) << body;
  std::tie(status, body) = Post("/v1/modems/a/ussd", {{"code", "*999#"}});
  EXPECT_EQ(status, 504);
  EXPECT_NE(body["error"].get<std::string>().find("no answer from the network"), std::string::npos) << body;
  EXPECT_TRUE(sim_->WaitForCommand("AT+CUSD=2", 5000));

  for (const json& bad : {json{{"code", "*1\"#"}}, json{{"code", 100}}, json{{"code", "1"}, {"reply", "1"}}, json{}}) {
    std::tie(status, body) = Post("/v1/modems/a/ussd", bad);
    EXPECT_EQ(status, 400) << bad;
  }
  std::tie(status, body) = Post("/v1/modems/zz/ussd", {{"code", "*100#"}});
  EXPECT_EQ(status, 404);
}

TEST_F(GatewayReceivers, HttpsOnlyWithTheCertificateAndTheCliVerifies) {
  Start(true);
  auto ok = Client()->Get("/healthz");
  ASSERT_TRUE(ok) << httplib::to_string(ok.error());
  EXPECT_EQ(ok->status, 200);

  // Plain HTTP on the HTTPS port gets no answer.
  const std::string plain = "http://127.0.0.1:" + std::to_string(gateway_->Port());
  httplib::Client http(plain);
  http.set_read_timeout(5, 0);
  http.set_bearer_token_auth("secret");
  EXPECT_FALSE(http.Get("/healthz"));

  auto velasms = [](std::vector<std::string> args, std::string& err) {
    std::ostringstream o, e;
    const int rc = tool::RunVelasms(args, o, e);
    err = e.str();
    return rc;
  };
  std::string err;
  EXPECT_EQ(velasms({"send", "--gateway", base_, "--token-file", dir_.Path("token"), "--cacert", dir_.Path("cert.pem"),
                     "--no-wait", "--to", "+15550000009", "over TLS"},
                    err),
            0)
      << err;
  EXPECT_EQ(
      velasms({"inbox", "--gateway", base_, "--token-file", dir_.Path("token"), "--cacert", dir_.Path("cert.pem")},
              err),
      0)
      << err;
  // Not trusted by the system's authorities.
  EXPECT_EQ(velasms({"inbox", "--gateway", base_, "--token-file", dir_.Path("token")}, err), 2);
  EXPECT_NE(err.find("cannot reach the gateway"), std::string::npos) << err;
  ASSERT_TRUE(sim_->WaitUntil([&] { return sim_->SubmittedMessages().size() == 1; }, 20000));
  EXPECT_EQ(sim_->SubmittedMessages()[0].text, "over TLS");
}

TEST(GatewayTls, UnusableFilesAreNamed) {
  TempDir dir;
  WriteFile(dir.Path("cert.pem"), "not a certificate\n");
  WriteFile(dir.Path("key.pem"), "not a key\n");
  GatewayConfig c;
  ModemConfig m;
  m.name = "a";
  m.path = dir.Path("no-such-port");
  c.modems.push_back(m);
  c.db = dir.Path("g.db");
  c.listen = "127.0.0.1:0";
  c.tokenFile = dir.Path("token");
  c.tlsCert = dir.Path("cert.pem");
  c.tlsKey = dir.Path("key.pem");
  Gateway g(c, [](const std::string&) {});
  try {
    g.Start();
    ADD_FAILURE() << "started";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("--tls-cert " + dir.Path("cert.pem")), std::string::npos) << e.what();
  }
  g.Stop();
}

}  // namespace
}  // namespace vela::gateway

// What the webhook and MQTT tests share: the gateway process with simulated
// modems, an API client, waiting for a condition, the event log.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "gateway_process.h"
#include "gateway_test_util.h"
#include "modem_sim.h"

namespace vela::gateway {

class BridgeTest : public ::testing::Test {
 protected:
  using Clock = std::chrono::steady_clock;

  // Modem "a" (own number +15550000001), and "b" when `two`.
  void StartSims(bool two = false) {
    for (int i = 0; i < (two ? 2 : 1); ++i) {
      sim::ModemSimOptions o;
      o.ownNumber = "+1555000000" + std::to_string(i + 1);
      o.reportDelayMs = 50;
      o.deliverDelayMs = 50;
      sims_.push_back(std::make_unique<sim::ModemSim>(o));
      sims_.back()->Start();
    }
  }
  std::vector<std::string> GatewayArgs(const std::vector<std::string>& extra, bool withB = true) {
    std::vector<std::string> args = {"gateway",          "--db",     dir_.Path("gw.db"), "--token-file",
                                     dir_.Path("token"), "--listen", "127.0.0.1:0"};
    for (size_t i = 0; i < sims_.size(); ++i) {
      if (i == 1 && !withB) continue;
      args.push_back("--modem");
      args.push_back(std::string(i == 0 ? "a" : "b") + "=" + sims_[i]->DevicePath());
    }
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  std::unique_ptr<httplib::Client> Client(int port) {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
    std::string token = ReadFile(dir_.Path("token"));
    while (!token.empty() && (token.back() == '\n' || token.back() == ' ')) token.pop_back();
    c->set_bearer_token_auth(token);
    c->set_read_timeout(10, 0);
    c->set_connection_timeout(2, 0);
    return c;
  }
  // Checks `done` every 50 ms until it holds or `seconds` pass.
  static bool WaitFor(const std::function<bool()>& done, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  }
  bool WaitModemsUp(httplib::Client& c, size_t count) {
    return WaitFor(
        [&] {
          auto r = c.Get("/v1/modems");
          if (!r || r->status != 200) return false;
          size_t up = 0;
          const nlohmann::json doc = nlohmann::json::parse(r->body);
          for (const auto& m : doc["modems"]) up += m["state"] == "up";
          return up == count;
        },
        30);
  }
  // The whole event log: (type, data) in order.
  std::vector<std::pair<std::string, std::string>> EventLog(int port) {
    std::vector<std::pair<std::string, std::string>> events;
    auto c = Client(port);
    c->set_read_timeout(1, 0);  // the stream ends at the first quiet second
    std::string buffer, type;
    c->Get("/v1/events?since=0", [&](const char* p, size_t n) {
      buffer.append(p, n);
      size_t end;
      while ((end = buffer.find('\n')) != std::string::npos) {
        const std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        if (line.rfind("event: ", 0) == 0) type = line.substr(7);
        if (line.rfind("data: ", 0) == 0) events.emplace_back(type, line.substr(6));
      }
      return true;
    });
    return events;
  }
  int PostMessage(httplib::Client& c, const std::string& to, const std::string& text) {
    nlohmann::json body = {{"to", to}, {"text", text}, {"report", true}};
    auto r = c.Post("/v1/messages", body.dump(), "application/json");
    return r ? r->status : 0;
  }
  // Accepted submits of `text` over every simulator.
  int Submitted(const std::string& text) {
    int n = 0;
    for (auto& s : sims_) {
      for (const auto& r : s->Submits()) n += r.accepted && r.text == text;
    }
    return n;
  }

  TempDir dir_;
  std::vector<std::unique_ptr<sim::ModemSim>> sims_;
};

}  // namespace vela::gateway

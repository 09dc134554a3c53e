// Gateway HTTP API throughput on the loopback address against a real SQLite
// store (full sync, write-ahead log) in the temporary directory: requests per
// second for POST /v1/messages (each one committed to the queue before its
// 202) and for GET /v1/inbox (a page of 100 messages), over one keep-alive
// connection.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <thread>

#include "gateway/http_api.h"
#include "gateway/sqlite_store.h"

namespace {

using namespace vela::gateway;

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

struct Server {
  Server() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vela-bench-gw-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    store = std::make_unique<SqliteStore>(dir + "/g.db");
    ApiSettings s;
    s.token = "bench";
    api = std::make_unique<HttpApi>(*store, modems, events, metrics, s);
    api->Bind("127.0.0.1", 0);
    thread = std::thread([this] { api->Run(); });
  }
  ~Server() {
    api->Stop();
    thread.join();
    api.reset();
    store.reset();
    std::filesystem::remove_all(dir);
  }
  std::unique_ptr<httplib::Client> Client() {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", api->Port());
    c->set_bearer_token_auth("bench");
    c->set_keep_alive(true);
    c->set_tcp_nodelay(true);
    return c;
  }
  std::string dir;
  OneModem modems;
  EventNotifier events;
  Metrics metrics;
  std::unique_ptr<SqliteStore> store;
  std::unique_ptr<HttpApi> api;
  std::thread thread;
};

void BM_PostMessage(benchmark::State& state) {
  Server server;
  auto client = server.Client();
  const std::string body = R"({"to": "+15551234567", "text": "Benchmark message with a few words", "report": true})";
  for (auto _ : state) {
    auto r = client->Post("/v1/messages", body, "application/json");
    if (!r || r->status != 202) {
      state.SkipWithError("POST failed");
      break;
    }
  }
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PostMessage)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_GetInbox(benchmark::State& state) {
  Server server;
  for (int i = 0; i < 1000; ++i) {
    ReceivedMessage m;
    m.modem = "a";
    m.originator = "+4917012345" + std::to_string(i);
    m.text = "Received message number " + std::to_string(i);
    m.smscTime = "2026-12-09 01:02:03";
    server.store->AddReceived(m, {}, false, 1);
  }
  auto client = server.Client();
  for (auto _ : state) {
    auto r = client->Get("/v1/inbox?since=0&limit=100");
    if (!r || r->status != 200) {
      state.SkipWithError("GET failed");
      break;
    }
  }
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GetInbox)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// Gateway HTTP API throughput on the loopback address against a real SQLite
// store (full sync, write-ahead log) in the temporary directory, or the
// PostgreSQL database VELA_BENCH_PG names (a URI; the PostgreSQL cases are
// skipped without it): requests per second for POST /v1/messages (each one
// committed before its 202) with 1 and 32 keep-alive clients, messages per
// second through /v1/messages/batch, and GET /v1/inbox (a page of 100).
//
// Scale-out (PostgreSQL only): gateway processes on one database, each with
// simulated modems that take 200 ms per message as a slow network does; 600
// messages for any modem posted to one node, sent by one node with one modem
// and by three nodes with two modems each.
//
// Baselines measured in the same run: the disk's own rate of one-row
// committed transactions (SQLite, full sync, the same directory), the same
// for one libpq client on the PostgreSQL server, and an HTTP
// server that answers the same POST without doing anything (the machine's
// ceiling for the request).
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <thread>

#include <sqlite3.h>

#include <atomic>
#include <cstdlib>

#include <chrono>
#include <nlohmann/json.hpp>

#include "gateway/http_api.h"
#include "gateway/open_store.h"
#include "gateway/pg_connection.h"
#include "gateway_process.h"
#include "modem_sim.h"

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

std::string BenchDatabase() {
  const char* env = std::getenv("VELA_BENCH_PG");
  return env ? env : "";
}

struct Server {
  explicit Server(bool postgres = false, int64_t maxQueue = 100000) {
    std::string pattern = (std::filesystem::temp_directory_path() / "vela-bench-gw-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    if (postgres) {
      store = OpenStore(BenchDatabase());
      // A clean queue for each run.
      pg::Connection c(BenchDatabase());
      c.Exec("TRUNCATE outgoing, outgoing_parts, events, idempotency_keys");
    } else {
      store = OpenStore(dir + "/g.db");
    }
    ApiSettings s;
    s.token = "bench";
    s.maxQueue = maxQueue;
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
  std::unique_ptr<Store> store;
  std::unique_ptr<HttpApi> api;
  std::thread thread;
};

const char kBody[] = R"({"to": "+15551234567", "text": "Benchmark message with a few words", "report": true})";

// One server per benchmark, shared by its client threads (thread 0 sets it
// up before the loop and takes it down after; the loop starts and ends
// together for all threads).
std::unique_ptr<Server> g_server;

void PostMessages(benchmark::State& state, bool postgres) {
  if (postgres && BenchDatabase().empty()) {
    state.SkipWithError("set VELA_BENCH_PG=postgresql://... to measure PostgreSQL");
    return;
  }
  if (state.thread_index() == 0) g_server = std::make_unique<Server>(postgres);
  std::unique_ptr<httplib::Client> client;
  for (auto _ : state) {
    if (!client) client = g_server->Client();
    auto r = client->Post("/v1/messages", kBody, "application/json");
    if (!r || r->status != 202) {
      static thread_local std::string why;
      why = "POST failed: " + (r ? std::to_string(r->status) : httplib::to_string(r.error()));
      state.SkipWithError(why.c_str());
      break;
    }
  }
  client.reset();
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  if (state.thread_index() == 0) {
    // Summed over the threads: thread 0 gives the whole run's figure.
    state.counters["per_commit"] = benchmark::Counter(static_cast<double>(state.iterations()) * state.threads() /
                                                      static_cast<double>(g_server->api->Commits()));
    g_server.reset();
  }
}
void BM_PostSqlite(benchmark::State& state) { PostMessages(state, false); }
void BM_PostPostgres(benchmark::State& state) { PostMessages(state, true); }
BENCHMARK(BM_PostSqlite)->UseRealTime()->Unit(benchmark::kMicrosecond)->Threads(1)->Threads(32);
BENCHMARK(BM_PostPostgres)->UseRealTime()->Unit(benchmark::kMicrosecond)->Threads(1)->Threads(32);

void BatchMessages(benchmark::State& state, bool postgres) {
  if (postgres && BenchDatabase().empty()) {
    state.SkipWithError("set VELA_BENCH_PG=postgresql://... to measure PostgreSQL");
    return;
  }
  // No limit on the queue: it grows by 1000 per iteration, past the default.
  Server server(postgres, 0);
  auto client = server.Client();
  std::string body = R"({"messages": [)";
  for (int i = 0; i < 1000; ++i) body += std::string(i ? "," : "") + kBody;
  body += "]}";
  for (auto _ : state) {
    auto r = client->Post("/v1/messages/batch", body, "application/json");
    if (!r || r->status != 202) {
      state.SkipWithError("batch POST failed");
      break;
    }
  }
  state.counters["messages/s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * 1000), benchmark::Counter::kIsRate);
}
void BM_BatchSqlite(benchmark::State& state) { BatchMessages(state, false); }
void BM_BatchPostgres(benchmark::State& state) { BatchMessages(state, true); }
BENCHMARK(BM_BatchSqlite)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BatchPostgres)->UseRealTime()->Unit(benchmark::kMillisecond);

// Baseline: one-row transactions, each committed with a full sync, on the
// same file system.
void BM_BaselineOneRowCommits(benchmark::State& state) {
  std::string pattern = (std::filesystem::temp_directory_path() / "vela-bench-disk-XXXXXX").string();
  const std::string dir = mkdtemp(pattern.data());
  sqlite3* db = nullptr;
  sqlite3_open((dir + "/d.db").c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE t(x TEXT)", nullptr, nullptr,
               nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES ('Benchmark message with a few words')", -1, &insert, nullptr);
  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      state.SkipWithError("commit failed");
      break;
    }
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  std::filesystem::remove_all(dir);
  state.counters["commits/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BaselineOneRowCommits)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Baseline: the same one-row transactions from one libpq client on the
// PostgreSQL server VELA_BENCH_PG names (BEGIN, INSERT, COMMIT: the round
// trips and the log flush of each commit).
void BM_BaselinePostgresOneRowCommits(benchmark::State& state) {
  if (BenchDatabase().empty()) {
    state.SkipWithError("set VELA_BENCH_PG=postgresql://... to measure PostgreSQL");
    return;
  }
  pg::Connection c(BenchDatabase());
  c.Exec("DROP TABLE IF EXISTS bench_commits");
  c.Exec("CREATE TABLE bench_commits(id BIGSERIAL PRIMARY KEY, x TEXT NOT NULL)");
  for (auto _ : state) {
    c.Exec("BEGIN");
    c.Exec("INSERT INTO bench_commits(x) VALUES ($1)", {"Benchmark message with a few words"});
    c.Exec("COMMIT");
  }
  c.Exec("DROP TABLE bench_commits");
  state.counters["commits/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BaselinePostgresOneRowCommits)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Baseline: the same HTTP server library answering the same POST with a
// fixed 202 and nothing else, 1 and 32 keep-alive clients, with the
// gateway's server settings.
std::unique_ptr<httplib::Server> g_nothing;
std::thread g_nothingThread;
int g_nothingPort = 0;
void BM_BaselineDoNothingServer(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_nothing = std::make_unique<httplib::Server>();
    g_nothing->new_task_queue = [] { return new httplib::ThreadPool(64); };
    g_nothing->set_tcp_nodelay(true);
    g_nothing->set_keep_alive_max_count(1 << 30);
    g_nothing->Post("/v1/messages", [](const httplib::Request&, httplib::Response& res) {
      res.status = 202;
      res.set_content("{\"id\":1,\"status\":\"queued\"}\n", "application/json");
    });
    // The gateway's listening backlog (HttpApi::Bind).
    static int fd = -1;
    g_nothing->set_socket_options([](socket_t sock) { fd = sock; });
    g_nothingPort = g_nothing->bind_to_any_port("127.0.0.1");
    ::listen(fd, SOMAXCONN);
    g_nothingThread = std::thread([] { g_nothing->listen_after_bind(); });
  }
  std::unique_ptr<httplib::Client> client;
  for (auto _ : state) {
    if (!client) {
      client = std::make_unique<httplib::Client>("127.0.0.1", g_nothingPort);
      client->set_keep_alive(true);
      client->set_tcp_nodelay(true);
    }
    auto r = client->Post("/v1/messages", kBody, "application/json");
    if (!r || r->status != 202) {
      static thread_local std::string why;
      why = "POST failed: " + (r ? std::to_string(r->status) : httplib::to_string(r.error()));
      state.SkipWithError(why.c_str());
      break;
    }
  }
  client.reset();
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  if (state.thread_index() == 0) {
    g_nothing->stop();
    g_nothingThread.join();
    g_nothing.reset();
  }
}
BENCHMARK(BM_BaselineDoNothingServer)->UseRealTime()->Unit(benchmark::kMicrosecond)->Threads(1)->Threads(32);

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

// Scale-out: `nodes` gateway processes on the PostgreSQL database, each with
// `modems` simulated modems that answer a sent message after 200 ms; 600
// messages for any modem in one /batch to the first node; the time until the
// last is sent.
void BM_ScaleOut(benchmark::State& state) {
  if (BenchDatabase().empty()) {
    state.SkipWithError("set VELA_BENCH_PG=postgresql://... to measure several nodes");
    return;
  }
  constexpr int kMessages = 600;
  const int nodes = static_cast<int>(state.range(0));
  const int modems = static_cast<int>(state.range(1));
  for (auto _ : state) {
    TempDir dir;
    {
      OpenStore(BenchDatabase());  // the schema
      pg::Connection c(BenchDatabase());
      c.Exec("TRUNCATE outgoing, outgoing_parts, events, idempotency_keys, modem_sends");
    }
    std::vector<std::unique_ptr<vela::sim::ModemSim>> sims;
    std::vector<std::unique_ptr<GatewayProcess>> gateways;
    std::vector<int> ports;
    for (int n = 0; n < nodes; ++n) {
      std::vector<std::string> args = {
          "gateway",     "--db",   BenchDatabase(),           "--token-file", dir.Path("token"), "--listen",
          "127.0.0.1:0", "--node", "node" + std::to_string(n)};
      for (int m = 0; m < modems; ++m) {
        vela::sim::ModemSimOptions o;
        o.sendDelayMs = 200;
        sims.push_back(std::make_unique<vela::sim::ModemSim>(o));
        sims.back()->Start();
        args.push_back("--modem");
        args.push_back("m" + std::to_string(n) + "-" + std::to_string(m) + "=" + sims.back()->DevicePath());
      }
      gateways.push_back(std::make_unique<GatewayProcess>(args, dir.Path("node" + std::to_string(n) + ".log")));
      ports.push_back(gateways.back()->Start());
    }
    const std::string token = ReadFile(dir.Path("token")).substr(0, 64);
    auto client = [&](int port) {
      auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
      c->set_bearer_token_auth(token.c_str());
      return c;
    };
    // Every modem up before the clock starts.
    for (int port : ports) {
      auto c = client(port);
      for (int tries = 0;; ++tries) {
        auto r = c->Get("/v1/modems");
        int up = 0;
        if (r && r->status == 200) {
          const nlohmann::json doc = nlohmann::json::parse(r->body);
          for (const auto& m : doc["modems"]) up += m["state"] == "up";
        }
        if (up == modems) break;
        if (tries > 600) {
          state.SkipWithError("the modems did not come up");
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
    // All to the first node: the others learn of them through the database
    // (NOTIFY) and share the sending.
    std::string body = R"({"messages": [)";
    for (int i = 0; i < kMessages; ++i) {
      body += std::string(i ? "," : "") + R"({"to": "+1555)" + std::to_string(1000000 + i) + R"(", "text": "m)" +
              std::to_string(i) + "\"}";
    }
    body += "]}";
    const auto start = std::chrono::steady_clock::now();
    auto r = client(ports[0])->Post("/v1/messages/batch", body, "application/json");
    if (!r || r->status != 202) {
      state.SkipWithError("batch POST failed");
      return;
    }
    pg::Connection db(BenchDatabase());
    for (;;) {
      if (db.Exec("SELECT COUNT(*) FROM outgoing WHERE status='sent'").Int(0, 0) >= kMessages) break;
      if (std::chrono::steady_clock::now() - start > std::chrono::minutes(10)) {
        state.SkipWithError("the messages were not all sent within 10 minutes");
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["messages/s"] = kMessages / seconds;
    size_t busiest = 0, idlest = kMessages;
    for (auto& sim : sims) {
      busiest = std::max(busiest, sim->Submits().size());
      idlest = std::min(idlest, sim->Submits().size());
    }
    state.counters["most_per_modem"] = static_cast<double>(busiest);
    state.counters["fewest_per_modem"] = static_cast<double>(idlest);
    for (auto& g : gateways) {
      std::chrono::milliseconds took{};
      g->Terminate(took);
    }
  }
}
BENCHMARK(BM_ScaleOut)->Args({1, 1})->Args({3, 2})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();

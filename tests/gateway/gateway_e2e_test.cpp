// The gateway end to end: the velasms binary as a separate process, two
// simulated modems on pseudo-terminals in this process, real HTTP on the
// loopback address. Messages are queued while others arrive; the simulators'
// records say what went over the air. Then the same with the gateway killed
// (SIGKILL) at random moments and restarted.
//
// VELA_GATEWAY_E2E_COUNT sets the messages each way (default 500).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "gateway/pg_connection.h"
#include "gateway/records_json.h"
#include "gateway_process.h"
#include "gateway_test_util.h"
#include "modem_sim.h"
#include "pg_test_server.h"
#include "sim_pdu.h"

extern char** environ;

namespace vela::gateway {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

int Count() {
  const char* env = std::getenv("VELA_GATEWAY_E2E_COUNT");
  return env ? std::max(1, std::atoi(env)) : 500;
}

// The simulators' acknowledgement time-out in the crash test. A restarted
// gateway comes back after it, as a supervisor restarting it after a pause
// would: the modem has then given up on the dead process's indications
// (stored them, routing off) and the new one's AT+CNMI and listing of the
// storage pick them up. Earlier, the new process's first AT+CNMA would be
// taken for the acknowledgement of an indication written to the dead one.
constexpr int kAckTimeoutMs = 1000;

// Each TEST_P with an SQLite file and with a PostgreSQL database.
class GatewayEndToEnd : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    // The TEST_F cases (not parameterised) use SQLite.
    const char* param = ::testing::UnitTest::GetInstance()->current_test_info()->value_param();
    if (param && std::string(param).find("postgresql") != std::string::npos) {
      VELA_REQUIRE_POSTGRES();
      db_ = PgTestServer::Get()->NewDatabase();
    } else {
      db_ = dir_.Path("gw.db");
    }
  }
  void StartSims(bool ackTimeout) {
    for (int i = 0; i < 2; ++i) {
      sim::ModemSimOptions o;
      o.ownNumber = "+1555000000" + std::to_string(i + 1);
      o.reportDelayMs = 50;
      o.deliverDelayMs = 50;
      if (ackTimeout) {
        // Like a network: an indication not acknowledged (the gateway was
        // killed) is delivered again, into storage.
        o.ackTimeout = true;
        o.ackTimeoutMs = kAckTimeoutMs;
        o.ackTimeoutRedeliver = true;
        o.simCapacity = 2000;  // room for what arrives while the gateway is down
        o.meCapacity = 2000;
      }
      sims_[i] = std::make_unique<sim::ModemSim>(o);
      sims_[i]->Start();
    }
  }
  std::vector<std::string> GatewayArgs() {
    return {"gateway",
            "--modem",
            "a=" + sims_[0]->DevicePath(),
            "--modem",
            "b=" + sims_[1]->DevicePath(),
            "--db",
            db_,
            "--token-file",
            dir_.Path("token"),
            "--listen",
            "127.0.0.1:0"};
  }
  std::unique_ptr<httplib::Client> Client(int port) {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
    c->set_bearer_token_auth(TrimToken(ReadFile(dir_.Path("token"))));
    c->set_read_timeout(10, 0);
    c->set_connection_timeout(2, 0);
    return c;
  }
  static std::string TrimToken(std::string t) {
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
    return t;
  }
  bool WaitModemsUp(httplib::Client& c, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      auto r = c.Get("/v1/modems");
      if (r && r->status == 200) {
        int up = 0;
        const json doc = json::parse(r->body);
        for (const json& m : doc["modems"]) up += m["state"] == "up";
        if (up == 2) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // Every outgoing message by id, and every inbox message.
  std::map<int64_t, json> AllMessages(httplib::Client& c) {
    std::map<int64_t, json> all;
    int64_t since = 0;
    for (;;) {
      auto r = c.Get(("/v1/messages?limit=1000&since=" + std::to_string(since)).c_str());
      if (!r || r->status != 200) return all;
      json page = json::parse(r->body)["messages"];
      for (const json& m : page) all[m["id"]] = m, since = m["id"];
      if (page.size() < 1000) return all;
    }
  }
  std::vector<json> Inbox(httplib::Client& c) {
    std::vector<json> all;
    int64_t since = 0;
    for (;;) {
      auto r = c.Get(("/v1/inbox?limit=1000&since=" + std::to_string(since)).c_str());
      if (!r || r->status != 200) return all;
      json page = json::parse(r->body)["messages"];
      for (const json& m : page) all.push_back(m), since = m["id"];
      if (page.size() < 1000) return all;
    }
  }
  // Message events of the whole log, by inbox id.
  std::multiset<int64_t> MessageEvents(int port, size_t expected) {
    std::multiset<int64_t> ids;
    auto c = Client(port);
    c->set_read_timeout(3, 0);
    std::string buffer, type, data;
    c->Get("/v1/events", {{"Last-Event-ID", "0"}}, [&](const char* p, size_t n) {
      buffer.append(p, n);
      size_t end;
      while ((end = buffer.find('\n')) != std::string::npos) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        if (line.rfind("event: ", 0) == 0) type = line.substr(7);
        if (line.rfind("data: ", 0) == 0) data = line.substr(6);
        if (line.empty() && !type.empty()) {
          if (type == "message") ids.insert(json::parse(data)["id"].get<int64_t>());
          type.clear();
          if (ids.size() >= expected) return false;
        }
      }
      return true;
    });
    return ids;
  }
  // How often each text went out accepted, over both simulators.
  std::map<std::string, int> SubmittedTexts() {
    std::map<std::string, int> texts;
    for (auto& s : sims_) {
      for (const sim::SubmitRecord& r : s->Submits()) {
        if (r.accepted) ++texts[r.text];
      }
    }
    return texts;
  }

  TempDir dir_;
  std::string db_;
  std::unique_ptr<sim::ModemSim> sims_[2];
};

// Context switches of every thread of a process, and its processor time in ticks.
struct ProcessCost {
  long switches = 0;
  long ticks = 0;
  size_t threads = 0;
};
ProcessCost CostOf(pid_t pid) {
  ProcessCost cost;
  const std::string root = "/proc/" + std::to_string(pid);
  for (const auto& task : std::filesystem::directory_iterator(root + "/task")) {
    std::istringstream status(ReadFile(task.path().string() + "/status"));
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        cost.switches += std::stol(line.substr(line.find(':') + 1));
      }
    }
    ++cost.threads;
  }
  std::string stat = ReadFile(root + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string f;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14 || i == 15) cost.ticks += std::stol(f);  // utime, stime
  }
  return cost;
}

std::string OutText(int i) { return "out-" + std::to_string(i); }
std::string InText(int i) { return "in-" + std::to_string(i); }
std::string InFrom(int i) { return "+49170" + std::to_string(1000000 + i); }

INSTANTIATE_TEST_SUITE_P(Both, GatewayEndToEnd, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

TEST_P(GatewayEndToEnd, QueuedAndArrivingMessagesEachOnceWithReports) {
  const int n = Count();
  StartSims(false);
  auto args = GatewayArgs();
  GatewayProcess gw(args, dir_.Path("gateway.log"));
  const int port = gw.Start();
  auto c = Client(port);
  ASSERT_TRUE(WaitModemsUp(*c, 30)) << ReadFile(dir_.Path("gateway.log"));

  std::thread inject([&] {
    for (int i = 0; i < n; ++i) {
      sims_[i % 2]->InjectDeliver(InFrom(i), InText(i));
      if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  auto poster = Client(port);
  for (int i = 0; i < n; ++i) {
    json body = {{"to", "+1999" + std::to_string(1000000 + i)}, {"text", OutText(i)}, {"report", true}};
    auto r = poster->Post("/v1/messages", body.dump(), "application/json");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202) << r->body;
  }
  inject.join();

  const auto deadline = Clock::now() + std::chrono::seconds(60 + n / 5);
  std::map<int64_t, json> messages;
  std::vector<json> inbox;
  for (;;) {
    messages = AllMessages(*c);
    inbox = Inbox(*c);
    int delivered = 0;
    for (auto& [id, m] : messages) delivered += m["status"] == "delivered";
    if ((delivered == n && static_cast<int>(inbox.size()) >= n) || Clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }

  ASSERT_EQ(static_cast<int>(messages.size()), n);
  std::map<std::string, int> byModem;
  for (auto& [id, m] : messages) {
    EXPECT_EQ(m["status"], "delivered") << m.dump();
    ++byModem[m["modem"].is_string() ? m["modem"].get<std::string>() : std::string()];
  }
  EXPECT_GT(byModem["a"], 0);  // spread over both modems
  EXPECT_GT(byModem["b"], 0);
  const auto submitted = SubmittedTexts();
  for (int i = 0; i < n; ++i) EXPECT_EQ(submitted.count(OutText(i)) ? submitted.at(OutText(i)) : 0, 1) << OutText(i);

  std::map<std::string, int> received;
  for (const json& m : inbox) ++received[m["text"].get<std::string>()];
  for (int i = 0; i < n; ++i) EXPECT_EQ(received[InText(i)], 1) << InText(i);
  EXPECT_EQ(static_cast<int>(inbox.size()), n);
  const auto events = MessageEvents(port, inbox.size());
  std::set<int64_t> unique(events.begin(), events.end());
  EXPECT_EQ(events.size(), inbox.size());
  EXPECT_EQ(unique.size(), inbox.size());

  std::chrono::milliseconds took{};
  EXPECT_EQ(gw.Terminate(took), 0);
  EXPECT_LT(took.count(), 5000);
}

TEST_P(GatewayEndToEnd, IdleGatewayWithTwoOpenModemsDoesNotWakeUp) {
  StartSims(false);
  auto args = GatewayArgs();
  args.insert(args.end(), {"--lease-seconds", "60"});  // PostgreSQL: the lease renewal is the one timer
  GatewayProcess gw(args, dir_.Path("gateway.log"));
  const int port = gw.Start();
  {
    auto c = Client(port);
    ASSERT_TRUE(WaitModemsUp(*c, 30)) << ReadFile(dir_.Path("gateway.log"));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the last answers settle
  const ProcessCost before = CostOf(gw.Pid());
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const ProcessCost after = CostOf(gw.Pid());
  const long switches = after.switches - before.switches;
  const long ticks = after.ticks - before.ticks;
  RecordProperty("idle_context_switches_3s", static_cast<int>(switches));
  RecordProperty("idle_cpu_ticks_3s", static_cast<int>(ticks));
  RecordProperty("threads", static_cast<int>(after.threads));
  // Polling even every 100 ms in one thread would give 30 here.
  EXPECT_LE(switches, 3) << "threads: " << after.threads;
  EXPECT_LE(ticks, 1);
  std::chrono::milliseconds took{};
  EXPECT_EQ(gw.Terminate(took), 0);
  EXPECT_LT(took.count(), 5000);
}

// The gateway log without the routine lines of each message: what a lost or
// doubled message's story needs (routing repairs, fallbacks, redeliveries).
std::string UnusualLogLines(const std::string& log) {
  static const std::regex routine(
      "modem .: (received message|sent message|message [0-9]+ (delivered|sent))|status report for reference");
  std::istringstream in(log);
  std::string line, out;
  while (std::getline(in, line))
    if (!std::regex_search(line, routine)) out += line + "\n";
  return out;
}

TEST_P(GatewayEndToEnd, KilledAtRandomMomentsLosesAndDuplicatesNothing) {
  const int n = Count();
  const int kills = 10;
  StartSims(true);
  auto args = GatewayArgs();
  GatewayProcess gw(args, dir_.Path("gateway.log"));
  int port = gw.Start();
  {
    auto c = Client(port);
    ASSERT_TRUE(WaitModemsUp(*c, 30)) << ReadFile(dir_.Path("gateway.log"));
  }

  // Queued first (each accepted POST is committed), arriving all along.
  std::atomic<bool> injecting{true};
  std::thread inject([&] {
    for (int i = 0; i < n; ++i) {
      sims_[i % 2]->InjectDeliver(InFrom(i), InText(i));
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    injecting = false;
  });
  {
    auto c = Client(port);
    for (int i = 0; i < n; ++i) {
      json body = {{"to", "+1999" + std::to_string(1000000 + i)}, {"text", OutText(i)}, {"report", true}};
      auto r = c->Post("/v1/messages", body.dump(), "application/json");
      ASSERT_TRUE(r);
      ASSERT_EQ(r->status, 202);
    }
  }
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int> pause(100, 1500);
  for (int k = 0; k < kills; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    gw.Kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(kAckTimeoutMs + 300 + pause(random) / 5));
    port = gw.Start();
  }
  inject.join();

  auto c = Client(port);
  const auto deadline = Clock::now() + std::chrono::seconds(90 + n / 5);
  std::map<int64_t, json> messages;
  std::vector<json> inbox;
  for (;;) {
    messages = AllMessages(*c);
    inbox = Inbox(*c);
    int open = 0;
    for (auto& [id, m] : messages) open += m["status"] == "queued" || m["status"] == "sending";
    if ((open == 0 && static_cast<int>(inbox.size()) >= n) || Clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }

  // Reports of the last messages are still on their way.
  for (int i = 0; i < 25; ++i) {
    int sent = 0;
    for (auto& [id, m] : messages) sent += m["status"] == "sent";
    if (sent == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    messages = AllMessages(*c);
  }
  ASSERT_EQ(static_cast<int>(messages.size()), n) << "queued messages lost";
  {
    auto r = c->Get("/v1/modems");
    RecordProperty("modems", r ? r->body : std::string("no answer"));
  }
  const auto submitted = SubmittedTexts();
  int unknown = 0;
  std::map<std::string, int> statuses;
  for (auto& [id, m] : messages) {
    const std::string st = m["status"];
    ++statuses[st];
    const std::string text = m["text"];
    const int times = submitted.count(text) ? submitted.at(text) : 0;
    if (st == "unknown") {
      ++unknown;
      EXPECT_LE(times, 1) << text;
    } else {
      // A report the modem wrote to a killed gateway may be gone with it
      // (the simulator does not deliver reports again): then it stays sent.
      EXPECT_TRUE(st == "delivered" || st == "sent") << m.dump();
      EXPECT_EQ(times, 1) << text << " sent " << times << " times";
    }
  }
  EXPECT_LE(unknown, kills);
  std::map<std::string, int> received;
  for (const json& m : inbox) ++received[m["text"].get<std::string>()];
  int lost = 0, twice = 0;
  std::string lostList;
  for (int i = 0; i < n; ++i) {
    if (received[InText(i)] == 0 && lost < 20) lostList += " " + std::to_string(i);
    lost += received[InText(i)] == 0;
    twice += received[InText(i)] > 1;
  }
  EXPECT_EQ(lost, 0) << "still stored in the simulators: " << sims_[0]->Stored().size() << " + "
                     << sims_[1]->Stored().size() << "; stored in all: " << sims_[0]->MessagesStored() << " + "
                     << sims_[1]->MessagesStored() << "; +CMT written " << sims_[0]->DeliveriesWritten() << " + "
                     << sims_[1]->DeliveriesWritten() << ", AT+CNMA " << sims_[0]->CnmaCount() << " + "
                     << sims_[1]->CnmaCount() << " (" << sims_[0]->UnexpectedCnmaCount() << " + "
                     << sims_[1]->UnexpectedCnmaCount() << " unexpected); routing dropped " << sims_[0]->RoutingDrops()
                     << " + " << sims_[1]->RoutingDrops() << "; +CMTI/+CDSI " << sims_[0]->StorageIndicationsWritten()
                     << " + " << sims_[1]->StorageIndicationsWritten() << "; deletions " << sims_[0]->TotalDeletions()
                     << " + " << sims_[1]->TotalDeletions() << "; lost:" << lostList << "\n"
                     << UnusualLogLines(ReadFile(dir_.Path("gateway.log")));
  EXPECT_EQ(twice, 0);
  EXPECT_EQ(static_cast<int>(inbox.size()), n);
  const auto events = MessageEvents(port, inbox.size());
  EXPECT_EQ(std::set<int64_t>(events.begin(), events.end()).size(), inbox.size());
  std::string summary;
  for (auto& [st, count] : statuses) summary += st + "=" + std::to_string(count) + " ";
  RecordProperty("statuses", summary);
  std::chrono::milliseconds took{};
  EXPECT_EQ(gw.Terminate(took), 0);
}

int ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A second gateway on a taken address stops at once, before it touches the
// queue or the modems; the database files are the owner's only.
TEST_F(GatewayEndToEnd, ASecondGatewayOnTheAddressExitsAndTheDatabaseIsTheOwnersOnly) {
  StartSims(false);
  GatewayProcess first(GatewayArgs(), dir_.Path("gateway.log"));
  const int port = first.Start();
  auto c = Client(port);
  ASSERT_TRUE(WaitModemsUp(*c, 30)) << ReadFile(dir_.Path("gateway.log"));
  // The validity period asked for reaches every part; the longest by default.
  for (const json& body : {json{{"to", "+15550001"}, {"text", "one"}, {"validity", "12h"}, {"modem", "a"}},
                           json{{"to", "+15550001"}, {"text", std::string(200, 'x')}, {"modem", "a"}}}) {
    auto r = c->Post("/v1/messages", body.dump(), "application/json");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202) << r->body;
  }
  ASSERT_TRUE(sims_[0]->WaitForSubmitCount(3, 20000));
  const std::vector<sim::SubmitRecord> submits = sims_[0]->Submits();
  for (size_t i = 0; i < submits.size(); ++i) {
    sim::pdu::Submit decoded;
    std::string error;
    ASSERT_TRUE(sim::pdu::DecodeSubmit(submits[i].pdu, submits[i].announcedLength, &decoded, &error)) << error;
    EXPECT_EQ(decoded.validityFormat, 2) << i;
    EXPECT_EQ(decoded.validity, sim::pdu::Bytes{static_cast<uint8_t>(i == 0 ? 0x8F : 0xFF)}) << i;
  }
  for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(ModeOf(dir_.Path("gw.db") + suffix), 0600) << suffix;

  // The same modems, database and token, the port of the first.
  std::vector<std::string> args = GatewayArgs();
  args.back() = "127.0.0.1:" + std::to_string(port);
  GatewayProcess second(args, dir_.Path("second.log"));
  EXPECT_EQ(second.RunToExit(20), 2);
  const std::string log = ReadFile(dir_.Path("second.log"));
  EXPECT_NE(log.find("cannot listen on 127.0.0.1:" + std::to_string(port) + ": address already in use"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("modem "), std::string::npos) << log;  // no modem opened
  EXPECT_EQ(log.find("marked unknown"), std::string::npos) << log;
  for (int i = 0; i < 10; ++i) {  // every connection still goes to the first
    auto m = c->Get("/v1/messages");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->status, 200);
  }

  // Files left open to others (an older version, a copy) are tightened at
  // start, with one line saying so.
  std::chrono::milliseconds took{};
  EXPECT_EQ(first.Terminate(took), 0);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const std::string path = dir_.Path("gw.db") + suffix;
    if (ModeOf(path) < 0) WriteFile(path, "");  // the last connection may have removed them
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  }
  const size_t before = ReadFile(dir_.Path("gateway.log")).size();
  first.Start();
  for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(ModeOf(dir_.Path("gw.db") + suffix), 0600) << suffix;
  const std::string restarted = ReadFile(dir_.Path("gateway.log")).substr(before);
  EXPECT_EQ(Occurrences(restarted, "were open to other users"), 1u) << restarted;
  EXPECT_NE(restarted.find(dir_.Path("gw.db") + ", " + dir_.Path("gw.db") + "-wal, "), std::string::npos) << restarted;
  EXPECT_EQ(first.Terminate(took), 0);
}

// A modem unplugged and plugged back with nothing queued for it: up again
// within 5 s of its return, and what arrived meanwhile is read.
TEST_F(GatewayEndToEnd, AnUnpluggedModemIsReopenedWhenItIsBackWithNothingQueued) {
  sim::ModemSimOptions o;
  o.unplug = true;
  o.linkPath = dir_.Path("modem");
  sims_[0] = std::make_unique<sim::ModemSim>(o);
  sims_[0]->Start();
  GatewayProcess gw({"gateway", "--modem", "a=" + o.linkPath, "--db", dir_.Path("gw.db"), "--token-file",
                     dir_.Path("token"), "--listen", "127.0.0.1:0"},
                    dir_.Path("gateway.log"));
  const int port = gw.Start();
  auto c = Client(port);
  auto state = [&] {
    auto r = c->Get("/v1/modems");
    return r && r->status == 200 ? json::parse(r->body)["modems"][0]["state"].get<std::string>() : std::string();
  };
  auto waitFor = [&](const std::function<bool()>& done, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
  };
  const std::string log = dir_.Path("gateway.log");
  ASSERT_TRUE(waitFor([&] { return state() == "up"; }, 30000)) << ReadFile(log);

  sims_[0]->Unplug();
  ASSERT_TRUE(waitFor([&] { return state() == "down"; }, 10000)) << ReadFile(log);
  sims_[0]->AddStored("+4915550002", "while away");
  // Long enough for the reopen attempts to back off as far as they go.
  std::this_thread::sleep_for(std::chrono::seconds(6));
  sims_[0]->Replug();
  const auto back = Clock::now();
  ASSERT_TRUE(waitFor([&] { return state() == "up"; }, 20000)) << ReadFile(log);
  EXPECT_LT(Clock::now() - back, std::chrono::seconds(5)) << ReadFile(log);

  auto inboxHas = [&](const std::string& text) {
    for (const json& m : Inbox(*c)) {
      if (m["text"] == text) return true;
    }
    return false;
  };
  EXPECT_TRUE(waitFor([&] { return inboxHas("while away"); }, 10000)) << ReadFile(log);
  sims_[0]->InjectDeliver("+4915550003", "after");
  EXPECT_TRUE(waitFor([&] { return inboxHas("after"); }, 10000)) << ReadFile(log);
  std::chrono::milliseconds took{};
  EXPECT_EQ(gw.Terminate(took), 0);
}

// Three gateway nodes on one PostgreSQL database, two simulated modems each
// (modems aN and bN on node nN).
class GatewayCluster : public GatewayEndToEnd {
 protected:
  static constexpr int kNodes = 3;
  void SetUp() override {
    VELA_REQUIRE_POSTGRES();
    db_ = PgTestServer::Get()->NewDatabase();
  }
  void TearDown() override {
    for (auto& g : nodes_) {
      if (g && g->Pid() > 0) g->Kill();
    }
  }
  static std::string ModemName(int sim) { return std::string(sim % 2 ? "b" : "a") + std::to_string(sim / 2); }
  // `onReceive`: the receive hook of every node.
  void StartCluster(bool ackTimeout, int leaseSeconds, const std::string& onReceive = "") {
    for (int i = 0; i < 2 * kNodes; ++i) {
      sim::ModemSimOptions o;
      o.ownNumber = "+1555000010" + std::to_string(i);
      o.reportDelayMs = 20;
      o.deliverDelayMs = 20;
      if (ackTimeout) {
        o.ackTimeout = true;
        o.ackTimeoutMs = kAckTimeoutMs;
        o.ackTimeoutRedeliver = true;
        o.simCapacity = 2000;
        o.meCapacity = 2000;
      }
      cluster_.push_back(std::make_unique<sim::ModemSim>(o));
      cluster_.back()->Start();
    }
    for (int n = 0; n < kNodes; ++n) {
      std::vector<std::string> args = {"gateway",     "--node",          "n" + std::to_string(n),     "--db",
                                       db_,           "--token-file",    dir_.Path("token"),          "--listen",
                                       "127.0.0.1:0", "--lease-seconds", std::to_string(leaseSeconds)};
      if (!onReceive.empty()) args.insert(args.end(), {"--on-receive", onReceive});
      for (int m = 2 * n; m < 2 * n + 2; ++m) {
        args.push_back("--modem");
        args.push_back(ModemName(m) + "=" + cluster_[m]->DevicePath() + modemOptions_[m]);
      }
      nodes_.push_back(std::make_unique<GatewayProcess>(args, dir_.Path("n" + std::to_string(n) + ".log")));
      ports_.push_back(nodes_.back()->Start());
    }
    ASSERT_TRUE(WaitClusterUp(ports_[0], 2 * kNodes, 30)) << Logs();
  }
  // Until /v1/modems of the node on `port` shows `count` modems up.
  bool WaitClusterUp(int port, int count, int seconds) {
    auto c = Client(port);
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      auto r = c->Get("/v1/modems");
      int up = 0;
      if (r && r->status == 200) {
        const json shown = json::parse(r->body);
        for (const json& m : shown["modems"]) up += m["state"] == "up";
      }
      if (up == count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  std::string Logs() {
    std::string all;
    for (int n = 0; n < kNodes; ++n) all += ReadFile(dir_.Path("n" + std::to_string(n) + ".log"));
    return all;
  }
  // Accepted sends of each text: which modems sent it.
  std::map<std::string, std::vector<std::string>> SentBy() {
    std::map<std::string, std::vector<std::string>> texts;
    for (size_t i = 0; i < cluster_.size(); ++i) {
      for (const sim::SubmitRecord& r : cluster_[i]->Submits()) {
        if (r.accepted) texts[r.text].push_back(ModemName(static_cast<int>(i)));
      }
    }
    return texts;
  }
  void Post(int port, const json& body) {
    auto c = Client(port);
    auto r = c->Post("/v1/messages", body.dump(), "application/json");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 202) << r->body;
  }
  // Posts `any` messages for any modem and `named` for the modems in turn,
  // over the nodes in turn (a named one never to its modem's node).
  void PostOutgoing(const std::string& prefix, int any, int named, std::vector<int> nodes) {
    std::vector<std::unique_ptr<httplib::Client>> clients;
    for (int port : ports_) clients.push_back(Client(port));
    for (int i = 0; i < any + named; ++i) {
      json body = {
          {"to", "+1999" + std::to_string(1000000 + i)}, {"text", prefix + std::to_string(i)}, {"report", true}};
      int node = nodes[i % nodes.size()];
      if (i >= any) {
        const int sim = (i - any) % (2 * kNodes);
        body["modem"] = ModemName(sim);
        body["text"] = prefix + "named-" + ModemName(sim) + "-" + std::to_string(i);
        if (node == sim / 2) node = nodes[(i + 1) % nodes.size()];
      }
      auto r = clients[node]->Post("/v1/messages", body.dump(), "application/json");
      ASSERT_TRUE(r);
      ASSERT_EQ(r->status, 202) << r->body;
    }
  }
  void Inject(int count, int pauseMs) {
    for (int i = 0; i < count; ++i) {
      cluster_[i % cluster_.size()]->InjectDeliver(InFrom(i), InText(i));
      if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
  }
  // Each received text once in the inbox, each message event once on every node's stream.
  void ExpectInboxOnceEverywhere(httplib::Client& c, int count, const std::vector<int>& nodes) {
    const std::vector<json> inbox = Inbox(c);
    std::map<std::string, int> received;
    for (const json& m : inbox) ++received[m["text"].get<std::string>()];
    int lost = 0, twice = 0;
    for (int i = 0; i < count; ++i) {
      lost += received[InText(i)] == 0;
      twice += received[InText(i)] > 1;
    }
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(twice, 0);
    EXPECT_EQ(static_cast<int>(inbox.size()), count);
    for (int n : nodes) {
      const auto events = MessageEvents(ports_[n], inbox.size());
      EXPECT_EQ(events.size(), inbox.size()) << "node " << n;
      EXPECT_EQ(std::set<int64_t>(events.begin(), events.end()).size(), inbox.size()) << "node " << n;
    }
  }

  std::map<int, std::string> modemOptions_;  // after a simulator's path in --modem, e.g. ",route=+49"
  std::vector<std::unique_ptr<sim::ModemSim>> cluster_;
  std::vector<std::unique_ptr<GatewayProcess>> nodes_;
  std::vector<int> ports_;
};

// A route is preferred across nodes: a free modem of another node whose
// route matches takes the message, not the free modems of the node that was
// posted to; its limit reached, the others send.
TEST_F(GatewayCluster, AMessageForAnyModemGoesToTheFreeModemWithTheBestRouteOnAnyNode) {
  modemOptions_[0] = ",route=+49,rate=4/h";  // a0, on n0
  StartCluster(false, 15);
  // Up is shown once the modem is open, and free once it looks at the queue
  // (again after each send): each message is posted while a0 is free.
  pg::Connection db(db_);
  auto waitFree = [&] {
    for (int tries = 0; db.Exec("SELECT 1 FROM leases WHERE modem='a0' AND free=1").Rows() == 0; ++tries) {
      if (tries > 200) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return true;
  };
  auto c = Client(ports_[2]);
  auto sentBy = [&](const std::string& to, const std::string& text) {
    auto r = c->Post("/v1/messages", json{{"to", to}, {"text", text}}.dump(), "application/json");
    if (!r || r->status != 202) return std::string("not accepted");
    const std::string path = "/v1/messages/" + std::to_string(json::parse(r->body)["id"].get<int64_t>());
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
      auto m = c->Get(path.c_str());
      if (m && m->status == 200) {
        const json doc = json::parse(m->body);
        if (doc["status"] == "sent") return doc["modem"].get<std::string>();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::string("not sent");
  };
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(waitFree()) << "a0 was never recorded free\n" << Logs();
    EXPECT_EQ(sentBy("+4917000000" + std::to_string(i), "routed-" + std::to_string(i)), "a0");
  }
  // a0 at its limit: no longer free, the others take its destinations.
  const std::string other = sentBy("+49170000009", "routed-9");
  EXPECT_NE(other, "a0");
  EXPECT_NE(other.find_first_of("ab"), std::string::npos) << other;
  EXPECT_EQ(cluster_[0]->Submits().size(), 4u) << Logs();
}

TEST_F(GatewayCluster, ThreeNodesSendEachMessageOnceAndShowTheSameState) {
  const int any = 1000, named = 200, incoming = 1000;
  // The hook runs once per message, on one node.
  const std::string hooked = dir_.Path("hooked");
  StartCluster(false, 15, "{ cat; echo; } >> " + hooked);
  // A modem name another live node holds: refused, naming that node.
  {
    std::vector<std::string> args = {"gateway",
                                     "--node",
                                     "n9",
                                     "--db",
                                     db_,
                                     "--token-file",
                                     dir_.Path("token"),
                                     "--listen",
                                     "127.0.0.1:0",
                                     "--modem",
                                     "a1=" + cluster_[0]->DevicePath()};
    GatewayProcess intruder(args, dir_.Path("n9.log"));
    EXPECT_NE(intruder.RunToExit(20), 0);
    EXPECT_NE(ReadFile(dir_.Path("n9.log")).find("the modem a1 is held by the node n1"), std::string::npos)
        << ReadFile(dir_.Path("n9.log"));
  }
  // A live stream on the last node, opened before anything happens.
  std::atomic<int> live{0};
  std::atomic<bool> streaming{true};
  std::thread stream([&] {
    auto c = Client(ports_[2]);
    c->set_read_timeout(60, 0);
    std::string buffer;
    c->Get("/v1/events", [&](const char* p, size_t n) {
      buffer.append(p, n);
      size_t at;
      while ((at = buffer.find("\n\n")) != std::string::npos) {
        if (buffer.compare(0, at, "event: message") == 0 || buffer.find("\nevent: message\n") < at) ++live;
        buffer.erase(0, at + 2);
      }
      return streaming.load();
    });
  });

  // Idempotency keys hold across nodes: the second node answers the first's id.
  for (int i = 0; i < 3; ++i) {
    json body = {{"to", "+15550009"}, {"text", "keyed-" + std::to_string(i)}, {"report", true}};
    auto first = Client(ports_[i])->Post("/v1/messages", {{"Idempotency-Key", "k" + std::to_string(i)}}, body.dump(),
                                         "application/json");
    auto again =
        Client(ports_[(i + 1) % 3])
            ->Post("/v1/messages", {{"Idempotency-Key", "k" + std::to_string(i)}}, body.dump(), "application/json");
    ASSERT_TRUE(first && again);
    EXPECT_EQ(json::parse(first->body)["id"], json::parse(again->body)["id"]) << first->body << again->body;
  }
  std::thread inject([&] { Inject(incoming, 0); });
  PostOutgoing("out-", any, named, {0, 1, 2});
  inject.join();

  const int total = any + named + 3;
  auto c = Client(ports_[1]);
  const auto deadline = Clock::now() + std::chrono::seconds(50);
  std::map<int64_t, json> messages;
  for (;;) {
    messages = AllMessages(*c);
    int delivered = 0;
    for (auto& [id, m] : messages) delivered += m["status"] == "delivered";
    if ((delivered == total && live >= incoming) || Clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  // The stream on node 2 saw every node's received messages as they came.
  EXPECT_EQ(live.load(), incoming);
  streaming = false;
  Client(ports_[0])->Post("/v1/messages", json{{"to", "+15550009"}, {"text", "wake"}}.dump(), "application/json");
  stream.join();

  ASSERT_EQ(static_cast<int>(messages.size()), total);
  const auto sentBy = SentBy();
  std::set<std::string> modemsUsed;
  for (auto& [id, m] : messages) {
    EXPECT_EQ(m["status"], "delivered") << m.dump();
    const std::string text = m["text"];
    const auto it = sentBy.find(text);
    ASSERT_TRUE(it != sentBy.end()) << text;
    EXPECT_EQ(it->second.size(), 1u) << text;
    EXPECT_EQ(m["modem"], it->second[0]) << text;
    modemsUsed.insert(it->second[0]);
    if (text.find("named-") != std::string::npos) {
      EXPECT_EQ(text.substr(text.find("named-") + 6, 2), it->second[0]);
    }
  }
  EXPECT_EQ(static_cast<int>(modemsUsed.size()), 2 * kNodes);
  // Every node answers the same.
  for (int n = 0; n < kNodes; ++n) {
    auto cn = Client(ports_[n]);
    auto one = cn->Get(("/v1/messages/" + std::to_string(messages.begin()->first)).c_str());
    ASSERT_TRUE(one);
    EXPECT_EQ(json::parse(one->body)["status"], "delivered");
    auto modems = cn->Get("/v1/modems");
    ASSERT_TRUE(modems);
    const json list = json::parse(modems->body)["modems"];
    ASSERT_EQ(list.size(), 6u) << modems->body;
    for (const json& m : list) {
      EXPECT_EQ(m["state"], "up") << m.dump();
      EXPECT_EQ(m["node"], "n" + m["name"].get<std::string>().substr(1)) << m.dump();
    }
    auto nodes = cn->Get("/v1/nodes");
    ASSERT_TRUE(nodes);
    int alive = 0;
    const json listed = json::parse(nodes->body);
    for (const json& node : listed["nodes"]) alive += node["alive"] == true;
    EXPECT_EQ(alive, kNodes) << nodes->body;
  }
  ExpectInboxOnceEverywhere(*c, incoming, {0, 1, 2});
  std::map<int64_t, int> hookRuns;
  for (auto deadline = Clock::now() + std::chrono::seconds(20);;) {
    hookRuns.clear();
    std::istringstream lines(ReadFile(hooked));
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty()) ++hookRuns[json::parse(line)["id"].get<int64_t>()];
    }
    if (static_cast<int>(hookRuns.size()) >= incoming || Clock::now() > deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(static_cast<int>(hookRuns.size()), incoming);
  for (auto& [id, runs] : hookRuns) EXPECT_EQ(runs, 1) << "inbox " << id;
  for (auto& g : nodes_) {
    std::chrono::milliseconds took{};
    EXPECT_EQ(g->Terminate(took), 0);
  }
}

TEST_F(GatewayCluster, KilledNodesLoseAndDuplicateNothingAndAStoppedNodesWorkMovesOn) {
  const int any = 600, named = 60, incoming = 300, leaseSeconds = 3;
  StartCluster(true, leaseSeconds);
  // Messages arrive and are posted all through the kills. A post that gets
  // no answer (its node killed) is retried on the next node with its
  // idempotency key, as a client would.
  std::thread inject([&] { Inject(incoming, 30); });
  std::mutex portsMutex;
  std::thread post([&] {
    for (int i = 0; i < any + named; ++i) {
      json body = {
          {"to", "+1999" + std::to_string(1000000 + i)}, {"text", "out-" + std::to_string(i)}, {"report", true}};
      if (i >= any) {
        const std::string modem = ModemName((i - any) % (2 * kNodes));
        body["modem"] = modem;
        body["text"] = "out-named-" + modem + "-" + std::to_string(i);
      }
      for (int attempt = 0;; ++attempt) {
        int port = 0;
        {
          std::lock_guard<std::mutex> lock(portsMutex);
          port = ports_[(i + attempt) % kNodes];
        }
        auto r = Client(port)->Post("/v1/messages", {{"Idempotency-Key", "out-" + std::to_string(i)}}, body.dump(),
                                    "application/json");
        if (r && r->status == 202) break;
        ASSERT_LT(attempt, 50) << (r ? r->body : std::string("no answer"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
  });

  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> pause(100, 1500);
  const int kills = 6;
  for (int k = 0; k < kills; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    const int victim = static_cast<int>(random() % kNodes);
    nodes_[victim]->Kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(kAckTimeoutMs + 300 + pause(random) / 5));
    const int port = nodes_[victim]->Start();  // its own name: its leases back at once
    std::lock_guard<std::mutex> lock(portsMutex);
    ports_[victim] = port;
  }
  inject.join();
  post.join();

  auto c = Client(ports_[0]);
  auto settled = [&](int seconds, const std::function<bool(const std::map<int64_t, json>&)>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    std::map<int64_t, json> messages;
    for (;;) {
      messages = AllMessages(*c);
      if (done(messages) || Clock::now() > deadline) return messages;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  };
  auto open = [](const std::map<int64_t, json>& messages) {
    int n = 0;
    for (auto& [id, m] : messages) n += m["status"] == "queued" || m["status"] == "sending";
    return n;
  };
  settled(40, [&](const auto& m) { return open(m) == 0 && static_cast<int>(Inbox(*c).size()) >= incoming; });

  // Node 2 stops for good with messages of its own for any modem on the
  // way; messages for its modem a2 wait for it.
  PostOutgoing("late-", 30, 0, {2});
  std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200));
  nodes_[2]->Kill();
  const auto killedAt = Clock::now();
  for (int i = 0; i < 5; ++i) {
    Post(ports_[1], json{{"to", "+15550010"}, {"text", "for-a2-" + std::to_string(i)}, {"modem", "a2"}});
  }
  // Its modems are down once its leases ran out.
  auto stoppedDown = [&] {
    auto r = c->Get("/v1/modems");
    if (!r || r->status != 200) return false;
    const json shown = json::parse(r->body);
    for (const json& m : shown["modems"]) {
      if (m["node"] == "n2" && m["state"] != "down") return false;
    }
    return true;
  };
  auto messages = settled(leaseSeconds + 5, [&](const auto& all) {
    if (!stoppedDown()) return false;
    for (auto& [id, m] : all) {
      const std::string text = m["text"];
      if (m["status"] == "sending" || (text.rfind("late-", 0) == 0 && m["status"] == "queued")) return false;
    }
    return true;
  });
  const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killedAt).count();
  RecordProperty("stopped_node_work_moved_on_ms", static_cast<int>(tookMs));
  EXPECT_LE(tookMs, (leaseSeconds + 5) * 1000) << Logs();
  // Reports of the last messages are still on their way.
  for (int i = 0; i < 25; ++i) {
    int sent = 0;
    for (auto& [id, m] : messages)
      sent += m["status"] == "sent" && m["modem"].is_string() && m["modem"].get<std::string>().back() != '2';
    if (sent == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    messages = AllMessages(*c);
  }

  ASSERT_EQ(static_cast<int>(messages.size()), any + named + 30 + 5) << "queued messages lost";
  const auto sentBy = SentBy();
  int unknown = 0;
  std::map<std::string, int> statuses;
  for (auto& [id, m] : messages) {
    const std::string st = m["status"], text = m["text"];
    ++statuses[st];
    const int times = sentBy.count(text) ? static_cast<int>(sentBy.at(text).size()) : 0;
    if (text.rfind("for-a2-", 0) == 0) {
      EXPECT_EQ(st, "queued") << m.dump();  // waits for node 2
      EXPECT_EQ(times, 0);
    } else if (st == "unknown") {
      ++unknown;
      EXPECT_LE(times, 1) << text;
    } else {
      // A report written to a killed node may be gone with it: then it stays sent.
      EXPECT_TRUE(st == "delivered" || st == "sent") << m.dump();
      EXPECT_EQ(times, 1) << text << " sent " << times << " times";
    }
  }
  EXPECT_LE(unknown, kills + 1);
  std::string summary;
  for (auto& [st, count] : statuses) summary += st + "=" + std::to_string(count) + " ";
  RecordProperty("statuses", summary);

  // The stopped node's modems are down, with its name; the node is not alive.
  auto modems = c->Get("/v1/modems");
  ASSERT_TRUE(modems);
  const json shownModems = json::parse(modems->body);
  for (const json& m : shownModems["modems"]) {
    const bool stopped = m["node"] == "n2";
    EXPECT_EQ(m["state"], stopped ? "down" : "up") << m.dump();
  }
  auto nodes = c->Get("/v1/nodes");
  ASSERT_TRUE(nodes);
  const json listedNodes = json::parse(nodes->body);
  for (const json& n : listedNodes["nodes"]) EXPECT_EQ(n["alive"], n["name"] != "n2") << n.dump();
  ExpectInboxOnceEverywhere(*c, incoming, {0, 1});
}

// Per-SIM limits, groups and routes through the gateway: a is routed to +49
// and may send 10 a minute and 11 a day; b is in group g. While both are
// free, messages to +49 go through a; a at its rate keeps its own messages
// queued and the others go through b; the 11th goes when the oldest send
// leaves the minute; after a restart a's day is still used up. A modem at
// its limit sleeps: the idle gateway does not wake up.
TEST_F(GatewayEndToEnd, LimitsPaceAModemWhileRoutesAndGroupsChoose) {
  StartSims(false);
  const std::string log = dir_.Path("gateway.log");
  GatewayProcess gw({"gateway", "--modem", "a=" + sims_[0]->DevicePath() + ",route=+49,rate=10/min,daily=11", "--modem",
                     "b=" + sims_[1]->DevicePath() + ",group=g", "--db", db_, "--token-file", dir_.Path("token"),
                     "--listen", "127.0.0.1:0"},
                    log);
  int port = gw.Start();
  auto c = Client(port);
  ASSERT_TRUE(WaitModemsUp(*c, 30)) << ReadFile(log);
  int n = 0;
  auto post = [&](const std::string& to, const std::string& modem) -> int64_t {
    json body = {{"to", to}, {"text", "limit-" + std::to_string(n++)}, {"report", true}};
    if (!modem.empty()) body["modem"] = modem;
    auto r = c->Post("/v1/messages", body.dump(), "application/json");
    if (!r || r->status != 202) return 0;
    return json::parse(r->body)["id"].get<int64_t>();
  };
  auto message = [&](int64_t id) {
    auto r = c->Get(("/v1/messages/" + std::to_string(id)).c_str());
    return r && r->status == 200 ? json::parse(r->body) : json();
  };
  auto delivered = [&](int64_t id, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      json m = message(id);
      if (m.is_object() && m["status"] == "delivered") return m;
      if (Clock::now() > deadline) return m;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };
  auto modemA = [&] {
    auto r = c->Get("/v1/modems");
    if (!r || r->status != 200) return json();
    const json doc = json::parse(r->body);
    for (const json& m : doc["modems"]) {
      if (m["name"] == "a") return m;
    }
    return json();
  };

  std::vector<int64_t> sentAt;  // a's sends, Unix ms
  for (int i = 0; i < 3; ++i) {
    const json m = delivered(post("+49170000000" + std::to_string(i), ""), 20);
    EXPECT_EQ(m["modem"], "a") << m.dump();
    sentAt.push_back(ParseTime(m["sent_at"].get<std::string>()).value_or(0));
  }
  EXPECT_EQ(delivered(post("+15550001", "group:g"), 20)["modem"], "b");
  EXPECT_EQ(post("+15550001", "group:h"), 0);

  std::vector<int64_t> pinned;
  for (int i = 0; i < 8; ++i) pinned.push_back(post("+1555000100" + std::to_string(i), "a"));
  for (int i = 0; i < 7; ++i) EXPECT_EQ(delivered(pinned[i], 20)["status"], "delivered");
  json a = modemA();
  EXPECT_EQ(a["limits"]["rate"]["used"], 10) << a.dump();
  EXPECT_EQ(a["limits"]["rate"]["limit"], 10);
  EXPECT_EQ(a["limits"]["rate"]["per"], "min");
  EXPECT_EQ(a["limits"]["daily"]["used"], 10);
  EXPECT_FALSE(a["limits"]["blocked_until"].is_null());
  for (int i = 0; i < 2; ++i) EXPECT_EQ(delivered(post("+4917100000" + std::to_string(i), ""), 20)["modem"], "b");
  EXPECT_EQ(message(pinned[7])["status"], "queued");

  const json last = delivered(pinned[7], 90);
  ASSERT_EQ(last["status"], "delivered") << ReadFile(log);
  const int64_t paced = ParseTime(last["sent_at"].get<std::string>()).value_or(0) - sentAt[0];
  EXPECT_GE(paced, 59000);
  EXPECT_LE(paced, 70000);

  std::chrono::milliseconds took{};
  EXPECT_EQ(gw.Terminate(took), 0);
  port = gw.Start();
  c = Client(port);
  ASSERT_TRUE(WaitModemsUp(*c, 30)) << ReadFile(log);
  const int64_t waits = post("+15550002", "a");
  EXPECT_EQ(delivered(post("+4917200000", ""), 20)["modem"], "b");
  EXPECT_EQ(message(waits)["status"], "queued");
  a = modemA();
  EXPECT_EQ(a["limits"]["daily"]["used"], 11) << a.dump();
  EXPECT_EQ(a["limits"]["daily"]["limit"], 11);
  EXPECT_EQ(a["limits"]["blocked_until"], a["limits"]["daily"]["resets_at"]);

  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the last answers settle
  const ProcessCost before = CostOf(gw.Pid());
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long switches = CostOf(gw.Pid()).switches - before.switches;
  EXPECT_LE(switches, 3);
  EXPECT_EQ(gw.Terminate(took), 0);
}

}  // namespace
}  // namespace vela::gateway

// The HTTP API on the loopback address against a real store: bad input gets
// a 4xx with a JSON body and the server goes on; the queue endpoints, the
// inbox and the resumable event stream; slow clients do not block others.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "gateway/http_api.h"
#include "gateway/open_store.h"
#include "gateway/records_json.h"
#include "gateway_test_util.h"
#include "pg_test_server.h"

namespace vela::gateway {
namespace {

using nlohmann::json;

class FakeModems : public ModemDirectory {
 public:
  std::vector<ModemInfo> Modems() override {
    ModemInfo a;
    a.name = "a";
    a.state = "up";
    a.manufacturer = "VelaSim";
    a.signalDbm = -71;
    ModemInfo b;
    b.name = "b";
    b.state = "down";
    b.lastError = "cannot open /dev/x";
    return {a, b};
  }
  bool Has(const std::string& name) override { return name == "a" || name == "b"; }
  void WakeSenders() override { ++wakes; }
  std::atomic<int> wakes{0};
};

// Each test against an SQLite file and a PostgreSQL database of its own.
class HttpApiTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgresql") {
      VELA_REQUIRE_POSTGRES();
      store_ = OpenStore(PgTestServer::Get()->NewDatabase());
    } else {
      store_ = OpenStore(dir_.Path("g.db"));
    }
    Serve(Settings());
  }
  ApiSettings Settings() {
    ApiSettings s;
    s.token = "t0ken";
    s.maxBodyBytes = 64 * 1024;
    s.readTimeoutSeconds = 1;
    s.writeTimeoutSeconds = 1;
    s.threads = 8;
    s.maxEventStreams = 4;
    s.eventKeepAliveMs = 200;
    return s;
  }
  // (Re)starts the API with these settings.
  void Serve(const ApiSettings& s) {
    TearDown();
    api_ = std::make_unique<HttpApi>(*store_, modems_, events_, metrics_, s);
    api_->Bind("127.0.0.1", 0);
    thread_ = std::thread([this] { api_->Run(); });
    client_ = Client();
    // Answered once the server runs (a stop before that would be missed).
    ASSERT_TRUE(client_->Get("/healthz"));
  }
  void TearDown() override {
    if (api_) api_->Stop();
    if (thread_.joinable()) thread_.join();
  }
  std::unique_ptr<httplib::Client> Client(const std::string& token = "t0ken") {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", api_->Port());
    if (!token.empty()) c->set_bearer_token_auth(token);
    c->set_read_timeout(5, 0);
    return c;
  }
  json Post(const std::string& body, int expectStatus, const httplib::Headers& headers = {}) {
    auto r = client_->Post("/v1/messages", headers, body, "application/json");
    EXPECT_TRUE(r) << "no answer";
    if (!r) return json();
    EXPECT_EQ(r->status, expectStatus) << body.substr(0, 200) << " -> " << r->body;
    return json::parse(r->body, nullptr, false);
  }

  TempDir dir_;
  std::unique_ptr<Store> store_;
  FakeModems modems_;
  EventNotifier events_;
  Metrics metrics_;
  std::unique_ptr<HttpApi> api_;
  std::thread thread_;
  std::unique_ptr<httplib::Client> client_;
};

INSTANTIATE_TEST_SUITE_P(Both, HttpApiTest, ::testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

TEST_P(HttpApiTest, BadRequestsGetClearJsonErrors) {
  struct Case {
    std::string body;
    int status;
    const char* says;
  } cases[] = {
      {"{\"to\": \"+15551234\", \"text\": ", 400, "malformed JSON"},
      {"[1, 2]", 400, "JSON object"},
      {"{\"text\": \"hi\"}", 400, "missing field \"to\""},
      {"{\"to\": \"+15551234\"}", 400, "missing field \"text\""},
      {"{\"to\": 15551234, \"text\": \"hi\"}", 400, "\"to\" must be a string"},
      {"{\"to\": \"+15551234\", \"text\": \"hi\", \"report\": \"yes\"}", 400, "\"report\""},
      {"{\"to\": \"abc\", \"text\": \"hi\"}", 422, "invalid destination"},
      {"{\"to\": \"+1-555-12a\", \"text\": \"hi\"}", 422, "invalid destination"},
      {"{\"to\": \"+15551234\", \"text\": \"hi\", \"modem\": \"zz\"}", 422, "unknown modem \"zz\""},
      {"{\"to\": \"+15551234\", \"text\": \"hi\", \"coding\": \"ebcdic\"}", 422, "ebcdic"},
      {"{\"to\": \"+15551234\", \"text\": \"hi\", \"languages\": \"klingon\"}", 422, "klingon"},
      {"{\"to\": \"+15551234\", \"text\": \"hi\", \"languages\": 7}", 400, "languages"},
      {"{\"to\": \"+15551234\", \"text\": \"" + std::string(40000, 'x') + "\"}", 422, "parts"},
      {"{\"to\": \"+15551234\", \"text\": \"\xff\xfe\"}", 400, "malformed JSON"},
      {"{\"to\": \"+15551234\", \"text\": \"hi\", \"validity\": 12}", 400, "\"validity\" must be a string"},
      {"{\"to\": \"+15551234\", \"text\": \"hi\", \"validity\": \"4m\"}", 422, "from 5 minutes to 63 weeks"},
      {"{\"to\": \"+15551234\", \"text\": \"hi\", \"validity\": \"64w\"}", 422, "'64w': longer than 63 weeks"},
  };
  for (const Case& c : cases) {
    json body = Post(c.body, c.status);
    ASSERT_TRUE(body.is_object()) << c.body.substr(0, 80);
    ASSERT_TRUE(body.contains("error"));
    EXPECT_NE(body["error"].get<std::string>().find(c.says), std::string::npos)
        << c.body.substr(0, 80) << " -> " << body["error"];
  }
  EXPECT_TRUE(store_->ListMessages({}).empty());

  // 100 kB of text is over the body limit here (64 kB): 413 with JSON, and the server goes on.
  json big = {{"to", "+15551234"}, {"text", std::string(100 * 1024, 'a')}};
  json tooLarge = Post(big.dump(), 413);
  EXPECT_NE(tooLarge.value("error", "").find("too large"), std::string::npos);
  Post(R"({"to": "+15551234", "text": "still serving"})", 202);
}

TEST_P(HttpApiTest, TokenIsRequiredEverywhere) {
  for (const char* path : {"/v1/messages", "/v1/inbox", "/v1/modems", "/healthz", "/metrics", "/v1/messages/1"}) {
    for (const std::string& token : {std::string(), std::string("wrong"), std::string("t0ke"), std::string("t0ken0")}) {
      auto r = Client(token)->Get(path);
      ASSERT_TRUE(r);
      EXPECT_EQ(r->status, 401) << path << " token '" << token << "'";
      EXPECT_TRUE(json::parse(r->body, nullptr, false).contains("error")) << r->body;
    }
  }
  auto r = Client("wrong")->Post("/v1/messages", R"({"to": "+1555", "text": "x"})", "application/json");
  EXPECT_EQ(r->status, 401);
  EXPECT_TRUE(store_->ListMessages({}).empty());
  EXPECT_EQ(client_->Get("/healthz")->status, 200);
}

TEST_P(HttpApiTest, QueueEndpointsAndIdempotency) {
  json first = Post(R"({"to": "+1 (555) 123-4567", "text": "Grüße ✓", "report": true, "modem": "a"})", 202,
                    {{"Idempotency-Key", "order-17"}});
  EXPECT_EQ(first["status"], "queued");
  const int64_t id = first["id"];
  EXPECT_EQ(modems_.wakes.load(), 1);
  json again = Post(R"({"to": "+15550000", "text": "other"})", 202, {{"Idempotency-Key", "order-17"}});
  EXPECT_EQ(again["id"], id);
  EXPECT_EQ(modems_.wakes.load(), 1);

  auto r = client_->Get(("/v1/messages/" + std::to_string(id)).c_str());
  ASSERT_EQ(r->status, 200);
  json m = json::parse(r->body);
  EXPECT_EQ(m["to"], "+15551234567");
  EXPECT_EQ(m["text"], "Grüße ✓");
  EXPECT_EQ(m["modem"], "a");
  EXPECT_EQ(m["report"], true);

  const int64_t second = Post(R"({"to": "+15550001", "text": "two"})", 202)["id"];
  json listed = json::parse(client_->Get("/v1/messages?status=queued&limit=1")->body);
  ASSERT_EQ(listed["messages"].size(), 1u);
  EXPECT_EQ(listed["messages"][0]["id"], id);
  listed = json::parse(client_->Get(("/v1/messages?since=" + std::to_string(id)).c_str())->body);
  ASSERT_EQ(listed["messages"].size(), 1u);
  EXPECT_EQ(listed["messages"][0]["id"], second);
  EXPECT_EQ(client_->Get("/v1/messages?status=lost")->status, 400);
  EXPECT_EQ(client_->Get("/v1/messages?limit=-1")->status, 400);
  EXPECT_EQ(client_->Get("/v1/messages?limit=99999")->status, 400);
  EXPECT_EQ(client_->Get("/v1/messages/99999")->status, 404);
  EXPECT_EQ(client_->Get("/v1/nothing")->status, 404);

  // Retry only for unknown/failed; delete only while queued.
  EXPECT_EQ(client_->Post(("/v1/messages/" + std::to_string(id) + "/retry").c_str())->status, 409);
  EXPECT_EQ(client_->Delete(("/v1/messages/" + std::to_string(id)).c_str())->status, 200);
  EXPECT_EQ(client_->Delete(("/v1/messages/" + std::to_string(id)).c_str())->status, 409);
  store_->ClaimNext("a", NowMs());
  store_->RecoverInterrupted(NowMs());  // `second` was sending when "killed"
  EXPECT_EQ(store_->GetMessage(second)->status, status::kUnknown);
  EXPECT_EQ(client_->Post(("/v1/messages/" + std::to_string(second) + "/retry").c_str())->status, 202);
  EXPECT_EQ(store_->GetMessage(second)->status, status::kQueued);
}

TEST_P(HttpApiTest, InboxModemsHealthAndMetrics) {
  ReceivedMessage in;
  in.modem = "a";
  in.originator = "+4915112345";
  in.text = "hello";
  in.smscTime = "2026-12-09 01:02:03";
  const int64_t id = *store_->AddReceived(in, {}, false, NowMs());
  json inbox = json::parse(client_->Get("/v1/inbox?since=0")->body);
  ASSERT_EQ(inbox["messages"].size(), 1u);
  EXPECT_EQ(inbox["messages"][0]["from"], "+4915112345");
  EXPECT_EQ(inbox["messages"][0]["smsc_time"], "2026-12-09 01:02:03");
  EXPECT_EQ(client_->Delete(("/v1/inbox/" + std::to_string(id)).c_str())->status, 200);
  EXPECT_EQ(client_->Delete(("/v1/inbox/" + std::to_string(id)).c_str())->status, 404);
  EXPECT_TRUE(json::parse(client_->Get("/v1/inbox")->body)["messages"].empty());

  json modems = json::parse(client_->Get("/v1/modems")->body)["modems"];
  ASSERT_EQ(modems.size(), 2u);
  EXPECT_EQ(modems[0]["state"], "up");
  EXPECT_EQ(modems[0]["signal_dbm"], -71);
  EXPECT_EQ(modems[1]["last_error"], "cannot open /dev/x");
  json health = json::parse(client_->Get("/healthz")->body);
  EXPECT_EQ(health["modems_up"], 1);

  Post(R"({"to": "+15550001", "text": "q"})", 202);
  metrics_.ObserveSendLatency("a", 0.3);
  auto metrics = client_->Get("/metrics");
  EXPECT_NE(metrics->get_header_value("Content-Type").find("text/plain"), std::string::npos);
  for (const char* line :
       {"velasms_messages_queued{modem=\"\"} 1", "velasms_messages_received_total{modem=\"a\"} 1",
        "velasms_modem_up{modem=\"a\"} 1", "velasms_modem_up{modem=\"b\"} 0", "velasms_queue_depth{modem=\"b\"} 1",
        "velasms_send_latency_seconds_bucket{modem=\"a\",le=\"0.25\"} 0",
        "velasms_send_latency_seconds_bucket{modem=\"a\",le=\"0.5\"} 1",
        "velasms_send_latency_seconds_count{modem=\"a\"} 1"}) {
    EXPECT_NE(metrics->body.find(line), std::string::npos) << line << "\n" << metrics->body;
  }
  // A message for b queued 90 s ago: b's oldest is that one, a's the one for any modem.
  OutgoingRequest old;
  old.to = "+1555";
  old.text = "old";
  old.modem = "b";
  store_->Enqueue(old, NowMs() - 90000);
  const std::string body = client_->Get("/metrics")->body;
  auto age = [&](const std::string& modem) {
    const std::string key = "velasms_oldest_queued_age_seconds{modem=\"" + modem + "\"} ";
    const size_t at = body.find(key);
    return at == std::string::npos ? -1.0 : std::stod(body.substr(at + key.size()));
  };
  EXPECT_GE(age("b"), 90);
  EXPECT_LT(age("b"), 900);
  EXPECT_GE(age("a"), 0);
  EXPECT_LT(age("a"), 60);
}

// Reads a stream until `count` events came; returns their (id, type) pairs.
std::vector<std::pair<std::string, std::string>> ReadEvents(httplib::Client& c, const std::string& lastId,
                                                            size_t count) {
  std::vector<std::pair<std::string, std::string>> events;
  std::string buffer, id, type;
  httplib::Headers h;
  if (!lastId.empty()) h.emplace("Last-Event-ID", lastId);
  c.Get("/v1/events", h, [&](const char* data, size_t n) {
    buffer.append(data, n);
    size_t end;
    while ((end = buffer.find('\n')) != std::string::npos) {
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      if (line.rfind("id: ", 0) == 0) id = line.substr(4);
      if (line.rfind("event: ", 0) == 0) type = line.substr(7);
      if (line.empty() && !type.empty()) {
        events.emplace_back(id, type);
        type.clear();
        if (events.size() >= count) return false;
      }
    }
    return true;
  });
  return events;
}

TEST_P(HttpApiTest, EventStreamResumesAfterLastEventIdAndSeesNewEvents) {
  for (int i = 0; i < 3; ++i) Post(R"({"to": "+15550001", "text": "e"})", 202);
  auto all = ReadEvents(*client_, "0", 3);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].second, "status");
  auto rest = ReadEvents(*client_, all[0].first, 2);
  ASSERT_EQ(rest.size(), 2u);
  EXPECT_EQ(rest[0].first, all[1].first);

  // A live stream sees an event committed after it opened.
  std::vector<std::pair<std::string, std::string>> live;
  std::thread reader([&] {
    auto c = Client();
    live = ReadEvents(*c, "", 1);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ReceivedMessage in;
  in.modem = "a";
  in.originator = "+1";
  in.text = "live";
  store_->AddReceived(in, {}, false, NowMs());
  events_.Notify();
  reader.join();
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].second, "message");

  EXPECT_EQ(client_->Get("/v1/events", {{"Last-Event-ID", "x1"}})->status, 400);
}

TEST_P(HttpApiTest, EventStreamsAreBoundedInNumber) {
  // Four streams held open (the limit here); a fifth is refused with JSON.
  std::atomic<bool> release{false};
  std::atomic<int> open{0};
  std::vector<std::thread> holders;
  for (int i = 0; i < 4; ++i) {
    holders.emplace_back([&] {
      auto c = Client();
      bool counted = false;
      c->Get("/v1/events", [&](const char*, size_t) {
        if (!counted) ++open, counted = true;
        return !release.load();
      });
    });
  }
  for (int i = 0; i < 200 && open.load() < 4; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(open.load(), 4);
  auto r = client_->Get("/v1/events");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 503);
  EXPECT_NE(r->body.find("too many event streams"), std::string::npos) << r->body;
  release = true;
  for (auto& t : holders) t.join();
  EXPECT_EQ(client_->Get("/healthz")->status, 200);
}

TEST_P(HttpApiTest, SlowClientsDoNotStopOthers) {
  // Connections that send half a request and then nothing.
  std::vector<int> slow;
  for (int i = 0; i < 20; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(api_->Port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const char partial[] = "POST /v1/messages HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n";
    ASSERT_GT(write(fd, partial, sizeof partial - 1), 0);
    slow.push_back(fd);
  }
  const auto start = std::chrono::steady_clock::now();
  auto r = client_->Get("/healthz");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  // Served once the slow ones' read time-out (1 s here) freed the threads, not never.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // The slow connections were closed by the server.
  for (int fd : slow) {
    char b;
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_GE(read(fd, &b, 1), 0) << "connection still held";
    close(fd);
  }
  Post(R"({"to": "+15550001", "text": "after"})", 202);
}

TEST_P(HttpApiTest, BatchQueuesValidItemsInOrderAndReportsTheOthers) {
  json items = json::array();
  items.push_back({{"to", "+15550001"}, {"text", "one"}, {"idempotency_key", "b-1"}});
  items.push_back({{"to", "abc"}, {"text", "bad number"}});
  items.push_back({{"to", "+15550003"}, {"text", "three"}, {"modem", "b"}});
  items.push_back({{"to", "+15550004"}, {"text", "again"}, {"idempotency_key", "b-1"}});
  items.push_back(json::array());
  items.push_back({{"to", "+15550006"}, {"text", "six"}, {"idempotency_key", std::string(201, 'k')}});
  auto r = client_->Post("/v1/messages/batch", json{{"messages", items}}.dump(), "application/json");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 202) << r->body;
  json results = json::parse(r->body)["results"];
  ASSERT_EQ(results.size(), items.size());
  EXPECT_EQ(results[0]["status"], "queued");
  EXPECT_NE(results[1]["error"].get<std::string>().find("invalid destination"), std::string::npos) << results[1];
  EXPECT_EQ(store_->GetMessage(results[2]["id"])->modem, "b");
  EXPECT_EQ(results[3]["id"], results[0]["id"]);
  EXPECT_NE(results[4]["error"].get<std::string>().find("JSON object"), std::string::npos) << results[4];
  EXPECT_NE(results[5]["error"].get<std::string>().find("idempotency_key"), std::string::npos) << results[5];
  EXPECT_EQ(store_->ListMessages({}).size(), 2u);
  EXPECT_EQ(modems_.wakes.load(), 1);
  // A repeated key in a separate request answers the first message too.
  EXPECT_EQ(Post(R"({"to": "+15550009", "text": "x"})", 202, {{"Idempotency-Key", "b-1"}})["id"], results[0]["id"]);

  struct Case {
    std::string body;
    int status;
    const char* says;
  } cases[] = {
      {"{}", 400, "must be a list"},
      {R"({"messages": {"to": "+1"}})", 400, "must be a list"},
      {"[]", 400, "JSON object"},
      {json{{"messages", json::array()}}.dump(), 202, ""},
  };
  for (const Case& c : cases) {
    auto a = client_->Post("/v1/messages/batch", c.body, "application/json");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->status, c.status) << c.body << " -> " << a->body;
    EXPECT_NE(a->body.find(c.says), std::string::npos) << a->body;
  }
  // Over 1000 items: refused whole, nothing stored.
  json many = json::array();
  for (int i = 0; i < 1001; ++i) many.push_back({{"to", "+1555"}, {"text", "x"}});
  ApiSettings big = Settings();
  big.maxBodyBytes = 1 << 20;
  Serve(big);
  auto a = client_->Post("/v1/messages/batch", json{{"messages", many}}.dump(), "application/json");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->status, 413) << a->body;
  EXPECT_EQ(store_->ListMessages({}).size(), 2u);
}

TEST_P(HttpApiTest, FullQueueAnswers429WithRetryAfter) {
  ApiSettings s = Settings();
  s.maxQueue = 3;
  Serve(s);
  for (int i = 0; i < 3; ++i)
    Post(R"({"to": "+15550001", "text": "fits"})", 202, {{"Idempotency-Key", "f" + std::to_string(i)}});
  auto r = client_->Post("/v1/messages", R"({"to": "+15550001", "text": "over"})", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 429);
  EXPECT_EQ(r->get_header_value("Retry-After"), "5");
  EXPECT_NE(json::parse(r->body)["error"].get<std::string>().find("queue is full"), std::string::npos) << r->body;
  // A retried request of an accepted message still gets its id.
  EXPECT_EQ(Post(R"({"to": "+15550001", "text": "fits"})", 202, {{"Idempotency-Key", "f1"}})["status"], "queued");
  json items = json::array({{{"to", "+1555"}, {"text", "x"}}, {{"to", "+1555"}, {"text", "y"}}});
  r = client_->Post("/v1/messages/batch", json{{"messages", items}}.dump(), "application/json");
  EXPECT_EQ(r->status, 429);
  EXPECT_EQ(r->get_header_value("Retry-After"), "5");
  // Room again once one is no longer waiting.
  store_->ClaimNext("a", NowMs());
  Post(R"({"to": "+15550001", "text": "room"})", 202);
  EXPECT_EQ(store_->ListMessages({}).size(), 4u);
}

TEST(GatewayTimes, Rfc3339) {
  struct Case {
    const char* text;
    int64_t ms;  // -1: refused
  } cases[] = {
      {"2026-12-09T10:00:00Z", 1796810400000},
      {"2026-12-09t10:00:00.25z", 1796810400250},
      {"2026-12-09 11:30:00+01:30", 1796810400000},
      {"2026-12-09T05:00:00.123456-05:00", 1796810400123},
      {"2026-12-09T10:00:00", -1},
      {"2026-02-30T00:00:00Z", -1},
      {"2026-12-09T10:00:00+25:00", -1},
      {"2026-12-09T10:00:00.Z", -1},
      {"2026-12-9T10:00:00Z", -1},
      {"tomorrow", -1},
      {"", -1},
  };
  for (const Case& c : cases) {
    auto ms = ParseTime(c.text);
    EXPECT_EQ(ms ? *ms : -1, c.ms) << c.text;
  }
}

// The event text written directly must be the JSON document's dump byte for
// byte: clients compare, hash and sign it.
TEST(GatewayRecords, MessageTextIsTheDumpOfItsJson) {
  struct Case {
    const char* what;
    std::string text, to, error, modem, sentBy;
    std::vector<int64_t> times;  // created, updated, sent, send_at, expires_at
    std::vector<int> partStatus;
  } cases[] = {
      {"plain", "Hello", "+15550001", "", "", "", {1796810400000, 1796810400250, 0, 0, 0}, {}},
      {"escapes", "q\" b\\ /\b\f\n\r\t\x01\x1f\x7f end", "+1", "", "a", "", {1, 2, 3, 4, 5}, {}},
      {"unicode",
       "\xC3\xA4 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD",
       "+49",
       "e \xC3\xA9",
       "",
       "b",
       {1709164800000, 951782400000, 4102444800000, 253402300799999, 86399999},
       {-1, 0, 1}},
      {"stray byte", "a\xC3", "+1", "", "", "", {1796810400000, 1796810400000, 0, 0, 0}, {}},
      {"overlong", "\xC0\xAF x", "+1", "\xED\xA0\x80 surrogate", "", "", {1, 1, 0, 0, 0}, {0}},
      {"past U+10FFFF", "\xF4\x90\x80\x80", "\xFF", "", "\xE2\x82", "", {1, 1, 0, 0, 0}, {}},
      {"year past 9999", "t", "+1", "", "", "", {253402300800000, 1, 0, 0, 0}, {}},
  };
  for (const Case& c : cases) {
    OutgoingMessage m;
    m.id = 42;
    m.text = c.text;
    m.to = c.to;
    m.error = c.error;
    m.modem = c.modem;
    m.sentBy = c.sentBy;
    m.status = "sent";
    m.report = c.partStatus.size() == 3;
    m.attempts = 3;
    m.parts = static_cast<int>(c.partStatus.size());
    m.partStatus = c.partStatus;
    for (size_t i = 0; i < c.partStatus.size(); ++i) m.references.push_back(std::to_string(250 + i));
    m.createdMs = c.times[0];
    m.updatedMs = c.times[1];
    m.sentMs = c.times[2];
    m.sendAtMs = c.times[3];
    m.expiresAtMs = c.times[4];
    EXPECT_EQ(MessageJsonText(m), DumpJson(MessageJson(m))) << c.what;
  }
}

TEST_P(HttpApiTest, SendAtSchedulesAndPastExpiresAtEndsExpired) {
  auto iso = [](int64_t ms) { return TimeJson(ms).get<std::string>(); };
  const int64_t now = NowMs();
  json later = Post(json{{"to", "+15550001"}, {"text", "later"}, {"send_at", iso(now + 3600000)}}.dump(), 202);
  EXPECT_EQ(later["status"], "scheduled");
  json gone = Post(json{{"to", "+15550002"}, {"text", "gone"}, {"expires_at", iso(now - 1000)}}.dump(), 202);
  EXPECT_EQ(gone["status"], "expired");
  json bounded =
      Post(json{{"to", "+15550003"}, {"text", "bounded"}, {"expires_at", iso(now + 2 * 3600000)}}.dump(), 202);
  EXPECT_EQ(bounded["status"], "queued");
  json listed = json::parse(client_->Get("/v1/messages?status=scheduled")->body)["messages"];
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["id"], later["id"]);
  EXPECT_EQ(listed[0]["send_at"], iso(now + 3600000));
  EXPECT_EQ(json::parse(client_->Get("/v1/messages?status=expired")->body)["messages"].size(), 1u);
  // The validity period follows expires_at (2 h, in minutes rounded up).
  const std::string validity = store_->GetMessage(bounded["id"])->validity;
  EXPECT_TRUE(validity == "120m" || validity == "121m") << validity;
  // Nothing due but the bounded one.
  auto m = store_->ClaimNext("a", NowMs());
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, bounded["id"].get<int64_t>());
  EXPECT_FALSE(store_->ClaimNext("a", NowMs()));
  for (const char* bad : {R"({"to": "+1555", "text": "x", "send_at": "soon"})",
                          R"({"to": "+1555", "text": "x", "expires_at": 1796810400})",
                          R"({"to": "+1555", "text": "x", "send_at": "2026-12-09T10:00:00"})"}) {
    json e = Post(bad, 400);
    EXPECT_TRUE(e.contains("error")) << bad;
  }
}

}  // namespace
}  // namespace vela::gateway

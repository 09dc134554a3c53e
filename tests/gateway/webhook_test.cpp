// Webhooks: the signature and backoff as tables, then the gateway process
// delivering to receivers on the loopback address: signed, retried in
// order through failures and a kill -9, a hanging receiver holding up
// nothing else, failed deliveries listed and delivered again.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "bridge_fixture.h"
#include "gateway/webhooks.h"

namespace vela::gateway {
namespace {

using nlohmann::json;

TEST(Webhooks, SignatureIsHmacSha256OfTimeDotBody) {
  struct Case {
    const char* secret;
    int64_t t;
    const char* body;
    const char* hex;  // from Python's hmac module
  } cases[] = {
      {"whsec-test", 1700000000, R"({"id":1,"text":"hi"})",
       "15c1aa89fba82afe5476ae073fc25a314e89d3d2ef352b709339a123e665b6e9"},
      {"k", 0, "", "6b4a4b8b3c40f1e8f53a3d36682e5f99f7ad2ac1df1c93dfe336f329167641e7"},
  };
  for (const Case& c : cases) EXPECT_EQ(WebhookSignature(c.secret, c.t, c.body), c.hex) << c.body;
}

TEST(Webhooks, BackoffDoublesFromFiveSecondsToAnHourWithJitterBelow) {
  const WebhookConfig c;  // the defaults
  const int64_t expected[] = {5000,   10000,  20000,   40000,   80000,   160000,
                              320000, 640000, 1280000, 2560000, 3600000, 3600000};
  for (int attempt = 1; attempt <= 12; ++attempt) {
    EXPECT_EQ(WebhookBackoffMs(attempt, c, 0), expected[attempt - 1]) << attempt;
    const int64_t jittered = WebhookBackoffMs(attempt, c, 0.999);
    EXPECT_LT(jittered, expected[attempt - 1]);
    EXPECT_GE(jittered, expected[attempt - 1] * 8 / 10);
  }
  EXPECT_EQ(WebhookBackoffMs(1000, c, 0), 3600000);  // no overflow after many tries
}

// One request as a receiver saw it.
struct Seen {
  std::string event, delivery, signature, contentType, body;
  int answered = 0;
  int64_t atSeconds = 0;
};

// A webhook receiver on 127.0.0.1: answers `answer` (200, 500, ...) or,
// with `hang`, holds each request until Release.
class Receiver {
 public:
  Receiver() {
    server_.Post("/hook", [this](const httplib::Request& req, httplib::Response& res) {
      Seen s{req.get_header_value("X-Velasms-Event"),
             req.get_header_value("X-Velasms-Delivery"),
             req.get_header_value("X-Velasms-Signature"),
             req.get_header_value("Content-Type"),
             req.body,
             answer.load(),
             std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                 .count()};
      std::unique_lock<std::mutex> lock(mutex_);
      seen_.push_back(s);
      if (hang) cv_.wait(lock, [this] { return released_; });
      res.status = s.answered;
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Receiver() {
    Release();
    server_.stop();
    thread_.join();
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    cv_.notify_all();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/hook"; }
  std::vector<Seen> All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  std::vector<Seen> Accepted() {
    std::vector<Seen> ok;
    for (const Seen& s : All()) {
      if (s.answered == 200) ok.push_back(s);
    }
    return ok;
  }

  std::atomic<int> answer{200};
  std::atomic<bool> hang{false};

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Seen> seen_;
  bool released_ = false;
};

std::string Hmac(const std::string& secret, const std::string& text) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac, &n);
  char hex[3];
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", mac[i]);
    out += hex;
  }
  return out;
}

class WebhookDelivery : public BridgeTest {};

TEST_F(WebhookDelivery, SignedRetriedInOrderWithStableIdsAcrossAKill) {
  const std::string secret = "whsec-" + std::to_string(::getpid());
  WriteFile(dir_.Path("secret"), secret + "\n");
  ::chmod(dir_.Path("secret").c_str(), 0600);
  Receiver receiver;
  receiver.answer = 500;
  StartSims();
  GatewayProcess gw(GatewayArgs({"--webhook", receiver.Url() + ",secret-file=" + dir_.Path("secret") +
                                                  ",retry-min=200ms,retry-max=800ms"}),
                    dir_.Path("gateway.log"));
  int port = gw.Start();
  auto c = Client(port);
  ASSERT_TRUE(WaitModemsUp(*c, 1)) << ReadFile(dir_.Path("gateway.log"));
  for (int i = 0; i < 4; ++i)
    sims_[0]->InjectDeliver("+4917000000" + std::to_string(i), "hook-in-" + std::to_string(i));
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(PostMessage(*c, "+1999000000" + std::to_string(i), "hook-out-" + std::to_string(i)), 202);

  // Refused a few times, then the gateway is killed in the middle of it.
  ASSERT_TRUE(WaitFor([&] { return receiver.All().size() >= 4; }, 30));
  gw.Kill();
  const size_t beforeRestart = receiver.All().size();
  port = gw.Start();
  c = Client(port);
  ASSERT_TRUE(WaitFor([&] { return receiver.All().size() >= beforeRestart + 2; }, 30));
  ASSERT_TRUE(WaitModemsUp(*c, 1));
  receiver.answer = 200;

  // Every event of the log arrives once accepted, in the log's order.
  std::vector<std::pair<std::string, std::string>> log;
  ASSERT_TRUE(WaitFor(
      [&] {
        log = EventLog(port);
        int delivered = 0;
        for (const auto& e : log) delivered += e.first == "status" && json::parse(e.second)["status"] == "delivered";
        return delivered == 3 && receiver.Accepted().size() >= log.size();
      },
      60))
      << "accepted " << receiver.Accepted().size() << " of " << log.size() << "\n"
      << ReadFile(dir_.Path("gateway.log"));
  const std::vector<Seen> accepted = receiver.Accepted();
  ASSERT_EQ(accepted.size(), log.size());
  std::set<std::string> acceptedIds;
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(accepted[i].event, log[i].first) << i;
    EXPECT_EQ(accepted[i].body, log[i].second) << i;
    EXPECT_TRUE(acceptedIds.insert(accepted[i].delivery).second) << "delivered twice: " << accepted[i].delivery;
  }
  // Each refused delivery was tried again under its id until accepted; every
  // request is signed with the secret (a wrong secret's signature differs).
  const std::regex signature("t=([0-9]+),v1=([0-9a-f]{64})");
  for (const Seen& s : receiver.All()) {
    EXPECT_TRUE(acceptedIds.count(s.delivery)) << "never accepted: " << s.delivery;
    EXPECT_EQ(s.contentType, "application/json");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(s.signature, m, signature)) << s.signature;
    const std::string signedText = m[1].str() + "." + s.body;
    EXPECT_EQ(m[2].str(), Hmac(secret, signedText));
    EXPECT_NE(m[2].str(), Hmac(secret + "x", signedText));
    EXPECT_LE(std::abs(std::stoll(m[1].str()) - s.atSeconds), 5);
  }
  EXPECT_GT(receiver.All().size(), accepted.size());

  auto r = c->Get("/v1/webhooks");
  ASSERT_TRUE(r);
  const json hooks = json::parse(r->body)["webhooks"];
  ASSERT_EQ(hooks.size(), 1u);
  EXPECT_EQ(hooks[0]["url"], receiver.Url());
  EXPECT_EQ(hooks[0]["pending"], 0);
  EXPECT_EQ(hooks[0]["failed"], 0);
  EXPECT_EQ(hooks[0]["delivered"], static_cast<int>(log.size()));
  EXPECT_EQ(hooks[0]["last_error"], "HTTP 500");
  EXPECT_EQ(hooks[0]["signed"], true);
}

TEST_F(WebhookDelivery, HangingReceiverDelaysNeitherAnotherReceiverNorTheApi) {
  Receiver hanging, quick;
  hanging.hang = true;
  StartSims();
  GatewayProcess gw(GatewayArgs({"--webhook", hanging.Url(), "--webhook", quick.Url() + ",events=message"}),
                    dir_.Path("gateway.log"));
  const int port = gw.Start();
  auto c = Client(port);
  ASSERT_TRUE(WaitModemsUp(*c, 1));
  for (int i = 0; i < 5; ++i)
    sims_[0]->InjectDeliver("+4917100000" + std::to_string(i), "while-hanging-" + std::to_string(i));
  ASSERT_TRUE(WaitFor([&] { return quick.Accepted().size() == 5; }, 20)) << ReadFile(dir_.Path("gateway.log"));
  ASSERT_GE(hanging.All().size(), 1u);  // its first delivery is still waiting for an answer
  for (const Seen& s : quick.Accepted()) {
    EXPECT_EQ(s.event, "message");
    EXPECT_TRUE(s.signature.empty());  // no secret, no signature
  }
  for (int i = 0; i < 5; ++i) {
    const auto start = Clock::now();
    auto r = c->Get("/healthz");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  }
  EXPECT_EQ(PostMessage(*c, "+19990001111", "api-still-answers"), 202);
  EXPECT_TRUE(WaitFor([&] { return Submitted("api-still-answers") == 1; }, 20));
  EXPECT_EQ(hanging.All().size(), 1u);  // in order: nothing after the hanging one
  std::chrono::milliseconds took{};
  EXPECT_EQ(gw.Terminate(took), 0);
  EXPECT_LT(took.count(), 5000);  // the hanging try is cut off
}

TEST_F(WebhookDelivery, TooOldFailsIsListedAndRedeliveredUnderItsId) {
  Receiver receiver;
  receiver.answer = 503;
  StartSims();
  GatewayProcess gw(GatewayArgs({"--webhook", receiver.Url() + ",events=message,max-age=1s,retry-min=200ms"}),
                    dir_.Path("gateway.log"));
  const int port = gw.Start();
  auto c = Client(port);
  ASSERT_TRUE(WaitModemsUp(*c, 1));
  sims_[0]->InjectDeliver("+491720000000", "given-up");
  json failed;
  ASSERT_TRUE(WaitFor(
      [&] {
        auto r = c->Get("/v1/webhooks/failed");
        if (!r || r->status != 200) return false;
        failed = json::parse(r->body)["deliveries"];
        return failed.size() == 1;
      },
      20));
  const std::string id = failed[0]["id"];
  EXPECT_EQ(failed[0]["data"]["text"], "given-up");
  EXPECT_EQ(failed[0]["last_error"], "HTTP 503");
  EXPECT_GE(failed[0]["attempts"].get<int>(), 2);
  auto r = c->Get("/v1/webhooks");
  ASSERT_TRUE(r);
  EXPECT_EQ(json::parse(r->body)["webhooks"][0]["failed"], 1);
  EXPECT_EQ(json::parse(r->body)["webhooks"][0]["pending"], 0);

  receiver.answer = 200;
  r = c->Post(("/v1/webhooks/deliveries/" + id + "/redeliver").c_str(), "", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 202) << r->body;
  ASSERT_TRUE(WaitFor([&] { return receiver.Accepted().size() == 1; }, 20));
  EXPECT_EQ(receiver.Accepted()[0].delivery, id);
  for (const Seen& s : receiver.All()) EXPECT_EQ(s.delivery, id);
  r = c->Post("/v1/webhooks/deliveries/00000000000000000000000000000000/redeliver", "", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 404);
  r = c->Get("/v1/webhooks/failed");
  EXPECT_EQ(json::parse(r->body)["deliveries"].size(), 0u);
}

}  // namespace
}  // namespace vela::gateway

// MQTT: the discovery configurations as a table, then the gateway process
// against a real Mosquitto broker started here on a free loopback port:
// received messages, status changes, modem states and discovery on their
// topics, a send taken once however often it is published, and a broker
// stopped for ten seconds losing nothing.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>

#include <map>
#include <mutex>
#include <set>

#include "bridge_fixture.h"
#include "gateway/ha_discovery.h"

namespace vela::gateway {
namespace {

using nlohmann::json;

constexpr const char* kMosquitto = "/usr/sbin/mosquitto";

// Keys Home Assistant needs in every discovery configuration.
void ExpectDiscoveryConfig(const std::string& topic, const std::string& payload) {
  json c = json::parse(payload, nullptr, false);
  ASSERT_FALSE(c.is_discarded()) << topic << ": " << payload;
  for (const char* key : {"name", "unique_id", "device"}) EXPECT_TRUE(c.contains(key)) << topic << " lacks " << key;
  EXPECT_TRUE(c.contains("state_topic") || c.contains("command_topic")) << topic;
  EXPECT_FALSE(c["device"]["identifiers"].empty()) << topic;
  for (const char* key : {"name", "manufacturer", "model"}) EXPECT_TRUE(c["device"].contains(key)) << topic;
}

TEST(HomeAssistantDiscovery, SensorsPerModemAndOneNotifyEntity) {
  const DiscoveryTopics t{"homeassistant", "velasms", "pi.lan"};
  ModemInfo m;
  m.name = "gsm.1";
  m.manufacturer = "Quectel";
  m.model = "EC25";
  std::set<std::string> ids;
  std::map<std::string, json> byKey;
  for (const MqttMessage& d : ModemDiscovery(t, m)) {
    ExpectDiscoveryConfig(d.topic, d.payload);
    EXPECT_TRUE(d.retain);
    const json c = json::parse(d.payload);
    EXPECT_EQ(d.topic.rfind("homeassistant/sensor/velasms_pi_lan/gsm_1_", 0), 0u) << d.topic;
    EXPECT_EQ(c["state_topic"], "velasms/pi.lan/modems/gsm.1");
    EXPECT_EQ(c["device"]["manufacturer"], "Quectel");
    EXPECT_EQ(c["device"]["model"], "EC25");
    EXPECT_EQ(c["availability"][0]["topic"], "velasms/pi.lan/status");
    EXPECT_TRUE(ids.insert(c["unique_id"].get<std::string>()).second);
    byKey[c["unique_id"].get<std::string>().substr(std::string("velasms_pi_lan_gsm_1_").size())] = c;
  }
  ASSERT_EQ(byKey.size(), 5u);
  EXPECT_EQ(byKey["signal"]["unit_of_measurement"], "dBm");
  EXPECT_EQ(byKey["signal"]["value_template"], "{{ value_json.signal_dbm }}");
  EXPECT_EQ(byKey["operator"]["value_template"], "{{ value_json.operator }}");
  EXPECT_EQ(byKey["registration"]["value_template"], "{{ value_json.registration }}");
  EXPECT_EQ(byKey["queue_length"]["value_template"], "{{ value_json.queue_length }}");
  EXPECT_NE(byKey["last_message"]["value_template"].get<std::string>().find("[:255]"), std::string::npos);
  EXPECT_EQ(byKey["last_message"]["json_attributes_topic"], "velasms/pi.lan/modems/gsm.1");

  const auto removal = ModemDiscoveryRemoval(t, "gsm.1");
  ASSERT_EQ(removal.size(), 5u);
  for (size_t i = 0; i < removal.size(); ++i) {
    EXPECT_EQ(removal[i].topic, ModemDiscovery(t, m)[i].topic);
    EXPECT_TRUE(removal[i].payload.empty());
    EXPECT_TRUE(removal[i].retain);
  }
  const MqttMessage notify = NotifyDiscovery(t);
  ExpectDiscoveryConfig(notify.topic, notify.payload);
  EXPECT_EQ(notify.topic, "homeassistant/notify/velasms_pi_lan/notify/config");
  EXPECT_EQ(json::parse(notify.payload)["command_topic"], "velasms/pi.lan/notify");
}

// Mosquitto on 127.0.0.1 with persistence in a directory of its own.
class Broker {
 public:
  explicit Broker(std::string dir) : dir_(std::move(dir)) {}
  ~Broker() { Stop(); }
  // On a free port the first time, on the same one after a Stop.
  void Start() {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (port_ == 0 || attempt > 0) port_ = FreePort();
      // Started as root, mosquitto would change to its own user, who cannot
      // write here: it stays the test's user.
      const passwd* user = ::getpwuid(::getuid());
      WriteFile(dir_ + "/mosquitto.conf", "user " + std::string(user ? user->pw_name : "root") + "\nlistener " +
                                              std::to_string(port_) +
                                              " 127.0.0.1\nallow_anonymous true\npersistence true\n"
                                              "persistence_location " +
                                              dir_ + "/\nlog_dest file " + dir_ + "/mosquitto.log\n");
      std::string conf = dir_ + "/mosquitto.conf";
      const char* argv[] = {kMosquitto, "-c", conf.c_str(), nullptr};
      posix_spawn_file_actions_t output;  // its warnings go to a file, not the test's output
      posix_spawn_file_actions_init(&output);
      const std::string out = dir_ + "/mosquitto.out";
      posix_spawn_file_actions_addopen(&output, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      posix_spawn_file_actions_adddup2(&output, 1, 2);
      const int rc = posix_spawn(&pid_, kMosquitto, &output, nullptr, const_cast<char**>(argv), environ);
      posix_spawn_file_actions_destroy(&output);
      if (rc != 0) throw std::runtime_error("cannot start mosquitto");
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (std::chrono::steady_clock::now() < deadline) {
        if (Connectable()) return;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) break;  // the port was taken meanwhile
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      Stop();
    }
    throw std::runtime_error("mosquitto did not start: " + ReadFile(dir_ + "/mosquitto.log"));
  }
  // SIGTERM: the broker saves its sessions and retained messages.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  int Port() const { return port_; }

 private:
  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
  }
  bool Connectable() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port_));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
  }
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

struct Received {
  std::string topic, payload;
  bool retained = false;
};

// A libmosquitto client of the test: subscribes QoS 1 and keeps what
// comes; with a persistent session the broker keeps its messages while it
// is away, and it reconnects by itself.
class Subscriber {
 public:
  Subscriber(int port, std::vector<std::string> topics, const std::string& id, bool persistent)
      : topics_(std::move(topics)) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(id.c_str(), !persistent, this);
    mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
    mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
      auto* s = static_cast<Subscriber*>(self);
      if (rc != 0) return;
      for (const std::string& t : s->topics_) mosquitto_subscribe(m, nullptr, t.c_str(), 1);
      std::lock_guard<std::mutex> lock(s->mutex_);
      ++s->connections_;
    });
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* msg) {
      auto* s = static_cast<Subscriber*>(self);
      std::lock_guard<std::mutex> lock(s->mutex_);
      s->received_.push_back(
          {msg->topic, std::string(static_cast<const char*>(msg->payload), msg->payloadlen), msg->retain});
    });
    mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
    mosquitto_loop_start(mosq_);
  }
  ~Subscriber() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }
  void Publish(const std::string& topic, const std::string& payload) {
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
  }
  std::vector<Received> On(const std::string& topic) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Received> list;
    for (const Received& r : received_) {
      if (r.topic == topic) list.push_back(r);
    }
    return list;
  }
  std::vector<Received> All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  int Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }

 private:
  std::vector<std::string> topics_;
  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::vector<Received> received_;
  int connections_ = 0;
};

class MqttBridgeTest : public BridgeTest {
 protected:
  void SetUp() override {
    if (::access(kMosquitto, X_OK) != 0) GTEST_SKIP() << kMosquitto << " is not installed (Debian's mosquitto)";
    std::filesystem::create_directory(dir_.Path("broker"));
    broker_ = std::make_unique<Broker>(dir_.Path("broker"));
    broker_->Start();
  }
  std::vector<std::string> MqttArgs() {
    return {"--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker_->Port()), "--node", "testnode"};
  }
  static std::string Last(const std::vector<Received>& list) { return list.empty() ? "" : list.back().payload; }
  std::unique_ptr<Broker> broker_;
};

constexpr const char* kTopic = "velasms/testnode/";

TEST_F(MqttBridgeTest, MessagesStatusesModemsDiscoveryAndSendsOnce) {
  const int n = 200;
  StartSims(true);
  Subscriber sub(broker_->Port(), {"velasms/#", "homeassistant/#"}, "test-watch", false);
  ASSERT_TRUE(WaitFor([&] { return sub.Connections() > 0; }, 10));
  auto args = MqttArgs();
  for (const char* a : {"--mqtt-discovery", "--mqtt-notify-to", "+15550000001"}) args.push_back(a);
  GatewayProcess gw(GatewayArgs(args), dir_.Path("gateway.log"));
  const int port = gw.Start();
  auto c = Client(port);
  ASSERT_TRUE(WaitModemsUp(*c, 2)) << ReadFile(dir_.Path("gateway.log"));
  const std::string t = kTopic;
  ASSERT_TRUE(WaitFor([&] { return Last(sub.On(t + "status")) == "online"; }, 20))
      << ReadFile(dir_.Path("gateway.log"));

  for (int i = 0; i < n; ++i) {
    sims_[i % 2]->InjectDeliver("+4917300" + std::to_string(10000 + i), "mqtt-in-" + std::to_string(i));
  }
  std::vector<int64_t> sent;
  for (int i = 0; i < 10; ++i) {
    auto r = c->Post(
        "/v1/messages",
        json{{"to", "+1999555000" + std::to_string(i)}, {"text", "st-" + std::to_string(i)}, {"report", true}}.dump(),
        "application/json");
    ASSERT_TRUE(r);
    sent.push_back(json::parse(r->body)["id"]);
  }
  ASSERT_TRUE(WaitFor([&] { return sub.On(t + "inbox").size() >= static_cast<size_t>(n); }, 90))
      << sub.On(t + "inbox").size() << " of " << n;
  // Each received message once, exactly the /v1/inbox object.
  std::map<int64_t, json> inbox;
  auto r = c->Get("/v1/inbox?limit=1000");
  ASSERT_TRUE(r);
  const json page = json::parse(r->body);
  for (const json& m : page["messages"]) inbox[m["id"]] = m;
  std::set<std::string> texts;
  for (const Received& m : sub.On(t + "inbox")) {
    const json o = json::parse(m.payload);
    EXPECT_EQ(o, inbox[o["id"]]);
    EXPECT_TRUE(texts.insert(o["text"]).second) << "twice: " << o["text"];
  }
  EXPECT_EQ(texts.size(), static_cast<size_t>(n));

  // Every status change of each message, in order.
  auto statuses = [&](int64_t id) {
    std::vector<std::string> list;
    for (const Received& m : sub.On(t + "events")) {
      const json o = json::parse(m.payload);
      if (o["id"] == id) list.push_back(o["status"]);
    }
    return list;
  };
  ASSERT_TRUE(WaitFor([&] { return statuses(sent.back()).size() == 4; }, 30));
  for (int64_t id : sent) {
    EXPECT_EQ(statuses(id), (std::vector<std::string>{"queued", "sending", "sent", "delivered"})) << id;
  }

  // The modems' states (retained, on change) carry the last message.
  ASSERT_TRUE(WaitFor(
      [&] {
        const std::string last = Last(sub.On(t + "modems/a"));
        return !last.empty() && json::parse(last)["last_received"]["text"] == "mqtt-in-198";
      },
      20));
  const json a = json::parse(Last(sub.On(t + "modems/a")));
  EXPECT_EQ(a["name"], "a");
  EXPECT_EQ(a["state"], "up");
  EXPECT_EQ(a["manufacturer"], "VelaSim");
  EXPECT_EQ(a["last_received"]["from"], "+491730010198");

  // A send published twice with one key reaches the modem once; both
  // answers name the same message. A bad one is answered with the error.
  const json send = {{"to", "+19995550100"}, {"text", "mqtt-once"}, {"idempotency_key", "k-1"}};
  sub.Publish(t + "send", send.dump());
  sub.Publish(t + "send", send.dump());
  sub.Publish(t + "send", json{{"to", "not a number"}, {"text", "x"}}.dump());
  sub.Publish(t + "send", "{not json");
  ASSERT_TRUE(WaitFor([&] { return sub.On(t + "send/result").size() == 4; }, 20));
  const auto results = sub.On(t + "send/result");
  const json first = json::parse(results[0].payload), second = json::parse(results[1].payload);
  EXPECT_TRUE(first.contains("id")) << first;
  EXPECT_EQ(first["id"], second["id"]);
  EXPECT_TRUE(json::parse(results[2].payload).contains("error"));
  EXPECT_TRUE(json::parse(results[3].payload).contains("error"));
  ASSERT_TRUE(WaitFor([&] { return Submitted("mqtt-once") == 1; }, 20));

  // Notify: a plain text to the configured number.
  sub.Publish(t + "notify", "internet is down");
  ASSERT_TRUE(WaitFor([&] { return Submitted("internet is down") == 1; }, 20));
  EXPECT_EQ(Submitted("mqtt-once"), 1);

  // Discovery: retained configurations a new subscriber gets at once.
  {
    Subscriber ha(broker_->Port(), {"homeassistant/#"}, "test-ha", false);
    ASSERT_TRUE(WaitFor([&] { return ha.All().size() >= 11; }, 10)) << ha.All().size();
    std::set<std::string> topics;
    for (const Received& m : ha.All()) {
      EXPECT_TRUE(m.retained) << m.topic;
      ExpectDiscoveryConfig(m.topic, m.payload);
      topics.insert(m.topic);
    }
    EXPECT_TRUE(topics.count("homeassistant/sensor/velasms_testnode/a_signal/config"));
    EXPECT_TRUE(topics.count("homeassistant/sensor/velasms_testnode/b_last_message/config"));
    EXPECT_TRUE(topics.count("homeassistant/notify/velasms_testnode/notify/config"));
  }

  // Without modem b its configurations are removed (empty, retained).
  std::chrono::milliseconds took{};
  EXPECT_EQ(gw.Terminate(took), 0);
  EXPECT_EQ(Last(sub.On(t + "status")), "offline");
  gw.SetArgs(GatewayArgs(args, false));
  gw.Start();
  ASSERT_TRUE(WaitFor(
      [&] {
        return !sub.On("homeassistant/sensor/velasms_testnode/b_signal/config").empty() &&
               Last(sub.On("homeassistant/sensor/velasms_testnode/b_signal/config")).empty();
      },
      20));
  Subscriber ha(broker_->Port(), {"homeassistant/#"}, "test-ha2", false);
  ASSERT_TRUE(WaitFor([&] { return ha.All().size() >= 6; }, 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (const Received& m : ha.All()) EXPECT_EQ(m.topic.find("/b_"), std::string::npos) << m.topic;
}

TEST_F(MqttBridgeTest, BrokerStoppedForTenSecondsLosesNothing) {
  StartSims();
  auto sub = std::make_unique<Subscriber>(broker_->Port(), std::vector<std::string>{"velasms/testnode/inbox"},
                                          "test-durable", true);
  ASSERT_TRUE(WaitFor([&] { return sub->Connections() > 0; }, 10));
  // The gateway starts while the broker is away and takes messages.
  broker_->Stop();
  GatewayProcess gw(GatewayArgs(MqttArgs()), dir_.Path("gateway.log"));
  const int port = gw.Start();
  auto c = Client(port);
  ASSERT_TRUE(WaitModemsUp(*c, 1));
  const std::string inbox = std::string(kTopic) + "inbox";
  auto text = [](int i) { return "durable-" + std::to_string(i); };
  for (int i = 0; i < 10; ++i) sims_[0]->InjectDeliver("+4917400000" + std::to_string(i), text(i));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  broker_->Start();
  ASSERT_TRUE(WaitFor([&] { return sub->On(inbox).size() >= 10; }, 30)) << ReadFile(dir_.Path("gateway.log"));

  broker_->Stop();
  const auto down = Clock::now();
  for (int i = 10; i < 40; ++i) {
    sims_[0]->InjectDeliver("+491740000" + std::to_string(i), text(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(WaitFor(
      [&] {
        return c->Get("/v1/inbox?limit=1000") &&
               json::parse(c->Get("/v1/inbox?limit=1000")->body)["messages"].size() == 40;
      },
      20));
  std::this_thread::sleep_until(down + std::chrono::seconds(10));
  broker_->Start();
  ASSERT_TRUE(WaitFor(
      [&] {
        std::set<std::string> seen;
        for (const Received& m : sub->On(inbox)) seen.insert(json::parse(m.payload)["text"]);
        return seen.size() == 40;
      },
      60))
      << sub->On(inbox).size() << " messages\n"
      << ReadFile(dir_.Path("gateway.log"));
  RecordProperty("publications", static_cast<int>(sub->On(inbox).size()));
  std::chrono::milliseconds took{};
  EXPECT_EQ(gw.Terminate(took), 0);
}

}  // namespace
}  // namespace vela::gateway

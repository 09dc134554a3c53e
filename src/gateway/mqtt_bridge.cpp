#include "gateway/mqtt_bridge.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "gateway/http_api.h"
#include "gateway/records_json.h"

namespace vela::gateway {

using nlohmann::json;

namespace {

constexpr size_t kMaxInflight = 50;
constexpr int kKeepAliveSeconds = 30;
// Signal and registration are looked at this often while connected (the
// modem's state topic changes only when they do).
constexpr auto kModemRefresh = std::chrono::seconds(60);

std::once_flag libraryInit;

}  // namespace

MqttBridge::MqttBridge(MqttConfig config, std::string node, Store& store, ModemDirectory& modems, EventNotifier& events,
                       Log& log, int maxParts)
    : config_(std::move(config)), store_(store), modems_(modems), events_(events), log_(log), maxParts_(maxParts) {
  topics_.discoveryPrefix = config_.discoveryPrefix;
  topics_.prefix = config_.prefix;
  topics_.node = std::move(node);
}

void MqttBridge::Start() {
  std::call_once(libraryInit, [] { mosquitto_lib_init(); });
  const std::string clientId = "velasms-" + topics_.node;
  mosq_ = mosquitto_new(clientId.c_str(), true, this);
  if (!mosq_) throw std::runtime_error("MQTT: cannot create a client");
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  const std::string status = NodeTopic(topics_, "status");
  int rc = MOSQ_ERR_SUCCESS;
  if (!config_.user.empty()) {
    rc = mosquitto_username_pw_set(mosq_, config_.user.c_str(),
                                   config_.password.empty() ? nullptr : config_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_will_set(mosq_, status.c_str(), 7, "offline", 1, true);
  if (rc == MOSQ_ERR_SUCCESS && config_.tls) {
    // The system's authorities; the host name is checked against the certificate.
    rc = mosquitto_tls_set(mosq_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
  }
  if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(std::string("MQTT: ") + mosquitto_strerror(rc));
  mosquitto_reconnect_delay_set(mosq_, static_cast<unsigned>(std::max<int64_t>(1, config_.reconnectMinMs / 1000)),
                                static_cast<unsigned>(std::max<int64_t>(1, config_.reconnectMaxMs / 1000)), true);
  mosquitto_connect_callback_set(mosq_, &MqttBridge::OnConnect);
  mosquitto_disconnect_callback_set(mosq_, &MqttBridge::OnDisconnect);
  mosquitto_publish_callback_set(mosq_, &MqttBridge::OnPublish);
  mosquitto_message_callback_set(mosq_, &MqttBridge::OnMessage);

  // Where the previous run got to; a first run starts with what happens from now on.
  const std::string positionName = "mqtt/" + topics_.node + "/event";
  if (auto saved = store_.LoadBridgeState(positionName)) {
    savedPosition_ = std::stoll(*saved);
  } else {
    savedPosition_ = store_.LastEventId();
    store_.SaveBridgeState(positionName, std::to_string(savedPosition_));
  }
  ackedPosition_ = sentPosition_ = savedPosition_;

  // The network thread first: it connects, and reconnects after a failed
  // first attempt too (the broker may start after the gateway).
  rc = mosquitto_loop_start(mosq_);
  if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error(std::string("MQTT: ") + mosquitto_strerror(rc));
  loopStarted_ = true;
  rc = mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, kKeepAliveSeconds);
  if (rc != MOSQ_ERR_SUCCESS) {
    log_.Line("MQTT: cannot reach " + config_.host + ":" + std::to_string(config_.port) + " yet (" +
              (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc))) +
              "); retrying");
  }
  nextRefresh_ = WorkerThread::Clock::now() + kModemRefresh;
  worker_.Start([this] { return RunOnce(); });
}

void MqttBridge::Stop() {
  worker_.Stop();
  if (!mosq_) return;
  bool connected = false;
  {
    std::lock_guard<std::mutex> lock(worker_.Mutex());
    connected = connected_;
  }
  if (connected) {
    try {
      PublishModems();  // the modems' last states ("stopped")
    } catch (const std::exception& e) {
      log_.Line(e.what());
    }
    const std::string status = NodeTopic(topics_, "status");
    mosquitto_publish(mosq_, nullptr, status.c_str(), 7, "offline", 1, true);
  }
  mosquitto_disconnect(mosq_);
  if (loopStarted_) mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
}

void MqttBridge::OnConnect(mosquitto*, void* self, int rc) {
  auto* b = static_cast<MqttBridge*>(self);
  if (rc != 0) {
    b->log_.Line("MQTT: the broker refused the connection: " + std::string(mosquitto_connack_string(rc)));
    return;
  }
  const std::string send = NodeTopic(b->topics_, "send");
  mosquitto_subscribe(b->mosq_, nullptr, send.c_str(), 1);
  if (!b->config_.discoveryPrefix.empty()) {
    const std::string notify = NodeTopic(b->topics_, "notify");
    mosquitto_subscribe(b->mosq_, nullptr, notify.c_str(), 1);
  }
  const std::string status = NodeTopic(b->topics_, "status");
  mosquitto_publish(b->mosq_, nullptr, status.c_str(), 6, "online", 1, true);
  {
    std::lock_guard<std::mutex> lock(b->worker_.Mutex());
    b->connected_ = true;
    ++b->session_;
    b->acked_.clear();
  }
  b->worker_.Wake();
  b->log_.Line("MQTT: connected to " + b->config_.host + ":" + std::to_string(b->config_.port) + " as node " +
               b->topics_.node);
}

void MqttBridge::OnDisconnect(mosquitto*, void* self, int rc) {
  auto* b = static_cast<MqttBridge*>(self);
  bool was = false;
  {
    std::lock_guard<std::mutex> lock(b->worker_.Mutex());
    was = b->connected_;
    b->connected_ = false;
  }
  if (was && rc != 0) b->log_.Line("MQTT: lost the connection to the broker; reconnecting");
}

void MqttBridge::OnPublish(mosquitto*, void* self, int mid) {
  auto* b = static_cast<MqttBridge*>(self);
  {
    std::lock_guard<std::mutex> lock(b->worker_.Mutex());
    b->acked_.insert(mid);
  }
  b->worker_.Wake();
}

void MqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
  auto* b = static_cast<MqttBridge*>(self);
  const std::string topic = message->topic ? message->topic : "";
  const std::string payload(static_cast<const char*>(message->payload),
                            message->payload ? static_cast<size_t>(message->payloadlen) : 0);
  if (topic == NodeTopic(b->topics_, "send")) {
    b->TakeSend(payload);
  } else if (topic == NodeTopic(b->topics_, "notify")) {
    b->TakeNotify(payload);
  }
}

void MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain, int* mid) {
  const int rc =
      mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
  if (rc != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("MQTT: cannot publish to " + topic + ": " + mosquitto_strerror(rc));
}

void MqttBridge::TakeSend(const std::string& payload) {
  json result;
  std::string key;
  try {
    OutgoingRequest r = ParseSubmit(payload, modems_, maxParts_);
    const json doc = json::parse(payload);  // an object: ParseSubmit took it
    if (auto it = doc.find("idempotency_key"); it != doc.end() && !it->is_null()) {
      if (!it->is_string()) throw ApiError{400, "field \"idempotency_key\" must be a string"};
      key = CheckedKey(it->get<std::string>(), "idempotency_key");
    }
    r.idempotencyKey = key;
    const EnqueueResult e = store_.Enqueue(r, NowMs());
    if (e.created) {
      events_.Notify();
      modems_.WakeSenders();
    }
    auto m = store_.GetMessage(e.id);
    result = json{{"id", e.id}, {"status", m ? m->status : std::string(status::kQueued)}};
  } catch (const ApiError& e) {
    result = json{{"error", e.message}};
  } catch (const std::exception& e) {
    result = json{{"error", std::string("internal error: ") + e.what()}};
    log_.Line(std::string("MQTT send: ") + e.what());
  }
  if (!key.empty()) result["idempotency_key"] = key;
  try {
    Publish(NodeTopic(topics_, "send/result"), DumpJson(result), false);
  } catch (const std::exception& e) {
    log_.Line(e.what());
  }
}

void MqttBridge::TakeNotify(const std::string& payload) {
  if (config_.notifyTo.empty()) {
    log_.Line("MQTT notify: a text came, but no numbers are given (--mqtt-notify-to)");
    return;
  }
  for (const std::string& to : config_.notifyTo) {
    try {
      const EnqueueResult e =
          store_.Enqueue(ParseSubmit(DumpJson(json{{"to", to}, {"text", payload}}), modems_, maxParts_), NowMs());
      log_.Line("MQTT notify: message " + std::to_string(e.id) + " to " + to + " queued");
    } catch (const ApiError& e) {
      log_.Line("MQTT notify: not sent to " + to + ": " + e.message);
    } catch (const std::exception& e) {
      log_.Line("MQTT notify: not sent to " + to + ": " + e.what());
    }
  }
  events_.Notify();
  modems_.WakeSenders();
}

void MqttBridge::PublishEvents() {
  if (inflight_.size() >= kMaxInflight) return;
  for (const Event& e : store_.EventsAfter(sentPosition_, static_cast<int>(kMaxInflight - inflight_.size()))) {
    int mid = 0;  // 0: nothing to wait for (an event type not published)
    if (e.type == "message" || e.type == "status") {
      Publish(NodeTopic(topics_, e.type == "message" ? "inbox" : "events"), e.data, false, &mid);
    }
    inflight_.emplace_back(e.id, mid);
    sentPosition_ = e.id;
  }
}

void MqttBridge::PublishModems() {
  const bool discovery = !topics_.discoveryPrefix.empty();
  const bool fresh = retained_.empty();  // first round of this connection
  auto publishChanged = [this](const MqttMessage& m) {
    auto it = retained_.find(m.topic);
    if (it != retained_.end() && it->second == m.payload) return;
    Publish(m.topic, m.payload, m.retain);
    retained_[m.topic] = m.payload;
  };
  std::string names;
  for (const ModemInfo& m : modems_.Modems()) {
    json o = ModemJson(m, store_.QueueLength(m.name, m.group));
    auto last = store_.LastReceived(m.name);
    o["last_received"] =
        last ? json{{"from", last->originator}, {"time", TimeJson(last->receivedMs)}, {"text", last->text}} : json();
    publishChanged({NodeTopic(topics_, "modems/" + m.name), DumpJson(o), true});
    if (discovery) {
      for (const MqttMessage& d : ModemDiscovery(topics_, m)) publishChanged(d);
    }
    names += (names.empty() ? "" : ",") + m.name;
  }
  if (!discovery || !fresh) return;
  publishChanged(NotifyDiscovery(topics_));
  // Modems announced by an earlier run and no longer configured go away.
  const std::string announcedName = "mqtt/" + topics_.node + "/discovered";
  const std::string before = store_.LoadBridgeState(announcedName).value_or("");
  size_t start = 0;
  while (start < before.size()) {
    const size_t end = std::min(before.find(',', start), before.size());
    const std::string old = before.substr(start, end - start);
    if (!old.empty() && !modems_.Has(old)) {
      for (const MqttMessage& r : ModemDiscoveryRemoval(topics_, old)) Publish(r.topic, r.payload, true);
      log_.Line("MQTT: modem " + old + " is no longer configured; its Home Assistant entities are removed");
    }
    start = end + 1;
  }
  if (before != names) store_.SaveBridgeState(announcedName, names);
}

std::optional<WorkerThread::Clock::time_point> MqttBridge::RunOnce() {
  const std::string positionName = "mqtt/" + topics_.node + "/event";
  if (WorkerThread::Clock::now() >= nextRefresh_) nextRefresh_ = WorkerThread::Clock::now() + kModemRefresh;
  std::unique_lock<std::mutex> lock(worker_.Mutex());
  const bool connected = connected_;
  if (session_ != publishedSession_) {
    // A new connection: everything not acknowledged goes out again.
    publishedSession_ = session_;
    inflight_.clear();
    sentPosition_ = ackedPosition_;
    retained_.clear();
  }
  while (!inflight_.empty() && (inflight_.front().second == 0 || acked_.count(inflight_.front().second))) {
    acked_.erase(inflight_.front().second);
    ackedPosition_ = inflight_.front().first;
    inflight_.pop_front();
  }
  // Acknowledgements of publications made before a reconnection.
  for (auto it = acked_.begin(); it != acked_.end();) {
    bool waited = false;
    for (const auto& f : inflight_) waited = waited || f.second == *it;
    it = waited ? std::next(it) : acked_.erase(it);
  }
  lock.unlock();
  try {
    if (ackedPosition_ > savedPosition_) {
      store_.SaveBridgeState(positionName, std::to_string(ackedPosition_));
      savedPosition_ = ackedPosition_;
    }
    if (connected) {
      PublishEvents();
      PublishModems();
    }
  } catch (const std::exception& e) {
    log_.Line(e.what());
  }
  return nextRefresh_;
}

}  // namespace vela::gateway

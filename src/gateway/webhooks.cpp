#include "common/hex.h"
#include "gateway/webhooks.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <random>

#include "gateway/records_json.h"
#include "gateway/service.h"

namespace vela::gateway {

using nlohmann::json;

std::string WebhookSignature(const std::string& secret, int64_t unixSeconds, const std::string& body) {
  const std::string signed_ = std::to_string(unixSeconds) + "." + body;
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
            reinterpret_cast<const unsigned char*>(signed_.data()), signed_.size(), mac, &length)) {
    throw std::runtime_error("HMAC-SHA256 failed (libcrypto)");
  }
  return hex::LowerFromOctets(mac, length);
}

int64_t WebhookBackoffMs(int attempt, const WebhookConfig& c, double jitter) {
  int64_t delay = c.firstDelayMs;
  for (int i = 1; i < attempt && delay < c.maxDelayMs; ++i) delay *= 2;
  delay = std::min(delay, c.maxDelayMs);
  return delay - static_cast<int64_t>(static_cast<double>(delay) * 0.2 * jitter);
}

struct WebhookDispatcher::Worker {
  explicit Worker(const WebhookConfig& c) : config(c), random(std::random_device{}()) {}
  const WebhookConfig& config;
  httplib::Client* active = nullptr;  // the try in progress; guarded by thread.Mutex()
  std::mt19937 random;
  std::string failing;  // the delivery whose failure was logged last
  WorkerThread thread;
};

WebhookDispatcher::WebhookDispatcher(std::vector<WebhookConfig> hooks, Store& store, Log& log)
    : hooks_(std::move(hooks)), store_(store), log_(log) {}

WebhookDispatcher::~WebhookDispatcher() { Stop(); }

void WebhookDispatcher::Register() {
  std::vector<WebhookTarget> targets;
  for (const WebhookConfig& h : hooks_) targets.push_back(WebhookTarget{h.url, h.onMessage, h.onStatus});
  store_.SetWebhooks(targets);
}

void WebhookDispatcher::Start() {
  for (const WebhookConfig& h : hooks_) workers_.push_back(std::make_unique<Worker>(h));
  for (auto& w : workers_) {
    Worker* worker = w.get();
    w->thread.Start([this, worker] { return RunOnce(*worker); });
  }
}

void WebhookDispatcher::Wake(const std::string& url) {
  for (auto& w : workers_) {
    if (url.empty() || w->config.url == url) w->thread.Wake();
  }
}

void WebhookDispatcher::Stop() {
  for (auto& w : workers_) {
    w->thread.Stop([&w] {
      if (w->active) w->active->stop();
    });
  }
  workers_.clear();
}

WebhookAnswer WebhookDispatcher::Post(Worker& w, const WebhookDelivery& d) {
  const std::string& url = w.config.url;
  const size_t hostStart = url.find("://") + 3;
  const size_t pathStart = url.find('/', hostStart);
  const std::string origin = url.substr(0, pathStart);
  const std::string path = pathStart == std::string::npos ? "/" : url.substr(pathStart);
  httplib::Client client(origin);
  if (!client.is_valid()) return {false, "cannot use the URL " + origin};
  const auto timeout = std::chrono::milliseconds(w.config.timeoutMs);
  client.set_connection_timeout(timeout);
  client.set_read_timeout(timeout);
  client.set_write_timeout(timeout);
  httplib::Headers headers = {{"X-Velasms-Event", d.eventType}, {"X-Velasms-Delivery", d.id}};
  if (!w.config.secret.empty()) {
    const int64_t t = NowMs() / 1000;
    headers.emplace("X-Velasms-Signature",
                    "t=" + std::to_string(t) + ",v1=" + WebhookSignature(w.config.secret, t, d.body));
  }
  {
    std::lock_guard<std::mutex> lock(w.thread.Mutex());
    if (w.thread.Stopping()) return {false, "stopped"};
    w.active = &client;
  }
  auto result = client.Post(path.c_str(), headers, d.body, "application/json");
  {
    std::lock_guard<std::mutex> lock(w.thread.Mutex());
    w.active = nullptr;
  }
  if (!result) return {false, "no answer: " + httplib::to_string(result.error())};
  if (result->status >= 200 && result->status < 300) return {true, ""};
  return {false, "HTTP " + std::to_string(result->status)};
}

std::optional<WorkerThread::Clock::time_point> WebhookDispatcher::RunOnce(Worker& w) {
  const WebhookConfig& c = w.config;
  try {
    auto d = store_.NextDelivery(c.url);
    if (!d) return std::nullopt;
    if (d->nextMs > NowMs()) return WorkerThread::At(d->nextMs);
    const WebhookAnswer answer = Post(w, *d);
    const int64_t now = NowMs();
    if (w.thread.Stopping()) return std::nullopt;  // cut off: the delivery stays as it was
    if (answer.ok) {
      store_.RecordAttempt(d->rowId, delivery::kDelivered, "", 0, now);
      if (!w.failing.empty()) log_.Line("webhook " + c.url + ": delivering again");
      w.failing.clear();
    } else if (now >= d->createdMs + c.maxAgeMs) {
      store_.RecordAttempt(d->rowId, delivery::kFailed, answer.error, 0, now);
      log_.Line("webhook " + c.url + ": delivery " + d->id + " (event " + std::to_string(d->eventId) +
                ") failed for good after " + std::to_string(d->attempts + 1) + " tries: " + answer.error);
    } else {
      const double jitter = std::uniform_real_distribution<double>(0, 1)(w.random);
      const int64_t next = std::min(now + WebhookBackoffMs(d->attempts + 1, c, jitter), d->createdMs + c.maxAgeMs);
      store_.RecordAttempt(d->rowId, delivery::kPending, answer.error, next, now);
      if (w.failing != d->id) {
        log_.Line("webhook " + c.url + ": delivery " + d->id + " failed (" + answer.error + "); retrying");
        w.failing = d->id;
      }
    }
    return WorkerThread::Clock::now();  // the next delivery at once
  } catch (const std::exception& e) {
    log_.Line("webhook " + c.url + ": " + e.what());
    return WorkerThread::At(NowMs() + 1000);
  }
}

namespace {

void Answer(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(DumpJson(body) + "\n", "application/json");
}

json DeliveryJson(const WebhookDelivery& d) {
  json data = json::parse(d.body, nullptr, false);
  return json{{"id", d.id},
              {"seq", d.rowId},
              {"webhook", d.webhook},
              {"state", d.state},
              {"event", d.eventType},
              {"event_id", d.eventId},
              {"attempts", d.attempts},
              {"last_error", d.lastError.empty() ? json(nullptr) : json(d.lastError)},
              {"created_at", TimeJson(d.createdMs)},
              {"updated_at", TimeJson(d.updatedMs)},
              {"data", data.is_discarded() ? json(d.body) : data}};
}

}  // namespace

void AddWebhookRoutes(httplib::Server& s, Store& store, WebhookDispatcher& dispatcher) {
  s.Get("/v1/webhooks", [&store, &dispatcher](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    for (const WebhookCounts& c : store.WebhookStats()) {
      json o = {{"url", c.url},
                {"active", c.active},
                {"pending", c.pending},
                {"failed", c.failed},
                {"delivered", c.delivered},
                {"last_error_at", TimeJson(c.lastErrorMs)},
                {"last_error", c.lastError.empty() ? json(nullptr) : json(c.lastError)}};
      for (const WebhookConfig& h : dispatcher.Hooks()) {
        if (h.url != c.url) continue;
        json events = json::array();
        if (h.onMessage) events.push_back("message");
        if (h.onStatus) events.push_back("status");
        o["events"] = events;
        o["signed"] = !h.secret.empty();
        o["max_age_s"] = h.maxAgeMs / 1000;
      }
      list.push_back(o);
    }
    Answer(res, 200, json{{"webhooks", list}});
  });

  s.Get("/v1/webhooks/failed", [&store](const httplib::Request& req, httplib::Response& res) {
    int64_t since = 0, limit = 100;
    for (auto [name, value] : {std::pair<const char*, int64_t*>{"since", &since}, {"limit", &limit}}) {
      if (!req.has_param(name)) continue;
      const std::string text = req.get_param_value(name);
      if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) {
        Answer(res, 400, json{{"error", std::string("query parameter ") + name + " must be a non-negative integer"}});
        return;
      }
      *value = std::stoll(text);
    }
    if (limit > 1000) {
      Answer(res, 400, json{{"error", "query parameter limit is at most 1000"}});
      return;
    }
    json list = json::array();
    for (const WebhookDelivery& d : store.FailedDeliveries(since, static_cast<int>(limit))) {
      list.push_back(DeliveryJson(d));
    }
    Answer(res, 200, json{{"deliveries", list}});
  });

  s.Post(R"(/v1/webhooks/deliveries/([0-9a-fA-F]{1,64})/redeliver)",
         [&store, &dispatcher](const httplib::Request& req, httplib::Response& res) {
           std::string id = req.matches[1];
           std::transform(id.begin(), id.end(), id.begin(), [](unsigned char ch) { return std::tolower(ch); });
           std::string webhook;
           switch (store.Redeliver(id, NowMs(), webhook)) {
             case ChangeResult::kNotFound:
               Answer(res, 404, json{{"error", "no webhook delivery with id " + id}});
               return;
             case ChangeResult::kWrongState:
               Answer(res, 409, json{{"error", "delivery " + id + " is still pending"}});
               return;
             case ChangeResult::kDone:
               break;
           }
           dispatcher.Wake(webhook);
           Answer(res, 202, json{{"id", id}, {"state", delivery::kPending}});
         });
}

}  // namespace vela::gateway

// Webhooks: every event (the JSON of /v1/events) POSTed to each configured
// URL that takes its type, signed with HMAC-SHA256 when the webhook has a
// secret. The deliveries are made in the store in the event's transaction;
// one thread per webhook works through its own in order, retrying with
// exponential backoff until the delivery's maximum age, so a slow or dead
// receiver holds up only its own deliveries.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gateway/bridge_config.h"
#include "gateway/modem_worker.h"
#include "gateway/store.h"
#include "gateway/worker_thread.h"

namespace httplib {
class Server;
}

namespace vela::gateway {

// Lower-case hex HMAC-SHA256 of "<t>.<body>" keyed with `secret`: the v1
// value of X-Velasms-Signature.
std::string WebhookSignature(const std::string& secret, int64_t unixSeconds, const std::string& body);

// The delay before try `attempt` + 1 after `attempt` failed ones: the first
// delay doubled each time up to the longest, minus up to a fifth at random
// (`jitter` in [0, 1)).
int64_t WebhookBackoffMs(int attempt, const WebhookConfig& config, double jitter);

// What one try came to: success (a 2xx answer), or the error to keep.
struct WebhookAnswer {
  bool ok = false;
  std::string error;
};

class WebhookDispatcher {
 public:
  WebhookDispatcher(std::vector<WebhookConfig> hooks, Store& store, Log& log);
  ~WebhookDispatcher();

  // Registers the webhooks with the store (before any event is made) ...
  void Register();
  // ... and starts one thread per webhook.
  void Start();
  // New deliveries may be there for `url`, or for every webhook when it is
  // empty (any thread; does not block).
  void Wake(const std::string& url = {});
  // Ends the threads; a try in progress is cut off and stays pending.
  void Stop();

  const std::vector<WebhookConfig>& Hooks() const { return hooks_; }

 private:
  struct Worker;
  std::optional<WorkerThread::Clock::time_point> RunOnce(Worker& w);
  WebhookAnswer Post(Worker& w, const WebhookDelivery& d);

  std::vector<WebhookConfig> hooks_;
  Store& store_;
  Log& log_;
  std::vector<std::unique_ptr<Worker>> workers_;
};

// GET /v1/webhooks, GET /v1/webhooks/failed and
// POST /v1/webhooks/deliveries/{id}/redeliver on the API's server.
void AddWebhookRoutes(httplib::Server& server, Store& store, WebhookDispatcher& dispatcher);

}  // namespace vela::gateway

// The gateway as one object: the store, one worker per modem, the receive
// hook, the HTTP API. Start brings them up in that order; Stop takes them
// down in the reverse one (no new requests, each modem finishes its message
// on the wire and closes its port).
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "gateway/cluster_node.h"
#include "gateway/config.h"
#include "gateway/hook_runner.h"
#include "gateway/http_api.h"
#include "gateway/modem_worker.h"
#include "gateway/mqtt_bridge.h"
#include "gateway/service.h"
#include "gateway/store.h"
#include "gateway/webhooks.h"

namespace vela::gateway {

class Gateway : public ModemDirectory {
 public:
  Gateway(GatewayConfig config, std::function<void(const std::string&)> logSink);
  ~Gateway() override;

  // Opens the store, recovers an interrupted run, starts the modems and the
  // API. Throws StoreError / ConfigError / std::runtime_error naming what
  // failed.
  void Start();
  // Ends within `budgetMs`: after most of it, commands still on the wire
  // are aborted.
  void Stop(int budgetMs = 4500);

  int Port() const { return api_ ? api_->Port() : 0; }
  Store& GetStore() { return *store_; }

  std::vector<ModemInfo> Modems() override;
  bool Has(const std::string& name) override;
  void WakeSenders() override;
  UssdOutcome Ussd(const std::string& name, const UssdCall& call) override;
  std::vector<ModemInfo> AllModems() override;
  std::vector<NodeInfo> Nodes() override;

 private:
  GatewayConfig config_;
  Log log_;
  EventNotifier events_;
  Metrics metrics_;
  std::unique_ptr<Store> store_;
  std::string node_;
  std::unique_ptr<PostgresCluster> cluster_;  // PostgreSQL: nodes share the database
  std::unique_ptr<ClusterNode> clusterNode_;
  std::unique_ptr<HookRunner> hook_;
  std::unique_ptr<WebhookDispatcher> webhooks_;
  ModemRoster roster_;
  std::vector<std::unique_ptr<ModemWorker>> workers_;
  std::unique_ptr<MqttBridge> mqtt_;
  std::unique_ptr<HttpApi> api_;
  std::thread apiThread_;
  bool stopped_ = false;
};

}  // namespace vela::gateway

// This node's part in a cluster of gateways on one PostgreSQL database: a
// thread that renews the leases every third of the lease time (and recovers
// the leases of nodes that stopped), and in between waits on the
// notification connection: new events wake the event streams, new queued
// messages the senders. Nothing runs while nothing happens but the renewal.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <thread>

#include "gateway/modem_worker.h"
#include "gateway/postgres_cluster.h"
#include "gateway/service.h"

namespace vela::gateway {

class ClusterNode {
 public:
  struct Hooks {
    std::function<std::map<std::string, std::string>()> modemViews;  // held modem -> JSON of its state
    std::function<void()> wakeSenders;
    std::function<void()> newEvents;
    std::function<void()> lead;  // this node became the one delivering webhooks and running the hook
  };
  ClusterNode(PostgresCluster& cluster, Log& log, Hooks hooks);
  ~ClusterNode();
  ClusterNode(const ClusterNode&) = delete;
  ClusterNode& operator=(const ClusterNode&) = delete;

  void Start();
  void Stop();

 private:
  void Run();
  void RunTick();
  void TryLead();

  PostgresCluster& cluster_;
  Log& log_;
  Hooks hooks_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  bool leading_ = false;
};

// The modems of every node for GET /v1/modems: this node's as its workers
// see them (`local`), the others' as their holders last wrote them; a modem
// whose lease ran out is down.
std::vector<ModemInfo> ClusterModems(PostgresCluster& cluster, const std::vector<ModemInfo>& local);
// A modem's state as another node shows it (JSON object).
std::string ModemView(const ModemInfo& info);

}  // namespace vela::gateway

// Several gateway nodes on one PostgreSQL database. Each node holds a lease
// on each of its modems, renewed every third of the lease time; a lease
// carries a fencing number that every claim and state change of the store
// checks (PostgresStore::Holds), so a node that lost a lease changes nothing
// more for that modem. Once a lease has run out, any node marks the messages
// its modem left sending as unknown and bumps the fencing number.
//
// Lease times are the database server's clock, so the nodes' clocks need not
// agree. Notifications (LISTEN) wake the event streams and the senders.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "gateway/pg_connection.h"
#include "gateway/postgres_store.h"

namespace vela::gateway {

// A modem as the lease table knows it.
struct LeasedModem {
  std::string modem, node;
  bool alive = false;  // the lease has not run out
  std::string info;    // the holder's last view of the modem (JSON object)
};

// What one renewal tick did.
struct TickOutcome {
  std::vector<std::string> lost;                             // modems whose lease this node no longer holds
  std::vector<std::string> regained;                         // leases that had run out, held again
  std::vector<std::pair<std::string, std::string>> expired;  // (modem, node) whose lease ran out
  int unknown = 0;                                           // messages those modems left sending, now unknown
};

class PostgresCluster {
 public:
  PostgresCluster(PostgresStore& store, std::string node, int64_t leaseMs);
  ~PostgresCluster();

  const std::string& Node() const { return node_; }
  int64_t LeaseMs() const { return leaseMs_; }

  // Registers the node and takes the leases of `modems` with new fencing
  // numbers (its own from an earlier run at once). StoreError naming the
  // node when another live node holds one of them. Leases this node held on
  // modems it no longer has are given up (their sending messages unknown).
  void Join(const std::vector<std::string>& modems);
  // Heartbeat, renewal (with each held modem's view, `info`: modem -> JSON)
  // and the recovery of leases that ran out.
  TickOutcome Tick(const std::map<std::string, std::string>& info);
  // At a clean stop: the leases run out now (nothing is being sent).
  void Leave();

  std::vector<LeasedModem> Modems();
  std::vector<NodeInfo> Nodes();
  // Whether some node holds or held a modem of this name.
  bool Knows(const std::string& modem);

  // The notification connection: (re)connects and listens; its socket.
  // This node stops delivering webhooks and running the receive hook until
  // TryLead says otherwise.
  int Listen();
  // Whether this node is (now) the one that delivers the webhooks and runs
  // the receive hook: a lock held by the notification connection, so it
  // passes to another node when this one dies.
  bool TryLead();
  // Channels notified since the last call; `broken` when the connection is lost.
  std::vector<std::string> Notifications(bool& broken);

 private:
  int MarkUnknown(pg::Connection& c, const std::string& modem, const std::string& error);
  void Publish();

  PostgresStore& store_;
  std::string node_;
  int64_t leaseMs_;
  std::map<std::string, int64_t> held_;  // modem -> fencing number
  std::mutex knownMutex_;
  std::set<std::string> known_;
  std::unique_ptr<pg::Connection> listen_;
};

}  // namespace vela::gateway

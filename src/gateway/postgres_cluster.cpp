#include "gateway/postgres_cluster.h"

#include <algorithm>
#include <stdexcept>

#include "gateway/limits.h"

namespace vela::gateway {

using pg::Connection;
using pg::Result;
using pg::Transaction;

// Schema 4 -> 5 (a migration of PostgresStore).
extern const char kClusterSchemaSql[];
const char kClusterSchemaSql[] = R"sql(
CREATE TABLE nodes (
  name TEXT PRIMARY KEY,
  heartbeat_ms BIGINT NOT NULL,
  started_ms BIGINT NOT NULL,
  lease_ms BIGINT NOT NULL
);
CREATE SEQUENCE lease_fences;
CREATE TABLE leases (
  modem TEXT PRIMARY KEY,
  node TEXT NOT NULL,
  fence BIGINT NOT NULL,
  expires_ms BIGINT NOT NULL,
  orphaned INTEGER NOT NULL DEFAULT 0,
  info TEXT NOT NULL DEFAULT '{}'
);
)sql";

namespace {

// The server's clock in Unix milliseconds: every node measures leases by it.
#define VELA_DB_NOW "(extract(epoch from clock_timestamp()) * 1000)::bigint"

constexpr int64_t kJoinLock = 0x76656c61'00000003;
constexpr int64_t kLeadLock = 0x76656c61'00000004;

constexpr const char* kStoppedError = "the gateway stopped while the message was being sent; it may have gone out";

std::string NodeStopped(const std::string& node) {
  return "the node " + node + " stopped while the message was being sent; it may have gone out";
}

}  // namespace

// --- fencing, as the store checks it ------------------------------------------

bool PostgresStore::MayHold(const std::string& modem) {
  std::lock_guard<std::mutex> lock(fenceMutex_);
  return node_.empty() || fences_.count(modem) > 0;
}

bool PostgresStore::Holds(Connection& c, const std::string& modem, bool live) {
  std::string node;
  int64_t fence = 0;
  {
    std::lock_guard<std::mutex> lock(fenceMutex_);
    if (node_.empty()) return true;
    auto it = fences_.find(modem);
    if (it == fences_.end()) return false;
    node = node_;
    fence = it->second;
  }
  Result r = c.Exec("SELECT expires_ms > " VELA_DB_NOW
                    " FROM leases WHERE modem=$1 AND node=$2 AND fence=$3 AND orphaned=0 FOR SHARE",
                    {modem, node, fence});
  if (r.Rows() == 1 && (!live || r.Text(0, 0) == "t")) return true;
  // Lost or run out: no claims until a renewal gives it back (PostgresCluster::Tick).
  std::lock_guard<std::mutex> lock(fenceMutex_);
  auto it = fences_.find(modem);
  if (it != fences_.end() && it->second == fence) fences_.erase(it);
  return false;
}

void PostgresStore::CheckSender(Connection& c, int64_t id) {
  {
    std::lock_guard<std::mutex> lock(fenceMutex_);
    if (node_.empty()) return;
  }
  Result s = c.Exec("SELECT sent_by, status FROM outgoing WHERE id=$1 FOR UPDATE", {id});
  if (s.Rows() == 0) throw StoreError("no message with id " + std::to_string(id));
  const std::string sentBy = s.Text(0, 0);
  if (s.Text(0, 1) != status::kSending || !Holds(c, sentBy, false)) {
    throw StoreError("message " + std::to_string(id) + ": modem " + sentBy +
                     " is no longer held by this node; its state is left as another node set it");
  }
}

int PostgresStore::RecoverInterrupted(int64_t nowMs) {
  std::string node;
  {
    std::lock_guard<std::mutex> lock(fenceMutex_);
    node = node_;
  }
  auto c = pool_.Take();
  Transaction tx(*c);
  // With several nodes: not what another node's modem (live, or left to the
  // recovery of its lease) is sending.
  Result s = c->Exec(
      "UPDATE outgoing SET status='unknown', error=$1, updated_ms=$2 WHERE status='sending' AND ($3 = '' OR NOT "
      "EXISTS (SELECT 1 FROM leases l WHERE l.modem=outgoing.sent_by AND l.node<>$3 AND l.orphaned=0)) RETURNING id",
      {kStoppedError, nowMs, node});
  std::vector<int64_t> ids;
  for (int i = 0; i < s.Rows(); ++i) ids.push_back(s.Int(i, 0));
  AnnounceStatus(*c, ids, nowMs);
  tx.Commit();
  return static_cast<int>(ids.size());
}

// --- routes across nodes -----------------------------------------------------------

void PostgresStore::SetRoutedModemFree(const std::string& modem, const std::vector<std::string>& routes, bool free) {
  std::string node;
  int64_t fence = 0;
  {
    std::lock_guard<std::mutex> lock(fenceMutex_);
    auto it = fences_.find(modem);
    if (node_.empty() || it == fences_.end()) return;
    node = node_;
    fence = it->second;
  }
  std::string text;
  for (const std::string& r : routes) text += r;  // "+49+43", as configured
  auto c = pool_.Take();
  Transaction tx(*c);
  c->Exec("UPDATE leases SET free=$1, routes=$2 WHERE modem=$3 AND node=$4 AND fence=$5",
          {static_cast<int64_t>(free ? 1 : 0), text, modem, node, fence});
  // What the other nodes' modems left to it is theirs now.
  if (!free) c->Exec("NOTIFY velasms_queue");
  tx.Commit();
}

std::vector<std::string> PostgresStore::FreeRoutesOfOtherNodes() {
  std::string node;
  {
    std::lock_guard<std::mutex> lock(fenceMutex_);
    if (node_.empty()) return {};
    node = node_;
  }
  auto c = pool_.Take();
  Result r = c->Exec(
      "SELECT routes FROM leases WHERE node<>$1 AND free=1 AND routes<>'' AND orphaned=0 AND expires_ms > " VELA_DB_NOW,
      {node});
  std::vector<std::string> routes;
  for (int i = 0; i < r.Rows(); ++i) {
    try {
      for (std::string& route : ParseRoutes(r.Text(i, 0))) routes.push_back(std::move(route));
    } catch (const std::invalid_argument&) {
      // not this program's writing: no preference
    }
  }
  return routes;
}

// --- the cluster -----------------------------------------------------------------

PostgresCluster::PostgresCluster(PostgresStore& store, std::string node, int64_t leaseMs)
    : store_(store), node_(std::move(node)), leaseMs_(leaseMs) {}

PostgresCluster::~PostgresCluster() = default;

int PostgresCluster::MarkUnknown(Connection& c, const std::string& modem, const std::string& error) {
  Result s = c.Exec("UPDATE outgoing SET status='unknown', error=$1, updated_ms=" VELA_DB_NOW
                    " WHERE status='sending' AND sent_by=$2 RETURNING id",
                    {error, modem});
  std::vector<int64_t> ids;
  for (int i = 0; i < s.Rows(); ++i) ids.push_back(s.Int(i, 0));
  const int64_t now = c.Exec("SELECT " VELA_DB_NOW).Int(0, 0);
  store_.AnnounceStatus(c, ids, now);
  return static_cast<int>(ids.size());
}

void PostgresCluster::Publish() {
  std::lock_guard<std::mutex> lock(store_.fenceMutex_);
  if (store_.node_.empty()) store_.deliverer_ = false;  // until TryLead
  store_.node_ = node_;
  store_.fences_ = held_;
}

void PostgresCluster::Join(const std::vector<std::string>& modems) {
  auto c = store_.pool_.Take();
  Transaction tx(*c);
  // Nodes starting together take turns: a lease is looked at and taken at once.
  c->Exec("SELECT pg_advisory_xact_lock($1)", {kJoinLock});
  c->Exec("INSERT INTO nodes(name, heartbeat_ms, started_ms, lease_ms) VALUES ($1, " VELA_DB_NOW ", " VELA_DB_NOW
          ", $2) ON CONFLICT (name) DO UPDATE SET heartbeat_ms=EXCLUDED.heartbeat_ms, "
          "started_ms=EXCLUDED.started_ms, lease_ms=EXCLUDED.lease_ms",
          {node_, leaseMs_});
  Result own = c->Exec("SELECT modem FROM leases WHERE node=$1 FOR UPDATE", {node_});
  for (int i = 0; i < own.Rows(); ++i) {
    const std::string modem = own.Text(i, 0);
    if (std::find(modems.begin(), modems.end(), modem) != modems.end()) continue;
    MarkUnknown(*c, modem, kStoppedError);
    c->Exec("DELETE FROM leases WHERE modem=$1", {modem});
  }
  std::map<std::string, int64_t> held;
  for (const std::string& modem : modems) {
    Result r = c->Exec("SELECT node, orphaned=0 AND expires_ms > " VELA_DB_NOW
                       ", orphaned FROM leases WHERE modem=$1 FOR UPDATE",
                       {modem});
    if (r.Rows() > 0 && r.Text(0, 0) != node_) {
      const std::string other = r.Text(0, 0);
      if (r.Text(0, 1) == "t") {
        throw StoreError("the modem " + modem + " is held by the node " + other +
                         ", which is running (each modem belongs to one node; give this one another name, or stop " +
                         other + ")");
      }
      if (r.Int(0, 2) == 0) MarkUnknown(*c, modem, NodeStopped(other));
    }
    Result f = c->Exec(
        "INSERT INTO leases(modem, node, fence, expires_ms) VALUES ($1, $2, nextval('lease_fences'), " VELA_DB_NOW
        " + $3) ON CONFLICT (modem) DO UPDATE SET node=EXCLUDED.node, fence=EXCLUDED.fence, "
        "expires_ms=EXCLUDED.expires_ms, orphaned=0, info='{}', free=0 RETURNING fence",
        {modem, node_, leaseMs_});
    held[modem] = f.Int(0, 0);
  }
  c->Exec("NOTIFY velasms_queue");
  tx.Commit();
  held_ = std::move(held);
  Publish();
}

TickOutcome PostgresCluster::Tick(const std::map<std::string, std::string>& info) {
  TickOutcome out;
  auto c = store_.pool_.Take();
  Transaction tx(*c);
  c->Exec("UPDATE nodes SET heartbeat_ms=" VELA_DB_NOW " WHERE name=$1", {node_});
  std::map<std::string, int64_t> held;
  for (const auto& [modem, fence] : held_) {
    auto it = info.find(modem);
    const std::string view = it == info.end() ? "{}" : it->second;
    Result r = c->Exec("UPDATE leases SET expires_ms=" VELA_DB_NOW
                       " + $1, info=$2 WHERE modem=$3 AND node=$4 AND fence=$5 AND orphaned=0 RETURNING fence",
                       {leaseMs_, view, modem, node_, fence});
    if (r.Rows() == 1) {
      held[modem] = r.Int(0, 0);
      continue;
    }
    // Ran out and recovered by a node (this one included): held again with
    // a new number, unless this node's name started elsewhere meanwhile.
    Result again = c->Exec("UPDATE leases SET fence=nextval('lease_fences'), expires_ms=" VELA_DB_NOW
                           " + $1, info=$2, orphaned=0 WHERE modem=$3 AND node=$4 AND orphaned=1 RETURNING fence",
                           {leaseMs_, view, modem, node_});
    if (again.Rows() == 0) {
      out.lost.push_back(modem);
      continue;
    }
    out.regained.push_back(modem);
    held[modem] = again.Int(0, 0);
  }
  Result dead = c->Exec(
      "UPDATE leases SET fence=nextval('lease_fences'), orphaned=1 WHERE orphaned=0 AND expires_ms < " VELA_DB_NOW
      " RETURNING modem, node");
  for (int i = 0; i < dead.Rows(); ++i) {
    const std::string modem = dead.Text(i, 0), node = dead.Text(i, 1);
    out.expired.emplace_back(modem, node);
    out.unknown += MarkUnknown(*c, modem, NodeStopped(node));
  }
  // Regained modems send again; what was left to a modem now gone (its
  // routes) is the others' again.
  if (!out.regained.empty() || !out.expired.empty()) c->Exec("NOTIFY velasms_queue");
  tx.Commit();
  {
    // A claim that found the lease run out dropped it (PostgresStore::Holds):
    // renewed now, its sender is woken again.
    std::lock_guard<std::mutex> lock(store_.fenceMutex_);
    for (const auto& [modem, fence] : held) {
      const bool regained = std::find(out.regained.begin(), out.regained.end(), modem) != out.regained.end();
      if (!regained && held_.count(modem) && !store_.fences_.count(modem)) out.regained.push_back(modem);
    }
  }
  held_ = std::move(held);
  Publish();
  return out;
}

void PostgresCluster::Leave() {
  auto c = store_.pool_.Take();
  Transaction tx(*c);
  for (const auto& [modem, fence] : held_) {
    c->Exec("UPDATE leases SET expires_ms=0 WHERE modem=$1 AND node=$2 AND fence=$3", {modem, node_, fence});
  }
  c->Exec("UPDATE nodes SET heartbeat_ms=" VELA_DB_NOW " - lease_ms WHERE name=$1", {node_});
  tx.Commit();
  held_.clear();
  Publish();
}

std::vector<LeasedModem> PostgresCluster::Modems() {
  auto c = store_.pool_.Take();
  Result r =
      c->Exec("SELECT modem, node, orphaned=0 AND expires_ms > " VELA_DB_NOW ", info FROM leases ORDER BY modem");
  std::vector<LeasedModem> list;
  for (int i = 0; i < r.Rows(); ++i) list.push_back({r.Text(i, 0), r.Text(i, 1), r.Text(i, 2) == "t", r.Text(i, 3)});
  return list;
}

std::vector<NodeInfo> PostgresCluster::Nodes() {
  auto c = store_.pool_.Take();
  Result r = c->Exec("SELECT name, heartbeat_ms, heartbeat_ms + lease_ms > " VELA_DB_NOW " FROM nodes ORDER BY name");
  std::vector<NodeInfo> list;
  for (int i = 0; i < r.Rows(); ++i) list.push_back({r.Text(i, 0), r.Int(i, 1), r.Text(i, 2) == "t", {}});
  Result m = c->Exec("SELECT node, modem FROM leases ORDER BY modem");
  for (int i = 0; i < m.Rows(); ++i) {
    for (NodeInfo& n : list) {
      if (n.name == m.Text(i, 0)) n.modems.push_back(m.Text(i, 1));
    }
  }
  return list;
}

bool PostgresCluster::Knows(const std::string& modem) {
  {
    std::lock_guard<std::mutex> lock(knownMutex_);
    if (known_.count(modem)) return true;
  }
  auto c = store_.pool_.Take();
  if (c->Exec("SELECT 1 FROM leases WHERE modem=$1", {modem}).Rows() == 0) return false;
  std::lock_guard<std::mutex> lock(knownMutex_);
  known_.insert(modem);
  return true;
}

int PostgresCluster::Listen() {
  store_.deliverer_ = false;
  listen_.reset();
  auto c = std::make_unique<Connection>(store_.pool_.Conninfo());
  c->Exec("LISTEN velasms_events");
  c->Exec("LISTEN velasms_queue");
  listen_ = std::move(c);
  return listen_->Socket();
}

bool PostgresCluster::TryLead() {
  if (store_.deliverer_) return true;
  if (!listen_ || listen_->Exec("SELECT pg_try_advisory_lock($1)", {kLeadLock}).Text(0, 0) != "t") return false;
  store_.deliverer_ = true;
  return true;
}

std::vector<std::string> PostgresCluster::Notifications(bool& broken) {
  broken = !listen_;
  if (broken) return {};
  auto channels = listen_->Notifications();
  broken = listen_->Broken();
  return channels;
}

}  // namespace vela::gateway

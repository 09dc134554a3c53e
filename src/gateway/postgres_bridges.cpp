// The PostgreSQL store's webhook deliveries and bridge positions (the
// deliveries themselves are made beside each event, in its transaction).
#include "gateway/postgres_store.h"

namespace vela::gateway {

using pg::Result;
using pg::Transaction;

namespace {

constexpr const char* kDeliveryColumns =
    "SELECT d.id, d.delivery_id, d.webhook, d.state, d.event_id, e.type, e.data, d.attempts, d.created_ms, "
    "d.next_ms, d.updated_ms, d.last_error FROM webhook_deliveries d JOIN events e ON e.id = d.event_id WHERE ";

std::vector<WebhookDelivery> Deliveries(const Result& s) {
  std::vector<WebhookDelivery> list;
  for (int i = 0; i < s.Rows(); ++i) {
    WebhookDelivery d;
    d.rowId = s.Int(i, 0);
    d.id = s.Text(i, 1);
    d.webhook = s.Text(i, 2);
    d.state = s.Text(i, 3);
    d.eventId = s.Int(i, 4);
    d.eventType = s.Text(i, 5);
    d.body = s.Text(i, 6);
    d.attempts = static_cast<int>(s.Int(i, 7));
    d.createdMs = s.Int(i, 8);
    d.nextMs = s.Int(i, 9);
    d.updatedMs = s.Int(i, 10);
    d.lastError = s.Text(i, 11);
    list.push_back(std::move(d));
  }
  return list;
}

}  // namespace

void PostgresStore::SetWebhooks(const std::vector<WebhookTarget>& targets) {
  auto c = pool_.Take();
  Transaction tx(*c);
  c->Exec("UPDATE webhooks SET active=0");
  for (const WebhookTarget& t : targets) {
    c->Exec(
        "INSERT INTO webhooks(url, events, active) VALUES ($1, $2, 1) "
        "ON CONFLICT (url) DO UPDATE SET events=excluded.events, active=1",
        {t.url, (t.onMessage ? 1 : 0) | (t.onStatus ? 2 : 0)});
  }
  tx.Commit();
}

std::optional<WebhookDelivery> PostgresStore::NextDelivery(const std::string& webhook) {
  if (!deliverer_) return std::nullopt;
  auto c = pool_.Take();
  auto list = Deliveries(c->Exec(
      std::string(kDeliveryColumns) + "d.webhook = $1 AND d.state = 'pending' ORDER BY d.id LIMIT 1", {webhook}));
  if (list.empty()) return std::nullopt;
  return list.front();
}

void PostgresStore::RecordAttempt(int64_t rowId, const std::string& state, const std::string& error, int64_t nextMs,
                                  int64_t nowMs) {
  auto c = pool_.Take();
  Transaction tx(*c);
  c->Exec(
      "UPDATE webhook_deliveries SET state=$1, attempts=attempts+1, next_ms=$2, updated_ms=$3, last_error=$4 "
      "WHERE id=$5",
      {state, nextMs, nowMs, error, rowId});
  if (!error.empty()) {
    c->Exec(
        "UPDATE webhooks SET last_error=$1, last_error_ms=$2 "
        "WHERE url=(SELECT webhook FROM webhook_deliveries WHERE id=$3)",
        {error, nowMs, rowId});
  }
  tx.Commit();
}

std::vector<WebhookCounts> PostgresStore::WebhookStats() {
  auto c = pool_.Take();
  Result s = c->Exec(
      "SELECT w.url, w.active, w.last_error, w.last_error_ms, "
      "(SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook=w.url AND d.state='pending'), "
      "(SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook=w.url AND d.state='failed'), "
      "(SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook=w.url AND d.state='delivered') "
      "FROM webhooks w ORDER BY w.active DESC, w.url");
  std::vector<WebhookCounts> list;
  for (int i = 0; i < s.Rows(); ++i) {
    WebhookCounts n;
    n.url = s.Text(i, 0);
    n.active = s.Int(i, 1) != 0;
    n.lastError = s.Text(i, 2);
    n.lastErrorMs = s.Int(i, 3);
    n.pending = s.Int(i, 4);
    n.failed = s.Int(i, 5);
    n.delivered = s.Int(i, 6);
    list.push_back(std::move(n));
  }
  return list;
}

std::vector<WebhookDelivery> PostgresStore::FailedDeliveries(int64_t afterRowId, int limit) {
  auto c = pool_.Take();
  return Deliveries(c->Exec(std::string(kDeliveryColumns) + "d.state = 'failed' AND d.id > $1 ORDER BY d.id LIMIT $2",
                            {afterRowId, static_cast<int64_t>(limit)}));
}

ChangeResult PostgresStore::Redeliver(const std::string& deliveryId, int64_t nowMs, std::string& webhook) {
  auto c = pool_.Take();
  Transaction tx(*c);
  Result s = c->Exec("SELECT webhook, state FROM webhook_deliveries WHERE delivery_id=$1 FOR UPDATE", {deliveryId});
  if (s.Rows() == 0) return ChangeResult::kNotFound;
  webhook = s.Text(0, 0);
  if (s.Text(0, 1) == delivery::kPending) return ChangeResult::kWrongState;
  c->Exec(
      "UPDATE webhook_deliveries SET state='pending', attempts=0, next_ms=$1, created_ms=$1, updated_ms=$1 "
      "WHERE delivery_id=$2",
      {nowMs, deliveryId});
  tx.Commit();
  return ChangeResult::kDone;
}

std::optional<std::string> PostgresStore::LoadBridgeState(const std::string& name) {
  auto c = pool_.Take();
  Result s = c->Exec("SELECT value FROM bridge_state WHERE name=$1", {name});
  if (s.Rows() == 0) return std::nullopt;
  return s.Text(0, 0);
}

void PostgresStore::SaveBridgeState(const std::string& name, const std::string& value) {
  auto c = pool_.Take();
  c->Exec("INSERT INTO bridge_state(name, value) VALUES ($1, $2) ON CONFLICT (name) DO UPDATE SET value=excluded.value",
          {name, value});
}

}  // namespace vela::gateway

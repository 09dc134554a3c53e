// The PostgreSQL store's webhook deliveries and bridge positions (the
// deliveries themselves are made beside each event, in its transaction).
#include "gateway/postgres_store.h"
#include "gateway/store_rows.h"

namespace vela::gateway {

using pg::Result;
using pg::Transaction;

namespace {

std::vector<WebhookDelivery> Deliveries(const Result& s) {
  std::vector<WebhookDelivery> list;
  for (int i = 0; i < s.Rows(); ++i) list.push_back(DeliveryFromRow(s.At(i)));
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
      std::string(kDeliverySelect) + "d.webhook = $1 AND d.state = 'pending' ORDER BY d.id LIMIT 1", {webhook}));
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
  Result s = c->Exec(kWebhookStatsSelect);
  std::vector<WebhookCounts> list;
  for (int i = 0; i < s.Rows(); ++i) list.push_back(WebhookCountsFromRow(s.At(i)));
  return list;
}

std::vector<WebhookDelivery> PostgresStore::FailedDeliveries(int64_t afterRowId, int limit) {
  auto c = pool_.Take();
  return Deliveries(c->Exec(std::string(kDeliverySelect) + "d.state = 'failed' AND d.id > $1 ORDER BY d.id LIMIT $2",
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

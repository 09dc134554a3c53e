// The SQLite store's webhook deliveries, bridge positions and the queries
// the bridges make.
#include <sqlite3.h>

#include "gateway/sqlite_statement.h"
#include "gateway/sqlite_store.h"
#include "gateway/store_rows.h"

namespace vela::gateway {

std::optional<ReceivedMessage> SqliteStore::LastReceived(const std::string& modem) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "SELECT id FROM inbox WHERE modem=? AND deleted=0 ORDER BY id DESC LIMIT 1");
  s.Bind(1, modem);
  if (!s.Step()) return std::nullopt;
  auto list = LoadInbox("id = ? AND deleted = ?", s.Int(0), 0);
  if (list.empty()) return std::nullopt;
  return list.front();
}

void SqliteStore::SetWebhooks(const std::vector<WebhookTarget>& targets) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  Exec("UPDATE webhooks SET active=0");
  for (const WebhookTarget& t : targets) {
    Statement s(db_,
                "INSERT INTO webhooks(url, events, active) VALUES (?, ?, 1) "
                "ON CONFLICT(url) DO UPDATE SET events=excluded.events, active=1");
    s.Bind(1, t.url).Bind(2, static_cast<int64_t>((t.onMessage ? 1 : 0) | (t.onStatus ? 2 : 0)));
    s.Step();
  }
  tx.Commit();
}

std::vector<WebhookDelivery> SqliteStore::LoadDeliveries(Statement& s) {
  std::vector<WebhookDelivery> list;
  while (s.Step()) list.push_back(DeliveryFromRow(s));
  return list;
}

std::optional<WebhookDelivery> SqliteStore::NextDelivery(const std::string& webhook) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_,
              (std::string(kDeliverySelect) + "d.webhook = ? AND d.state = 'pending' ORDER BY d.id LIMIT 1").c_str());
  s.Bind(1, webhook);
  auto list = LoadDeliveries(s);
  if (list.empty()) return std::nullopt;
  return list.front();
}

void SqliteStore::RecordAttempt(int64_t rowId, const std::string& state, const std::string& error, int64_t nextMs,
                                int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  Statement s(db_,
              "UPDATE webhook_deliveries SET state=?, attempts=attempts+1, next_ms=?, updated_ms=?, last_error=? "
              "WHERE id=?");
  s.Bind(1, state).Bind(2, nextMs).Bind(3, nowMs).Bind(4, error).Bind(5, rowId);
  s.Step();
  if (!error.empty()) {
    Statement w(db_,
                "UPDATE webhooks SET last_error=?, last_error_ms=? "
                "WHERE url=(SELECT webhook FROM webhook_deliveries WHERE id=?)");
    w.Bind(1, error).Bind(2, nowMs).Bind(3, rowId);
    w.Step();
  }
  tx.Commit();
}

std::vector<WebhookCounts> SqliteStore::WebhookStats() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, kWebhookStatsSelect);
  std::vector<WebhookCounts> list;
  while (s.Step()) list.push_back(WebhookCountsFromRow(s));
  return list;
}

std::vector<WebhookDelivery> SqliteStore::FailedDeliveries(int64_t afterRowId, int limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, (std::string(kDeliverySelect) + "d.state = 'failed' AND d.id > ? ORDER BY d.id LIMIT ?").c_str());
  s.Bind(1, afterRowId).Bind(2, static_cast<int64_t>(limit));
  return LoadDeliveries(s);
}

ChangeResult SqliteStore::Redeliver(const std::string& deliveryId, int64_t nowMs, std::string& webhook) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  Statement s(db_, "SELECT webhook, state FROM webhook_deliveries WHERE delivery_id=?");
  s.Bind(1, deliveryId);
  if (!s.Step()) return ChangeResult::kNotFound;
  webhook = s.Text(0);
  if (s.Text(1) == delivery::kPending) return ChangeResult::kWrongState;
  Statement u(db_,
              "UPDATE webhook_deliveries SET state='pending', attempts=0, next_ms=?, created_ms=?, updated_ms=? "
              "WHERE delivery_id=?");
  u.Bind(1, nowMs).Bind(2, nowMs).Bind(3, nowMs).Bind(4, deliveryId);
  u.Step();
  tx.Commit();
  return ChangeResult::kDone;
}

std::optional<std::string> SqliteStore::LoadBridgeState(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "SELECT value FROM bridge_state WHERE name=?");
  s.Bind(1, name);
  if (!s.Step()) return std::nullopt;
  return s.Text(0);
}

void SqliteStore::SaveBridgeState(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(
      db_, "INSERT INTO bridge_state(name, value) VALUES (?, ?) ON CONFLICT(name) DO UPDATE SET value=excluded.value");
  s.Bind(1, name).Bind(2, value);
  s.Step();
}

}  // namespace vela::gateway

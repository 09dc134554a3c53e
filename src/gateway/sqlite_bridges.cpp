// The SQLite store's webhook deliveries, bridge positions and the queries
// the bridges make.
#include <sqlite3.h>

#include "gateway/sqlite_statement.h"
#include "gateway/sqlite_store.h"

namespace vela::gateway {

namespace {
constexpr const char* kDeliveryColumns =
    "SELECT d.id, d.delivery_id, d.webhook, d.state, d.event_id, e.type, e.data, d.attempts, d.created_ms, "
    "d.next_ms, d.updated_ms, d.last_error FROM webhook_deliveries d JOIN events e ON e.id = d.event_id WHERE ";
}

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
  while (s.Step()) {
    WebhookDelivery d;
    d.rowId = s.Int(0);
    d.id = s.Text(1);
    d.webhook = s.Text(2);
    d.state = s.Text(3);
    d.eventId = s.Int(4);
    d.eventType = s.Text(5);
    d.body = s.Text(6);
    d.attempts = static_cast<int>(s.Int(7));
    d.createdMs = s.Int(8);
    d.nextMs = s.Int(9);
    d.updatedMs = s.Int(10);
    d.lastError = s.Text(11);
    list.push_back(std::move(d));
  }
  return list;
}

std::optional<WebhookDelivery> SqliteStore::NextDelivery(const std::string& webhook) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_,
              (std::string(kDeliveryColumns) + "d.webhook = ? AND d.state = 'pending' ORDER BY d.id LIMIT 1").c_str());
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
  Statement s(db_,
              "SELECT w.url, w.active, w.last_error, w.last_error_ms, "
              "(SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook=w.url AND d.state='pending'), "
              "(SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook=w.url AND d.state='failed'), "
              "(SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook=w.url AND d.state='delivered') "
              "FROM webhooks w ORDER BY w.active DESC, w.url");
  std::vector<WebhookCounts> list;
  while (s.Step()) {
    WebhookCounts c;
    c.url = s.Text(0);
    c.active = s.Int(1) != 0;
    c.lastError = s.Text(2);
    c.lastErrorMs = s.Int(3);
    c.pending = s.Int(4);
    c.failed = s.Int(5);
    c.delivered = s.Int(6);
    list.push_back(std::move(c));
  }
  return list;
}

std::vector<WebhookDelivery> SqliteStore::FailedDeliveries(int64_t afterRowId, int limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, (std::string(kDeliveryColumns) + "d.state = 'failed' AND d.id > ? ORDER BY d.id LIMIT ?").c_str());
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

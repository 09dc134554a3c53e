// What the SQLite and PostgreSQL stores read alike: the column lists of the
// records and the mapping of one result row to a record. A row is anything
// with Int(col) and Text(col), columns from 0 in the order of the list.
#pragma once

#include <cstdint>
#include <string>

#include "gateway/store.h"

namespace vela::gateway {

// Each ends where the caller's WHERE clause follows.
constexpr const char* kMessageSelect =
    "SELECT id, recipient, text, report, modem, languages, coding, status, sent_by, attempts, next_attempt_ms, "
    "error, parts, created_ms, updated_ms, sent_ms, validity, send_at_ms, expires_at_ms FROM outgoing ";
constexpr const char* kInboxSelect =
    "SELECT id, modem, originator, text, smsc_time, reference, parts, complete, received_ms, hook_attempts "
    "FROM inbox WHERE ";
constexpr const char* kDeliverySelect =
    "SELECT d.id, d.delivery_id, d.webhook, d.state, d.event_id, e.type, e.data, d.attempts, d.created_ms, "
    "d.next_ms, d.updated_ms, d.last_error FROM webhook_deliveries d JOIN events e ON e.id = d.event_id WHERE ";
// Every webhook with its error and delivery counts, the active first.
constexpr const char* kWebhookStatsSelect =
    "SELECT w.url, w.active, w.last_error, w.last_error_ms, "
    "(SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook=w.url AND d.state='pending'), "
    "(SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook=w.url AND d.state='failed'), "
    "(SELECT COUNT(*) FROM webhook_deliveries d WHERE d.webhook=w.url AND d.state='delivered') "
    "FROM webhooks w ORDER BY w.active DESC, w.url";

// A row of kMessageSelect; the references and part states are not in it.
template <class Row>
OutgoingMessage MessageFromRow(const Row& r) {
  OutgoingMessage m;
  m.id = r.Int(0);
  m.to = r.Text(1);
  m.text = r.Text(2);
  m.report = r.Int(3) != 0;
  m.modem = r.Text(4);
  m.languages = r.Text(5);
  m.coding = r.Text(6);
  m.status = r.Text(7);
  m.sentBy = r.Text(8);
  m.attempts = static_cast<int>(r.Int(9));
  m.nextAttemptMs = r.Int(10);
  m.error = r.Text(11);
  m.parts = static_cast<int>(r.Int(12));
  m.createdMs = r.Int(13);
  m.updatedMs = r.Int(14);
  m.sentMs = r.Int(15);
  m.validity = r.Text(16);
  m.sendAtMs = r.Int(17);
  m.expiresAtMs = r.Int(18);
  return m;
}

// A row of kInboxSelect.
template <class Row>
ReceivedMessage ReceivedFromRow(const Row& r) {
  ReceivedMessage m;
  m.id = r.Int(0);
  m.modem = r.Text(1);
  m.originator = r.Text(2);
  m.text = r.Text(3);
  m.smscTime = r.Text(4);
  m.reference = static_cast<int>(r.Int(5));
  m.parts = static_cast<int>(r.Int(6));
  m.complete = r.Int(7) != 0;
  m.receivedMs = r.Int(8);
  m.hookAttempts = static_cast<int>(r.Int(9));
  return m;
}

// A row of kDeliverySelect.
template <class Row>
WebhookDelivery DeliveryFromRow(const Row& r) {
  WebhookDelivery d;
  d.rowId = r.Int(0);
  d.id = r.Text(1);
  d.webhook = r.Text(2);
  d.state = r.Text(3);
  d.eventId = r.Int(4);
  d.eventType = r.Text(5);
  d.body = r.Text(6);
  d.attempts = static_cast<int>(r.Int(7));
  d.createdMs = r.Int(8);
  d.nextMs = r.Int(9);
  d.updatedMs = r.Int(10);
  d.lastError = r.Text(11);
  return d;
}

// A row of kWebhookStatsSelect.
template <class Row>
WebhookCounts WebhookCountsFromRow(const Row& r) {
  WebhookCounts n;
  n.url = r.Text(0);
  n.active = r.Int(1) != 0;
  n.lastError = r.Text(2);
  n.lastErrorMs = r.Int(3);
  n.pending = r.Int(4);
  n.failed = r.Int(5);
  n.delivered = r.Int(6);
  return n;
}

}  // namespace vela::gateway

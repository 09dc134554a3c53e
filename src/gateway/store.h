// The gateway's persistent state behind one interface: the outgoing queue
// (messages, their parts and references), status reports, received whole
// messages, the parts still waiting for the rest of their message, the event
// log and idempotency keys. Every method is one transaction: a change and the
// event that announces it are committed together or not at all.
//
// Implementations are safe to call from several threads. Times are Unix
// milliseconds (wall clock: they survive restarts and are shown to users).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gateway/limits.h"

namespace vela::gateway {

// The store could not be opened or a statement failed; the message names the
// file or statement and the database's reason.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Status names as the API shows them.
namespace status {
inline constexpr const char* kQueued = "queued";
inline constexpr const char* kSending = "sending";
inline constexpr const char* kSent = "sent";
inline constexpr const char* kDelivered = "delivered";
inline constexpr const char* kNotDelivered = "not_delivered";
inline constexpr const char* kFailed = "failed";
inline constexpr const char* kUnknown = "unknown";
inline constexpr const char* kCancelled = "cancelled";
inline constexpr const char* kScheduled = "scheduled";  // waits for its send_at, then queued
inline constexpr const char* kExpired = "expired";      // its expires_at passed before it was sent
}  // namespace status

struct OutgoingRequest {
  std::string to;    // normalised destination
  std::string text;  // UTF-8
  bool report = false;
  std::string modem;           // empty: any modem that is up
  std::string languages;       // as given, e.g. "tr,es"; empty: none
  std::string coding;          // "auto", "gsm7", "ucs2", "8bit"
  std::string validity;        // as given, e.g. "12h", "2w"; empty or "max": 63 weeks
  std::string idempotencyKey;  // empty: none
  int64_t sendAtMs = 0;        // not before this (0: at once)
  int64_t expiresAtMs = 0;     // not after this (0: never)
};

struct OutgoingMessage {
  int64_t id = 0;
  std::string to, text;
  bool report = false;
  std::string modem;  // requested modem, empty for any
  std::string languages, coding;
  std::string validity;  // as given; "max" by default
  std::string status;
  std::string sentBy;                   // modem that took it (empty while queued)
  int attempts = 0;                     // sends tried
  int64_t nextAttemptMs = 0;            // not before this time (backoff)
  std::string error;                    // last error, empty if none
  int parts = 0;                        // parts sent (0 until sent)
  std::vector<std::string> references;  // decimal, one per part
  std::vector<int> partStatus;          // per part: -1 no report, 0 delivered, 1 not delivered
  int64_t createdMs = 0, updatedMs = 0, sentMs = 0;
  int64_t sendAtMs = 0, expiresAtMs = 0;  // 0: none
};

struct EnqueueResult {
  int64_t id = 0;
  bool created = true;   // false: the idempotency key named an earlier message
  bool refused = false;  // the queue was full: nothing stored (id 0)
  std::string status;    // of a new message: queued, scheduled or expired
};

struct MessageFilter {
  std::string status;   // empty: any
  int64_t sinceId = 0;  // ids above this
  int limit = 100;
};

enum class ChangeResult { kDone, kNotFound, kWrongState };

// A status report as the modem gave it.
struct ReportRecord {
  std::string modem;
  int reference = 0;                    // message reference (0..255)
  int tpStatus = 0;                     // TP-ST (TS 23.040 9.2.3.15): 0x00..0x1F delivered,
                                        // 0x20..0x3F still trying, 0x40 and above failed
  std::string smscTime, dischargeTime;  // "YYYY-MM-DD hh:mm:ss" or empty
};

struct ReportMatch {
  int64_t reportId = 0;
  int64_t messageId = 0;  // 0: no sent message has this reference
  std::string newStatus;  // set when the message reached a final status
};

// A whole received message. The tuple (originator, smscTime, reference,
// text) recognises a message the network delivers a second time.
struct ReceivedMessage {
  int64_t id = 0;
  std::string modem, originator, text, smscTime;
  int reference = -1;  // concatenation reference, -1 for a one-part message
  int parts = 1;
  bool complete = true;
  int64_t receivedMs = 0;
  int hookAttempts = 0;  // failed runs of the receive hook so far
};

// One received part that waits for the rest of its message.
struct PendingPart {
  int64_t id = 0;
  std::string modem, pdu;
  int64_t receivedMs = 0;
};

struct Event {
  int64_t id = 0;
  std::string type;  // "message" (received) or "status"
  std::string data;  // JSON object
  int64_t createdMs = 0;
};

struct ModemCounts {
  std::string modem;
  int64_t queued = 0, sent = 0, delivered = 0, failed = 0, received = 0;
};

// A webhook as the store knows it: its URL and the events it takes.
struct WebhookTarget {
  std::string url;
  bool onMessage = true, onStatus = true;
};

namespace delivery {
inline constexpr const char* kPending = "pending";
inline constexpr const char* kDelivered = "delivered";
inline constexpr const char* kFailed = "failed";
}  // namespace delivery

// One event for one webhook. `id` is what the receiver sees (random, the
// same on every try); `rowId` orders the deliveries of a webhook.
struct WebhookDelivery {
  int64_t rowId = 0;
  std::string id, webhook, state;
  int64_t eventId = 0;
  std::string eventType, body;  // the event's type and JSON
  int attempts = 0;
  int64_t createdMs = 0;  // of the delivery, or of its latest redelivery
  int64_t nextMs = 0, updatedMs = 0;
  std::string lastError;
};

struct WebhookCounts {
  std::string url;
  bool active = true;  // still configured
  int64_t pending = 0, failed = 0, delivered = 0;
  std::string lastError;
  int64_t lastErrorMs = 0;
};

inline constexpr const char* kExpiredError = "expires_at passed before the message could be sent";

// The message a request becomes when queued as `id`: queued, scheduled (its
// send_at is to come) or already expired.
inline OutgoingMessage QueuedMessage(const OutgoingRequest& r, int64_t id, int64_t nowMs) {
  OutgoingMessage m;
  m.id = id;
  m.to = r.to;
  m.text = r.text;
  m.report = r.report;
  m.modem = r.modem;
  m.languages = r.languages;
  m.coding = r.coding.empty() ? "auto" : r.coding;
  m.validity = r.validity.empty() ? "max" : r.validity;
  m.status = status::kQueued;
  m.sendAtMs = r.sendAtMs;
  m.expiresAtMs = r.expiresAtMs;
  m.nextAttemptMs = r.sendAtMs;
  if (r.sendAtMs > nowMs) m.status = status::kScheduled;
  if (r.expiresAtMs > 0 && r.expiresAtMs <= nowMs) {
    m.status = status::kExpired;
    m.error = kExpiredError;
  }
  m.createdMs = m.updatedMs = nowMs;
  return m;
}

// A gateway node sharing the database (one with SQLite); `modems` are those it holds.
struct NodeInfo {
  std::string name;
  int64_t heartbeatMs = 0;
  bool alive = true;
  std::vector<std::string> modems;
};

// Messages found by Store::Search, newest first.
struct SearchHits {
  std::vector<OutgoingMessage> sent;
  std::vector<ReceivedMessage> received;
};

class Store {
 public:
  virtual ~Store() = default;

  // --- outgoing ---
  // A new queued message, or the earlier message of the same idempotency key.
  virtual EnqueueResult Enqueue(const OutgoingRequest& request, int64_t nowMs) = 0;
  // Several in one transaction, one result each in order. With `maxWaiting`
  // above 0, a new message that would make more than that many wait is
  // refused (a repeated idempotency key still answers its message).
  virtual std::vector<EnqueueResult> EnqueueBatch(const std::vector<OutgoingRequest>& requests, int64_t nowMs,
                                                  int64_t maxWaiting) = 0;
  virtual std::optional<OutgoingMessage> GetMessage(int64_t id) = 0;
  virtual std::vector<OutgoingMessage> ListMessages(const MessageFilter& filter) = 0;
  // queued / scheduled -> cancelled.
  virtual ChangeResult CancelMessage(int64_t id, int64_t nowMs) = 0;
  // unknown / failed -> queued, attempts reset.
  virtual ChangeResult RetryMessage(int64_t id, int64_t nowMs) = 0;
  // The oldest queued message due at `nowMs` that the claimant may take
  // (MayTake: asked for it, for its group, or for any modem and not left to
  // a free modem with a longer route), now marked sending by it, and counted
  // as one of its sends (CountSends). First, messages whose expires_at
  // passed become expired and scheduled ones whose send_at came become
  // queued.
  virtual std::optional<OutgoingMessage> ClaimNext(const Claimant& claimant, int64_t nowMs) = 0;
  // When the next queued message the claimant's modem may take (its own, its
  // group's, any modem's) becomes due (nullopt: none); with `afterMs`, the
  // first due after that time.
  virtual std::optional<int64_t> NextDue(const Claimant& claimant, int64_t afterMs = -1) = 0;  // NOLINT

  // The modem's sends as its limits need them: the times of the latest
  // `latest`, and how many at or after each start. Sends older than about
  // 32 days are forgotten.
  virtual SendCounts CountSends(const std::string& modem, int latest, int64_t dayStartMs, int64_t monthStartMs) = 0;
  // sending -> sent: every part's reference is known. Without a report
  // requested, sent is the message's last status.
  virtual void MarkSent(int64_t id, const std::vector<std::string>& references, int64_t nowMs) = 0;
  // Routes across nodes (several nodes; nothing to do for one). A modem of
  // this node that has routes became free or busy: while it is free, the
  // other nodes' modems leave it the destinations its routes match better
  // than theirs, and its becoming busy wakes their senders.
  virtual void SetRoutedModemFree(const std::string& modem, const std::vector<std::string>& routes, bool free) {
    (void)modem, (void)routes, (void)free;
  }
  // The routes of the free modems of the other live nodes.
  virtual std::vector<std::string> FreeRoutesOfOtherNodes() { return {}; }
  // sending -> queued again, due at `nextAttemptMs`, with the error.
  virtual void MarkRetry(int64_t id, const std::string& error, int64_t nextAttemptMs, int64_t nowMs) = 0;
  // sending -> failed / unknown with the error.
  virtual void MarkFinal(int64_t id, const std::string& status, const std::string& error, int64_t nowMs) = 0;
  // At start: every message left sending by a previous run becomes unknown
  // (its PDU may have been written). Returns how many.
  virtual int RecoverInterrupted(int64_t nowMs) = 0;
  // Stores the report and matches it to the part most recently sent by that
  // modem with this reference; the message becomes delivered / not_delivered
  // once every part has a final report. A temporary status (the service
  // centre still trying) is stored but leaves the part waiting.
  virtual ReportMatch RecordReport(const ReportRecord& report, int64_t nowMs) = 0;

  // --- incoming ---
  // Keeps a part until its message is whole (committed before the modem is
  // told the part arrived). Returns its id; nullopt when a part with this
  // fingerprint (originator, time, concatenation, text) arrived before: the
  // network delivering it again after a crash. Parts of whole messages are
  // kept (marked done) for that recognition.
  virtual std::optional<int64_t> AddPendingPart(const std::string& modem, const std::string& pdu,
                                                const std::string& fingerprint, int64_t nowMs) = 0;
  virtual std::vector<PendingPart> PendingParts(const std::string& modem) = 0;
  // Stores a whole message and marks the pending parts it was made of done,
  // in one transaction. nullopt when the same message is stored already (the parts
  // are dropped all the same).
  // With `runHook` the message waits for the receive hook (NextHookJob).
  virtual std::optional<int64_t> AddReceived(const ReceivedMessage& message, const std::vector<int64_t>& partIds,
                                             bool runHook, int64_t nowMs) = 0;
  // The oldest received message whose hook run is due; nullopt when none.
  virtual std::optional<ReceivedMessage> NextHookJob(int64_t nowMs) = 0;
  // When the next hook run becomes due (nullopt: none waits).
  virtual std::optional<int64_t> NextHookDue() = 0;
  // The hook succeeded (done) or failed (due again at nextMs).
  virtual void MarkHook(int64_t id, bool done, int64_t nextMs) = 0;
  virtual std::vector<ReceivedMessage> ListInbox(int64_t sinceId, int limit) = 0;
  virtual bool DeleteReceived(int64_t id) = 0;
  // Sent and received messages whose number or text holds every word of
  // `query` (case-insensitive, see search.h), newest first, at most `limit`
  // of each. This one pages through both lists; a store may do better.
  virtual SearchHits Search(const std::string& query, int limit);

  // --- events, counts ---
  virtual std::vector<Event> EventsAfter(int64_t afterId, int limit) = 0;
  virtual int64_t LastEventId() = 0;
  virtual std::vector<ModemCounts> Counts() = 0;
  // Queued messages `modem` may take: its own, those for any modem and,
  // with `group` (empty: none), those for its group.
  virtual int64_t QueueLength(const std::string& modem, const std::string& group) = 0;
  // The newest received message of `modem` not deleted.
  virtual std::optional<ReceivedMessage> LastReceived(const std::string& modem) = 0;

  // --- webhooks ---
  // From now on every event gets a pending delivery for each of `targets`
  // that takes its type, in the event's own transaction. Webhooks no longer
  // given keep their deliveries but get no new ones.
  virtual void SetWebhooks(const std::vector<WebhookTarget>& targets) = 0;
  // The oldest pending delivery of `webhook`, due or not.
  virtual std::optional<WebhookDelivery> NextDelivery(const std::string& webhook) = 0;
  // A try ended: `state` delivered, pending (again at `nextMs`) or failed;
  // `error` empty on success.
  virtual void RecordAttempt(int64_t rowId, const std::string& state, const std::string& error, int64_t nextMs,
                             int64_t nowMs) = 0;
  virtual std::vector<WebhookCounts> WebhookStats() = 0;
  // Failed deliveries after `afterRowId`, oldest first.
  virtual std::vector<WebhookDelivery> FailedDeliveries(int64_t afterRowId, int limit) = 0;
  // A failed or delivered delivery pending again now, its age and tries
  // reset, its id kept; `webhook` learns whose it is.
  virtual ChangeResult Redeliver(const std::string& deliveryId, int64_t nowMs, std::string& webhook) = 0;

  // --- bridges (MQTT) ---
  // Small named values a bridge keeps across restarts (how far it got).
  virtual std::optional<std::string> LoadBridgeState(const std::string& name) = 0;
  virtual void SaveBridgeState(const std::string& name, const std::string& value) = 0;

  // When the oldest queued message was accepted, per modem asked for ("" for
  // any modem); modems with nothing queued are left out.
  virtual std::vector<std::pair<std::string, int64_t>> OldestQueued() = 0;
};

}  // namespace vela::gateway

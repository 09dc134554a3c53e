#include "gateway/postgres_store.h"

#include <algorithm>

#include "gateway/records_json.h"
#include "gateway/store_rows.h"

namespace vela::gateway {

using pg::Connection;
using pg::Param;
using pg::Result;
using pg::Transaction;

extern const char kClusterSchemaSql[];

namespace {

// Advisory lock keys (one 64-bit space per database).
constexpr int64_t kMigrationLock = 0x76656c61'00000001;  // "vela" 1
constexpr int64_t kEventLock = 0x76656c61'00000002;

// Each entry takes the schema from version i to i + 1. Entries are never
// changed once released; a new version appends one.
const char* const kMigrations[] = {
    // 0 -> 1
    R"sql(
CREATE TABLE outgoing (
  id BIGSERIAL PRIMARY KEY,
  recipient TEXT NOT NULL,
  text TEXT NOT NULL,
  report INTEGER NOT NULL,
  modem TEXT NOT NULL DEFAULT '',
  languages TEXT NOT NULL DEFAULT '',
  coding TEXT NOT NULL DEFAULT 'auto',
  status TEXT NOT NULL,
  sent_by TEXT NOT NULL DEFAULT '',
  attempts INTEGER NOT NULL DEFAULT 0,
  next_attempt_ms BIGINT NOT NULL DEFAULT 0,
  error TEXT NOT NULL DEFAULT '',
  parts INTEGER NOT NULL DEFAULT 0,
  created_ms BIGINT NOT NULL,
  updated_ms BIGINT NOT NULL,
  sent_ms BIGINT NOT NULL DEFAULT 0
);
CREATE INDEX outgoing_by_status ON outgoing(status, id);
CREATE TABLE outgoing_parts (
  message_id BIGINT NOT NULL REFERENCES outgoing(id) ON DELETE CASCADE,
  part INTEGER NOT NULL,
  modem TEXT NOT NULL,
  reference INTEGER NOT NULL,
  report_status INTEGER NOT NULL DEFAULT -1,
  sent_ms BIGINT NOT NULL,
  PRIMARY KEY (message_id, part)
);
CREATE INDEX parts_by_reference ON outgoing_parts(modem, reference, sent_ms);
CREATE TABLE status_reports (
  id BIGSERIAL PRIMARY KEY,
  modem TEXT NOT NULL,
  reference INTEGER NOT NULL,
  tp_status INTEGER NOT NULL,
  smsc_time TEXT NOT NULL,
  discharge_time TEXT NOT NULL,
  message_id BIGINT,
  part INTEGER,
  received_ms BIGINT NOT NULL
);
CREATE TABLE inbox (
  id BIGSERIAL PRIMARY KEY,
  modem TEXT NOT NULL,
  originator TEXT NOT NULL,
  text TEXT NOT NULL,
  smsc_time TEXT NOT NULL,
  reference INTEGER NOT NULL,
  parts INTEGER NOT NULL,
  complete INTEGER NOT NULL,
  received_ms BIGINT NOT NULL,
  deleted INTEGER NOT NULL DEFAULT 0,
  hook_pending INTEGER NOT NULL DEFAULT 0,
  hook_attempts INTEGER NOT NULL DEFAULT 0,
  hook_next_ms BIGINT NOT NULL DEFAULT 0
);
-- Long texts do not fit a b-tree entry: the repeat key holds their digest.
CREATE UNIQUE INDEX inbox_repeat ON inbox(originator, smsc_time, reference, md5(text));
CREATE INDEX inbox_hooks ON inbox(hook_pending, hook_next_ms);
CREATE TABLE incoming_parts (
  id BIGSERIAL PRIMARY KEY,
  modem TEXT NOT NULL,
  pdu TEXT NOT NULL,
  fingerprint TEXT NOT NULL UNIQUE,
  received_ms BIGINT NOT NULL,
  done INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX parts_waiting ON incoming_parts(modem, done);
CREATE TABLE events (
  id BIGSERIAL PRIMARY KEY,
  type TEXT NOT NULL,
  data TEXT NOT NULL,
  created_ms BIGINT NOT NULL
);
CREATE TABLE idempotency_keys (
  key TEXT PRIMARY KEY,
  message_id BIGINT NOT NULL,
  created_ms BIGINT NOT NULL
);
)sql",
    // 1 -> 2: the validity period asked for (messages queued before it get the longest)
    "ALTER TABLE outgoing ADD COLUMN validity TEXT NOT NULL DEFAULT 'max';",
    // 2 -> 3: webhook deliveries (made in each event's transaction) and the
    // bridges' saved positions.
    R"sql(
CREATE TABLE webhooks (
  url TEXT PRIMARY KEY,
  events INTEGER NOT NULL,
  active INTEGER NOT NULL,
  last_error TEXT NOT NULL DEFAULT '',
  last_error_ms BIGINT NOT NULL DEFAULT 0
);
CREATE TABLE webhook_deliveries (
  id BIGSERIAL PRIMARY KEY,
  delivery_id TEXT NOT NULL UNIQUE,
  webhook TEXT NOT NULL,
  event_id BIGINT NOT NULL,
  state TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  next_ms BIGINT NOT NULL,
  created_ms BIGINT NOT NULL,
  updated_ms BIGINT NOT NULL,
  last_error TEXT NOT NULL DEFAULT ''
);
CREATE INDEX deliveries_by_state ON webhook_deliveries(webhook, state, id);
CREATE TABLE bridge_state (
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
)sql",
    // 3 -> 4: scheduling
    "ALTER TABLE outgoing ADD COLUMN send_at_ms BIGINT NOT NULL DEFAULT 0;"
    "ALTER TABLE outgoing ADD COLUMN expires_at_ms BIGINT NOT NULL DEFAULT 0;",
    // 4 -> 5: per-modem send times, for the send limits
    "CREATE TABLE modem_sends (modem TEXT NOT NULL, sent_ms BIGINT NOT NULL);"
    "CREATE INDEX modem_sends_by_time ON modem_sends(modem, sent_ms);",
    kClusterSchemaSql,  // 5 -> 6: nodes and modem leases (postgres_cluster.cpp)
    // 6 -> 7: each leased modem's routes and whether it is free to send
    "ALTER TABLE leases ADD COLUMN routes TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE leases ADD COLUMN free INTEGER NOT NULL DEFAULT 0;",
};
constexpr int kMigrationCount = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);
static_assert(kMigrationCount == PostgresStore::kSchemaVersion, "one migration per schema version");

OutgoingMessage MessageAt(const Result& s, int row) { return MessageFromRow(s.At(row)); }

std::optional<OutgoingMessage> LoadMessage(Connection& c, int64_t id) {
  Result s = c.Exec(std::string(kMessageSelect) + "WHERE id=$1", {id});
  if (s.Rows() == 0) return std::nullopt;
  OutgoingMessage m = MessageAt(s, 0);
  Result p = c.Exec("SELECT reference, report_status FROM outgoing_parts WHERE message_id=$1 ORDER BY part", {id});
  for (int i = 0; i < p.Rows(); ++i) {
    m.references.push_back(std::to_string(p.Int(i, 0)));
    m.partStatus.push_back(static_cast<int>(p.Int(i, 1)));
  }
  return m;
}

// An event and, in its transaction, one delivery per webhook that takes its
// type (1 message, 2 status). Under the event lock.
void InsertEvent(Connection& c, const std::string& type, const std::string& data, int64_t nowMs) {
  const int64_t eventId =
      c.Exec("INSERT INTO events(type, data, created_ms) VALUES ($1, $2, $3) RETURNING id", {type, data, nowMs})
          .Int(0, 0);
  c.Exec(
      "INSERT INTO webhook_deliveries(delivery_id, webhook, event_id, state, next_ms, created_ms, updated_ms) "
      "SELECT replace(gen_random_uuid()::text, '-', ''), url, $1, 'pending', $2, $2, $2 FROM webhooks "
      "WHERE active=1 AND (events & $3) != 0",
      {eventId, nowMs, type == "message" ? 1 : 2});
}

// Last step of a transaction: the lock is held until it commits.
void AppendEvent(Connection& c, const std::string& type, const std::string& data, int64_t nowMs) {
  c.Exec("SELECT pg_advisory_xact_lock($1)", {kEventLock});
  InsertEvent(c, type, data, nowMs);
  c.Exec("NOTIFY velasms_events");
}

void StatusEvent(Connection& c, int64_t id, int64_t nowMs) {
  if (auto m = LoadMessage(c, id)) AppendEvent(c, "status", MessageJsonText(*m), nowMs);
}

std::vector<ReceivedMessage> LoadInbox(Connection& c, const std::string& where, const std::vector<Param>& params) {
  Result s = c.Exec(kInboxSelect + where, params);
  std::vector<ReceivedMessage> result;
  for (int i = 0; i < s.Rows(); ++i) result.push_back(ReceivedFromRow(s.At(i)));
  return result;
}

}  // namespace

PostgresStore::PostgresStore(const std::string& conninfo, int connections) : pool_(conninfo, connections) {
  try {
    Migrate();
  } catch (const StoreError& e) {
    const std::string what = e.what();
    if (what.rfind("cannot connect", 0) == 0) throw;
    throw StoreError("cannot use the database " + pg::Redacted(conninfo) + ": " + what);
  }
}

PostgresStore::~PostgresStore() = default;

int PostgresStore::SchemaVersion() {
  auto c = pool_.Take();
  Result r = c->Exec("SELECT to_regclass('schema_version') IS NOT NULL");
  if (r.Text(0, 0) != "t") return 0;
  Result v = c->Exec("SELECT COALESCE(MAX(version), 0) FROM schema_version");
  return static_cast<int>(v.Int(0, 0));
}

void PostgresStore::Migrate() {
  auto c = pool_.Take();
  Transaction tx(*c);
  // Nodes starting together: one migrates, the others then find it done.
  c->Exec("SELECT pg_advisory_xact_lock($1)", {kMigrationLock});
  c->Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
  int version = static_cast<int>(c->Exec("SELECT COALESCE(MAX(version), 0) FROM schema_version").Int(0, 0));
  if (version > kSchemaVersion) {
    throw StoreError("schema version " + std::to_string(version) + " is newer than this program's (" +
                     std::to_string(kSchemaVersion) + ")");
  }
  for (; version < kSchemaVersion; ++version) c->Script(kMigrations[version]);
  c->Exec("DELETE FROM schema_version");
  c->Exec("INSERT INTO schema_version(version) VALUES ($1)", {kSchemaVersion});
  tx.Commit();
}

// --- outgoing ----------------------------------------------------------------

EnqueueResult PostgresStore::Enqueue(const OutgoingRequest& r, int64_t nowMs) { return EnqueueBatch({r}, nowMs, 0)[0]; }

// EnqueueBatch: postgres_batch.cpp.

std::optional<OutgoingMessage> PostgresStore::GetMessage(int64_t id) {
  auto c = pool_.Take();
  return LoadMessage(*c, id);
}

std::vector<OutgoingMessage> PostgresStore::ListMessages(const MessageFilter& f) {
  auto c = pool_.Take();
  Transaction tx(*c, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  Result s = c->Exec(std::string(kMessageSelect) + "WHERE id > $1 AND ($2 = '' OR status = $2) ORDER BY id LIMIT $3",
                     {f.sinceId, f.status, static_cast<int64_t>(f.limit)});
  std::vector<OutgoingMessage> result;
  if (s.Rows() == 0) return result;
  for (int i = 0; i < s.Rows(); ++i) result.push_back(MessageAt(s, i));
  Result p = c->Exec(
      "SELECT message_id, reference, report_status FROM outgoing_parts WHERE message_id BETWEEN $1 AND $2 "
      "ORDER BY message_id, part",
      {result.front().id, result.back().id});
  size_t at = 0;
  for (int i = 0; i < p.Rows(); ++i) {
    const int64_t id = p.Int(i, 0);
    while (at < result.size() && result[at].id < id) ++at;
    if (at == result.size()) break;
    if (result[at].id != id) continue;
    result[at].references.push_back(std::to_string(p.Int(i, 1)));
    result[at].partStatus.push_back(static_cast<int>(p.Int(i, 2)));
  }
  tx.Commit();
  return result;
}

ChangeResult PostgresStore::CancelMessage(int64_t id, int64_t nowMs) {
  auto c = pool_.Take();
  Transaction tx(*c);
  Result s = c->Exec("SELECT status FROM outgoing WHERE id=$1 FOR UPDATE", {id});
  if (s.Rows() == 0) return ChangeResult::kNotFound;
  if (s.Text(0, 0) != status::kQueued && s.Text(0, 0) != status::kScheduled) return ChangeResult::kWrongState;
  c->Exec("UPDATE outgoing SET status='cancelled', updated_ms=$1 WHERE id=$2", {nowMs, id});
  StatusEvent(*c, id, nowMs);
  tx.Commit();
  return ChangeResult::kDone;
}

ChangeResult PostgresStore::RetryMessage(int64_t id, int64_t nowMs) {
  auto c = pool_.Take();
  Transaction tx(*c);
  Result s = c->Exec("SELECT status FROM outgoing WHERE id=$1 FOR UPDATE", {id});
  if (s.Rows() == 0) return ChangeResult::kNotFound;
  const std::string st = s.Text(0, 0);
  if (st != status::kUnknown && st != status::kFailed) return ChangeResult::kWrongState;
  c->Exec("DELETE FROM outgoing_parts WHERE message_id=$1", {id});
  c->Exec(
      "UPDATE outgoing SET status='queued', attempts=0, next_attempt_ms=0, sent_by='', parts=0, updated_ms=$1 "
      "WHERE id=$2",
      {nowMs, id});
  StatusEvent(*c, id, nowMs);
  c->Exec("NOTIFY velasms_queue");
  tx.Commit();
  waiting_.Forget();  // back in the queue
  return ChangeResult::kDone;
}

// Inside a transaction: expired and due scheduled messages change status
// (rows another node is changing right now are left to it).
static void DueTransitions(Connection& c, int64_t nowMs) {
  Result expired = c.Exec(
      "UPDATE outgoing SET status='expired', error=$1, updated_ms=$2 WHERE id IN (SELECT id FROM outgoing "
      "WHERE status IN ('queued', 'scheduled') AND expires_at_ms > 0 AND expires_at_ms <= $2 FOR UPDATE SKIP LOCKED) "
      "RETURNING id",
      {kExpiredError, nowMs});
  Result due = c.Exec(
      "UPDATE outgoing SET status='queued', updated_ms=$1 WHERE id IN (SELECT id FROM outgoing "
      "WHERE status='scheduled' AND next_attempt_ms <= $1 FOR UPDATE SKIP LOCKED) RETURNING id",
      {nowMs});
  std::vector<int64_t> ids;
  for (const Result* r : {&expired, &due}) {
    for (int i = 0; i < r->Rows(); ++i) ids.push_back(r->Int(i, 0));
  }
  std::sort(ids.begin(), ids.end());
  for (int64_t id : ids) StatusEvent(c, id, nowMs);
}

std::optional<OutgoingMessage> PostgresStore::ClaimNext(const Claimant& claimant, int64_t nowMs) {
  if (!MayHold(claimant.modem)) return std::nullopt;
  auto c = pool_.Take();
  Transaction tx(*c);
  if (!Holds(*c, claimant.modem, true)) return std::nullopt;
  DueTransitions(*c, nowMs);
  const int64_t id = LockClaimable(*c, claimant, nowMs);
  if (id == 0) {
    tx.Commit();  // the transitions
    return std::nullopt;
  }
  c->Exec("UPDATE outgoing SET status='sending', sent_by=$1, attempts=attempts+1, updated_ms=$2 WHERE id=$3",
          {claimant.modem, nowMs, id});
  CountSend(*c, claimant.modem, nowMs);
  auto m = LoadMessage(*c, id);
  if (m) AppendEvent(*c, "status", MessageJsonText(*m), nowMs);
  tx.Commit();
  return m;
}

std::optional<int64_t> PostgresStore::NextDue(const Claimant& claimant, int64_t afterMs) {
  if (!MayHold(claimant.modem)) return std::nullopt;
  auto c = pool_.Take();
  Result s = c->Exec(
      "SELECT MIN(due) FROM (SELECT CASE WHEN expires_at_ms > 0 AND expires_at_ms < next_attempt_ms "
      "THEN expires_at_ms ELSE next_attempt_ms END AS due FROM outgoing "
      "WHERE status IN ('queued', 'scheduled') AND modem IN ('', $1, $2)) AS waiting WHERE due > $3",
      {claimant.modem, GroupTarget(claimant), afterMs});
  if (s.IsNull(0, 0)) return std::nullopt;
  return s.Int(0, 0);
}

void PostgresStore::MarkSent(int64_t id, const std::vector<std::string>& references, int64_t nowMs) {
  auto c = pool_.Take();
  Transaction tx(*c);
  Result s = c->Exec("SELECT sent_by FROM outgoing WHERE id=$1 FOR UPDATE", {id});
  if (s.Rows() == 0) return;
  const std::string sentBy = s.Text(0, 0);
  CheckSender(*c, id);
  int part = 1;
  for (const std::string& reference : references) {
    c->Exec(
        "INSERT INTO outgoing_parts(message_id, part, modem, reference, sent_ms) VALUES ($1, $2, $3, $4, $5) "
        "ON CONFLICT (message_id, part) DO UPDATE SET modem=EXCLUDED.modem, reference=EXCLUDED.reference, "
        "report_status=-1, sent_ms=EXCLUDED.sent_ms",
        {id, part++, sentBy, static_cast<int64_t>(std::stoll(reference) & 0xFF), nowMs});
  }
  c->Exec("UPDATE outgoing SET status='sent', parts=$1, error='', sent_ms=$2, updated_ms=$2 WHERE id=$3",
          {static_cast<int64_t>(references.size()), nowMs, id});
  StatusEvent(*c, id, nowMs);
  tx.Commit();
}

void PostgresStore::MarkRetry(int64_t id, const std::string& error, int64_t nextAttemptMs, int64_t nowMs) {
  auto c = pool_.Take();
  Transaction tx(*c);
  CheckSender(*c, id);
  c->Exec("UPDATE outgoing SET status='queued', sent_by='', error=$1, next_attempt_ms=$2, updated_ms=$3 WHERE id=$4",
          {error, nextAttemptMs, nowMs, id});
  StatusEvent(*c, id, nowMs);
  c->Exec("NOTIFY velasms_queue");
  tx.Commit();
  waiting_.Forget();  // back in the queue
}

void PostgresStore::MarkFinal(int64_t id, const std::string& st, const std::string& error, int64_t nowMs) {
  auto c = pool_.Take();
  Transaction tx(*c);
  CheckSender(*c, id);
  c->Exec("UPDATE outgoing SET status=$1, error=$2, updated_ms=$3 WHERE id=$4", {st, error, nowMs, id});
  StatusEvent(*c, id, nowMs);
  tx.Commit();
}

void PostgresStore::AnnounceStatus(Connection& c, std::vector<int64_t> ids, int64_t nowMs) {
  std::sort(ids.begin(), ids.end());
  for (int64_t id : ids) StatusEvent(c, id, nowMs);
}

ReportMatch PostgresStore::RecordReport(const ReportRecord& r, int64_t nowMs) {
  auto c = pool_.Take();
  Transaction tx(*c);
  ReportMatch match;
  int64_t part = 0;
  {
    // The most recent part with this reference that has no report yet; a
    // reference comes round again after 256 sends.
    Result s = c->Exec(
        "SELECT message_id, part FROM outgoing_parts WHERE modem=$1 AND reference=$2 "
        "ORDER BY (report_status < 0) DESC, sent_ms DESC, message_id DESC LIMIT 1 FOR UPDATE",
        {r.modem, static_cast<int64_t>(r.reference & 0xFF)});
    if (s.Rows() > 0) {
      match.messageId = s.Int(0, 0);
      part = s.Int(0, 1);
    }
  }
  Result ins = c->Exec(
      "INSERT INTO status_reports(modem, reference, tp_status, smsc_time, discharge_time, message_id, part, "
      "received_ms) VALUES ($1, $2, $3, $4, $5, $6, $7, $8) RETURNING id",
      {r.modem, r.reference, r.tpStatus, r.smscTime, r.dischargeTime, match.messageId, part, nowMs});
  match.reportId = ins.Int(0, 0);
  const bool temporary = r.tpStatus >= 0x20 && r.tpStatus < 0x40;
  if (match.messageId != 0 && !temporary) {
    c->Exec("UPDATE outgoing_parts SET report_status=$1 WHERE message_id=$2 AND part=$3",
            {r.tpStatus < 0x20 ? 0 : 1, match.messageId, part});
    c->Exec("SELECT 1 FROM outgoing WHERE id=$1 FOR UPDATE", {match.messageId});
    auto m = LoadMessage(*c, match.messageId);
    if (m && m->status == status::kSent && static_cast<int>(m->partStatus.size()) == m->parts) {
      bool all = true, delivered = true;
      for (int st : m->partStatus) {
        if (st < 0) all = false;
        if (st != 0) delivered = false;
      }
      if (all) {
        match.newStatus = delivered ? status::kDelivered : status::kNotDelivered;
        c->Exec("UPDATE outgoing SET status=$1, updated_ms=$2 WHERE id=$3", {match.newStatus, nowMs, match.messageId});
        StatusEvent(*c, match.messageId, nowMs);
      }
    }
  }
  tx.Commit();
  return match;
}

// --- incoming ------------------------------------------------------------------

std::optional<int64_t> PostgresStore::AddPendingPart(const std::string& modem, const std::string& pdu,
                                                     const std::string& fingerprint, int64_t nowMs) {
  auto c = pool_.Take();
  Result s = c->Exec(
      "INSERT INTO incoming_parts(modem, pdu, fingerprint, received_ms) VALUES ($1, $2, $3, $4) "
      "ON CONFLICT (fingerprint) DO NOTHING RETURNING id",
      {modem, pdu, fingerprint, nowMs});
  if (s.Rows() == 0) return std::nullopt;
  return s.Int(0, 0);
}

std::vector<PendingPart> PostgresStore::PendingParts(const std::string& modem) {
  auto c = pool_.Take();
  Result s =
      c->Exec("SELECT id, modem, pdu, received_ms FROM incoming_parts WHERE modem=$1 AND done=0 ORDER BY id", {modem});
  std::vector<PendingPart> parts;
  for (int i = 0; i < s.Rows(); ++i) parts.push_back(PendingPart{s.Int(i, 0), s.Text(i, 1), s.Text(i, 2), s.Int(i, 3)});
  return parts;
}

std::optional<int64_t> PostgresStore::AddReceived(const ReceivedMessage& m, const std::vector<int64_t>& partIds,
                                                  bool runHook, int64_t nowMs) {
  auto c = pool_.Take();
  Transaction tx(*c);
  for (int64_t partId : partIds) c->Exec("UPDATE incoming_parts SET done=1 WHERE id=$1", {partId});
  Result s = c->Exec(
      "INSERT INTO inbox(modem, originator, text, smsc_time, reference, parts, complete, received_ms, hook_pending) "
      "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) "
      "ON CONFLICT (originator, smsc_time, reference, md5(text)) DO NOTHING RETURNING id",
      {m.modem, m.originator, m.text, m.smscTime, m.reference, m.parts, m.complete, nowMs, runHook});
  std::optional<int64_t> id;
  if (s.Rows() > 0) {
    id = s.Int(0, 0);
    ReceivedMessage stored = m;
    stored.id = *id;
    stored.receivedMs = nowMs;
    AppendEvent(*c, "message", DumpJson(ReceivedJson(stored)), nowMs);
  }
  tx.Commit();
  return id;
}

std::vector<ReceivedMessage> PostgresStore::ListInbox(int64_t sinceId, int limit) {
  auto c = pool_.Take();
  return LoadInbox(*c, "id > $1 AND deleted=0 ORDER BY id LIMIT $2", {sinceId, static_cast<int64_t>(limit)});
}

std::optional<ReceivedMessage> PostgresStore::LastReceived(const std::string& modem) {
  auto c = pool_.Take();
  auto list = LoadInbox(*c, "modem=$1 AND deleted=0 ORDER BY id DESC LIMIT 1", {modem});
  if (list.empty()) return std::nullopt;
  return list.front();
}

std::optional<ReceivedMessage> PostgresStore::NextHookJob(int64_t nowMs) {
  if (!deliverer_) return std::nullopt;
  auto c = pool_.Take();
  auto jobs = LoadInbox(*c, "hook_pending=1 AND hook_next_ms <= $1 ORDER BY id LIMIT 1", {nowMs});
  if (jobs.empty()) return std::nullopt;
  return jobs.front();
}

std::optional<int64_t> PostgresStore::NextHookDue() {
  if (!deliverer_) return std::nullopt;
  auto c = pool_.Take();
  Result s = c->Exec("SELECT MIN(hook_next_ms) FROM inbox WHERE hook_pending=1");
  if (s.IsNull(0, 0)) return std::nullopt;
  return s.Int(0, 0);
}

void PostgresStore::MarkHook(int64_t id, bool done, int64_t nextMs) {
  auto c = pool_.Take();
  if (done) {
    c->Exec("UPDATE inbox SET hook_pending=0 WHERE id=$1", {id});
  } else {
    c->Exec("UPDATE inbox SET hook_attempts=hook_attempts+1, hook_next_ms=$1 WHERE id=$2", {nextMs, id});
  }
}

bool PostgresStore::DeleteReceived(int64_t id) {
  auto c = pool_.Take();
  // The row stays, marked deleted, so that the network delivering the
  // message again is still recognised as a repeat.
  return c->Exec("UPDATE inbox SET deleted=1 WHERE id=$1 AND deleted=0", {id}).Affected() > 0;
}

// --- events, counts ------------------------------------------------------------

std::vector<Event> PostgresStore::EventsAfter(int64_t afterId, int limit) {
  auto c = pool_.Take();
  Result s = c->Exec("SELECT id, type, data, created_ms FROM events WHERE id > $1 ORDER BY id LIMIT $2",
                     {afterId, static_cast<int64_t>(limit)});
  std::vector<Event> events;
  for (int i = 0; i < s.Rows(); ++i) events.push_back(Event{s.Int(i, 0), s.Text(i, 1), s.Text(i, 2), s.Int(i, 3)});
  return events;
}

int64_t PostgresStore::LastEventId() {
  auto c = pool_.Take();
  return c->Exec("SELECT COALESCE(MAX(id), 0) FROM events").Int(0, 0);
}

std::vector<ModemCounts> PostgresStore::Counts() {
  auto c = pool_.Take();
  std::vector<ModemCounts> counts;
  auto entry = [&](const std::string& modem) -> ModemCounts& {
    for (auto& mc : counts) {
      if (mc.modem == modem) return mc;
    }
    counts.push_back(ModemCounts{modem});
    return counts.back();
  };
  // Queued ones count for the modem asked for ("" = any); the others for the one that took them.
  Result s = c->Exec(
      "SELECT CASE WHEN status='queued' THEN modem ELSE sent_by END, status, COUNT(*) FROM outgoing GROUP BY 1, 2 "
      "ORDER BY 1, 2");
  for (int i = 0; i < s.Rows(); ++i) {
    ModemCounts& mc = entry(s.Text(i, 0));
    const std::string st = s.Text(i, 1);
    const int64_t n = s.Int(i, 2);
    if (st == status::kQueued) mc.queued += n;
    if (st == status::kSent || st == status::kDelivered || st == status::kNotDelivered) mc.sent += n;
    if (st == status::kDelivered) mc.delivered += n;
    if (st == status::kFailed) mc.failed += n;
  }
  Result r = c->Exec("SELECT modem, COUNT(*) FROM inbox GROUP BY modem ORDER BY modem");
  for (int i = 0; i < r.Rows(); ++i) entry(r.Text(i, 0)).received += r.Int(i, 1);
  return counts;
}

int64_t PostgresStore::QueueLength(const std::string& modem, const std::string& group) {
  auto c = pool_.Take();
  return c
      ->Exec("SELECT COUNT(*) FROM outgoing WHERE status='queued' AND modem IN ('', $1, $2)",
             {modem, group.empty() ? std::string() : kGroupPrefix + group})
      .Int(0, 0);
}

std::vector<std::pair<std::string, int64_t>> PostgresStore::OldestQueued() {
  auto c = pool_.Take();
  Result s = c->Exec("SELECT modem, MIN(created_ms) FROM outgoing WHERE status='queued' GROUP BY modem ORDER BY modem");
  std::vector<std::pair<std::string, int64_t>> oldest;
  for (int i = 0; i < s.Rows(); ++i) oldest.emplace_back(s.Text(i, 0), s.Int(i, 1));
  return oldest;
}

}  // namespace vela::gateway

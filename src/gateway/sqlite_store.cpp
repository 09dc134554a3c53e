#include "gateway/sqlite_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "gateway/records_json.h"
#include "gateway/sqlite_statement.h"
#include "gateway/store_rows.h"

namespace vela::gateway {

namespace {

// Each entry takes the schema from version i to i + 1. Entries are never
// changed once released; a new version appends one.
const char* const kMigrations[] = {
    // 0 -> 1
    R"sql(
CREATE TABLE outgoing (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  recipient TEXT NOT NULL,
  text TEXT NOT NULL,
  report INTEGER NOT NULL,
  modem TEXT NOT NULL DEFAULT '',
  languages TEXT NOT NULL DEFAULT '',
  coding TEXT NOT NULL DEFAULT 'auto',
  status TEXT NOT NULL,
  sent_by TEXT NOT NULL DEFAULT '',
  attempts INTEGER NOT NULL DEFAULT 0,
  next_attempt_ms INTEGER NOT NULL DEFAULT 0,
  error TEXT NOT NULL DEFAULT '',
  parts INTEGER NOT NULL DEFAULT 0,
  created_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL,
  sent_ms INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX outgoing_by_status ON outgoing(status, id);
CREATE TABLE outgoing_parts (
  message_id INTEGER NOT NULL REFERENCES outgoing(id) ON DELETE CASCADE,
  part INTEGER NOT NULL,
  modem TEXT NOT NULL,
  reference INTEGER NOT NULL,
  report_status INTEGER NOT NULL DEFAULT -1,
  sent_ms INTEGER NOT NULL,
  PRIMARY KEY (message_id, part)
);
CREATE INDEX parts_by_reference ON outgoing_parts(modem, reference, sent_ms);
CREATE TABLE status_reports (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  modem TEXT NOT NULL,
  reference INTEGER NOT NULL,
  tp_status INTEGER NOT NULL,
  smsc_time TEXT NOT NULL,
  discharge_time TEXT NOT NULL,
  message_id INTEGER,
  part INTEGER,
  received_ms INTEGER NOT NULL
);
CREATE TABLE inbox (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  modem TEXT NOT NULL,
  originator TEXT NOT NULL,
  text TEXT NOT NULL,
  smsc_time TEXT NOT NULL,
  reference INTEGER NOT NULL,
  parts INTEGER NOT NULL,
  complete INTEGER NOT NULL,
  received_ms INTEGER NOT NULL,
  deleted INTEGER NOT NULL DEFAULT 0,
  hook_pending INTEGER NOT NULL DEFAULT 0,
  hook_attempts INTEGER NOT NULL DEFAULT 0,
  hook_next_ms INTEGER NOT NULL DEFAULT 0,
  UNIQUE (originator, smsc_time, reference, text)
);
CREATE INDEX inbox_hooks ON inbox(hook_pending, hook_next_ms);
CREATE TABLE incoming_parts (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  modem TEXT NOT NULL,
  pdu TEXT NOT NULL,
  fingerprint TEXT NOT NULL UNIQUE,
  received_ms INTEGER NOT NULL,
  done INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX parts_waiting ON incoming_parts(modem, done);
CREATE TABLE events (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  type TEXT NOT NULL,
  data TEXT NOT NULL,
  created_ms INTEGER NOT NULL
);
CREATE TABLE idempotency_keys (
  key TEXT PRIMARY KEY,
  message_id INTEGER NOT NULL,
  created_ms INTEGER NOT NULL
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
  last_error_ms INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE webhook_deliveries (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  delivery_id TEXT NOT NULL UNIQUE,
  webhook TEXT NOT NULL,
  event_id INTEGER NOT NULL,
  state TEXT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  next_ms INTEGER NOT NULL,
  created_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL,
  last_error TEXT NOT NULL DEFAULT ''
);
CREATE INDEX deliveries_by_state ON webhook_deliveries(webhook, state, id);
CREATE TABLE bridge_state (
  name TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
)sql",
    // 3 -> 4: scheduling
    "ALTER TABLE outgoing ADD COLUMN send_at_ms INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE outgoing ADD COLUMN expires_at_ms INTEGER NOT NULL DEFAULT 0;",
    // 4 -> 5: per-modem send times, for the send limits
    "CREATE TABLE modem_sends (modem TEXT NOT NULL, sent_ms INTEGER NOT NULL);"
    "CREATE INDEX modem_sends_by_time ON modem_sends(modem, sent_ms);",
};
constexpr int kMigrationCount = static_cast<int>(sizeof kMigrations / sizeof kMigrations[0]);
static_assert(kMigrationCount == SqliteStore::kSchemaVersion, "one migration per schema version");

// Every message, number and text is in these files: owner only. SQLite gives
// the -wal and -shm files the database file's mode, so a database created
// 0600 keeps them so.
std::vector<std::string> RestrictFileModes(const std::string& path) {
  if (path.empty() || path == ":memory:") return {};  // no file
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);  // an empty file is an empty database
    return {};
  }
  // Otherwise it exists (or cannot be made; SQLite names the reason).
  std::vector<std::string> tightened;
  for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0 &&
        ::chmod(file.c_str(), st.st_mode & 0700) == 0) {
      tightened.push_back(file);
    }
  }
  return tightened;
}

}  // namespace

SqliteStore::SqliteStore(const std::string& path) : path_(path), tightened_(RestrictFileModes(path)) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                      nullptr) != SQLITE_OK) {
    std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("cannot open the database " + path + ": " + reason);
  }
  // Another process (the sqlite3 shell, a backup) may hold the file briefly.
  sqlite3_busy_timeout(db_, 5000);
  RegisterSearchFunction(db_);
  try {
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
    Exec("PRAGMA foreign_keys=ON");
    Migrate();
    StartCheckpoints();
  } catch (const StoreError& e) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError("cannot use the database " + path + ": " + e.what());
  }
}

SqliteStore::~SqliteStore() {
  checkpoints_.Stop();
  sqlite3_close(checkpointDb_);
  prepared_.clear();
  sqlite3_close(db_);
}

void SqliteStore::StartCheckpoints() {
  Statement mode(db_, "PRAGMA journal_mode");
  // An in-memory or temporary database has no log to copy, nor a path to reach it by.
  if (path_.empty() || !mode.Step() || mode.Text(0) != "wal") return;
  if (sqlite3_open_v2(path_.c_str(), &checkpointDb_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(checkpointDb_);
    checkpointDb_ = nullptr;
    return;  // SQLite's own checkpoints stay on
  }
  sqlite3_busy_timeout(checkpointDb_, 5000);
  checkpoints_.Start([this]() -> std::optional<WorkerThread::Clock::time_point> {
    // Passive, as SQLite's own: it copies what no reader still needs and
    // never blocks a writer.
    sqlite3_wal_checkpoint_v2(checkpointDb_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return std::nullopt;
  });
  // Replaces SQLite's automatic checkpoint: the hook runs after each commit.
  sqlite3_wal_hook(
      db_,
      [](void* self, sqlite3*, const char*, int pages) {
        if (pages >= 1000) static_cast<SqliteStore*>(self)->checkpoints_.Wake();
        return SQLITE_OK;
      },
      this);
}

void SqliteStore::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string reason = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw StoreError("store: " + reason);
  }
}

int SqliteStore::SchemaVersion() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "PRAGMA user_version");
  return s.Step() ? static_cast<int>(s.Int(0)) : 0;
}

void SqliteStore::Migrate() {
  Transaction tx(*this);
  int version = 0;
  {
    Statement s(db_, "PRAGMA user_version");
    if (s.Step()) version = static_cast<int>(s.Int(0));
  }
  if (version > kSchemaVersion) {
    throw StoreError("schema version " + std::to_string(version) + " is newer than this program's (" +
                     std::to_string(kSchemaVersion) + ")");
  }
  for (; version < kSchemaVersion; ++version) Exec(kMigrations[version]);
  Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
  tx.Commit();
}

// --- outgoing ----------------------------------------------------------------

std::optional<OutgoingMessage> SqliteStore::LoadMessage(int64_t id) {
  Statement s(db_, (std::string(kMessageSelect) + "WHERE id=?").c_str());
  s.Bind(1, id);
  if (!s.Step()) return std::nullopt;
  OutgoingMessage m = MessageFromRow(s);
  Statement p(db_, "SELECT reference, report_status FROM outgoing_parts WHERE message_id=? ORDER BY part");
  p.Bind(1, id);
  while (p.Step()) {
    m.references.push_back(std::to_string(p.Int(0)));
    m.partStatus.push_back(static_cast<int>(p.Int(1)));
  }
  return m;
}

namespace {
// One delivery per webhook that takes the event's type (1 message, 2 status).
constexpr const char* kMakeDeliveries =
    "INSERT INTO webhook_deliveries(delivery_id, webhook, event_id, state, next_ms, created_ms, updated_ms) "
    "SELECT lower(hex(randomblob(16))), url, ?, 'pending', ?, ?, ? FROM webhooks "
    "WHERE active=1 AND (events & ?) != 0";
}  // namespace

void SqliteStore::AppendEvent(const std::string& type, const std::string& data, int64_t nowMs) {
  Statement s(db_, "INSERT INTO events(type, data, created_ms) VALUES (?, ?, ?)");
  s.Bind(1, type).Bind(2, data).Bind(3, nowMs);
  s.Step();
  const int64_t eventId = sqlite3_last_insert_rowid(db_);
  Statement d(db_, kMakeDeliveries);
  d.Bind(1, eventId).Bind(2, nowMs).Bind(3, nowMs).Bind(4, nowMs).Bind(5, type == "message" ? 1 : 2);
  d.Step();
}

void SqliteStore::StatusEvent(int64_t id, int64_t nowMs) {
  if (auto m = LoadMessage(id)) AppendEvent("status", MessageJsonText(*m), nowMs);
}

EnqueueResult SqliteStore::Enqueue(const OutgoingRequest& r, int64_t nowMs) { return EnqueueBatch({r}, nowMs, 0)[0]; }

SqliteStore::Statement& SqliteStore::Prepared(const char* sql) {
  std::unique_ptr<Statement>& s = prepared_[sql];
  if (!s) s = std::make_unique<Statement>(db_, sql, true);
  return s->Reset();
}

std::vector<EnqueueResult> SqliteStore::EnqueueBatch(const std::vector<OutgoingRequest>& requests, int64_t nowMs,
                                                     int64_t maxWaiting) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  int64_t waiting = 0;
  if (maxWaiting > 0) {
    Statement& last = Prepared("SELECT seq FROM sqlite_sequence WHERE name='outgoing'");
    const int64_t lastId = last.Step() ? last.Int(0) : 0;
    last.Reset();
    waiting = waiting_.Bound(lastId, static_cast<int64_t>(requests.size()), maxWaiting, nowMs);
    if (waiting < 0) {
      Statement& w = Prepared("SELECT COUNT(*) FROM outgoing WHERE status IN ('queued', 'scheduled')");
      waiting = w.Step() ? w.Int(0) : 0;
      w.Reset();
      waiting_.Counted(waiting, lastId, nowMs);
    }
  }
  Statement& find = Prepared("SELECT message_id FROM idempotency_keys WHERE key=?");
  Statement& insert = Prepared(
      "INSERT INTO outgoing(recipient, text, report, modem, languages, coding, status, created_ms, "
      "updated_ms, validity, send_at_ms, expires_at_ms, next_attempt_ms, error) "
      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  Statement& key = Prepared("INSERT INTO idempotency_keys(key, message_id, created_ms) VALUES (?, ?, ?)");
  Statement& event = Prepared("INSERT INTO events(type, data, created_ms) VALUES ('status', ?, ?)");
  Statement& deliveries = Prepared(kMakeDeliveries);
  std::vector<EnqueueResult> results;
  results.reserve(requests.size());
  for (const OutgoingRequest& r : requests) {
    if (!r.idempotencyKey.empty()) {
      find.Rewind().Bind(1, r.idempotencyKey);
      const bool known = find.Step();
      const int64_t earlier = known ? find.Int(0) : 0;
      find.Rewind();
      if (known) {
        results.push_back(EnqueueResult{earlier, false, false, ""});
        continue;
      }
    }
    if (maxWaiting > 0 && waiting >= maxWaiting) {
      results.push_back(EnqueueResult{0, false, true, ""});
      continue;
    }
    OutgoingMessage m = QueuedMessage(r, 0, nowMs);
    insert.Rewind().Bind(1, m.to).Bind(2, m.text).Bind(3, m.report ? 1 : 0).Bind(4, m.modem).Bind(5, m.languages);
    insert.Bind(6, m.coding).Bind(7, m.status).Bind(8, nowMs).Bind(9, nowMs).Bind(10, m.validity);
    insert.Bind(11, m.sendAtMs).Bind(12, m.expiresAtMs).Bind(13, m.nextAttemptMs).Bind(14, m.error);
    insert.Step();
    const int64_t id = sqlite3_last_insert_rowid(db_);
    m.id = id;
    if (!r.idempotencyKey.empty()) {
      key.Rewind().Bind(1, r.idempotencyKey).Bind(2, id).Bind(3, nowMs);
      key.Step();
    }
    event.Rewind().Bind(1, MessageJsonText(m)).Bind(2, nowMs);
    event.Step();
    const int64_t eventId = sqlite3_last_insert_rowid(db_);
    deliveries.Rewind().Bind(1, eventId).Bind(2, nowMs).Bind(3, nowMs).Bind(4, nowMs).Bind(5, 2);
    deliveries.Step();
    if (m.status != status::kExpired) ++waiting;
    results.push_back(EnqueueResult{id, true, false, m.status});
  }
  tx.Commit();
  return results;
}

std::optional<OutgoingMessage> SqliteStore::GetMessage(int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return LoadMessage(id);
}

std::vector<OutgoingMessage> SqliteStore::ListMessages(const MessageFilter& f) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "SELECT id FROM outgoing WHERE id > ? AND (? = '' OR status = ?) ORDER BY id LIMIT ?");
  s.Bind(1, f.sinceId).Bind(2, f.status).Bind(3, f.status).Bind(4, static_cast<int64_t>(f.limit));
  std::vector<int64_t> ids;
  while (s.Step()) ids.push_back(s.Int(0));
  std::vector<OutgoingMessage> result;
  for (int64_t id : ids) {
    if (auto m = LoadMessage(id)) result.push_back(std::move(*m));
  }
  return result;
}

ChangeResult SqliteStore::MoveMessage(int64_t id, int64_t nowMs, const char* from, const char* orFrom,
                                      const char* update, bool dropParts) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  auto m = LoadMessage(id);
  if (!m) return ChangeResult::kNotFound;
  if (m->status != from && m->status != orFrom) return ChangeResult::kWrongState;
  if (dropParts) {
    Statement d(db_, "DELETE FROM outgoing_parts WHERE message_id=?");
    d.Bind(1, id);
    d.Step();
  }
  Statement s(db_, update);
  s.Bind(1, nowMs).Bind(2, id);
  s.Step();
  StatusEvent(id, nowMs);
  tx.Commit();
  return ChangeResult::kDone;
}

ChangeResult SqliteStore::CancelMessage(int64_t id, int64_t nowMs) {
  return MoveMessage(id, nowMs, status::kQueued, status::kScheduled,
                     "UPDATE outgoing SET status='cancelled', updated_ms=? WHERE id=?", false);
}

ChangeResult SqliteStore::RetryMessage(int64_t id, int64_t nowMs) {
  const ChangeResult r = MoveMessage(id, nowMs, status::kUnknown, status::kFailed,
                                     "UPDATE outgoing SET status='queued', attempts=0, next_attempt_ms=0, sent_by='', "
                                     "parts=0, updated_ms=? WHERE id=?",
                                     true);
  waiting_.Forget();  // back in the queue
  return r;
}

void SqliteStore::MarkSent(int64_t id, const std::vector<std::string>& references, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  auto m = LoadMessage(id);
  if (!m) return;
  int part = 1;
  for (const std::string& reference : references) {
    Statement p(db_,
                "INSERT OR REPLACE INTO outgoing_parts(message_id, part, modem, reference, sent_ms) "
                "VALUES (?, ?, ?, ?, ?)");
    p.Bind(1, id).Bind(2, part++).Bind(3, m->sentBy).Bind(4, std::stoll(reference) & 0xFF).Bind(5, nowMs);
    p.Step();
  }
  Statement s(db_, "UPDATE outgoing SET status='sent', parts=?, error='', sent_ms=?, updated_ms=? WHERE id=?");
  s.Bind(1, static_cast<int64_t>(references.size())).Bind(2, nowMs).Bind(3, nowMs).Bind(4, id);
  s.Step();
  StatusEvent(id, nowMs);
  tx.Commit();
}

void SqliteStore::MarkRetry(int64_t id, const std::string& error, int64_t nextAttemptMs, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  Statement s(db_,
              "UPDATE outgoing SET status='queued', sent_by='', error=?, next_attempt_ms=?, updated_ms=? "
              "WHERE id=?");
  s.Bind(1, error).Bind(2, nextAttemptMs).Bind(3, nowMs).Bind(4, id);
  s.Step();
  StatusEvent(id, nowMs);
  tx.Commit();
  waiting_.Forget();  // back in the queue
}

void SqliteStore::MarkFinal(int64_t id, const std::string& st, const std::string& error, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  Statement s(db_, "UPDATE outgoing SET status=?, error=?, updated_ms=? WHERE id=?");
  s.Bind(1, st).Bind(2, error).Bind(3, nowMs).Bind(4, id);
  s.Step();
  StatusEvent(id, nowMs);
  tx.Commit();
}

int SqliteStore::RecoverInterrupted(int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  std::vector<int64_t> ids;
  {
    Statement s(db_, "SELECT id FROM outgoing WHERE status='sending'");
    while (s.Step()) ids.push_back(s.Int(0));
  }
  for (int64_t id : ids) {
    Statement u(db_,
                "UPDATE outgoing SET status='unknown', error='the gateway stopped while the message was being "
                "sent; it may have gone out', updated_ms=? WHERE id=?");
    u.Bind(1, nowMs).Bind(2, id);
    u.Step();
    StatusEvent(id, nowMs);
  }
  tx.Commit();
  return static_cast<int>(ids.size());
}

ReportMatch SqliteStore::RecordReport(const ReportRecord& r, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  ReportMatch match;
  int64_t part = 0;
  {
    // The most recent part with this reference that has no report yet; a
    // reference comes round again after 256 sends.
    Statement s(db_,
                "SELECT message_id, part FROM outgoing_parts WHERE modem=? AND reference=? "
                "ORDER BY (report_status < 0) DESC, sent_ms DESC, message_id DESC LIMIT 1");
    s.Bind(1, r.modem).Bind(2, static_cast<int64_t>(r.reference & 0xFF));
    if (s.Step()) {
      match.messageId = s.Int(0);
      part = s.Int(1);
    }
  }
  Statement ins(db_,
                "INSERT INTO status_reports(modem, reference, tp_status, smsc_time, discharge_time, message_id, "
                "part, received_ms) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
  ins.Bind(1, r.modem).Bind(2, static_cast<int64_t>(r.reference)).Bind(3, static_cast<int64_t>(r.tpStatus));
  ins.Bind(4, r.smscTime).Bind(5, r.dischargeTime).Bind(6, match.messageId).Bind(7, part).Bind(8, nowMs);
  ins.Step();
  match.reportId = sqlite3_last_insert_rowid(db_);
  const bool temporary = r.tpStatus >= 0x20 && r.tpStatus < 0x40;
  if (match.messageId != 0 && !temporary) {
    Statement u(db_, "UPDATE outgoing_parts SET report_status=? WHERE message_id=? AND part=?");
    u.Bind(1, r.tpStatus < 0x20 ? 0 : 1).Bind(2, match.messageId).Bind(3, part);
    u.Step();
    auto m = LoadMessage(match.messageId);
    if (m && m->status == status::kSent && static_cast<int>(m->partStatus.size()) == m->parts) {
      bool all = true, delivered = true;
      for (int st : m->partStatus) {
        if (st < 0) all = false;
        if (st != 0) delivered = false;
      }
      if (all) {
        match.newStatus = delivered ? status::kDelivered : status::kNotDelivered;
        Statement f(db_, "UPDATE outgoing SET status=?, updated_ms=? WHERE id=?");
        f.Bind(1, match.newStatus).Bind(2, nowMs).Bind(3, match.messageId);
        f.Step();
        StatusEvent(match.messageId, nowMs);
      }
    }
  }
  tx.Commit();
  return match;
}

// --- incoming ------------------------------------------------------------------

std::optional<int64_t> SqliteStore::AddPendingPart(const std::string& modem, const std::string& pdu,
                                                   const std::string& fingerprint, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "INSERT OR IGNORE INTO incoming_parts(modem, pdu, fingerprint, received_ms) VALUES (?, ?, ?, ?)");
  s.Bind(1, modem).Bind(2, pdu).Bind(3, fingerprint).Bind(4, nowMs);
  s.Step();
  if (sqlite3_changes(db_) == 0) return std::nullopt;
  return sqlite3_last_insert_rowid(db_);
}

std::vector<PendingPart> SqliteStore::PendingParts(const std::string& modem) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "SELECT id, modem, pdu, received_ms FROM incoming_parts WHERE modem=? AND done=0 ORDER BY id");
  s.Bind(1, modem);
  std::vector<PendingPart> parts;
  while (s.Step()) parts.push_back(PendingPart{s.Int(0), s.Text(1), s.Text(2), s.Int(3)});
  return parts;
}

std::optional<int64_t> SqliteStore::AddReceived(const ReceivedMessage& m, const std::vector<int64_t>& partIds,
                                                bool runHook, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  for (int64_t partId : partIds) {
    Statement d(db_, "UPDATE incoming_parts SET done=1 WHERE id=?");
    d.Bind(1, partId);
    d.Step();
  }
  Statement s(db_,
              "INSERT OR IGNORE INTO inbox(modem, originator, text, smsc_time, reference, parts, complete, "
              "received_ms, hook_pending) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
  s.Bind(1, m.modem).Bind(2, m.originator).Bind(3, m.text).Bind(4, m.smscTime);
  s.Bind(5, static_cast<int64_t>(m.reference)).Bind(6, static_cast<int64_t>(m.parts)).Bind(7, m.complete ? 1 : 0);
  s.Bind(8, nowMs).Bind(9, runHook ? 1 : 0);
  s.Step();
  std::optional<int64_t> id;
  if (sqlite3_changes(db_) > 0) {
    id = sqlite3_last_insert_rowid(db_);
    ReceivedMessage stored = m;
    stored.id = *id;
    stored.receivedMs = nowMs;
    AppendEvent("message", DumpJson(ReceivedJson(stored)), nowMs);
  }
  tx.Commit();
  return id;
}

std::vector<ReceivedMessage> SqliteStore::LoadInbox(const char* where, int64_t a, int64_t b) {
  Statement s(db_, (std::string(kInboxSelect) + where).c_str());
  s.Bind(1, a).Bind(2, b);
  std::vector<ReceivedMessage> result;
  while (s.Step()) result.push_back(ReceivedFromRow(s));
  return result;
}

std::vector<ReceivedMessage> SqliteStore::ListInbox(int64_t sinceId, int limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  return LoadInbox("id > ? AND deleted=0 ORDER BY id LIMIT ?", sinceId, limit);
}

std::optional<ReceivedMessage> SqliteStore::NextHookJob(int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto jobs = LoadInbox("hook_pending=1 AND hook_next_ms <= ? ORDER BY id LIMIT ?", nowMs, 1);
  if (jobs.empty()) return std::nullopt;
  return jobs.front();
}

std::optional<int64_t> SqliteStore::NextHookDue() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "SELECT MIN(hook_next_ms) FROM inbox WHERE hook_pending=1");
  if (!s.Step() || s.IsNull(0)) return std::nullopt;
  return s.Int(0);
}

void SqliteStore::MarkHook(int64_t id, bool done, int64_t nextMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, done ? "UPDATE inbox SET hook_pending=0 WHERE id=?"
                        : "UPDATE inbox SET hook_attempts=hook_attempts+1, hook_next_ms=? WHERE id=?");
  if (done) {
    s.Bind(1, id);
  } else {
    s.Bind(1, nextMs).Bind(2, id);
  }
  s.Step();
}

bool SqliteStore::DeleteReceived(int64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The row stays, marked deleted, so that the network delivering the
  // message again is still recognised as a repeat.
  Statement s(db_, "UPDATE inbox SET deleted=1 WHERE id=? AND deleted=0");
  s.Bind(1, id);
  s.Step();
  return sqlite3_changes(db_) > 0;
}

// --- events, counts ------------------------------------------------------------

std::vector<Event> SqliteStore::EventsAfter(int64_t afterId, int limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "SELECT id, type, data, created_ms FROM events WHERE id > ? ORDER BY id LIMIT ?");
  s.Bind(1, afterId).Bind(2, static_cast<int64_t>(limit));
  std::vector<Event> events;
  while (s.Step()) events.push_back(Event{s.Int(0), s.Text(1), s.Text(2), s.Int(3)});
  return events;
}

int64_t SqliteStore::LastEventId() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "SELECT COALESCE(MAX(id), 0) FROM events");
  return s.Step() ? s.Int(0) : 0;
}

std::vector<ModemCounts> SqliteStore::Counts() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ModemCounts> counts;
  auto entry = [&](const std::string& modem) -> ModemCounts& {
    for (auto& c : counts) {
      if (c.modem == modem) return c;
    }
    counts.push_back(ModemCounts{modem});
    return counts.back();
  };
  {
    // Queued ones count for the modem asked for ("" = any); the others for the one that took them.
    Statement s(db_,
                "SELECT CASE WHEN status='queued' THEN modem ELSE sent_by END, status, COUNT(*) FROM outgoing "
                "GROUP BY 1, 2");
    while (s.Step()) {
      ModemCounts& c = entry(s.Text(0));
      const std::string st = s.Text(1);
      const int64_t n = s.Int(2);
      if (st == status::kQueued) c.queued += n;
      if (st == status::kSent || st == status::kDelivered || st == status::kNotDelivered) c.sent += n;
      if (st == status::kDelivered) c.delivered += n;
      if (st == status::kFailed) c.failed += n;
    }
  }
  Statement r(db_, "SELECT modem, COUNT(*) FROM inbox GROUP BY modem");
  while (r.Step()) entry(r.Text(0)).received += r.Int(1);
  return counts;
}

int64_t SqliteStore::QueueLength(const std::string& modem, const std::string& group) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "SELECT COUNT(*) FROM outgoing WHERE status='queued' AND modem IN ('', ?, ?)");
  s.Bind(1, modem).Bind(2, group.empty() ? std::string() : kGroupPrefix + group);
  return s.Step() ? s.Int(0) : 0;
}

}  // namespace vela::gateway

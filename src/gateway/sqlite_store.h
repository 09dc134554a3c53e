// The store in one SQLite file (write-ahead log, full sync: a committed
// change survives the process being killed and the machine losing power).
// One connection serialised by a mutex: the gateway's writes are small and
// few per message, and SQLite allows one writer at a time anyway.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/queue_policy.h"
#include "gateway/store.h"
#include "gateway/worker_thread.h"

struct sqlite3;

namespace vela::gateway {

class SqliteStore : public Store {
 public:
  // The schema version this build writes; older files are migrated at open.
  static constexpr int kSchemaVersion = 5;

  // Opens or creates the file and migrates it. StoreError when the file
  // cannot be opened, is no database, or has a newer schema than this build.
  // The file is created with mode 0600 (its -wal and -shm files follow its
  // mode); an existing one, or its -wal or -shm, that others may read or
  // write is made 0600 (see Tightened).
  explicit SqliteStore(const std::string& path);
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  int SchemaVersion();
  // The files whose mode was wider than 0600 at open, now 0600.
  const std::vector<std::string>& Tightened() const { return tightened_; }

  EnqueueResult Enqueue(const OutgoingRequest& request, int64_t nowMs) override;
  std::vector<EnqueueResult> EnqueueBatch(const std::vector<OutgoingRequest>& requests, int64_t nowMs,
                                          int64_t maxWaiting) override;
  std::optional<OutgoingMessage> GetMessage(int64_t id) override;
  std::vector<OutgoingMessage> ListMessages(const MessageFilter& filter) override;
  ChangeResult CancelMessage(int64_t id, int64_t nowMs) override;
  ChangeResult RetryMessage(int64_t id, int64_t nowMs) override;
  std::optional<OutgoingMessage> ClaimNext(const Claimant& claimant, int64_t nowMs) override;
  std::optional<int64_t> NextDue(const Claimant& claimant, int64_t afterMs) override;
  SendCounts CountSends(const std::string& modem, int latest, int64_t dayStartMs, int64_t monthStartMs) override;
  void MarkSent(int64_t id, const std::vector<std::string>& references, int64_t nowMs) override;
  void MarkRetry(int64_t id, const std::string& error, int64_t nextAttemptMs, int64_t nowMs) override;
  void MarkFinal(int64_t id, const std::string& status, const std::string& error, int64_t nowMs) override;
  int RecoverInterrupted(int64_t nowMs) override;
  ReportMatch RecordReport(const ReportRecord& report, int64_t nowMs) override;

  std::optional<int64_t> AddPendingPart(const std::string& modem, const std::string& pdu,
                                        const std::string& fingerprint, int64_t nowMs) override;
  std::vector<PendingPart> PendingParts(const std::string& modem) override;
  std::optional<int64_t> AddReceived(const ReceivedMessage& message, const std::vector<int64_t>& partIds, bool runHook,
                                     int64_t nowMs) override;
  std::optional<ReceivedMessage> NextHookJob(int64_t nowMs) override;
  std::optional<int64_t> NextHookDue() override;
  void MarkHook(int64_t id, bool done, int64_t nextMs) override;
  std::vector<ReceivedMessage> ListInbox(int64_t sinceId, int limit) override;
  bool DeleteReceived(int64_t id) override;
  SearchHits Search(const std::string& query, int limit) override;

  std::vector<Event> EventsAfter(int64_t afterId, int limit) override;
  int64_t LastEventId() override;
  std::vector<ModemCounts> Counts() override;
  int64_t QueueLength(const std::string& modem, const std::string& group) override;
  std::optional<ReceivedMessage> LastReceived(const std::string& modem) override;

  void SetWebhooks(const std::vector<WebhookTarget>& targets) override;
  std::optional<WebhookDelivery> NextDelivery(const std::string& webhook) override;
  void RecordAttempt(int64_t rowId, const std::string& state, const std::string& error, int64_t nextMs,
                     int64_t nowMs) override;
  std::vector<WebhookCounts> WebhookStats() override;
  std::vector<WebhookDelivery> FailedDeliveries(int64_t afterRowId, int limit) override;
  ChangeResult Redeliver(const std::string& deliveryId, int64_t nowMs, std::string& webhook) override;

  std::optional<std::string> LoadBridgeState(const std::string& name) override;
  void SaveBridgeState(const std::string& name, const std::string& value) override;

  std::vector<std::pair<std::string, int64_t>> OldestQueued() override;

 private:
  class Statement;
  class Transaction;
  void Exec(const char* sql);
  void Migrate();
  void StatusEvent(int64_t id, int64_t nowMs);
  // Inside a transaction: expired and due scheduled messages change status.
  void DueTransitions(int64_t nowMs);
  void AppendEvent(const std::string& type, const std::string& data, int64_t nowMs);
  std::optional<OutgoingMessage> LoadMessage(int64_t id);
  // Message `id`, when its status is `from` or `orFrom`, takes `update`
  // (binds: updated_ms, id) and announces its new status; with `dropParts`
  // its sent parts are forgotten first.
  ChangeResult MoveMessage(int64_t id, int64_t nowMs, const char* from, const char* orFrom, const char* update,
                           bool dropParts);
  std::vector<ReceivedMessage> LoadInbox(const char* where, int64_t a, int64_t b);
  std::vector<WebhookDelivery> LoadDeliveries(Statement& s);

  // The statement for `sql` (a literal), prepared once and reset for this
  // use; for statements of the queue's hot path that never nest.
  Statement& Prepared(const char* sql);

  std::string path_;
  std::vector<std::string> tightened_;
  sqlite3* db_ = nullptr;
  std::mutex mutex_;
  std::map<const char*, std::unique_ptr<Statement>> prepared_;
  WaitingBound waiting_;
  // Copies the write-ahead log into the database on a connection of its own,
  // so that a commit never waits for it (SQLite would do it inside the
  // commit that crossed 1000 pages).
  void StartCheckpoints();
  sqlite3* checkpointDb_ = nullptr;
  WorkerThread checkpoints_;
};

}  // namespace vela::gateway

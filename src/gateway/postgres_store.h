// The store in a PostgreSQL database, shared by every gateway node that is
// given the same database. A pool of connections: concurrent requests each
// commit on their own connection and the server groups their log flushes.
//
// Events are appended under one transaction-scoped advisory lock, so their
// ids become visible in commit order: a stream that has read up to id N
// never later finds an event below N.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/pg_connection.h"
#include "gateway/queue_policy.h"
#include "gateway/store.h"

namespace vela::gateway {

class PostgresStore : public Store {
 public:
  static constexpr int kSchemaVersion = 7;

  // Connects and migrates the schema (several nodes starting at once take
  // turns). StoreError naming the database (password hidden) and the reason.
  explicit PostgresStore(const std::string& conninfo, int connections = 8);
  ~PostgresStore() override;

  int SchemaVersion();

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
  void SetRoutedModemFree(const std::string& modem, const std::vector<std::string>& routes, bool free) override;
  std::vector<std::string> FreeRoutesOfOtherNodes() override;
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

  std::vector<Event> EventsAfter(int64_t afterId, int limit) override;
  int64_t LastEventId() override;
  std::vector<ModemCounts> Counts() override;
  int64_t QueueLength(const std::string& modem, const std::string& group) override;
  std::vector<std::pair<std::string, int64_t>> OldestQueued() override;
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

 private:
  friend class PostgresCluster;
  void Migrate();
  // Inside a transaction: whether this node may claim for `modem` or change
  // what it sends (always, until a PostgresCluster names the node). The lease
  // row stays share-locked until commit: a node taking the modem over waits
  // for this transaction. `live`: the lease must not have run out either.
  bool Holds(pg::Connection& c, const std::string& modem, bool live);
  // Without the lease: nothing to claim (nullopt), so that a sender that
  // lost it sleeps rather than spins.
  bool MayHold(const std::string& modem);
  // Inside a transaction: locks message `id` and throws StoreError unless
  // this node may change what its sender does.
  void CheckSender(pg::Connection& c, int64_t id);
  // Status events of `ids`, in id order.
  void AnnounceStatus(pg::Connection& c, std::vector<int64_t> ids, int64_t nowMs);
  // postgres_limits.cpp. Inside a transaction: the id of the oldest due
  // message the claimant may take, locked (0: none); a message another
  // sender is taking right now is skipped, not waited for.
  static int64_t LockClaimable(pg::Connection& c, const Claimant& claimant, int64_t nowMs);
  // The claimant's send, counted for its limits (old ones forgotten).
  static void CountSend(pg::Connection& c, const std::string& modem, int64_t nowMs);
  static std::string GroupTarget(const Claimant& claimant);

  pg::Pool pool_;
  WaitingBound waiting_;
  std::mutex fenceMutex_;
  std::string node_;                       // empty: no fencing (one node, or a test of the store alone)
  std::map<std::string, int64_t> fences_;  // modem -> fencing number of the lease this node holds
  // Whether this node delivers the webhooks and runs the receive hook: of
  // several nodes only one does (PostgresCluster::TryLead).
  std::atomic<bool> deliverer_{true};
};

}  // namespace vela::gateway

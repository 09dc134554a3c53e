// The SQLite store's claims of queued messages and the per-modem send
// counts behind the send limits (limits.h).
#include <algorithm>

#include "gateway/sqlite_statement.h"

namespace vela::gateway {

namespace {
// Due messages looked at when some may be left to other modems (routes).
constexpr int64_t kCandidates = 200;
// Sends older than this are no longer needed by any limit (a month).
constexpr int64_t kSendMemoryMs = 32LL * 24 * 3600 * 1000;

std::string GroupTarget(const Claimant& c) { return c.group.empty() ? std::string() : kGroupPrefix + c.group; }
}  // namespace

std::optional<OutgoingMessage> SqliteStore::ClaimNext(const Claimant& c, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Transaction tx(*this);
  DueTransitions(nowMs);
  int64_t id = 0;
  {
    Statement s(db_,
                "SELECT id, recipient, modem FROM outgoing WHERE status='queued' AND modem IN ('', ?, ?) "
                "AND next_attempt_ms <= ? ORDER BY id LIMIT ?");
    s.Bind(1, c.modem).Bind(2, GroupTarget(c)).Bind(3, nowMs).Bind(4, c.freeElsewhere.empty() ? 1 : kCandidates);
    while (id == 0 && s.Step()) {
      if (MayTake(c, s.Text(2), s.Text(1))) id = s.Int(0);
    }
  }
  if (id == 0) {
    tx.Commit();  // the transitions
    return std::nullopt;
  }
  Statement u(db_, "UPDATE outgoing SET status='sending', sent_by=?, attempts=attempts+1, updated_ms=? WHERE id=?");
  u.Bind(1, c.modem).Bind(2, nowMs).Bind(3, id);
  u.Step();
  Statement count(db_, "INSERT INTO modem_sends(modem, sent_ms) VALUES (?, ?)");
  count.Bind(1, c.modem).Bind(2, nowMs);
  count.Step();
  Statement prune(db_, "DELETE FROM modem_sends WHERE modem=? AND sent_ms < ?");
  prune.Bind(1, c.modem).Bind(2, nowMs - kSendMemoryMs);
  prune.Step();
  StatusEvent(id, nowMs);
  auto m = LoadMessage(id);
  tx.Commit();
  return m;
}

std::optional<int64_t> SqliteStore::NextDue(const Claimant& c, int64_t afterMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_,
              "SELECT MIN(due) FROM (SELECT CASE WHEN expires_at_ms > 0 AND expires_at_ms < next_attempt_ms "
              "THEN expires_at_ms ELSE next_attempt_ms END AS due FROM outgoing "
              "WHERE status IN ('queued', 'scheduled') AND modem IN ('', ?, ?)) WHERE due > ?");
  s.Bind(1, c.modem).Bind(2, GroupTarget(c)).Bind(3, afterMs);
  if (!s.Step() || s.IsNull(0)) return std::nullopt;
  return s.Int(0);
}

SendCounts SqliteStore::CountSends(const std::string& modem, int latest, int64_t dayStartMs, int64_t monthStartMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  SendCounts counts;
  if (latest > 0) {
    Statement s(db_, "SELECT sent_ms FROM modem_sends WHERE modem=? ORDER BY sent_ms DESC LIMIT ?");
    s.Bind(1, modem).Bind(2, static_cast<int64_t>(latest));
    while (s.Step()) counts.latest.push_back(s.Int(0));
  }
  Statement n(db_,
              "SELECT COALESCE(SUM(sent_ms >= ?), 0), COALESCE(SUM(sent_ms >= ?), 0) FROM modem_sends "
              "WHERE modem=? AND sent_ms >= ?");
  n.Bind(1, dayStartMs).Bind(2, monthStartMs).Bind(3, modem).Bind(4, std::min(dayStartMs, monthStartMs));
  if (n.Step()) {
    counts.sinceDayStart = n.Int(0);
    counts.sinceMonthStart = n.Int(1);
  }
  return counts;
}

}  // namespace vela::gateway

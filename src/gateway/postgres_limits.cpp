// The PostgreSQL store's choice of the message a modem claims and the
// per-modem send counts behind the send limits (limits.h).
#include <algorithm>

#include "gateway/postgres_store.h"

namespace vela::gateway {

namespace {
// Due messages looked at when some may be left to other modems (routes).
constexpr int64_t kCandidates = 200;
// Sends older than this are no longer needed by any limit (a month).
constexpr int64_t kSendMemoryMs = 32LL * 24 * 3600 * 1000;
}  // namespace

std::string PostgresStore::GroupTarget(const Claimant& c) {
  return c.group.empty() ? std::string() : kGroupPrefix + c.group;
}

int64_t PostgresStore::LockClaimable(pg::Connection& c, const Claimant& claimant, int64_t nowMs) {
  if (claimant.freeElsewhere.empty()) {
    pg::Result s = c.Exec(
        "SELECT id FROM outgoing WHERE status='queued' AND modem IN ('', $1, $2) AND next_attempt_ms <= $3 "
        "ORDER BY id LIMIT 1 FOR UPDATE SKIP LOCKED",
        {claimant.modem, GroupTarget(claimant), nowMs});
    return s.Rows() == 0 ? 0 : s.Int(0, 0);
  }
  // Some messages may be left to other modems: the candidates are read
  // unlocked (locking them all would hide them from the other senders), and
  // the first one this modem may take is locked if still queued.
  pg::Result s = c.Exec(
      "SELECT id, recipient, modem FROM outgoing WHERE status='queued' AND modem IN ('', $1, $2) "
      "AND next_attempt_ms <= $3 ORDER BY id LIMIT $4",
      {claimant.modem, GroupTarget(claimant), nowMs, kCandidates});
  for (int i = 0; i < s.Rows(); ++i) {
    if (!MayTake(claimant, s.Text(i, 2), s.Text(i, 1))) continue;
    pg::Result locked =
        c.Exec("SELECT id FROM outgoing WHERE id=$1 AND status='queued' FOR UPDATE SKIP LOCKED", {s.Int(i, 0)});
    if (locked.Rows() > 0) return locked.Int(0, 0);
  }
  return 0;
}

void PostgresStore::CountSend(pg::Connection& c, const std::string& modem, int64_t nowMs) {
  c.Exec("INSERT INTO modem_sends(modem, sent_ms) VALUES ($1, $2)", {modem, nowMs});
  c.Exec("DELETE FROM modem_sends WHERE modem=$1 AND sent_ms < $2", {modem, nowMs - kSendMemoryMs});
}

SendCounts PostgresStore::CountSends(const std::string& modem, int latest, int64_t dayStartMs, int64_t monthStartMs) {
  auto c = pool_.Take();
  SendCounts counts;
  if (latest > 0) {
    pg::Result s =
        c->Exec("SELECT sent_ms FROM modem_sends WHERE modem=$1 ORDER BY sent_ms DESC LIMIT $2", {modem, latest});
    for (int i = 0; i < s.Rows(); ++i) counts.latest.push_back(s.Int(i, 0));
  }
  pg::Result n = c->Exec(
      "SELECT COUNT(*) FILTER (WHERE sent_ms >= $1), COUNT(*) FILTER (WHERE sent_ms >= $2) FROM modem_sends "
      "WHERE modem=$3 AND sent_ms >= $4",
      {dayStartMs, monthStartMs, modem, std::min(dayStartMs, monthStartMs)});
  counts.sinceDayStart = n.Int(0, 0);
  counts.sinceMonthStart = n.Int(0, 1);
  return counts;
}

}  // namespace vela::gateway

// The SQLite store's timed parts of the queue: messages whose send_at came
// or whose expires_at passed, and the age of the oldest queued ones.
#include "gateway/sqlite_statement.h"

namespace vela::gateway {

void SqliteStore::DueTransitions(int64_t nowMs) {
  struct Change {
    const char* select;
    const char* update;
  } changes[] = {
      {"SELECT id FROM outgoing WHERE status IN ('queued', 'scheduled') AND expires_at_ms > 0 AND expires_at_ms <= ? "
       "ORDER BY id",
       "UPDATE outgoing SET status='expired', error=?, updated_ms=? WHERE id=?"},
      {"SELECT id FROM outgoing WHERE status='scheduled' AND next_attempt_ms <= ? ORDER BY id",
       "UPDATE outgoing SET status='queued', error=?, updated_ms=? WHERE id=?"},
  };
  for (const Change& c : changes) {
    std::vector<int64_t> ids;
    {
      Statement s(db_, c.select);
      s.Bind(1, nowMs);
      while (s.Step()) ids.push_back(s.Int(0));
    }
    for (int64_t id : ids) {
      Statement u(db_, c.update);
      u.Bind(1, std::string(&c == &changes[0] ? kExpiredError : "")).Bind(2, nowMs).Bind(3, id);
      u.Step();
      StatusEvent(id, nowMs);
    }
  }
}

std::vector<std::pair<std::string, int64_t>> SqliteStore::OldestQueued() {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement s(db_, "SELECT modem, MIN(created_ms) FROM outgoing WHERE status='queued' GROUP BY modem ORDER BY modem");
  std::vector<std::pair<std::string, int64_t>> oldest;
  while (s.Step()) oldest.emplace_back(s.Text(0), s.Int(1));
  return oldest;
}

}  // namespace vela::gateway

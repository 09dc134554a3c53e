// PostgresStore::EnqueueBatch: a batch in a fixed number of statements,
// whatever its size. The columns travel as arrays (unnest), so a thousand
// messages cost as many round trips as one.
#include <algorithm>
#include <map>

#include "gateway/postgres_store.h"
#include "gateway/records_json.h"

namespace vela::gateway {

using pg::Connection;
using pg::Param;
using pg::Result;
using pg::Transaction;

namespace {

// The event lock of postgres_store.cpp: events get their ids in commit order.
constexpr int64_t kEventLock = 0x76656c61'00000002;

// A PostgreSQL array literal of texts: every element quoted, with '"' and
// '\' escaped (any other character, braces and commas included, is literal
// inside the quotes).
class ArrayText {
 public:
  void Add(const std::string& v) {
    out_ += out_.size() > 1 ? ",\"" : "\"";
    for (char ch : v) {
      if (ch == '"' || ch == '\\') out_ += '\\';
      out_ += ch;
    }
    out_ += '"';
  }
  void Add(int64_t v) { Add(std::to_string(v)); }
  std::string Done() const { return out_ + "}"; }

 private:
  std::string out_ = "{";
};

// Where request i's answer comes from.
enum class Answer { kNew, kEarlier, kSameAs, kRefused };

}  // namespace

std::vector<EnqueueResult> PostgresStore::EnqueueBatch(const std::vector<OutgoingRequest>& requests, int64_t nowMs,
                                                       int64_t maxWaiting) {
  const size_t n = requests.size();
  std::vector<EnqueueResult> results(n);
  if (n == 0) return results;
  auto c = pool_.Take();
  Transaction tx(*c);
  int64_t waiting = 0;
  if (maxWaiting > 0) {
    // The last id taken (by transactions still running, too: still an upper
    // bound); before the first, last_value is the one the first will take.
    const int64_t lastId =
        c->Exec("SELECT CASE WHEN is_called THEN last_value ELSE last_value - 1 END FROM outgoing_id_seq").Int(0, 0);
    waiting = waiting_.Bound(lastId, static_cast<int64_t>(n), maxWaiting, nowMs);
    if (waiting < 0) {
      waiting = c->Exec("SELECT COUNT(*) FROM outgoing WHERE status IN ('queued', 'scheduled')").Int(0, 0);
      waiting_.Counted(waiting, lastId, nowMs);
    }
  }

  // Keys already taken (by an earlier batch, on any node).
  std::map<std::string, int64_t> taken;
  {
    ArrayText keys;
    bool any = false;
    for (const OutgoingRequest& r : requests) {
      if (r.idempotencyKey.empty()) continue;
      keys.Add(r.idempotencyKey);
      any = true;
    }
    if (any) {
      Result k = c->Exec("SELECT key, message_id FROM idempotency_keys WHERE key = ANY($1::text[])", {keys.Done()});
      for (int i = 0; i < k.Rows(); ++i) taken[k.Text(i, 0)] = k.Int(i, 1);
    }
  }

  // In order: a known key answers its message, a key repeated in the batch
  // its first request's, and past the limit new ones are refused.
  std::vector<Answer> answer(n, Answer::kNew);
  std::vector<size_t> sameAs(n, 0);
  std::map<std::string, size_t> firstOfKey;
  std::vector<size_t> fresh;
  for (size_t i = 0; i < n; ++i) {
    const std::string& key = requests[i].idempotencyKey;
    if (!key.empty()) {
      if (auto t = taken.find(key); t != taken.end()) {
        answer[i] = Answer::kEarlier;
        results[i] = EnqueueResult{t->second, false, false, ""};
        continue;
      }
      if (auto f = firstOfKey.find(key); f != firstOfKey.end()) {
        answer[i] = answer[f->second] == Answer::kRefused ? Answer::kRefused : Answer::kSameAs;
        sameAs[i] = f->second;
        continue;
      }
      firstOfKey[key] = i;
    }
    if (maxWaiting > 0 && waiting >= maxWaiting) {
      answer[i] = Answer::kRefused;
      continue;
    }
    fresh.push_back(i);
    answer[i] = Answer::kNew;
    if (QueuedMessage(requests[i], 0, nowMs).status != status::kExpired) ++waiting;
  }

  std::vector<int64_t> ids(n, 0);
  if (!fresh.empty()) {
    Result seq = c->Exec("SELECT nextval('outgoing_id_seq') FROM generate_series(1, $1) ORDER BY 1",
                         {static_cast<int64_t>(fresh.size())});
    for (size_t f = 0; f < fresh.size(); ++f) ids[fresh[f]] = seq.Int(static_cast<int>(f), 0);
  }

  // The keys of the new messages. A key another transaction (another node)
  // inserted since the look-up makes this insert wait for it, then is found
  // taken: that request answers the other's message instead. Sorted, so
  // that two batches sharing keys wait for each other rather than deadlock.
  {
    ArrayText keys, keyIds;
    bool any = false;
    for (size_t i : fresh) {
      if (requests[i].idempotencyKey.empty()) continue;
      keys.Add(requests[i].idempotencyKey);
      keyIds.Add(ids[i]);
      any = true;
    }
    if (any) {
      Result k = c->Exec(
          "INSERT INTO idempotency_keys(key, message_id, created_ms) SELECT k, m, $3 FROM "
          "unnest($1::text[], $2::bigint[]) AS u(k, m) ORDER BY k ON CONFLICT (key) DO NOTHING RETURNING key",
          {keys.Done(), keyIds.Done(), nowMs});
      std::map<std::string, bool> inserted;
      for (int i = 0; i < k.Rows(); ++i) inserted[k.Text(i, 0)] = true;
      ArrayText lost;
      bool anyLost = false;
      for (size_t i : fresh) {
        const std::string& key = requests[i].idempotencyKey;
        if (key.empty() || inserted.count(key)) continue;
        lost.Add(key);
        anyLost = true;
      }
      if (anyLost) {
        Result e = c->Exec("SELECT key, message_id FROM idempotency_keys WHERE key = ANY($1::text[])", {lost.Done()});
        for (int i = 0; i < e.Rows(); ++i) taken[e.Text(i, 0)] = e.Int(i, 1);
        std::vector<size_t> kept;
        for (size_t i : fresh) {
          auto t = taken.find(requests[i].idempotencyKey);
          if (requests[i].idempotencyKey.empty() || t == taken.end()) {
            kept.push_back(i);
            continue;
          }
          answer[i] = Answer::kEarlier;
          results[i] = EnqueueResult{t->second, false, false, ""};
        }
        fresh.swap(kept);
      }
    }
  }

  std::vector<OutgoingMessage> queued;
  queued.reserve(fresh.size());
  if (!fresh.empty()) {
    ArrayText id, to, text, report, modem, languages, coding, st, validity, sendAt, expiresAt, nextAttempt, error;
    for (size_t i : fresh) {
      OutgoingMessage m = QueuedMessage(requests[i], 0, nowMs);
      m.id = ids[i];
      id.Add(m.id);
      to.Add(m.to);
      text.Add(m.text);
      report.Add(m.report ? 1 : 0);
      modem.Add(m.modem);
      languages.Add(m.languages);
      coding.Add(m.coding);
      st.Add(m.status);
      validity.Add(m.validity);
      sendAt.Add(m.sendAtMs);
      expiresAt.Add(m.expiresAtMs);
      nextAttempt.Add(m.nextAttemptMs);
      error.Add(m.error);
      results[i] = EnqueueResult{m.id, true, false, m.status};
      queued.push_back(std::move(m));
    }
    c->Exec(
        "INSERT INTO outgoing(id, recipient, text, report, modem, languages, coding, status, validity, send_at_ms, "
        "expires_at_ms, next_attempt_ms, error, created_ms, updated_ms) SELECT u.*, $14, $14 FROM "
        "unnest($1::bigint[], $2::text[], $3::text[], $4::int[], $5::text[], $6::text[], $7::text[], $8::text[], "
        "$9::text[], $10::bigint[], $11::bigint[], $12::bigint[], $13::text[]) AS u",
        {id.Done(), to.Done(), text.Done(), report.Done(), modem.Done(), languages.Done(), coding.Done(), st.Done(),
         validity.Done(), sendAt.Done(), expiresAt.Done(), nextAttempt.Done(), error.Done(), nowMs});

    // The events last, under the event lock, in id order, each with one
    // delivery per webhook that takes status events.
    ArrayText data;
    for (const OutgoingMessage& m : queued) data.Add(MessageJsonText(m));
    c->Exec("SELECT pg_advisory_xact_lock($1)", {kEventLock});
    c->Exec(
        "WITH e AS (INSERT INTO events(type, data, created_ms) SELECT 'status', d, $2 FROM "
        "unnest($1::text[]) WITH ORDINALITY AS u(d, n) ORDER BY n RETURNING id) "
        "INSERT INTO webhook_deliveries(delivery_id, webhook, event_id, state, next_ms, created_ms, updated_ms) "
        "SELECT replace(gen_random_uuid()::text, '-', ''), w.url, e.id, 'pending', $2, $2, $2 FROM e, webhooks w "
        "WHERE w.active=1 AND (w.events & 2) != 0 ORDER BY e.id, w.url",
        {data.Done(), nowMs});
    c->Exec("NOTIFY velasms_events");
    c->Exec("NOTIFY velasms_queue");  // every node's senders look
  }
  tx.Commit();

  for (size_t i = 0; i < n; ++i) {
    if (answer[i] == Answer::kRefused) {
      results[i] = EnqueueResult{0, false, true, ""};
    } else if (answer[i] == Answer::kSameAs) {
      results[i] = EnqueueResult{results[sameAs[i]].id, false, false, ""};
    }
  }
  return results;
}

}  // namespace vela::gateway

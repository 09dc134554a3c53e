// Search in the SQLite store: the matching is search.h's, run by SQLite as
// the function vela_match over both tables, newest first.
#include <vector>

#include "gateway/search.h"
#include "gateway/sqlite_statement.h"

namespace vela::gateway {

namespace {

// vela_match(number, text, query): MatchesWords, the query's words worked
// out once per statement.
void MatchFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto text = [argv](int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_value_text(argv[i]));
    return p ? std::string(p, static_cast<size_t>(sqlite3_value_bytes(argv[i]))) : std::string();
  };
  using Words = std::vector<std::string>;
  const auto* words = static_cast<const Words*>(sqlite3_get_auxdata(ctx, 2));
  Words local;
  if (!words) {
    local = SearchWords(text(2));
    sqlite3_set_auxdata(ctx, 2, new Words(local), [](void* p) { delete static_cast<Words*>(p); });
    words = &local;
  }
  sqlite3_result_int(ctx, MatchesWords(*words, text(0), text(1)) ? 1 : 0);
}

}  // namespace

void RegisterSearchFunction(sqlite3* db) {
  sqlite3_create_function(db, "vela_match", 3, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, MatchFunction, nullptr,
                          nullptr);
}

SearchHits SqliteStore::Search(const std::string& query, int limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  SearchHits hits;
  if (SearchWords(query).empty()) return hits;
  std::vector<int64_t> ids;
  Statement out(db_, "SELECT id FROM outgoing WHERE vela_match(recipient, text, ?) ORDER BY id DESC LIMIT ?");
  out.Bind(1, query).Bind(2, static_cast<int64_t>(limit));
  while (out.Step()) ids.push_back(out.Int(0));
  for (int64_t id : ids) {
    if (auto m = LoadMessage(id)) hits.sent.push_back(std::move(*m));
  }
  ids.clear();
  Statement in(db_,
               "SELECT id FROM inbox WHERE deleted=0 AND vela_match(originator, text, ?) ORDER BY id DESC LIMIT ?");
  in.Bind(1, query).Bind(2, static_cast<int64_t>(limit));
  while (in.Step()) ids.push_back(in.Int(0));
  for (int64_t id : ids) {
    for (ReceivedMessage& m : LoadInbox("id = ? AND deleted = ?", id, 0)) hits.received.push_back(std::move(m));
  }
  return hits;
}

}  // namespace vela::gateway

#include "gateway/open_store.h"

#include "gateway/pg_connection.h"
#include "gateway/postgres_store.h"
#include "gateway/sqlite_store.h"

namespace vela::gateway {

std::unique_ptr<Store> OpenStore(const std::string& db, const std::function<void(const std::string&)>& log) {
  if (pg::IsConninfo(db)) return std::make_unique<PostgresStore>(db);
  auto sqlite = std::make_unique<SqliteStore>(db);
  if (!sqlite->Tightened().empty() && log) {
    std::string files;
    for (const std::string& f : sqlite->Tightened()) files += (files.empty() ? "" : ", ") + f;
    log("the database files " + files + " were open to other users; now to the owner only (0600)");
  }
  return sqlite;
}

std::string DisplayName(const std::string& db) { return pg::IsConninfo(db) ? pg::Redacted(db) : db; }

}  // namespace vela::gateway

#include "gateway/open_store.h"

#include "gateway/pg_connection.h"
#include "gateway/postgres_store.h"
#include "gateway/sqlite_store.h"

namespace vela::gateway {

std::unique_ptr<Store> OpenStore(const std::string& db) {
  if (pg::IsConninfo(db)) return std::make_unique<PostgresStore>(db);
  return std::make_unique<SqliteStore>(db);
}

std::string DisplayName(const std::string& db) { return pg::IsConninfo(db) ? pg::Redacted(db) : db; }

}  // namespace vela::gateway

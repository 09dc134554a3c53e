// Pieces of the SQLite store shared by its source files: the prepared
// statement, the transaction, and the search function registered on the
// connection.
#pragma once

#include <sqlite3.h>

#include <string>

#include "gateway/sqlite_store.h"

namespace vela::gateway {

// A prepared statement with positional binds (from 1) and column reads (from 0).
class SqliteStore::Statement {
 public:
  // `persistent`: kept for many uses (SQLite plans its memory so).
  Statement(sqlite3* db, const char* sql, bool persistent = false) : db_(db) {
    if (sqlite3_prepare_v3(db, sql, -1, persistent ? SQLITE_PREPARE_PERSISTENT : 0, &stmt_, nullptr) != SQLITE_OK) {
      throw StoreError(std::string("store: cannot prepare statement: ") + sqlite3_errmsg(db) + " (" + sql + ")");
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int i, int64_t v) {
    sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Statement& Bind(int i, const std::string& v) {
    sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // For running the statement again with new values.
  Statement& Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return *this;
  }
  // For running it again binding every parameter anew (the old values stay
  // bound until then).
  Statement& Rewind() {
    sqlite3_reset(stmt_);
    return *this;
  }
  // True while a row is available.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(std::string("store: statement failed: ") + sqlite3_errmsg(db_) + " (" + sqlite3_sql(stmt_) + ")");
  }
  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
  }
  bool IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT; rolled back when left by an exception.
class SqliteStore::Transaction {
 public:
  explicit Transaction(SqliteStore& store) : store_(store) { store_.Exec("BEGIN IMMEDIATE"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(store_.db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    store_.Exec("COMMIT");
    done_ = true;
  }

 private:
  SqliteStore& store_;
  bool done_ = false;
};

// vela_match(number, text, query) on `db`: whether every word of the query
// is in the number or the text (search.h).
void RegisterSearchFunction(sqlite3* db);

}  // namespace vela::gateway

// A thin layer over libpq: one connection with parameterised statements
// (text parameters, results read as text), a transaction guard, and a small
// pool of connections shared by threads. Errors become StoreError naming the
// statement and the server's reason.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/store.h"

struct pg_conn;
struct pg_result;

namespace vela::gateway::pg {

// One statement parameter: text, a number, or SQL NULL.
class Param {
 public:
  Param(const std::string& v) : value_(v) {}  // NOLINT(google-explicit-constructor)
  Param(const char* v) : value_(v) {}         // NOLINT(google-explicit-constructor)
  Param(int64_t v) : value_(std::to_string(v)) {}
  Param(int v) : value_(std::to_string(v)) {}
  Param(bool v) : value_(v ? "1" : "0") {}
  Param(std::nullopt_t) {}  // NOLINT(google-explicit-constructor)
  const char* Data() const { return value_ ? value_->c_str() : nullptr; }

 private:
  std::optional<std::string> value_;
};

class Result {
 public:
  explicit Result(pg_result* r);
  ~Result();
  Result(Result&& other) noexcept;
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  Result& operator=(Result&&) = delete;

  int Rows() const;
  bool IsNull(int row, int col) const;
  std::string Text(int row, int col) const;
  int64_t Int(int row, int col) const;  // 0 for NULL
  int Affected() const;                 // rows an INSERT/UPDATE/DELETE changed
  pg_result* Raw() const { return result_; }

  // One row, read by column alone (store_rows.h).
  class Row {
   public:
    Row(const Result& result, int row) : result_(result), row_(row) {}
    std::string Text(int col) const { return result_.Text(row_, col); }
    int64_t Int(int col) const { return result_.Int(row_, col); }

   private:
    const Result& result_;
    int row_;
  };
  Row At(int row) const { return Row(*this, row); }

 private:
  pg_result* result_;
};

class Connection {
 public:
  // Connects (URI or key=value conninfo). StoreError naming the database
  // (password hidden) and the reason.
  explicit Connection(const std::string& conninfo);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Result Exec(const std::string& sql, const std::vector<Param>& params = {});
  // Several statements without parameters (schema scripts).
  void Script(const std::string& sql);
  // The socket, to wait for notifications on.
  int Socket() const;
  // Reads what arrived on the socket; the channel names of notifications
  // received since the last call.
  std::vector<std::string> Notifications();
  bool Broken() const;

 private:
  std::string name_;
  pg_conn* conn_ = nullptr;
};

// BEGIN ... COMMIT; rolled back when left by an exception.
class Transaction {
 public:
  explicit Transaction(Connection& c, const char* begin = "BEGIN");
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Connection& conn_;
  bool done_ = false;
};

// Connections opened on demand up to a maximum; a thread waits when all are
// taken. A connection that broke (server restarted) is dropped, not reused.
class Pool {
 public:
  Pool(std::string conninfo, int maxConnections);

  class Lease {
   public:
    Lease(Pool& pool, std::unique_ptr<Connection> c) : pool_(pool), conn_(std::move(c)) {}
    ~Lease() { pool_.Give(std::move(conn_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Connection& operator*() { return *conn_; }
    Connection* operator->() { return conn_.get(); }

   private:
    Pool& pool_;
    std::unique_ptr<Connection> conn_;
  };
  Lease Take();
  const std::string& Conninfo() const { return conninfo_; }

 private:
  void Give(std::unique_ptr<Connection> c);
  std::string conninfo_;
  int max_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<Connection>> idle_;
  int open_ = 0;
};

// True when `db` names a PostgreSQL database (postgresql:// or postgres://
// URI, or libpq's key=value form) rather than an SQLite file.
bool IsConninfo(const std::string& db);

// The connection string as safe to show: the password replaced by "***".
std::string Redacted(const std::string& conninfo);

}  // namespace vela::gateway::pg

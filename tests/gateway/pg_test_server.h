// A throw-away PostgreSQL server for the tests: initdb in a temporary
// directory (as the "postgres" system user when the tests run as root, since
// the server refuses root), started on a free loopback port once per test
// binary, stopped and removed when the binary ends. Each test takes a fresh
// database of its own.
#pragma once

#include <string>

namespace vela::gateway {

class PgTestServer {
 public:
  // The server of this test binary, started on first use; nullptr when the
  // server binaries are not installed (`SkipReason` says so). Throws when
  // they are installed but the server does not start.
  static PgTestServer* Get();
  static const std::string& SkipReason();

  // A new empty database; its connection string in URI form.
  std::string NewDatabase();
  int Port() const { return port_; }

  ~PgTestServer();
  PgTestServer(const PgTestServer&) = delete;
  PgTestServer& operator=(const PgTestServer&) = delete;

 private:
  PgTestServer() = default;
  void Start(const std::string& bin);
  std::string AsServerUser(const std::string& command) const;

  std::string dir_, bin_;
  int port_ = 0;
  int databases_ = 0;
  bool running_ = false;
};

}  // namespace vela::gateway

// In a test body: the server, or GTEST_SKIP with the reason.
#define VELA_REQUIRE_POSTGRES()                                                                             \
  do {                                                                                                      \
    if (!::vela::gateway::PgTestServer::Get()) GTEST_SKIP() << ::vela::gateway::PgTestServer::SkipReason(); \
  } while (0)

#include "pg_test_server.h"

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "gateway/pg_connection.h"

namespace vela::gateway {

namespace {

std::string& Reason() {
  static std::string reason;
  return reason;
}

// The newest /usr/lib/postgresql/N/bin holding initdb (VELA_PG_BIN overrides).
std::string FindBinaries() {
  if (const char* env = std::getenv("VELA_PG_BIN")) return env;
  std::string best;
  int bestVersion = -1;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    const std::string bin = entry.path().string() + "/bin";
    int version = std::atoi(entry.path().filename().c_str());
    if (std::filesystem::exists(bin + "/initdb") && version > bestVersion) {
      best = bin;
      bestVersion = version;
    }
  }
  return best;
}

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace

const std::string& PgTestServer::SkipReason() { return Reason(); }

PgTestServer* PgTestServer::Get() {
  static std::once_flag once;
  static std::unique_ptr<PgTestServer> server;
  std::call_once(once, [] {
    const std::string bin = FindBinaries();
    if (bin.empty()) {
      Reason() = "PostgreSQL server binaries not installed (no /usr/lib/postgresql/*/bin/initdb): test skipped";
      return;
    }
    server.reset(new PgTestServer());
    server->Start(bin);
  });
  return server.get();
}

std::string PgTestServer::AsServerUser(const std::string& command) const {
  // The server refuses to run as root.
  if (::geteuid() == 0) return "runuser -u postgres -- " + command;
  return command;
}

void PgTestServer::Start(const std::string& bin) {
  bin_ = bin;
  std::string pattern = (std::filesystem::temp_directory_path() / "vela-pg-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  if (::geteuid() == 0) {
    passwd* pw = ::getpwnam("postgres");
    if (!pw) throw std::runtime_error("running as root and there is no postgres user to run the server as");
    if (::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) throw std::runtime_error("cannot chown " + dir_);
  }
  const std::string log = dir_ + "/server.log";
  const std::string init = AsServerUser(bin_ + "/initdb -D " + dir_ +
                                        "/data -A trust -U postgres -E UTF8 --locale=C "
                                        "--no-sync >" +
                                        dir_ + "/initdb.log 2>&1");
  if (std::system(init.c_str()) != 0) {
    throw std::runtime_error("initdb failed: " + init + " (see " + dir_ + "/initdb.log)");
  }
  // Durability is not under test here (the server is never killed): no syncs.
  for (int attempt = 0; attempt < 2 && !running_; ++attempt) {
    port_ = FreePort();
    const std::string start = AsServerUser(
        bin_ + "/pg_ctl -D " + dir_ + "/data -l " + log + " -w -t 60 -o \"-p " + std::to_string(port_) + " -k " + dir_ +
        " -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off -c max_connections=300\" start "
        ">/dev/null 2>&1");
    running_ = std::system(start.c_str()) == 0;
  }
  if (!running_) throw std::runtime_error("the PostgreSQL test server did not start (see " + log + ")");
}

PgTestServer::~PgTestServer() {
  if (running_) {
    std::system(AsServerUser(bin_ + "/pg_ctl -D " + dir_ + "/data -m immediate -w stop >/dev/null 2>&1").c_str());
  }
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

std::string PgTestServer::NewDatabase() {
  const std::string name = "t" + std::to_string(::getpid()) + "_" + std::to_string(++databases_);
  const std::string base = "postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/";
  pg::Connection admin(base + "postgres");
  admin.Exec("CREATE DATABASE " + name);
  return base + name;
}

}  // namespace vela::gateway

// The web console: its files (embedded at build time), sign-in with the API
// token to a server-side session (HttpOnly, SameSite=Strict cookie, idle
// expiry), the CSRF token that state-changing requests under a session carry
// in X-CSRF-Token, the sign-in rate limit per address, and the security
// headers of every answer.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace vela::gateway {

// Sessions by id, in memory (a restart signs everyone out). Times are
// milliseconds of any monotonic origin the caller keeps to.
class SessionTable {
 public:
  struct Session {
    std::string csrf;
    int64_t lastUsedMs = 0;
  };
  static constexpr size_t kMaxSessions = 1000;  // the least recently used goes first

  explicit SessionTable(int64_t idleMs) : idleMs_(idleMs) {}
  // A new session: its id (the cookie's value) and CSRF token, both random.
  std::pair<std::string, std::string> Create(int64_t nowMs);
  // The session's CSRF token if `id` names a live session, which is then
  // used now; empty otherwise (an expired one is removed).
  std::string Use(const std::string& id, int64_t nowMs);
  void End(const std::string& id);
  size_t Size();

 private:
  void DropExpired(int64_t nowMs);
  int64_t idleMs_;
  std::mutex mutex_;
  std::map<std::string, Session> sessions_;
};

// Wrong tokens per address: after kMaxFailures within kWindowMs, every
// sign-in from that address is refused for kWindowMs from the last failure
// counted.
class SignInLimiter {
 public:
  static constexpr int kMaxFailures = 5;
  static constexpr int64_t kWindowMs = 60 * 1000;
  static constexpr size_t kMaxAddresses = 10000;

  // 0 when `address` may try now, else the seconds to wait (at least 1).
  int64_t RetryAfterSeconds(const std::string& address, int64_t nowMs);
  void Failed(const std::string& address, int64_t nowMs);

 private:
  struct Entry {
    std::vector<int64_t> failures;  // times within the window, oldest first
    int64_t blockedUntilMs = 0;
  };
  void Prune(Entry& e, int64_t nowMs);
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

// One embedded file of the console.
struct ConsoleAsset {
  const char* name;  // "index.html", "app.js", ...
  const unsigned char* data;
  size_t size;
};
const ConsoleAsset* FindConsoleAsset(const std::string& name);

class WebConsole {
 public:
  enum class Access { kAllowed, kNoSession, kBadCsrf };
  static constexpr const char* kCookie = "velasms_session";

  WebConsole(std::string token, int sessionHours);

  // Paths served without the token: the console's files and sign-in.
  static bool IsPublic(const httplib::Request& req);
  // A request without a bearer token: allowed under a live session (and,
  // unless it only reads, with that session's CSRF token).
  Access Check(const httplib::Request& req);
  // Content-Security-Policy and friends, on every answer.
  static void AddSecurityHeaders(httplib::Response& res);
  // GET /, GET /console/FILE, GET/POST/DELETE /console/session.
  void Register(httplib::Server& server);

 private:
  std::string SessionId(const httplib::Request& req) const;
  std::string token_;
  int sessionHours_;
  SessionTable sessions_;
  SignInLimiter limiter_;
};

// Monotonic milliseconds (session expiry and the rate limit).
int64_t SteadyNowMs();

}  // namespace vela::gateway

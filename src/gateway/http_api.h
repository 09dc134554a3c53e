// The gateway's HTTP API (cpp-httplib): the outgoing queue, the inbox, the
// event stream, the modems, health and metrics, and the web console. Every
// request carries the bearer token or a console session; every error is a
// 4xx/5xx with a JSON body {"error": ...}. Slow clients are bounded by read and write
// time-outs, bodies by a size limit, event streams by a count.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "gateway/group_commit.h"
#include "gateway/service.h"
#include "gateway/store.h"

namespace httplib {
class Server;
}

namespace vela::gateway {

// A request the API refuses: status and message.
struct ApiError : std::runtime_error {
  ApiError(int code, const std::string& text) : std::runtime_error(text), status(code), message(text) {}
  int status;
  std::string message;
};

// The body of POST /v1/messages (also taken over MQTT) as a request for the
// queue, checked and normalised; ApiError when refused.
OutgoingRequest ParseSubmit(const std::string& body, ModemDirectory& modems, int maxParts);
// An idempotency key as given; ApiError naming `what` when it is too long.
std::string CheckedKey(const std::string& key, const char* what);

// A modem as /v1/modems shows it, with its limits' use (ModemLimits).
nlohmann::json ModemJson(const ModemInfo& modem, int64_t queueLength, const LimitStatus& limits = {});
// How much of its limits the modem has used by `nowMs`, from the store's counts.
LimitStatus ModemLimits(Store& store, const ModemInfo& modem, int64_t nowMs);

class WebConsole;

struct ApiSettings {
  std::string token;  // required in "Authorization: Bearer <token>"
  size_t maxBodyBytes = 256 * 1024;
  int readTimeoutSeconds = 3;  // a client must send its request within this (also bounds the stop)
  int writeTimeoutSeconds = 3;
  int threads = 64;              // requests served at once (event streams included)
  int maxEventStreams = 32;      // a closed stream is noticed at its next write
  int eventKeepAliveMs = 15000;  // comment line on an idle stream, to notice closed clients
  int maxParts = 10;             // longest message accepted, in parts
  int alertRepeatMinutes = 10;   // POST /v1/alertmanager: a repeated group is not resent within this
  std::string tlsCert, tlsKey;   // PEM files: HTTPS instead of HTTP (gateway/tls.h)
  int64_t maxQueue = 100000;     // messages waiting beyond which POST answers 429 (0: no limit)
  int retryAfterSeconds = 5;     // Retry-After of a 429
  int sessionHours = 12;         // a console session ends after this long unused
};

class HttpApi {
 public:
  HttpApi(Store& store, ModemDirectory& modems, EventNotifier& events, Metrics& metrics, ApiSettings settings);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds ADDRESS:PORT (port 0: any free port). Throws std::runtime_error
  // naming the address and the reason.
  void Bind(const std::string& host, int port);
  int Port() const { return port_; }
  // The server, for other parts of the gateway to add their routes before Run.
  httplib::Server& Server() { return *server_; }
  // Serves until Stop (blocking; run it on its own thread).
  void Run();
  // Stops taking connections and ends the event streams; Run returns once
  // the requests being served are answered.
  void Stop();
  // Transactions the submissions have shared so far (the benchmark).
  uint64_t Commits() { return commits_->Commits(); }

 private:
  void Routes();
  Store& store_;
  ModemDirectory& modems_;
  EventNotifier& events_;
  Metrics& metrics_;
  ApiSettings settings_;
  std::unique_ptr<httplib::Server> server_;
  std::unique_ptr<GroupCommit> commits_;
  std::unique_ptr<WebConsole> console_;
  int port_ = 0;
  int listenFd_ = -1;  // the listening socket, once bound
  std::atomic<int> streams_{0};
  // Run and Stop may race at start: a Stop before httplib marks itself
  // running would be lost and Run would serve on.
  std::mutex runMutex_;
  bool stopRequested_ = false;  // guarded by runMutex_
  bool runEntered_ = false;     // guarded by runMutex_
  std::atomic<bool> runDone_{false};
};

// Splits "HOST:PORT" ("[::1]:80" for IPv6); throws std::invalid_argument.
void ParseListenAddress(const std::string& text, std::string& host, int& port);

}  // namespace vela::gateway

#include "common/hex.h"
#include "gateway/web_console.h"

#include <fcntl.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "gateway/records_json.h"

namespace vela::gateway {

using nlohmann::json;

int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {

// 32 random octets as hex (256 bits: not guessable).
std::string RandomHex() {
  unsigned char random[32];
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && ::read(fd, random, sizeof random) == static_cast<ssize_t>(sizeof random);
  if (fd >= 0) ::close(fd);
  if (!ok) throw std::runtime_error("cannot read /dev/urandom for a session id");
  return hex::LowerFromOctets(random, sizeof random);
}

// Compares in a time that does not depend on where the first difference is.
bool SameSecret(const std::string& given, const std::string& expected) {
  if (expected.empty()) return false;
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < given.size(); ++i) {
    diff |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
  }
  return diff == 0;
}

void Json(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(DumpJson(body) + "\n", "application/json");
}

const char* ContentType(const std::string& name) {
  auto ends = [&name](const char* suffix) {
    const std::string s = suffix;
    return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
  };
  if (ends(".html")) return "text/html; charset=utf-8";
  if (ends(".css")) return "text/css; charset=utf-8";
  if (ends(".js")) return "text/javascript; charset=utf-8";
  if (ends(".svg")) return "image/svg+xml";
  if (ends(".png")) return "image/png";
  return "application/octet-stream";
}

bool ServeAsset(const std::string& name, httplib::Response& res) {
  const ConsoleAsset* asset = FindConsoleAsset(name);
  if (!asset) return false;
  res.set_header("Cache-Control", "no-cache");
  res.set_content(reinterpret_cast<const char*>(asset->data), asset->size, ContentType(name));
  return true;
}

}  // namespace

// --- sessions ---------------------------------------------------------------------

std::pair<std::string, std::string> SessionTable::Create(int64_t nowMs) {
  std::string id = RandomHex();
  std::string csrf = RandomHex();
  std::lock_guard<std::mutex> lock(mutex_);
  DropExpired(nowMs);
  if (sessions_.size() >= kMaxSessions) {
    auto oldest = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      if (it->second.lastUsedMs < oldest->second.lastUsedMs) oldest = it;
    }
    sessions_.erase(oldest);
  }
  sessions_[id] = Session{csrf, nowMs};
  return {id, csrf};
}

std::string SessionTable::Use(const std::string& id, int64_t nowMs) {
  if (id.empty()) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return {};
  if (nowMs - it->second.lastUsedMs >= idleMs_) {
    sessions_.erase(it);
    return {};
  }
  it->second.lastUsedMs = nowMs;
  return it->second.csrf;
}

void SessionTable::End(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(id);
}

size_t SessionTable::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.size();
}

void SessionTable::DropExpired(int64_t nowMs) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = nowMs - it->second.lastUsedMs >= idleMs_ ? sessions_.erase(it) : std::next(it);
  }
}

// --- sign-in limit ----------------------------------------------------------------

void SignInLimiter::Prune(Entry& e, int64_t nowMs) {
  size_t keep = 0;
  while (keep < e.failures.size() && nowMs - e.failures[keep] >= kWindowMs) ++keep;
  e.failures.erase(e.failures.begin(), e.failures.begin() + static_cast<std::ptrdiff_t>(keep));
}

int64_t SignInLimiter::RetryAfterSeconds(const std::string& address, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(address);
  if (it == entries_.end() || it->second.blockedUntilMs <= nowMs) return 0;
  return (it->second.blockedUntilMs - nowMs + 999) / 1000;
}

void SignInLimiter::Failed(const std::string& address, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.size() >= kMaxAddresses && !entries_.count(address)) {
    // Forget addresses that are neither blocked nor near their limit.
    for (auto it = entries_.begin(); it != entries_.end();) {
      Prune(it->second, nowMs);
      const bool idle = it->second.failures.empty() && it->second.blockedUntilMs <= nowMs;
      it = idle ? entries_.erase(it) : std::next(it);
    }
    if (entries_.size() >= kMaxAddresses) entries_.erase(entries_.begin());
  }
  Entry& e = entries_[address];
  Prune(e, nowMs);
  e.failures.push_back(nowMs);
  if (static_cast<int>(e.failures.size()) >= kMaxFailures) {
    e.blockedUntilMs = nowMs + kWindowMs;
    e.failures.clear();
  }
}

// --- the console --------------------------------------------------------------------

WebConsole::WebConsole(std::string token, int sessionHours)
    : token_(std::move(token)),
      sessionHours_(sessionHours),
      sessions_(static_cast<int64_t>(sessionHours) * 3600 * 1000) {}

bool WebConsole::IsPublic(const httplib::Request& req) {
  if (req.path == "/") return req.method == "GET" || req.method == "HEAD";
  if (req.path == "/console/session") return req.method != "DELETE";
  return req.path.compare(0, 9, "/console/") == 0 && (req.method == "GET" || req.method == "HEAD");
}

std::string WebConsole::SessionId(const httplib::Request& req) const {
  const std::string cookies = req.get_header_value("Cookie");
  const std::string key = std::string(kCookie) + "=";
  size_t at = 0;
  while (at < cookies.size()) {
    while (at < cookies.size() && (cookies[at] == ' ' || cookies[at] == ';')) ++at;
    size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    if (cookies.compare(at, key.size(), key) == 0) return cookies.substr(at + key.size(), end - at - key.size());
    at = end;
  }
  return {};
}

WebConsole::Access WebConsole::Check(const httplib::Request& req) {
  const std::string csrf = sessions_.Use(SessionId(req), SteadyNowMs());
  if (csrf.empty()) return Access::kNoSession;
  if (req.method == "GET" || req.method == "HEAD") return Access::kAllowed;
  return SameSecret(req.get_header_value("X-CSRF-Token"), csrf) ? Access::kAllowed : Access::kBadCsrf;
}

void WebConsole::AddSecurityHeaders(httplib::Response& res) {
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
                 "form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("X-Frame-Options", "DENY");
}

void WebConsole::Register(httplib::Server& s) {
  s.Get("/", [](const httplib::Request&, httplib::Response& res) { ServeAsset("index.html", res); });

  s.Get(R"(/console/([A-Za-z0-9_-]+\.(?:html|css|js|svg|png)))",
        [](const httplib::Request& req, httplib::Response& res) {
          if (!ServeAsset(req.matches[1], res)) {
            Json(res, 404, json{{"error", "no console file " + std::string(req.matches[1])}});
          }
        });

  // Whether this browser holds a live session, and its CSRF token.
  s.Get("/console/session", [this](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    const std::string csrf = sessions_.Use(SessionId(req), SteadyNowMs());
    json body{{"signed_in", !csrf.empty()}, {"session_hours", sessionHours_}};
    if (!csrf.empty()) body["csrf"] = csrf;
    Json(res, 200, body);
  });

  // Sign-in: {"token": "..."} as JSON (a cross-site form cannot send that
  // content type without the browser asking first).
  s.Post("/console/session", [this](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    const int64_t now = SteadyNowMs();
    if (const int64_t wait = limiter_.RetryAfterSeconds(req.remote_addr, now)) {
      res.set_header("Retry-After", std::to_string(wait));
      Json(res, 429,
           json{{"error", "too many wrong tokens from this address; try again in " + std::to_string(wait) + " s"}});
      return;
    }
    const std::string type = req.get_header_value("Content-Type");
    if (type.compare(0, 16, "application/json") != 0) {
      Json(res, 415, json{{"error", "sign-in takes a JSON body {\"token\": ...} (Content-Type: application/json)"}});
      return;
    }
    const json body = json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("token") || !body["token"].is_string()) {
      Json(res, 400, json{{"error", "sign-in takes a JSON body {\"token\": \"...\"}"}});
      return;
    }
    if (!SameSecret(body["token"].get<std::string>(), token_)) {
      limiter_.Failed(req.remote_addr, now);
      Json(res, 401, json{{"error", "wrong token"}});
      return;
    }
    const auto [id, csrf] = sessions_.Create(now);
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                                     std::to_string(static_cast<int64_t>(sessionHours_) * 3600));
    Json(res, 200, json{{"signed_in", true}, {"csrf", csrf}, {"session_hours", sessionHours_}});
  });

  // Sign-out (reached only through Check: a live session and its CSRF token).
  s.Delete("/console/session", [this](const httplib::Request& req, httplib::Response& res) {
    sessions_.End(SessionId(req));
    res.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    Json(res, 200, json{{"signed_in", false}});
  });
}

}  // namespace vela::gateway

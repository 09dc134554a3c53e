#include "gateway/http_api.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "coding/text_coding.h"
#include "coding/validity.h"
#include "gateway/alertmanager.h"
#include "gateway/console_api.h"
#include "gateway/records_json.h"
#include "gateway/tls.h"
#include "gateway/ussd_api.h"
#include "gateway/web_console.h"
#include "common/utf8.h"

namespace vela::gateway {

using nlohmann::json;

namespace {

constexpr int kMaxListLimit = 1000;
constexpr size_t kMaxBatch = 1000;

void SendJson(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(DumpJson(body) + "\n", "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
  SendJson(res, status, json{{"error", message}});
}

// Compares without stopping at the first difference, so the time taken says
// nothing about how much of a guess was right.
bool SameToken(const std::string& given, const std::string& expected) {
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < given.size(); ++i) {
    diff |= static_cast<unsigned char>(given[i] ^ expected[i % (expected.empty() ? 1 : expected.size())]);
  }
  return diff == 0 && !expected.empty();
}

// Non-negative integer query parameter; `fallback` when absent.
int64_t QueryInteger(const httplib::Request& req, const char* name, int64_t fallback, int64_t max) {
  if (!req.has_param(name)) return fallback;
  const std::string text = req.get_param_value(name);
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw ApiError{400, std::string("query parameter ") + name + " must be a non-negative integer, not '" + text + "'"};
  }
  const int64_t value = std::stoll(text);
  if (value > max) throw ApiError{400, std::string("query parameter ") + name + " is at most " + std::to_string(max)};
  return value;
}

int64_t PathId(const httplib::Request& req) {
  const std::string text = req.matches[1];
  if (text.size() > 18) throw ApiError{404, "no message with id " + text};
  return std::stoll(text);
}

const json* Field(const json& body, const char* name) {
  auto it = body.find(name);
  return it == body.end() || it->is_null() ? nullptr : &*it;
}

std::string StringField(const json& body, const char* name, bool required) {
  const json* f = Field(body, name);
  if (!f) {
    if (required) throw ApiError{400, std::string("missing field \"") + name + "\""};
    return {};
  }
  if (!f->is_string()) throw ApiError{400, std::string("field \"") + name + "\" must be a string"};
  return f->get<std::string>();
}

json ParseBody(const std::string& body) {
  json doc;
  try {
    doc = json::parse(body);
  } catch (const json::parse_error& e) {
    throw ApiError{400, std::string("malformed JSON: ") + e.what()};
  }
  if (!doc.is_object()) throw ApiError{400, "the body must be a JSON object"};
  return doc;
}

// One message of POST /v1/messages (the body) or of /batch (an item).
OutgoingRequest ParseItem(const json& doc, ModemDirectory& modems, int maxParts) {
  if (!doc.is_object()) throw ApiError{400, "a message must be a JSON object"};
  OutgoingRequest r;
  try {
    r.to = coding::NormaliseDestination(StringField(doc, "to", true));
  } catch (const coding::ETextCodingError& e) {
    throw ApiError{422, e.what()};
  }
  r.text = StringField(doc, "text", true);
  if (const json* report = Field(doc, "report")) {
    if (!report->is_boolean()) throw ApiError{400, "field \"report\" must be true or false"};
    r.report = report->get<bool>();
  }
  r.modem = StringField(doc, "modem", false);
  if (!r.modem.empty() && !modems.Has(r.modem)) {
    throw ApiError{422, r.modem.compare(0, 6, kGroupPrefix) == 0 ? "no modem is in group \"" + r.modem.substr(6) + "\""
                                                                 : "unknown modem \"" + r.modem + "\""};
  }

  std::vector<int> languages;
  if (const json* lang = Field(doc, "languages")) {
    std::string list;
    if (lang->is_string()) {
      list = lang->get<std::string>();
    } else if (lang->is_array()) {
      for (const json& item : *lang) {
        if (!item.is_string()) throw ApiError{400, "field \"languages\" must be a string or a list of strings"};
        list += (list.empty() ? "" : ",") + item.get<std::string>();
      }
    } else {
      throw ApiError{400, "field \"languages\" must be a string or a list of strings"};
    }
    try {
      languages = coding::ParseLanguageList(list);
    } catch (const coding::ETextCodingError& e) {
      throw ApiError{422, e.what()};
    }
    for (int l : languages) r.languages += (r.languages.empty() ? "" : ",") + coding::LanguageCode(l);
  }
  coding::Coding coding = coding::Coding::kAuto;
  if (const json* c = Field(doc, "coding")) {
    if (!c->is_string()) throw ApiError{400, "field \"coding\" must be a string"};
    try {
      coding = coding::ParseCoding(c->get<std::string>());
    } catch (const coding::ETextCodingError& e) {
      throw ApiError{422, e.what()};
    }
  }
  r.coding = coding::CodingName(coding);
  r.validity = "max";
  if (const json* v = Field(doc, "validity")) {
    if (!v->is_string()) throw ApiError{400, "field \"validity\" must be a string such as \"12h\", \"3d\" or \"max\""};
    try {
      coding::ParseValidity(v->get<std::string>());
    } catch (const coding::ETextCodingError& e) {
      throw ApiError{422, e.what()};
    }
    r.validity = v->get<std::string>();
  }
  auto time = [&](const char* name) -> int64_t {
    const std::string text = StringField(doc, name, false);
    if (text.empty()) return 0;
    const std::optional<int64_t> ms = ParseTime(text);
    if (!ms || *ms <= 0) {
      throw ApiError{400, std::string("field \"") + name +
                              "\" must be an RFC 3339 time such as "
                              "\"2026-12-24T18:00:00+01:00\", not '" +
                              text + "'"};
    }
    return *ms;
  };
  r.sendAtMs = time("send_at");
  r.expiresAtMs = time("expires_at");
  if (r.expiresAtMs > 0 && !Field(doc, "validity")) {
    // The service centre keeps trying no longer than expires_at (from when
    // the message can first go out; at least 5 minutes, at most 63 weeks).
    const int64_t from = std::max(NowMs(), r.sendAtMs);
    const int64_t minutes = std::clamp<int64_t>((r.expiresAtMs - from + 59999) / 60000, 5, 63 * 7 * 24 * 60);
    r.validity = std::to_string(minutes) + "m";
  }
  // The text must fit the message's parts; the modem's default languages can
  // only make it shorter, so the check without them is the strict one.
  try {
    const coding::CodingPlan plan = coding::PlanText(WideFromUtf8(r.text), coding, languages);
    if (plan.parts > maxParts) {
      throw ApiError{422, "the text needs " + std::to_string(plan.parts) + " parts (" +
                              coding::CodingName(plan.coding) + "); at most " + std::to_string(maxParts) + " are sent"};
    }
  } catch (const coding::ETextCodingError& e) {
    throw ApiError{422, e.what()};
  }
  return r;
}

// The store's answer to a change of message `id` as the API's error, if any;
// `refusal` says which messages the change applies to.
void CheckChange(Store& store, ChangeResult result, int64_t id, const char* refusal) {
  if (result == ChangeResult::kNotFound) throw ApiError{404, "no message with id " + std::to_string(id)};
  if (result == ChangeResult::kWrongState) {
    auto m = store.GetMessage(id);
    throw ApiError{409, "message " + std::to_string(id) + " is " + (m ? m->status : "gone") + "; " + refusal};
  }
}

}  // namespace

std::string CheckedKey(const std::string& key, const char* what) {
  constexpr size_t kMaxIdempotencyKey = 200;
  if (key.size() > kMaxIdempotencyKey) {
    throw ApiError{400, std::string(what) + " is longer than " + std::to_string(kMaxIdempotencyKey) + " characters"};
  }
  return key;
}

OutgoingRequest ParseSubmit(const std::string& body, ModemDirectory& modems, int maxParts) {
  return ParseItem(ParseBody(body), modems, maxParts);
}

LimitStatus ModemLimits(Store& store, const ModemInfo& m, int64_t nowMs) {
  if (!m.limits.Any()) return {};
  const CalendarBounds calendar = CalendarAround(nowMs);
  return EvaluateLimits(m.limits, store.CountSends(m.name, m.limits.rate, calendar.dayStartMs, calendar.monthStartMs),
                        calendar, nowMs);
}

json ModemJson(const ModemInfo& m, int64_t queueLength, const LimitStatus& limits) {
  json o = json::object();
  o["name"] = m.name;
  o["state"] = m.state;
  o["manufacturer"] = m.manufacturer.empty() ? json(nullptr) : json(m.manufacturer);
  o["model"] = m.model.empty() ? json(nullptr) : json(m.model);
  o["signal_dbm"] = m.signalDbm ? json(*m.signalDbm) : json(nullptr);
  o["operator"] = m.operatorName.empty() ? json(nullptr) : json(m.operatorName);
  o["registration"] = m.registration.empty() ? json(nullptr) : json(m.registration);
  o["queue_length"] = queueLength;
  o["last_error"] = m.lastError.empty() ? json(nullptr) : json(m.lastError);
  if (!m.node.empty()) o["node"] = m.node;
  o["group"] = m.group.empty() ? json(nullptr) : json(m.group);
  o["routes"] = m.routes;
  if (m.limits.Any()) {
    // Each limit with what is used of it and when that changes: the oldest
    // send leaving the rate's window, the next day or month starting.
    json l = json::object();
    auto use = [](const LimitUse& u) {
      return json{{"limit", u.limit}, {"used", u.used}, {"resets_at", TimeJson(u.resetsAtMs)}};
    };
    if (limits.rate.limit > 0) {
      l["rate"] = use(limits.rate);
      l["rate"]["per"] = m.limits.windowMs == 60000 ? "min" : "h";
    }
    if (limits.daily.limit > 0) l["daily"] = use(limits.daily);
    if (limits.monthly.limit > 0) l["monthly"] = use(limits.monthly);
    l["blocked_until"] = TimeJson(limits.blockedUntilMs);
    o["limits"] = l;
  }
  return o;
}

void ParseListenAddress(const std::string& text, std::string& host, int& port) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    throw std::invalid_argument("listen address must be HOST:PORT, not '" + text + "'");
  }
  host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string digits = text.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > 65535) {
    throw std::invalid_argument("listen address '" + text + "': port must be 0..65535");
  }
  port = std::stoi(digits);
}

HttpApi::HttpApi(Store& store, ModemDirectory& modems, EventNotifier& events, Metrics& metrics, ApiSettings settings)
    : store_(store),
      modems_(modems),
      events_(events),
      metrics_(metrics),
      settings_(std::move(settings)),
      server_(MakeServer(settings_.tlsCert, settings_.tlsKey)),
      commits_(std::make_unique<GroupCommit>(store, settings_.maxQueue)) {
  const int threads = settings_.threads;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  server_->set_read_timeout(settings_.readTimeoutSeconds, 0);
  server_->set_write_timeout(settings_.writeTimeoutSeconds, 0);
  server_->set_keep_alive_timeout(settings_.readTimeoutSeconds);
  // httplib closes a keep-alive connection after 5 requests by default, so a
  // busy client paid a new connection every fifth request. Each connection
  // holds one of the threads while open; ending it now and then still lets
  // connections beyond the threads have their turn.
  server_->set_keep_alive_max_count(1000);
  server_->set_payload_max_length(settings_.maxBodyBytes);
  // Answers go out at once instead of waiting for the client's delayed ACK (Nagle).
  server_->set_tcp_nodelay(true);
  // The address is this process's alone: no SO_REUSEPORT (httplib's default),
  // with which a second gateway on it would silently get every other
  // connection. SO_REUSEADDR only lets a restart bind while the old
  // connections linger in TIME_WAIT.
  server_->set_socket_options([this](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (listenFd_ < 0) listenFd_ = sock;
  });
  Routes();
}

HttpApi::~HttpApi() { Stop(); }

void HttpApi::Bind(const std::string& host, int port) {
  const std::string address =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  errno = 0;
  const bool bound = port == 0 ? (port_ = server_->bind_to_any_port(host)) > 0 : server_->bind_to_port(host, port);
  if (!bound) {
    const int error = errno;
    std::string why = "no such local address";  // the name did not resolve
    if (error == EADDRINUSE) {
      why = "address already in use";
    } else if (error != 0) {
      why = std::strerror(error);
    }
    throw std::runtime_error("cannot listen on " + address + ": " + why);
  }
  if (port != 0) port_ = port;
  // httplib listens with a backlog of 5: more clients connecting at once
  // have their handshakes dropped and wait for the retransmission, long
  // enough for their reads to time out. Listening again sets the backlog.
  if (listenFd_ >= 0) ::listen(listenFd_, SOMAXCONN);
}

void HttpApi::Run() {
  {
    std::lock_guard<std::mutex> lock(runMutex_);
    if (stopRequested_) return;
    runEntered_ = true;
  }
  server_->listen_after_bind();
  runDone_ = true;
}

void HttpApi::Stop() {
  events_.Shutdown();
  if (!server_) return;
  bool entered = false;
  {
    std::lock_guard<std::mutex> lock(runMutex_);
    stopRequested_ = true;
    entered = runEntered_;
  }
  // Run is past its check: httplib ignores stop() until it is listening,
  // which is a few instructions away (only a stop right at start waits here).
  while (entered && !server_->is_running() && !runDone_) std::this_thread::yield();
  server_->stop();
}

void HttpApi::Routes() {
  httplib::Server& s = *server_;

  console_ = std::make_unique<WebConsole>(settings_.token, settings_.sessionHours);
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    WebConsole::AddSecurityHeaders(res);
    if (WebConsole::IsPublic(req)) return httplib::Server::HandlerResponse::Unhandled;
    const std::string auth = req.get_header_value("Authorization");
    if (auth.empty()) {
      switch (console_->Check(req)) {
        case WebConsole::Access::kAllowed:
          return httplib::Server::HandlerResponse::Unhandled;
        case WebConsole::Access::kBadCsrf:
          SendError(res, 403, "missing or wrong X-CSRF-Token for this console session");
          return httplib::Server::HandlerResponse::Handled;
        case WebConsole::Access::kNoSession:
          break;
      }
    }
    const std::string prefix = "Bearer ";
    if (auth.compare(0, prefix.size(), prefix) != 0 || !SameToken(auth.substr(prefix.size()), settings_.token)) {
      res.set_header("WWW-Authenticate", "Bearer");
      SendError(res, 401, auth.empty() ? "missing bearer token (Authorization: Bearer ...)" : "wrong bearer token");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // Errors httplib answers itself (unknown path, body too large, bad request line).
  s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    std::string message;
    switch (res.status) {
      case 404:
        message = "no such endpoint: " + req.method + " " + req.path;
        break;
      case 413:
        message = "request body too large";
        break;
      case 400:
        message = "malformed HTTP request";
        break;
      default:
        message = "HTTP error " + std::to_string(res.status);
    }
    SendError(res, res.status, message);
  });
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    try {
      std::rethrow_exception(ep);
    } catch (const ApiError& e) {
      SendError(res, e.status, e.message);
    } catch (const std::exception& e) {
      SendError(res, 500, std::string("internal error: ") + e.what());
    } catch (...) {
      SendError(res, 500, "internal error");
    }
  });

  s.Post("/v1/messages", [this](const httplib::Request& req, httplib::Response& res) {
    OutgoingRequest r = ParseItem(ParseBody(req.body), modems_, settings_.maxParts);
    r.idempotencyKey = CheckedKey(req.get_header_value("Idempotency-Key"), "Idempotency-Key");
    const EnqueueResult e = commits_->Enqueue({r}, NowMs()).front();
    if (e.refused) {
      res.set_header("Retry-After", std::to_string(settings_.retryAfterSeconds));
      throw ApiError{
          429, "the queue is full (" + std::to_string(settings_.maxQueue) + " messages waiting); try again later"};
    }
    std::string st = e.status;
    if (e.created) {
      events_.Notify();
      modems_.WakeSenders();
    } else if (auto m = store_.GetMessage(e.id)) {
      st = m->status;
    }
    SendJson(res, 202, json{{"id", e.id}, {"status", st}});
  });

  // Up to kMaxBatch messages in one transaction; an item that is not valid
  // gets its error in place and the others are queued.
  s.Post("/v1/messages/batch", [this](const httplib::Request& req, httplib::Response& res) {
    const json doc = ParseBody(req.body);
    const json* items = Field(doc, "messages");
    if (!items || !items->is_array()) throw ApiError{400, "field \"messages\" must be a list of messages"};
    if (items->size() > kMaxBatch) {
      throw ApiError{
          413, "at most " + std::to_string(kMaxBatch) + " messages per batch, not " + std::to_string(items->size())};
    }
    std::vector<json> answers(items->size());
    std::vector<OutgoingRequest> requests;
    std::vector<size_t> positions;
    for (size_t i = 0; i < items->size(); ++i) {
      try {
        OutgoingRequest r = ParseItem((*items)[i], modems_, settings_.maxParts);
        r.idempotencyKey = CheckedKey(StringField((*items)[i], "idempotency_key", false), "idempotency_key");
        requests.push_back(std::move(r));
        positions.push_back(i);
      } catch (const ApiError& e) {
        answers[i] = json{{"error", e.message}};
      }
    }
    const std::vector<EnqueueResult> results = commits_->Enqueue(requests, NowMs());
    bool created = false;
    size_t refused = 0;
    for (size_t k = 0; k < results.size(); ++k) {
      const EnqueueResult& e = results[k];
      if (e.refused) {
        ++refused;
        answers[positions[k]] = json{{"error", "the queue is full; try again later"}};
        continue;
      }
      created = created || e.created;
      std::string st = e.status;
      if (!e.created) {
        if (auto m = store_.GetMessage(e.id)) st = m->status;
      }
      answers[positions[k]] = json{{"id", e.id}, {"status", st}};
    }
    if (created) {
      events_.Notify();
      modems_.WakeSenders();
    }
    if (refused > 0) res.set_header("Retry-After", std::to_string(settings_.retryAfterSeconds));
    if (refused > 0 && refused == requests.size()) {
      throw ApiError{
          429, "the queue is full (" + std::to_string(settings_.maxQueue) + " messages waiting); try again later"};
    }
    SendJson(res, 202, json{{"results", answers}});
  });

  s.Get("/v1/messages", [this](const httplib::Request& req, httplib::Response& res) {
    MessageFilter f;
    f.status = req.has_param("status") ? req.get_param_value("status") : "";
    static const char* const kStatuses[] = {
        status::kQueued, status::kSending, status::kSent,      status::kDelivered, status::kNotDelivered,
        status::kFailed, status::kUnknown, status::kCancelled, status::kScheduled, status::kExpired};
    if (!f.status.empty()) {
      bool known = false;
      for (const char* st : kStatuses) known = known || f.status == st;
      if (!known) throw ApiError{400, "unknown status '" + f.status + "'"};
    }
    f.sinceId = QueryInteger(req, "since", 0, INT64_MAX / 2);
    f.limit = static_cast<int>(QueryInteger(req, "limit", 100, kMaxListLimit));
    json list = json::array();
    for (const OutgoingMessage& m : store_.ListMessages(f)) list.push_back(MessageJson(m));
    SendJson(res, 200, json{{"messages", list}});
  });

  s.Get(R"(/v1/messages/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
    const int64_t id = PathId(req);
    auto m = store_.GetMessage(id);
    if (!m) throw ApiError{404, "no message with id " + std::to_string(id)};
    SendJson(res, 200, MessageJson(*m));
  });

  s.Delete(R"(/v1/messages/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
    const int64_t id = PathId(req);
    CheckChange(store_, store_.CancelMessage(id, NowMs()), id, "only queued and scheduled messages can be deleted");
    events_.Notify();
    SendJson(res, 200, json{{"id", id}, {"status", status::kCancelled}});
  });

  s.Post(R"(/v1/messages/(\d+)/retry)", [this](const httplib::Request& req, httplib::Response& res) {
    const int64_t id = PathId(req);
    CheckChange(store_, store_.RetryMessage(id, NowMs()), id, "only unknown and failed messages are retried");
    events_.Notify();
    modems_.WakeSenders();
    SendJson(res, 202, json{{"id", id}, {"status", status::kQueued}});
  });

  s.Get("/v1/inbox", [this](const httplib::Request& req, httplib::Response& res) {
    const int64_t since = QueryInteger(req, "since", 0, INT64_MAX / 2);
    const int limit = static_cast<int>(QueryInteger(req, "limit", 100, kMaxListLimit));
    json list = json::array();
    for (const ReceivedMessage& m : store_.ListInbox(since, limit)) list.push_back(ReceivedJson(m));
    SendJson(res, 200, json{{"messages", list}});
  });

  s.Delete(R"(/v1/inbox/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
    const int64_t id = PathId(req);
    if (!store_.DeleteReceived(id)) throw ApiError{404, "no received message with id " + std::to_string(id)};
    SendJson(res, 200, json{{"id", id}, {"deleted", true}});
  });

  s.Get("/v1/events", [this](const httplib::Request& req, httplib::Response& res) {
    int64_t after = 0;
    const std::string last = req.get_header_value("Last-Event-ID");
    if (!last.empty()) {
      if (last.size() > 18 || last.find_first_not_of("0123456789") != std::string::npos) {
        throw ApiError{400, "Last-Event-ID must be an event id, not '" + last + "'"};
      }
      after = std::stoll(last);
    } else if (req.has_param("since")) {
      after = QueryInteger(req, "since", 0, INT64_MAX / 2);
    } else {
      after = store_.LastEventId();  // a new stream starts with what happens from now on
    }
    if (streams_.fetch_add(1) >= settings_.maxEventStreams) {
      streams_.fetch_sub(1);
      throw ApiError{503, "too many event streams open (at most " + std::to_string(settings_.maxEventStreams) + ")"};
    }
    res.set_header("Cache-Control", "no-cache");
    auto position = std::make_shared<int64_t>(after);
    auto opened = std::make_shared<bool>(false);
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, position, opened](size_t, httplib::DataSink& sink) {
          if (!*opened) {
            // Clients learn the stream is open before any event comes.
            *opened = true;
            static const char kOpen[] = ": stream open\n\n";
            if (!sink.write(kOpen, sizeof kOpen - 1)) return false;
          }
          const uint64_t generation = events_.Generation();
          std::vector<Event> batch = store_.EventsAfter(*position, 200);
          if (batch.empty()) {
            if (!events_.WaitFor(generation, settings_.eventKeepAliveMs)) return false;
            if (events_.Generation() == generation) {
              static const char kKeepAlive[] = ": keep-alive\n\n";
              return sink.write(kKeepAlive, sizeof kKeepAlive - 1);
            }
            return true;
          }
          std::string out;
          for (const Event& e : batch) {
            out += "id: " + std::to_string(e.id) + "\nevent: " + e.type + "\ndata: " + e.data + "\n\n";
            *position = e.id;
          }
          return sink.write(out.data(), out.size());
        },
        [this](bool) { streams_.fetch_sub(1); });
  });

  s.Get("/v1/modems", [this](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    const int64_t now = NowMs();
    for (const ModemInfo& m : modems_.AllModems()) {
      list.push_back(ModemJson(m, store_.QueueLength(m.name, m.group), ModemLimits(store_, m, now)));
    }
    SendJson(res, 200, json{{"modems", list}});
  });

  s.Get("/v1/nodes", [this](const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    for (const NodeInfo& n : modems_.Nodes()) {
      list.push_back(json{
          {"name", n.name}, {"alive", n.alive}, {"last_heartbeat", TimeJson(n.heartbeatMs)}, {"modems", n.modems}});
    }
    SendJson(res, 200, json{{"nodes", list}});
  });

  RegisterConsoleApi(s, store_, modems_, settings_.maxParts);
  console_->Register(s);

  s.Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
    int up = 0, total = 0;
    for (const ModemInfo& m : modems_.Modems()) {
      ++total;
      if (m.state == "up") ++up;
    }
    store_.LastEventId();  // the store answers
    SendJson(res, 200, json{{"status", "ok"}, {"modems_up", up}, {"modems", total}});
  });

  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    std::vector<ModemInfo> modems = modems_.Modems();
    std::map<std::string, int64_t> depth;
    for (const ModemInfo& m : modems) depth[m.name] = store_.QueueLength(m.name, m.group);
    res.set_content(
        metrics_.Render(store_.Counts(), modems, depth) + RenderQueueAges(store_.OldestQueued(), modems, NowMs()),
        "text/plain; version=0.0.4");
  });

  AddAlertmanagerRoute(s, store_, modems_, events_, AlertSettings{settings_.alertRepeatMinutes});
  AddUssdRoute(s, modems_);
}

}  // namespace vela::gateway

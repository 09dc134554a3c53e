// velasms send --gateway URL and velasms inbox --gateway URL: the client side
// of a running gateway, with the options and output of the direct commands.
// Waiting for a status follows the gateway's event stream (no polling).
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <ostream>

#include "args.h"
#include "commands.h"
#include "gateway/config.h"
#include "json.h"
#include "at/line_framing.h"

namespace vela::tool {

const char* const kInboxUsage =
    "Usage: velasms inbox --gateway URL [--token-file FILE] [--cacert FILE] [--json] [--since ID]\n"
    "                     [--limit N] [--follow]\n"
    "\n"
    "Prints the messages a running gateway received, oldest first, as 'listen'\n"
    "prints them; with --json one line each:\n"
    "  {\"event\": \"message\", \"from\": ..., \"text\": ..., \"smsc_time\": ..., \"id\": ...,\n"
    "   \"modem\": ..., \"parts\": ..., \"complete\": ...}\n"
    "\n"
    "Options:\n"
    "  --gateway URL      the gateway, e.g. http://127.0.0.1:8765\n"
    "  --cacert FILE      https: trust this PEM authority instead of the system's\n"
    "  --token-file FILE  its bearer token (default ./velasms.token)\n"
    "  --since ID         only messages after this id\n"
    "  --limit N          at most N messages (without --follow)\n"
    "  --follow           then wait for new ones until interrupted (resumes after\n"
    "                     a lost connection)\n"
    "  --json             JSON output, one object per line\n"
    "  -h, --help         show this help\n";

namespace {

using nlohmann::json;

struct Connection {
  std::string url;
  std::string token;
  std::string cacert;  // https: the authority to trust instead of the system's

  std::unique_ptr<httplib::Client> Client(int readTimeoutSeconds = 30) const {
    auto c = std::make_unique<httplib::Client>(url);
    if (!c->is_valid()) throw UsageError("--gateway: '" + url + "' is no http(s)://HOST:PORT URL");
    // https: the server's certificate is verified (host name included) with
    // the system's authorities, or with --cacert's.
    if (!cacert.empty()) c->set_ca_cert_path(cacert.c_str());
    c->set_bearer_token_auth(token);
    c->set_connection_timeout(5, 0);
    c->set_read_timeout(readTimeoutSeconds, 0);
    return c;
  }
};

Connection Connect(const ParsedArgs& a) {
  Connection c;
  c.url = a.Value("--gateway");
  c.cacert = a.Value("--cacert");
  if (!c.cacert.empty() && !std::ifstream(c.cacert)) throw std::runtime_error("cannot read --cacert " + c.cacert);
  while (!c.url.empty() && c.url.back() == '/') c.url.pop_back();
  const std::string tokenFile = a.Value("--token-file", "./velasms.token");
  std::ifstream in(tokenFile);
  if (!in) throw std::runtime_error("cannot read the token file " + tokenFile);
  std::string token((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  c.token = TrimControl(token);
  if (c.token.empty()) throw std::runtime_error("the token file " + tokenFile + " is empty");
  return c;
}

// The JSON answer of a request, or an error naming the request and the
// gateway's reason.
json Answer(const httplib::Result& r, const std::string& what) {
  if (!r) throw std::runtime_error(what + ": cannot reach the gateway (" + httplib::to_string(r.error()) + ")");
  json body = json::parse(r->body, nullptr, false);
  if (r->status >= 400) {
    const std::string reason = body.is_object() && body.contains("error") && body["error"].is_string()
                                   ? body["error"].get<std::string>()
                                   : r->body;
    throw std::runtime_error(what + ": the gateway answered " + std::to_string(r->status) + ": " + reason);
  }
  if (body.is_discarded()) throw std::runtime_error(what + ": the gateway's answer is no JSON");
  return body;
}

// One event of a Server-Sent Events stream.
struct StreamEvent {
  std::string id, type, data;
};

// Reads /v1/events from `lastId` ("" = from now on) and calls `onEvent`
// for each event and `onStart` once the stream is open; either returns false
// to end. Returns true when ended by a callback, false when the connection
// ended; `lastId` follows the events read.
bool ReadEvents(const Connection& c, std::string& lastId, const std::function<bool()>& onStart,
                const std::function<bool(const StreamEvent&)>& onEvent) {
  auto client = c.Client(60);  // the gateway writes a keep-alive line every 15 s
  httplib::Headers headers;
  if (!lastId.empty()) headers.emplace("Last-Event-ID", lastId);
  std::string buffer;
  StreamEvent current;
  bool started = false, endedByUs = false;
  auto result = client->Get(
      "/v1/events", headers,
      [&](const httplib::Response& response) {
        if (response.status != 200)
          throw std::runtime_error("event stream: the gateway answered " + std::to_string(response.status));
        return true;
      },
      [&](const char* data, size_t length) {
        buffer.append(data, length);
        size_t end;
        while ((end = buffer.find('\n')) != std::string::npos) {
          std::string line = buffer.substr(0, end);
          buffer.erase(0, end + 1);
          if (!line.empty() && line.back() == '\r') line.pop_back();
          if (!started) {
            started = true;
            if (onStart && !onStart()) return !(endedByUs = true);
          }
          if (line.empty()) {
            if (!current.data.empty() || !current.type.empty()) {
              if (!current.id.empty()) lastId = current.id;
              const bool more = onEvent(current);
              current = StreamEvent{};
              if (!more) return !(endedByUs = true);
            }
            continue;
          }
          if (line[0] == ':') continue;
          const size_t colon = line.find(':');
          const std::string field = line.substr(0, colon);
          std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
          if (!value.empty() && value[0] == ' ') value.erase(0, 1);
          if (field == "id") current.id = value;
          if (field == "event") current.type = value;
          if (field == "data") current.data += value;
        }
        return true;
      });
  if (endedByUs) return true;
  if (result && result->status >= 400) Answer(result, "event stream");
  return false;
}

void PrintMessage(std::ostream& out, const json& m, bool asJson) {
  const std::string smsc = m.value("smsc_time", json(nullptr)).is_string() ? m["smsc_time"].get<std::string>() : "";
  if (asJson) {
    Json o = Json::object();
    o["event"] = "message";
    o["from"] = m.value("from", "");
    o["text"] = m.value("text", "");
    o["smsc_time"] = smsc.empty() ? Json() : Json(smsc);
    o["id"] = static_cast<int64_t>(m.value("id", 0));
    o["modem"] = m.value("modem", "");
    o["parts"] = m.value("parts", 1);
    o["complete"] = m.value("complete", true);
    out << JsonLine(o) << std::endl;
  } else {
    std::string text = m.value("text", "");
    std::string indented;
    for (char ch : text) {
      indented += ch;
      if (ch == '\n') indented += "  ";
    }
    out << "Message from " << m.value("from", "") << " (service centre time " << (smsc.empty() ? "-" : smsc) << "):\n  "
        << indented << std::endl;
  }
}

bool HasGatewayOption(const Args& args) {
  for (const std::string& a : args) {
    if (a == "--") break;
    if (a == "--gateway" || a.compare(0, 10, "--gateway=") == 0) return true;
  }
  return false;
}

int RunGatewaySend(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  if (!a.Has("--to")) throw UsageError("missing --to NUMBER");
  if (a.Positionals().size() != 1) {
    throw UsageError(a.Positionals().empty() ? "missing TEXT"
                                             : "expected one TEXT argument (quote a text with blanks)");
  }
  std::optional<double> waitSeconds;
  if (a.Has("--wait-report")) waitSeconds = ParseSeconds("--wait-report", a.Value("--wait-report"));
  const bool asJson = a.Has("--json");
  Connection c = Connect(a);

  json request = {{"to", a.Value("--to")},
                  {"text", a.Positionals()[0]},
                  {"report", a.Has("--status-report") || waitSeconds.has_value()}};
  if (a.Has("--modem")) request["modem"] = a.Value("--modem");
  if (a.Has("--coding")) request["coding"] = a.Value("--coding");
  if (a.Has("--languages")) request["languages"] = a.Value("--languages");
  auto client = c.Client();
  const json queued = Answer(client->Post("/v1/messages", request.dump(), "application/json"), "POST /v1/messages");
  const int64_t id = queued.value("id", int64_t{0});
  const std::string path = "/v1/messages/" + std::to_string(id);
  if (a.Has("--no-wait")) {
    if (asJson) {
      out << JsonLine(Json{{"id", id}, {"status", queued.value("status", "queued")}}) << std::endl;
    } else {
      out << "Queued as message " << id << std::endl;
    }
    return 0;
  }

  // Until the message leaves the queue (and, with --wait-report, has its
  // report). The stream is open before the status is asked, so no change
  // falls between the two.
  auto finalFor = [&](const std::string& st) {
    if (st == "failed" || st == "unknown" || st == "cancelled" || st == "delivered" || st == "not_delivered")
      return true;
    return st == "sent" && !waitSeconds;
  };
  json message;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<int64_t>((waitSeconds ? *waitSeconds : 0) * 1000));
  bool done = false, reported = false;
  std::string lastId;
  auto check = [&]() {
    message = Answer(client->Get(path.c_str()), "GET " + path);
    const std::string st = message.value("status", "");
    done = finalFor(st);
    if (waitSeconds && st == "sent" && std::chrono::steady_clock::now() > deadline) done = true;
    return !done;
  };
  while (!done) {
    const bool ended = ReadEvents(c, lastId, check, [&](const StreamEvent& e) {
      if (e.type != "status") return true;
      json data = json::parse(e.data, nullptr, false);
      if (!data.is_object() || data.value("id", int64_t{0}) != id) {
        if (waitSeconds && std::chrono::steady_clock::now() > deadline) return check();
        return true;
      }
      message = data;
      done = finalFor(message.value("status", ""));
      if (waitSeconds && message.value("status", "") == "sent" && std::chrono::steady_clock::now() > deadline)
        done = true;
      return !done;
    });
    if (!ended && !done) check();  // connection lost: look again, then resume
  }

  const std::string st = message.value("status", "");
  std::vector<std::string> references;
  if (message.contains("references") && message["references"].is_array()) {
    for (const json& r : message["references"]) references.push_back(r.is_string() ? r.get<std::string>() : r.dump());
  }
  if (st == "failed" || st == "unknown" || st == "cancelled") {
    if (asJson) out << JsonLine(Json{{"reference", ""}, {"id", id}, {"status", st}}) << std::endl;
    err << "velasms send: message " << id << " " << st << ": " << message.value("error", json("")).dump() << std::endl;
    return st == "failed" ? 1 : 2;
  }
  if (asJson) {
    Json refs = Json::array();
    for (const std::string& r : references) refs.push_back(r);
    out << JsonLine(Json{{"reference", references.empty() ? std::string() : references.front()},
                         {"references", refs},
                         {"parts", static_cast<int64_t>(references.size())},
                         {"id", id}})
        << std::endl;
  } else {
    out << "Reference: " << (references.empty() ? std::string() : references.front()) << std::endl;
  }
  if (waitSeconds) {
    reported = st == "delivered" || st == "not_delivered";
    if (!reported) {
      err << "velasms send: no delivery report for message " << id << " within " << a.Value("--wait-report") << " s"
          << std::endl;
      return 2;
    }
    if (asJson) {
      out << JsonLine(Json{{"event", "report"}, {"id", id}, {"delivered", st == "delivered"}}) << std::endl;
    } else {
      out << "Delivery report for message " << id << ": " << (st == "delivered" ? "delivered" : "not delivered")
          << std::endl;
    }
  }
  return 0;
}

int RunInbox(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  if (!a.Has("--gateway")) throw UsageError("missing --gateway URL");
  int64_t since = a.Has("--since") ? ParseInteger("--since", a.Value("--since"), 0, INT64_MAX / 2) : 0;
  const int64_t limit = a.Has("--limit") ? ParseInteger("--limit", a.Value("--limit"), 1, 1000000000) : -1;
  const bool asJson = a.Has("--json");
  Connection c = Connect(a);
  auto client = c.Client();

  // Prints the stored messages after `since`, page by page.
  int64_t printed = 0;
  auto backlog = [&]() {
    for (;;) {
      const int64_t page = limit < 0 || a.Has("--follow") ? 1000 : std::min<int64_t>(1000, limit - printed);
      if (page <= 0) return;
      const std::string path = "/v1/inbox?since=" + std::to_string(since) + "&limit=" + std::to_string(page);
      json list = Answer(client->Get(path.c_str()), "GET /v1/inbox");
      const json& messages = list["messages"];
      for (const json& m : messages) {
        PrintMessage(out, m, asJson);
        since = std::max<int64_t>(since, m.value("id", int64_t{0}));
        ++printed;
      }
      if (messages.size() < static_cast<size_t>(page)) return;
    }
  };
  if (!a.Has("--follow")) {
    backlog();
    return 0;
  }
  // Stream first, then the backlog: a message stored in between shows in
  // both and is printed once (ids only grow).
  std::string lastId;
  for (;;) {
    const bool ended = ReadEvents(
        c, lastId,
        [&] {
          backlog();
          return true;
        },
        [&](const StreamEvent& e) {
          if (e.type != "message") return true;
          json m = json::parse(e.data, nullptr, false);
          if (!m.is_object() || m.value("id", int64_t{0}) <= since) return true;
          PrintMessage(out, m, asJson);
          since = m.value("id", int64_t{0});
          return true;
        });
    if (ended) return 0;
    err << "velasms inbox: the event stream ended; reconnecting" << std::endl;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

}  // namespace

Command SendCommand(const Args& args) {
  if (!HasGatewayOption(args)) return ModemSendCommand();
  return {"send",
          std::string(kSendUsage) +
              "\nThrough a gateway: velasms send --gateway URL [--token-file FILE] [--cacert FILE] [--modem NAME]\n"
              "  [--coding C] [--languages LIST] [--no-wait] --to NUMBER [--status-report]\n"
              "  [--wait-report SECONDS] [--json] TEXT\n"
              "queues TEXT at the gateway and waits until it is sent (--no-wait: prints\n"
              "{\"id\": ..., \"status\": \"queued\"} at once).\n",
          {{"--gateway", true},
           {"--token-file", true},
           {"--cacert", true},
           {"--to", true},
           {"--status-report", false},
           {"--wait-report", true},
           {"--json", false},
           {"--coding", true},
           {"--languages", true},
           {"--modem", true},
           {"--no-wait", false}},
          RunGatewaySend};
}

Command InboxCommand() {
  return {"inbox",
          kInboxUsage,
          {{"--gateway", true},
           {"--token-file", true},
           {"--cacert", true},
           {"--json", false},
           {"--since", true},
           {"--limit", true},
           {"--follow", false}},
          RunInbox,
          false};
}

}  // namespace vela::tool

#include "gateway/alertmanager.h"

#include <httplib.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "coding/text_coding.h"
#include "gateway/records_json.h"
#include "gateway/service.h"
#include "gateway/store.h"
#include "common/utf8.h"

namespace vela::gateway {

using nlohmann::json;

namespace {

constexpr int kOnePart = 160;  // septets of one GSM 7-bit part
constexpr size_t kMaxNumbers = 100;

// Septets of each character the default alphabet (1) or its extension
// table (2) holds (TS 23.038 6.2.1).
const std::unordered_map<char16_t, int>& GsmCost() {
  static const std::unordered_map<char16_t, int> cost = [] {
    std::unordered_map<char16_t, int> m;
    const coding::GsmTable* shift = coding::ShiftTable(0);
    for (int code = 0; code < 128 && shift; ++code) {
      if (shift->code[code] != 0) m[shift->code[code]] = 2;
    }
    const coding::GsmTable* base = coding::LockingTable(0);
    for (int code = 0; code < 128 && base; ++code) {
      if (code != 0x1B) m[base->code[code]] = 1;
    }
    return m;
  }();
  return cost;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Cuts GSM-only text to at most `septets`.
std::string CutToSeptets(const std::string& gsmOnly, int septets) {
  const WideString text = WideFromUtf8(gsmOnly);
  WideString out;
  int used = 0;
  for (char16_t c : text) {
    auto it = GsmCost().find(c);
    const int cost = it == GsmCost().end() ? 1 : it->second;
    if (used + cost > septets) break;
    used += cost;
    out.push_back(c);
  }
  return Utf8FromWide(out);
}

std::string Label(const json& labels, const char* name) {
  if (!labels.is_object()) return {};
  auto it = labels.find(name);
  return it != labels.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

std::string GsmOnly(const std::string& utf8) {
  const WideString text = WideFromUtf8(utf8);
  WideString out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;  // one '?' for the whole pair
      out.push_back(u'?');
    } else if (c < 0x20 || c == 0x7F) {
      out.push_back(u' ');
    } else {
      out.push_back(GsmCost().count(c) ? c : u'?');
    }
  }
  return Utf8FromWide(out);
}

int GsmSeptets(const std::string& gsmOnlyUtf8) {
  int septets = 0;
  for (char16_t c : WideFromUtf8(gsmOnlyUtf8)) {
    auto it = GsmCost().find(c);
    septets += it == GsmCost().end() ? 1 : it->second;
  }
  return septets;
}

AlertNotification ParseAlertPayload(const std::string& body) {
  json doc;
  try {
    doc = json::parse(body);
  } catch (const json::parse_error& e) {
    throw AlertError(400, std::string("malformed JSON: ") + e.what());
  }
  if (!doc.is_object()) throw AlertError(400, "the body must be a JSON object (Alertmanager's webhook payload)");
  if (auto v = doc.find("version"); v != doc.end() && !(v->is_string() && v->get<std::string>() == "4")) {
    throw AlertError(422, "unsupported payload version " + v->dump() + " (version 4 is read)");
  }
  AlertNotification n;
  if (auto s = doc.find("status"); s != doc.end() && s->is_string()) n.status = s->get<std::string>();
  if (n.status != "firing" && n.status != "resolved") {
    throw AlertError(422, "field \"status\" must be \"firing\" or \"resolved\"");
  }
  if (auto g = doc.find("groupKey"); g != doc.end() && g->is_string()) n.groupKey = g->get<std::string>();
  auto alerts = doc.find("alerts");
  if (alerts == doc.end() || !alerts->is_array()) throw AlertError(422, "field \"alerts\" must be a list");
  std::string firstName;
  for (const json& alert : *alerts) {
    if (!alert.is_object()) continue;
    auto s = alert.find("status");
    if (s == alert.end() || !s->is_string() || s->get<std::string>() != n.status) continue;
    ++n.count;
    const json labels = alert.value("labels", json::object());
    if (firstName.empty()) firstName = Label(labels, "alertname");
    const std::string instance = Label(labels, "instance");
    if (!instance.empty() && std::find(n.instances.begin(), n.instances.end(), instance) == n.instances.end()) {
      n.instances.push_back(instance);
    }
  }
  if (n.count == 0) throw AlertError(422, "no alert with status \"" + n.status + "\" in the notification");
  n.alertname = Label(doc.value("commonLabels", json::object()), "alertname");
  if (n.alertname.empty()) n.alertname = firstName;
  if (n.alertname.empty()) n.alertname = "alert";
  return n;
}

std::string AlertText(const AlertNotification& n) {
  const std::string prefix = Upper(n.status) + " " + std::to_string(n.count) + ": ";
  const std::string name = GsmOnly(n.alertname);
  std::vector<std::string> instances;
  for (const std::string& i : n.instances) instances.push_back(GsmOnly(i));
  // The first `shown` instances, the rest as "+N more".
  auto with = [&](size_t shown, const std::string& head) {
    if (instances.empty()) return head;
    std::string list;
    for (size_t i = 0; i < shown; ++i) list += (i ? ", " : "") + instances[i];
    if (shown < instances.size()) list += (shown ? ", +" : "+") + std::to_string(instances.size() - shown) + " more";
    return head + " (" + list + ")";
  };
  for (size_t shown = instances.size() + 1; shown-- > 0;) {
    const std::string text = with(shown, prefix + name);
    if (GsmSeptets(text) <= kOnePart) return text;
  }
  // Even the name alone is too long: cut it.
  const std::string tail = with(0, "");
  const int room = kOnePart - GsmSeptets(prefix) - GsmSeptets(tail) - 3;
  return prefix + CutToSeptets(name, std::max(room, 0)) + "..." + tail;
}

std::vector<std::string> ParseAlertNumbers(const std::string& to) {
  std::vector<std::string> numbers;
  size_t start = 0;
  while (start <= to.size()) {
    size_t comma = to.find(',', start);
    if (comma == std::string::npos) comma = to.size();
    std::string item = to.substr(start, comma - start);
    start = comma + 1;
    // "+49..." sent unencoded arrives as " 49...".
    if (!item.empty() && item[0] == ' ' && item.find_first_not_of(' ') != std::string::npos) {
      item = "+" + item.substr(item.find_first_not_of(' '));
    }
    if (item.find_first_not_of(' ') == std::string::npos) continue;
    std::string number;
    try {
      number = coding::NormaliseDestination(item);
    } catch (const coding::ETextCodingError& e) {
      throw AlertError(422, std::string("query parameter to: ") + e.what());
    }
    if (std::find(numbers.begin(), numbers.end(), number) == numbers.end()) numbers.push_back(number);
    if (numbers.size() > kMaxNumbers) {
      throw AlertError(422, "query parameter to: at most " + std::to_string(kMaxNumbers) + " numbers");
    }
  }
  if (numbers.empty()) throw AlertError(400, "missing query parameter to=NUMBER[,NUMBER...]");
  return numbers;
}

bool AlertRepeats::Suppress(const std::string& key, const std::string& status, int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = last_.find(key);
  if (it != last_.end() && it->second.status == status && nowMs - it->second.sentMs < windowMs_) return true;
  last_[key] = Last{status, nowMs};
  // Entries older than the window suppress nothing any more.
  if (last_.size() > 10000) {
    for (auto e = last_.begin(); e != last_.end();) e = nowMs - e->second.sentMs >= windowMs_ ? last_.erase(e) : ++e;
  }
  return false;
}

void AlertRepeats::Forget(const std::string& key, const std::string& status, int64_t sentMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = last_.find(key);
  if (it != last_.end() && it->second.status == status && it->second.sentMs == sentMs) last_.erase(it);
}

void AddAlertmanagerRoute(httplib::Server& server, Store& store, ModemDirectory& modems, EventNotifier& events,
                          const AlertSettings& settings) {
  auto repeats = std::make_shared<AlertRepeats>(int64_t{settings.repeatMinutes} * 60 * 1000);
  server.Post(
      "/v1/alertmanager", [&store, &modems, &events, repeats](const httplib::Request& req, httplib::Response& res) {
        auto answer = [&res](int status, const json& body) {
          res.status = status;
          res.set_content(DumpJson(body) + "\n", "application/json");
        };
        try {
          const std::vector<std::string> numbers =
              ParseAlertNumbers(req.has_param("to") ? req.get_param_value("to") : std::string());
          bool sendResolved = true;
          if (req.has_param("resolved")) {
            const std::string v = req.get_param_value("resolved");
            if (v != "true" && v != "false") throw AlertError(400, "query parameter resolved must be true or false");
            sendResolved = v == "true";
          }
          const std::string modem = req.has_param("modem") ? req.get_param_value("modem") : std::string();
          if (!modem.empty() && !modems.Has(modem)) throw AlertError(422, "unknown modem \"" + modem + "\"");
          const AlertNotification n = ParseAlertPayload(req.body);
          if (n.status == "resolved" && !sendResolved) {
            answer(200, json{{"suppressed", true}, {"reason", "resolved notifications are not sent (resolved=false)"}});
            return;
          }
          std::string key = n.groupKey + '\x1f' + modem;
          for (const std::string& number : numbers) key += '\x1f' + number;
          const int64_t now = NowMs();
          if (repeats->Suppress(key, n.status, now)) {
            answer(200, json{{"suppressed", true},
                             {"reason",
                              "the same group and status were sent less than the "
                              "repeat interval ago"}});
            return;
          }
          const std::string text = AlertText(n);
          json ids = json::array();
          try {
            for (const std::string& number : numbers) {
              OutgoingRequest r;
              r.to = number;
              r.text = text;
              r.modem = modem;
              r.coding = "gsm7";
              ids.push_back(store.Enqueue(r, now).id);
            }
          } catch (...) {
            // Alertmanager sends it again; that one must not count as a repeat.
            if (ids.empty()) repeats->Forget(key, n.status, now);
            throw;
          }
          events.Notify();
          modems.WakeSenders();
          answer(202, json{{"ids", ids}, {"text", text}});
        } catch (const AlertError& e) {
          answer(e.status, json{{"error", e.what()}});
        }
      });
}

}  // namespace vela::gateway

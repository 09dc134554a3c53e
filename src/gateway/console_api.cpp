#include "gateway/console_api.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "gateway/records_json.h"
#include "gateway/text_preview.h"

namespace vela::gateway {

using nlohmann::json;

namespace {

constexpr int kMaxSearchLimit = 1000;

void Answer(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(DumpJson(body) + "\n", "application/json");
}

// "tr,es", ["tr", "es"] or "all"; nullopt with the answer sent when invalid.
std::optional<std::vector<int>> Languages(const json& value, httplib::Response& res) {
  std::string list;
  if (value.is_string()) {
    list = value.get<std::string>();
  } else if (value.is_array()) {
    for (const json& item : value) {
      if (!item.is_string()) {
        Answer(res, 400, json{{"error", "field \"languages\" must be a string or a list of strings"}});
        return std::nullopt;
      }
      list += (list.empty() ? "" : ",") + item.get<std::string>();
    }
  } else {
    Answer(res, 400, json{{"error", "field \"languages\" must be a string or a list of strings"}});
    return std::nullopt;
  }
  return coding::ParseLanguageList(list);  // ETextCodingError: 422 below
}

}  // namespace

void RegisterConsoleApi(httplib::Server& s, Store& store, ModemDirectory& modems, int maxParts) {
  s.Post("/v1/preview", [&modems, maxParts](const httplib::Request& req, httplib::Response& res) {
    const json doc = json::parse(req.body, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
      Answer(res, 400, json{{"error", "the body must be a JSON object {\"text\", \"languages\", \"coding\"}"}});
      return;
    }
    const auto field = [&doc](const char* name) -> const json* {
      auto it = doc.find(name);
      return it == doc.end() || it->is_null() ? nullptr : &*it;
    };
    const json* text = field("text");
    if (!text || !text->is_string()) {
      Answer(res, 400, json{{"error", text ? "field \"text\" must be a string" : "missing field \"text\""}});
      return;
    }
    for (const char* name : {"coding", "modem"}) {
      if (field(name) && !field(name)->is_string()) {
        Answer(res, 400, json{{"error", std::string("field \"") + name + "\" must be a string"}});
        return;
      }
    }
    try {
      std::vector<int> languages;
      if (const json* l = field("languages")) {
        auto parsed = Languages(*l, res);
        if (!parsed) return;
        languages = *parsed;
      } else if (const json* m = field("modem")) {
        // The modem's own default tables, as its sender would use them.
        bool known = false;
        for (const ModemInfo& info : modems.Modems()) {
          if (info.name == m->get<std::string>()) {
            languages = info.languages;
            known = true;
          }
        }
        if (!known) {
          Answer(res, 422, json{{"error", "unknown modem \"" + m->get<std::string>() + "\""}});
          return;
        }
      }
      const coding::Coding coding =
          field("coding") ? coding::ParseCoding(field("coding")->get<std::string>()) : coding::Coding::kAuto;
      json body = PreviewText(text->get<std::string>(), coding, languages);
      body["max_parts"] = maxParts;
      Answer(res, 200, body);
    } catch (const coding::ETextCodingError& e) {
      Answer(res, 422, json{{"error", e.what()}});
    }
  });

  s.Get("/v1/search", [&store](const httplib::Request& req, httplib::Response& res) {
    const std::string query = req.get_param_value("q");
    int limit = 100;
    if (req.has_param("limit")) {
      const std::string text = req.get_param_value("limit");
      if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(text) > kMaxSearchLimit) {
        Answer(res, 400,
               json{{"error", "query parameter limit must be a number up to " + std::to_string(kMaxSearchLimit)}});
        return;
      }
      limit = std::stoi(text);
    }
    if (query.size() > 500) {
      Answer(res, 400, json{{"error", "query parameter q is longer than 500 characters"}});
      return;
    }
    const SearchHits hits = store.Search(query, limit);
    json sent = json::array(), received = json::array();
    for (const OutgoingMessage& m : hits.sent) sent.push_back(MessageJson(m));
    for (const ReceivedMessage& m : hits.received) received.push_back(ReceivedJson(m));
    Answer(res, 200, json{{"sent", sent}, {"received", received}});
  });
}

}  // namespace vela::gateway

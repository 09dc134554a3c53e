#include "gateway/ussd_api.h"

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "gateway/records_json.h"
#include "gateway/service.h"
#include "modem/ussd.h"

namespace vela::gateway {

using nlohmann::json;

void AddUssdRoute(httplib::Server& server, ModemDirectory& modems) {
  server.Post(R"(/v1/modems/([^/]+)/ussd)", [&modems](const httplib::Request& req, httplib::Response& res) {
    auto answer = [&res](int status, const json& body) {
      res.status = status;
      res.set_content(DumpJson(body) + "\n", "application/json");
    };
    const std::string name = req.matches[1];
    if (!modems.Has(name)) return answer(404, json{{"error", "no modem named \"" + name + "\""}});
    json doc;
    try {
      doc = json::parse(req.body);
    } catch (const json::parse_error& e) {
      return answer(400, json{{"error", std::string("malformed JSON: ") + e.what()}});
    }
    const bool code = doc.is_object() && doc.contains("code");
    const bool reply = doc.is_object() && doc.contains("reply");
    if (code == reply) return answer(400, json{{"error", "the body must be {\"code\": ...} or {\"reply\": ...}"}});
    const json& value = doc[code ? "code" : "reply"];
    if (!value.is_string()) {
      return answer(400, json{{"error", std::string("field \"") + (code ? "code" : "reply") + "\" must be a string"}});
    }
    UssdCall call;
    call.reply = reply;
    call.text = value.get<std::string>();
    try {
      ussd::RequestCommand(call.text);
    } catch (const std::invalid_argument& e) {
      return answer(400, json{{"error", e.what()}});
    }
    const UssdOutcome o = modems.Ussd(name, call);
    if (o.httpStatus == 200) return answer(200, json{{"status", o.status}, {"text", o.text}});
    answer(o.httpStatus, json{{"error", o.error}});
  });
}

}  // namespace vela::gateway

#include "gateway/records_json.h"

#include <cstdio>
#include <ctime>

namespace vela::gateway {

using nlohmann::json;

std::string DumpJson(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

json TimeJson(int64_t unixMs) {
  if (unixMs <= 0) return nullptr;
  const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(unixMs % 1000));
  return text;
}

namespace {
json NullIfEmpty(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }
}  // namespace

json MessageJson(const OutgoingMessage& m) {
  json o = json::object();
  o["id"] = m.id;
  o["to"] = m.to;
  o["text"] = m.text;
  o["report"] = m.report;
  o["modem"] = NullIfEmpty(m.sentBy.empty() ? m.modem : m.sentBy);
  o["status"] = m.status;
  o["attempts"] = m.attempts;
  o["error"] = NullIfEmpty(m.error);
  o["parts"] = m.parts;
  o["references"] = m.references;
  json delivered = json::array();
  for (int s : m.partStatus) delivered.push_back(s < 0 ? json(nullptr) : json(s == 0));
  o["delivered"] = delivered;
  o["created_at"] = TimeJson(m.createdMs);
  o["updated_at"] = TimeJson(m.updatedMs);
  o["sent_at"] = TimeJson(m.sentMs);
  return o;
}

json ReceivedJson(const ReceivedMessage& m) {
  json o = json::object();
  o["id"] = m.id;
  o["modem"] = m.modem;
  o["from"] = m.originator;
  o["text"] = m.text;
  o["smsc_time"] = NullIfEmpty(m.smscTime);
  o["parts"] = m.parts;
  o["complete"] = m.complete;
  o["received_at"] = TimeJson(m.receivedMs);
  return o;
}

}  // namespace vela::gateway

#include "gateway/records_json.h"

#include <cctype>
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

std::optional<int64_t> ParseTime(const std::string& text) {
  // YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM); 't', 'z' and a space
  // for 'T' are allowed as RFC 3339 notes.
  int year, month, day, hour, minute, second, used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%*1[Tt ]%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                  &used) != 6 ||
      used != 19) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  size_t at = 19;
  int64_t millis = 0;
  if (at < text.size() && text[at] == '.') {
    size_t digits = 0;
    for (++at; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at, ++digits) {
      if (digits < 3) millis = millis * 10 + (text[at] - '0');
    }
    if (digits == 0) return std::nullopt;
    for (; digits < 3; ++digits) millis *= 10;
  }
  int64_t offsetMinutes = 0;
  const std::string zone = text.substr(at);
  if (zone == "Z" || zone == "z") {
    offsetMinutes = 0;
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':' &&
             std::isdigit(static_cast<unsigned char>(zone[1])) && std::isdigit(static_cast<unsigned char>(zone[2])) &&
             std::isdigit(static_cast<unsigned char>(zone[4])) && std::isdigit(static_cast<unsigned char>(zone[5]))) {
    const int h = (zone[1] - '0') * 10 + (zone[2] - '0'), m = (zone[4] - '0') * 10 + (zone[5] - '0');
    if (h > 23 || m > 59) return std::nullopt;
    offsetMinutes = (zone[0] == '+' ? 1 : -1) * (h * 60 + m);
  } else {
    return std::nullopt;
  }
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second == 60 ? 59 : second;  // a leap second counts as the second before
  const std::time_t seconds = timegm(&t);
  std::tm back{};
  gmtime_r(&seconds, &back);
  if (back.tm_mday != day) return std::nullopt;  // 31 April and the like
  return (static_cast<int64_t>(seconds) - offsetMinutes * 60) * 1000 + millis;
}

namespace {
json NullIfEmpty(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }
}  // namespace

json MessageJson(const OutgoingMessage& m) {
  json delivered = json::array();
  for (int s : m.partStatus) delivered.push_back(s < 0 ? json(nullptr) : json(s == 0));
  return json{{"id", m.id},
              {"to", m.to},
              {"text", m.text},
              {"report", m.report},
              {"modem", NullIfEmpty(m.sentBy.empty() ? m.modem : m.sentBy)},
              {"status", m.status},
              {"attempts", m.attempts},
              {"error", NullIfEmpty(m.error)},
              {"parts", m.parts},
              {"references", m.references},
              {"delivered", delivered},
              {"created_at", TimeJson(m.createdMs)},
              {"updated_at", TimeJson(m.updatedMs)},
              {"sent_at", TimeJson(m.sentMs)},
              {"send_at", TimeJson(m.sendAtMs)},
              {"expires_at", TimeJson(m.expiresAtMs)}};
}

json ReceivedJson(const ReceivedMessage& m) {
  return json{{"id", m.id},
              {"modem", m.modem},
              {"from", m.originator},
              {"text", m.text},
              {"smsc_time", NullIfEmpty(m.smscTime)},
              {"parts", m.parts},
              {"complete", m.complete},
              {"received_at", TimeJson(m.receivedMs)}};
}

}  // namespace vela::gateway

#include "gateway/records_json.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <utility>

#include "common/utf8.h"

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

namespace {

// Appends `text` as a JSON string the way DumpJson writes it: UTF-8 as it
// stands, '"' and '\\' escaped, control characters as \b \f \n \r \t or
// \u00xx. Ill-formed UTF-8 (rare: an error text quoting a client's bytes)
// goes through nlohmann's own replacement, so the two never differ.
void AppendString(std::string& out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  const size_t start = out.size();
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t n = Utf8SequenceLength(text, i);
      if (n == 0) {
        out.resize(start);
        out += DumpJson(json(text));
        return;
      }
      out.append(text, i, n);
      i += n;
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

void AppendStringOrNull(std::string& out, const std::string& text) {
  if (text.empty()) {
    out += "null";
  } else {
    AppendString(out, text);
  }
}

// TimeJson's text, or null.
void AppendTime(std::string& out, int64_t unixMs) {
  if (unixMs <= 0) {
    out += "null";
    return;
  }
  // Days since 1970-01-01 to a civil date (proleptic Gregorian).
  const int64_t days = unixMs / 86400000, msOfDay = unixMs % 86400000;
  const int64_t z = days + 719468, era = z / 146097, doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2);
  if (year > 9999) {
    out += DumpJson(TimeJson(unixMs));
    return;
  }
  char text[32];
  auto put = [&text](int at, int64_t value, int digits) {
    for (int k = digits - 1; k >= 0; --k, value /= 10) text[at + k] = static_cast<char>('0' + value % 10);
  };
  text[0] = '"';
  put(1, year, 4);
  text[5] = '-';
  put(6, month, 2);
  text[8] = '-';
  put(9, day, 2);
  text[11] = 'T';
  put(12, msOfDay / 3600000, 2);
  text[14] = ':';
  put(15, msOfDay / 60000 % 60, 2);
  text[17] = ':';
  put(18, msOfDay / 1000 % 60, 2);
  text[20] = '.';
  put(21, msOfDay % 1000, 3);
  text[24] = 'Z';
  text[25] = '"';
  out.append(text, 26);
}

}  // namespace

std::string MessageJsonText(const OutgoingMessage& m) {
  std::string out;
  out.reserve(320 + m.text.size() + m.to.size() + m.error.size());
  // The keys in DumpJson's order (sorted).
  auto key = [&out](const char* name) {
    out += out.empty() ? "{\"" : ",\"";
    out += name;
    out += "\":";
  };
  key("attempts");
  out += std::to_string(m.attempts);
  key("created_at");
  AppendTime(out, m.createdMs);
  key("delivered");
  out += '[';
  for (size_t i = 0; i < m.partStatus.size(); ++i) {
    if (i) out += ',';
    const int s = m.partStatus[i];
    out += s < 0 ? "null" : s == 0 ? "true" : "false";
  }
  out += ']';
  key("error");
  AppendStringOrNull(out, m.error);
  key("expires_at");
  AppendTime(out, m.expiresAtMs);
  key("id");
  out += std::to_string(m.id);
  key("modem");
  AppendStringOrNull(out, m.sentBy.empty() ? m.modem : m.sentBy);
  key("parts");
  out += std::to_string(m.parts);
  key("references");
  out += '[';
  for (size_t i = 0; i < m.references.size(); ++i) {
    if (i) out += ',';
    AppendString(out, m.references[i]);
  }
  out += ']';
  key("report");
  out += m.report ? "true" : "false";
  const std::pair<const char*, int64_t> times[] = {{"send_at", m.sendAtMs}, {"sent_at", m.sentMs}};
  for (const auto& [name, ms] : times) {
    key(name);
    AppendTime(out, ms);
  }
  const std::pair<const char*, const std::string*> texts[] = {{"status", &m.status}, {"text", &m.text}, {"to", &m.to}};
  for (const auto& [name, text] : texts) {
    key(name);
    AppendString(out, *text);
  }
  key("updated_at");
  AppendTime(out, m.updatedMs);
  out += '}';
  return out;
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

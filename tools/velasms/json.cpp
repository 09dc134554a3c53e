#include "json.h"

#include "common/utf8.h"

namespace vela::tool {
namespace {

// nlohmann's serializer refuses ill-formed UTF-8 and leaves DEL, U+2028 and
// U+2029 as they are. Ill-formed bytes reach it byte-stuffed around U+FFFD:
// in a string holding U+FFFD or an ill-formed byte, U+FFFD becomes U+FFFD
// U+FFFD and each ill-formed byte U+FFFD '?'. The pass over the serialized
// text turns the pairs back (U+FFFD, and the escape \ufffd respectively).
constexpr char kReplacement[] = "\xEF\xBF\xBD";

bool NeedsStuffing(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8SequenceLength(s, i);
    if (n == 0 || s.compare(i, n, kReplacement) == 0) return true;
    i += n;
  }
  return false;
}

std::string Stuffed(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8SequenceLength(s, i);
    if (n == 0) {
      out.append(kReplacement).push_back('?');
      ++i;
      continue;
    }
    if (s.compare(i, n, kReplacement) == 0) out.append(kReplacement);
    out.append(s, i, n);
    i += n;
  }
  return out;
}

// The value with its strings and keys stuffed where they need it.
Json StuffedValue(const Json& value) {
  if (value.is_string()) {
    const auto& s = value.get_ref<const std::string&>();
    return NeedsStuffing(s) ? Json(Stuffed(s)) : value;
  }
  if (value.is_array()) {
    Json out = Json::array();
    for (const Json& item : value) out.push_back(StuffedValue(item));
    return out;
  }
  if (value.is_object()) {
    Json out = Json::object();
    for (const auto& [key, item] : value.items()) out[NeedsStuffing(key) ? Stuffed(key) : key] = StuffedValue(item);
    return out;
  }
  return value;
}

bool HasStuffing(const Json& value) {
  if (value.is_string()) return NeedsStuffing(value.get_ref<const std::string&>());
  if (value.is_array()) {
    for (const Json& item : value)
      if (HasStuffing(item)) return true;
  }
  if (value.is_object()) {
    for (const auto& [key, item] : value.items())
      if (NeedsStuffing(key) || HasStuffing(item)) return true;
  }
  return false;
}

// Blanks after the separators, the escapes nlohmann does not make, stuffing undone.
std::string Finish(const std::string& dumped) {
  std::string out;
  out.reserve(dumped.size() + dumped.size() / 8);
  bool inString = false;
  for (size_t i = 0; i < dumped.size(); ++i) {
    const char c = dumped[i];
    if (!inString) {
      out += c;
      if (c == '"') inString = true;
      if (c == ',' || c == ':') out += ' ';
      continue;
    }
    if (c == '\\') {  // an escape: its next character never ends the string
      out += c;
      out += dumped[++i];
    } else if (c == '"') {
      out += c;
      inString = false;
    } else if (c == '\x7f') {
      out += "\\u007f";
    } else if (dumped.compare(i, 3, "\xE2\x80\xA8") == 0 || dumped.compare(i, 3, "\xE2\x80\xA9") == 0) {
      out += dumped[i + 2] == '\xA8' ? "\\u2028" : "\\u2029";
      i += 2;
    } else if (dumped.compare(i, 3, kReplacement) == 0) {
      const bool illFormed = dumped[i + 3] == '?';
      out += illFormed ? "\\ufffd" : kReplacement;
      i += illFormed ? 3 : 5;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string JsonLine(const Json& value) {
  // nlohmann's compact form: no blanks, strings as UTF-8 (not \u-escaped).
  return Finish(HasStuffing(value) ? StuffedValue(value).dump() : value.dump());
}

std::string JsonQuote(const std::string& utf8) { return JsonLine(Json(utf8)); }

}  // namespace vela::tool

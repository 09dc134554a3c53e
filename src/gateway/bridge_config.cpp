#include "gateway/bridge_config.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "gateway/config.h"

namespace vela::gateway {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& what, const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const int hi = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
    const int lo = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
    if (hi < 0 || lo < 0) throw ConfigError(what + ": bad percent-encoding in '" + text + "'");
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

}  // namespace

int64_t ParseDuration(const std::string& what, const std::string& text) {
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  const std::string unit = text.substr(digits);
  if (digits == 0 || digits > 9) {
    throw ConfigError(what + ": '" + text + "' is no duration (e.g. 30s, 5m, 12h, 2d)");
  }
  const int64_t n = std::stoll(text.substr(0, digits));
  int64_t scale = 0;
  if (unit == "ms") scale = 1;
  if (unit == "s") scale = 1000;
  if (unit == "m") scale = 60 * 1000;
  if (unit == "h") scale = 3600 * 1000;
  if (unit == "d") scale = 24 * 3600 * 1000;
  if (scale == 0) throw ConfigError(what + ": '" + text + "' needs a unit: ms, s, m, h or d");
  if (n == 0) throw ConfigError(what + ": the duration must not be zero");
  return n * scale;
}

WebhookConfig ParseWebhookSpec(const std::string& spec) {
  const std::string what = "--webhook '" + spec + "'";
  std::vector<std::string> fields = Split(spec, ',');
  WebhookConfig w;
  w.url = fields[0];
  const bool https = w.url.rfind("https://", 0) == 0;
  if (!https && w.url.rfind("http://", 0) != 0)
    throw ConfigError(what + ": the URL must start with http:// or https://");
  if (w.url.size() <= (https ? 8u : 7u) || w.url[https ? 8 : 7] == '/')
    throw ConfigError(what + ": the URL has no host");
  for (char c : w.url) {
    if (static_cast<unsigned char>(c) <= ' ') throw ConfigError(what + ": the URL has blanks or control characters");
  }
  for (size_t i = 1; i < fields.size(); ++i) {
    const size_t eq = fields[i].find('=');
    if (eq == std::string::npos) throw ConfigError(what + ": '" + fields[i] + "' is no KEY=VALUE");
    const std::string key = fields[i].substr(0, eq), value = fields[i].substr(eq + 1);
    if (key == "events") {
      w.onMessage = w.onStatus = false;
      for (const std::string& e : Split(value, '+')) {
        if (e == "message") {
          w.onMessage = true;
        } else if (e == "status") {
          w.onStatus = true;
        } else {
          throw ConfigError(what + ": unknown event '" + e + "' (message, status)");
        }
      }
    } else if (key == "secret-file") {
      if (value.empty()) throw ConfigError(what + ": secret-file needs a file name");
      w.secretFile = value;
    } else if (key == "max-age") {
      w.maxAgeMs = ParseDuration(what + " max-age", value);
    } else if (key == "retry-min") {
      w.firstDelayMs = ParseDuration(what + " retry-min", value);
    } else if (key == "retry-max") {
      w.maxDelayMs = ParseDuration(what + " retry-max", value);
    } else {
      throw ConfigError(what + ": unknown key '" + key + "' (events, secret-file, max-age, retry-min, retry-max)");
    }
  }
  if (w.maxDelayMs < w.firstDelayMs) throw ConfigError(what + ": retry-max is shorter than retry-min");
  return w;
}

void CheckTopicName(const std::string& what, const std::string& name) {
  if (name.empty()) throw ConfigError(what + ": empty");
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
      throw ConfigError(what + " '" + name + "': letters, digits, '-', '_' and '.' only");
    }
  }
}

void ParseMqttUrl(const std::string& url, MqttConfig& m) {
  const std::string what = "--mqtt '" + url + "'";
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    m.tls = false;
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    m.tls = true;
    rest = url.substr(8);
  } else {
    throw ConfigError(what + ": expected mqtt://[USER[:PASSWORD]@]HOST[:PORT][/PREFIX] (or mqtts://)");
  }
  m.prefix = "velasms";
  const size_t slash = rest.find('/');
  if (slash != std::string::npos) {
    m.prefix = rest.substr(slash + 1);
    rest = rest.substr(0, slash);
    while (!m.prefix.empty() && m.prefix.back() == '/') m.prefix.pop_back();
    if (m.prefix.empty()) m.prefix = "velasms";
    for (const std::string& level : Split(m.prefix, '/')) CheckTopicName(what + " prefix level", level);
  }
  const size_t at = rest.rfind('@');
  m.user.clear();
  m.password.clear();
  if (at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const size_t colon = credentials.find(':');
    m.user = PercentDecode(what, credentials.substr(0, colon));
    if (colon != std::string::npos) m.password = PercentDecode(what, credentials.substr(colon + 1));
    if (m.user.empty()) throw ConfigError(what + ": empty user name before '@'");
  }
  m.port = m.tls ? 8883 : 1883;
  std::string host = rest;
  const size_t close = rest.find(']');
  const size_t colon = rest.rfind(':');
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    host = rest.substr(0, colon);
    const std::string digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(digits) < 1 || std::stoi(digits) > 65535) {
      throw ConfigError(what + ": the port must be 1..65535");
    }
    m.port = std::stoi(digits);
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty()) throw ConfigError(what + ": no host");
  m.host = host;
  m.enabled = true;
}

std::string ShortHostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "node";
  std::string host = name;
  host = host.substr(0, host.find('.'));
  for (char& c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  }
  return host.empty() ? "node" : host;
}

std::string ReadSecretFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError("cannot read the webhook secret file " + path + ": " + std::strerror(errno));
  std::string secret((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!secret.empty() && secret.back() == '\n') secret.pop_back();
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  if (secret.empty()) throw ConfigError("the webhook secret file " + path + " is empty");
  return secret;
}

}  // namespace vela::gateway

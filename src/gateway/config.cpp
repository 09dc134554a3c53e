#include "common/hex.h"
#include "gateway/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "at/line_framing.h"
#include "coding/text_coding.h"

namespace vela::gateway {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

namespace {

int ParseNumber(const std::string& what, const std::string& text, int min, int max) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw ConfigError(what + ": '" + text + "' is no number");
  }
  const int v = std::stoi(text);
  if (v < min || v > max)
    throw ConfigError(what + ": " + text + " is outside " + std::to_string(min) + ".." + std::to_string(max));
  return v;
}

void CheckName(const std::string& what, const std::string& name) {
  if (name.empty()) throw ConfigError(what + ": an empty name");
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') {
      throw ConfigError(what + ": a name has letters, digits, '-', '_' and '.' only");
    }
  }
}

}  // namespace

ModemConfig ParseModemSpec(const std::string& spec) {
  const std::string what = "--modem '" + spec + "'";
  const size_t eq = spec.find('=');
  if (eq == std::string::npos || eq == 0)
    throw ConfigError(what + ": expected NAME=PATH[,baud=N][,pin=PIN][,languages=LIST]");
  ModemConfig m;
  m.name = spec.substr(0, eq);
  CheckName(what + " modem name", m.name);
  std::vector<std::string> fields = Split(spec.substr(eq + 1), ',');
  m.path = fields[0];
  if (m.path.empty()) throw ConfigError(what + ": missing the device path");
  std::string lastKey;
  for (size_t i = 1; i < fields.size(); ++i) {
    const std::string& f = fields[i];
    const size_t e = f.find('=');
    if (e == std::string::npos) {
      if (lastKey == "languages" && !f.empty()) {
        m.languages += "," + f;
        continue;
      }
      throw ConfigError(what + ": '" + f + "' is no KEY=VALUE");
    }
    lastKey = f.substr(0, e);
    const std::string value = f.substr(e + 1);
    if (lastKey == "baud") {
      m.baud = ParseNumber(what + " baud", value, 1, 4000000);
    } else if (lastKey == "pin") {
      m.pin = value;
    } else if (lastKey == "languages") {
      m.languages = value;
    } else if (lastKey == "rate") {
      try {
        ParseRate(value, m.limits);
      } catch (const std::invalid_argument& e) {
        throw ConfigError(what + ": " + e.what());
      }
    } else if (lastKey == "daily") {
      m.limits.daily = ParseNumber(what + " daily", value, 1, 100000000);
    } else if (lastKey == "monthly") {
      m.limits.monthly = ParseNumber(what + " monthly", value, 1, 100000000);
    } else if (lastKey == "group") {
      CheckName(what + " group", value);
      m.group = value;
    } else if (lastKey == "route") {
      try {
        for (std::string& r : ParseRoutes(value)) m.routes.push_back(std::move(r));
      } catch (const std::invalid_argument& e) {
        throw ConfigError(what + ": " + e.what());
      }
    } else {
      throw ConfigError(what + ": unknown key '" + lastKey +
                        "' (baud, pin, languages, rate, daily, monthly, group, route)");
    }
  }
  return m;
}

std::vector<std::pair<std::string, std::string>> ParseConfigText(const std::string& text, const std::string& origin) {
  std::vector<std::pair<std::string, std::string>> settings;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string trimmed = TrimControl(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const size_t sep = trimmed.find_first_of("= \t");
    if (sep == std::string::npos) {
      throw ConfigError(origin + ":" + std::to_string(number) + ": expected 'name = value', not '" + trimmed + "'");
    }
    std::string name = TrimControl(trimmed.substr(0, sep));
    std::string value = trimmed.substr(sep);
    // One '=' (or blanks) between name and value.
    size_t v = value.find_first_not_of(" \t");
    if (v != std::string::npos && value[v] == '=') v = value.find_first_not_of(" \t", v + 1);
    value = v == std::string::npos ? std::string() : TrimControl(value.substr(v));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    settings.emplace_back(name, value);
  }
  return settings;
}

void ApplySetting(GatewayConfig& c, const std::string& name, const std::string& value) {
  if (value.empty() && name != "on-receive" && name != "trace")
    throw ConfigError("setting '" + name + "' needs a value");
  if (name == "modem") {
    ModemConfig m = ParseModemSpec(value);
    for (const ModemConfig& other : c.modems) {
      if (other.name == m.name) throw ConfigError("modem '" + m.name + "' is given twice");
    }
    c.modems.push_back(m);
  } else if (name == "db") {
    c.db = value;
  } else if (name == "listen") {
    c.listen = value;
  } else if (name == "token-file") {
    c.tokenFile = value;
  } else if (name == "on-receive") {
    c.onReceive = value;
  } else if (name == "trace") {
    c.trace = value;
  } else if (name == "session-hours") {
    c.sessionHours = ParseNumber(name, value, 1, 24 * 366);
  } else if (name == "max-attempts") {
    c.retry.maxAttempts = ParseNumber(name, value, 1, 1000);
  } else if (name == "max-queue") {
    c.maxQueue = ParseNumber(name, value, 0, 100000000);
  } else if (name == "retry-delay") {
    c.retry.firstDelayMs = static_cast<int64_t>(ParseNumber(name, value, 0, 86400000));
  } else if (name == "webhook") {
    WebhookConfig w = ParseWebhookSpec(value);
    for (const WebhookConfig& other : c.webhooks) {
      if (other.url == w.url) throw ConfigError("webhook " + w.url + " is given twice");
    }
    c.webhooks.push_back(w);
  } else if (name == "node") {
    CheckTopicName("node", value);
    c.node = value;
  } else if (name == "lease-seconds") {
    c.leaseSeconds = ParseNumber(name, value, 1, 3600);
  } else if (name == "mqtt") {
    ParseMqttUrl(value, c.mqtt);
  } else if (name == "mqtt-discovery") {
    // A flag on the command line ("true"); in a file also a prefix of its own.
    if (value == "true" || value == "yes" || value == "on") {
      c.mqtt.discoveryPrefix = "homeassistant";
    } else if (value == "false" || value == "no" || value == "off") {
      c.mqtt.discoveryPrefix.clear();
    } else {
      CheckTopicName("mqtt-discovery prefix", value);
      c.mqtt.discoveryPrefix = value;
    }
  } else if (name == "mqtt-notify-to") {
    c.mqtt.notifyTo.clear();
    size_t start = 0;
    for (;;) {
      const size_t end = value.find(',', start);
      std::string number = TrimControl(value.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (number.empty()) throw ConfigError("mqtt-notify-to: an empty number in '" + value + "'");
      try {
        c.mqtt.notifyTo.push_back(coding::NormaliseDestination(number));
      } catch (const std::exception& e) {
        throw ConfigError("mqtt-notify-to: " + std::string(e.what()));
      }
      if (end == std::string::npos) break;
      start = end + 1;
    }
  } else if (name == "alert-repeat-minutes") {
    c.alertRepeatMinutes = ParseNumber(name, value, 0, 100000);
  } else if (name == "tls-cert") {
    c.tlsCert = value;
  } else if (name == "tls-key") {
    c.tlsKey = value;
  } else {
    throw ConfigError("unknown setting '" + name + "'");
  }
}

std::string LoadOrCreateToken(const std::string& path, bool& created) {
  created = false;
  std::ifstream in(path);
  if (in) {
    std::string token((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    token = TrimControl(token);
    if (token.empty()) throw ConfigError("token file " + path + " is empty");
    return token;
  }
  if (errno != ENOENT) throw ConfigError("cannot read the token file " + path + ": " + std::strerror(errno));
  unsigned char random[32];
  const int rnd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (rnd < 0 || ::read(rnd, random, sizeof random) != static_cast<ssize_t>(sizeof random)) {
    if (rnd >= 0) ::close(rnd);
    throw ConfigError("cannot make a token: /dev/urandom: " + std::string(std::strerror(errno)));
  }
  ::close(rnd);
  const std::string token = hex::LowerFromOctets(random, sizeof random);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw ConfigError("cannot create the token file " + path + ": " + std::strerror(errno));
  const std::string line = token + "\n";
  const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok) throw ConfigError("cannot write the token file " + path + ": " + std::strerror(errno));
  created = true;
  return token;
}

}  // namespace vela::gateway

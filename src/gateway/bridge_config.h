// Settings of the gateway's outward connections: webhooks and the MQTT
// broker (with Home Assistant discovery), parsed from their one-line forms.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vela::gateway {

struct WebhookConfig {
  std::string url;  // http:// or https://
  bool onMessage = true, onStatus = true;
  std::string secretFile;  // empty: deliveries are not signed
  std::string secret;      // the file's content, read at start
  int64_t maxAgeMs = 24LL * 3600 * 1000;
  int64_t firstDelayMs = 5000;   // backoff between tries, doubling ...
  int64_t maxDelayMs = 3600000;  // ... up to this
  int64_t timeoutMs = 10000;     // a 2xx answer within this is success
};

struct MqttConfig {
  bool enabled = false;
  bool tls = false;  // mqtts://
  std::string user, password, host;
  int port = 1883;
  std::string prefix = "velasms";
  std::string discoveryPrefix;        // Home Assistant discovery; empty: off
  std::vector<std::string> notifyTo;  // numbers the notify entity sends to
  int64_t reconnectMinMs = 1000, reconnectMaxMs = 60000;
};

// "30s", "5m", "12h", "2d" (and "250ms"); ConfigError naming `what`.
int64_t ParseDuration(const std::string& what, const std::string& text);

// "URL[,events=message+status][,secret-file=FILE][,max-age=DURATION]
//  [,retry-min=DURATION][,retry-max=DURATION]".
WebhookConfig ParseWebhookSpec(const std::string& spec);

// "mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT][/PREFIX]"; user and password may
// be percent-encoded. Keeps the discovery and notify settings of `into`.
void ParseMqttUrl(const std::string& url, MqttConfig& into);

// A topic level made of a name from the configuration: letters, digits,
// '-', '_' and '.' only (no wildcards, no separators). ConfigError otherwise.
void CheckTopicName(const std::string& what, const std::string& name);

// The host's name up to its first dot ("node" when it has none).
std::string ShortHostName();

// The secret of a webhook: the file's content without its trailing line
// break. ConfigError naming the file when it cannot be read or is empty.
std::string ReadSecretFile(const std::string& path);

}  // namespace vela::gateway

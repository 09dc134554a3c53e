// The gateway's settings: from the command line, from a configuration file
// (the same names without the dashes, "name = value" per line, '#' starts a
// comment), and the bearer token file.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "gateway/bridge_config.h"
#include "gateway/limits.h"
#include "gateway/queue_policy.h"

namespace vela::gateway {

// Unusable settings; the message names the setting and what is wrong.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `text` cut at every `separator`; empty parts are kept ("a,,b", "").
std::vector<std::string> Split(const std::string& text, char separator);

struct ModemConfig {
  std::string name, path;
  int baud = 9600;
  std::string pin;
  std::string languages;  // national tables allowed by default, e.g. "tr,es"
  SendLimits limits;
  std::string group;                // messages for "group:NAME" may go through it
  std::vector<std::string> routes;  // destination prefixes it is preferred for, e.g. "+49"
};

struct GatewayConfig {
  std::vector<ModemConfig> modems;
  std::string db = "./velasms.db";
  std::string listen = "127.0.0.1:8765";
  std::string tokenFile = "./velasms.token";
  std::string onReceive;  // shell command; empty: none
  std::string trace;      // AT trace file; empty: VELACTRL_TRACE as before
  RetrySettings retry;
  std::string node;  // this gateway node's name (nodes sharing a database, MQTT topics); empty: the short host name
  int leaseSeconds = 15;  // a node's hold on its modems lasts this long unrenewed (renewed every third)
  std::vector<WebhookConfig> webhooks;
  MqttConfig mqtt;
  int alertRepeatMinutes = 10;          // POST /v1/alertmanager repeat window
  std::string tlsCert, tlsKey;          // HTTPS when both are set
  int64_t ussdAnswerTimeoutMs = 30000;  // the network's USSD answer after the request
  int64_t maxQueue = 100000;            // messages waiting beyond which POST answers 429 (0: no limit)
  int sessionHours = 12;                // web console sessions end after this long unused
};

// "NAME=PATH[,baud=N][,pin=PIN][,languages=LIST][,rate=N/min|N/h][,daily=N]
// [,monthly=N][,group=NAME][,route=+PREFIX[+PREFIX...]]". The language list
// may go on after commas ("languages=tr,es").
ModemConfig ParseModemSpec(const std::string& spec);

// The settings of a configuration file's text, in order, as (name, value);
// `origin` names the file in errors ("FILE:LINE: ...").
std::vector<std::pair<std::string, std::string>> ParseConfigText(const std::string& text, const std::string& origin);

// Applies one setting ("modem" and "webhook" add one; others replace).
void ApplySetting(GatewayConfig& config, const std::string& name, const std::string& value);

// Reads the token (surrounding blanks removed). A missing file is created
// with a new random token, readable by its owner only (mode 0600).
// `created` tells which. ConfigError naming the file otherwise.
std::string LoadOrCreateToken(const std::string& path, bool& created);

}  // namespace vela::gateway

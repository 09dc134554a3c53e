// Home Assistant MQTT discovery: the retained configuration messages that
// make each modem a device with sensors (signal, operator, registration,
// queue length, last received message) read from the modem's state topic,
// and one notify entity per gateway node whose command topic takes a text
// to send. Pure: the bridge publishes what these return.
#pragma once

#include <string>
#include <vector>

#include "gateway/service.h"

namespace vela::gateway {

struct MqttMessage {
  std::string topic, payload;
  bool retain = true;
};

struct DiscoveryTopics {
  std::string discoveryPrefix;  // "homeassistant"
  std::string prefix, node;     // PREFIX/NODE/... of the gateway's own topics
};

// PREFIX/NODE/<suffix>.
std::string NodeTopic(const DiscoveryTopics& t, const std::string& suffix);

// The sensor configurations of one modem.
std::vector<MqttMessage> ModemDiscovery(const DiscoveryTopics& t, const ModemInfo& modem);
// Empty retained payloads on the same topics: Home Assistant removes them.
std::vector<MqttMessage> ModemDiscoveryRemoval(const DiscoveryTopics& t, const std::string& modem);
// The node's notify entity (command topic PREFIX/NODE/notify).
MqttMessage NotifyDiscovery(const DiscoveryTopics& t);

}  // namespace vela::gateway

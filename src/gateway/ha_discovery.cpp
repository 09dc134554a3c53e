#include "gateway/ha_discovery.h"

#include <nlohmann/json.hpp>

#include "gateway/records_json.h"

namespace vela::gateway {

using nlohmann::json;

namespace {

// Object ids and unique ids take letters, digits, '_' and '-'.
std::string Id(const std::string& text) {
  std::string id;
  for (char c : text) id += (std::isalnum(static_cast<unsigned char>(c)) || c == '-') ? c : '_';
  return id;
}

std::string NodeId(const DiscoveryTopics& t) { return "velasms_" + Id(t.node); }

json Availability(const DiscoveryTopics& t) {
  return json::array(
      {json{{"topic", NodeTopic(t, "status")}, {"payload_available", "online"}, {"payload_not_available", "offline"}}});
}

json NodeDevice(const DiscoveryTopics& t) {
  return json{{"identifiers", json::array({NodeId(t)})},
              {"name", "VelaSMS " + t.node},
              {"manufacturer", "VelaCtrl"},
              {"model", "velasms gateway"}};
}

struct Sensor {
  const char* key;
  const char* name;
  const char* valueTemplate;
  const char* unit;         // nullptr: none
  const char* deviceClass;  // nullptr: none
  bool measurement;
  const char* icon;
};

// A null field reads as "None", which Home Assistant shows as unknown.
const Sensor kSensors[] = {
    {"signal", "Signal", "{{ value_json.signal_dbm }}", "dBm", "signal_strength", true, nullptr},
    {"operator", "Operator", "{{ value_json.operator }}", nullptr, nullptr, false, "mdi:radio-tower"},
    {"registration", "Registration", "{{ value_json.registration }}", nullptr, nullptr, false, "mdi:sim"},
    {"queue_length", "Queue length", "{{ value_json.queue_length }}", "messages", nullptr, true, "mdi:tray-full"},
    {"last_message", "Last message", "{{ (value_json.last_received.text if value_json.last_received else '')[:255] }}",
     nullptr, nullptr, false, "mdi:message-text"},
};

std::string SensorTopic(const DiscoveryTopics& t, const std::string& modem, const char* key) {
  return t.discoveryPrefix + "/sensor/" + NodeId(t) + "/" + Id(modem) + "_" + key + "/config";
}

}  // namespace

std::string NodeTopic(const DiscoveryTopics& t, const std::string& suffix) {
  return t.prefix + "/" + t.node + "/" + suffix;
}

std::vector<MqttMessage> ModemDiscovery(const DiscoveryTopics& t, const ModemInfo& m) {
  const json device = {{"identifiers", json::array({NodeId(t) + "_" + Id(m.name)})},
                       {"name", "SMS modem " + m.name},
                       {"manufacturer", m.manufacturer.empty() ? "unknown" : m.manufacturer},
                       {"model", m.model.empty() ? "unknown" : m.model},
                       {"via_device", NodeId(t)}};
  std::vector<MqttMessage> list;
  for (const Sensor& s : kSensors) {
    json c = {{"name", s.name},
              {"unique_id", NodeId(t) + "_" + Id(m.name) + "_" + s.key},
              {"state_topic", NodeTopic(t, "modems/" + m.name)},
              {"value_template", s.valueTemplate},
              {"availability", Availability(t)},
              {"device", device}};
    if (s.unit) c["unit_of_measurement"] = s.unit;
    if (s.deviceClass) c["device_class"] = s.deviceClass;
    if (s.measurement) c["state_class"] = "measurement";
    if (s.icon) c["icon"] = s.icon;
    if (std::string(s.key) == "last_message") {
      c["json_attributes_topic"] = NodeTopic(t, "modems/" + m.name);
      c["json_attributes_template"] = "{{ (value_json.last_received or {}) | tojson }}";
    }
    list.push_back({SensorTopic(t, m.name, s.key), DumpJson(c), true});
  }
  return list;
}

std::vector<MqttMessage> ModemDiscoveryRemoval(const DiscoveryTopics& t, const std::string& modem) {
  std::vector<MqttMessage> list;
  for (const Sensor& s : kSensors) list.push_back({SensorTopic(t, modem, s.key), "", true});
  return list;
}

MqttMessage NotifyDiscovery(const DiscoveryTopics& t) {
  const json c = {{"name", "SMS"},
                  {"unique_id", NodeId(t) + "_notify"},
                  {"command_topic", NodeTopic(t, "notify")},
                  {"availability", Availability(t)},
                  {"device", NodeDevice(t)}};
  return {t.discoveryPrefix + "/notify/" + NodeId(t) + "/notify/config", DumpJson(c), true};
}

}  // namespace vela::gateway

// The MQTT bridge (libmosquitto): publishes the gateway's events from the
// store, so that a broker that is down or restarting loses nothing, and
// takes messages to send.
//
//   PREFIX/NODE/status          "online" (retained; will "offline")
//   PREFIX/NODE/inbox           each received message (the /v1/inbox object), QoS 1
//   PREFIX/NODE/events          each status change (the /v1/events object), QoS 1
//   PREFIX/NODE/modems/NAME     the modem's state (/v1/modems object plus
//                               "last_received"), retained, on change
//   PREFIX/NODE/send            taken: a POST /v1/messages body with an optional
//                               "idempotency_key"; the answer goes to send/result
//   PREFIX/NODE/notify          taken with discovery: a plain text sent to the
//                               notify numbers
//
// The position in the event log advances as the broker acknowledges each
// publication (QoS 1) and is saved in the store; after a restart or a lost
// connection the bridge publishes again from there (at least once).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <optional>

#include "gateway/bridge_config.h"
#include "gateway/ha_discovery.h"
#include "gateway/worker_thread.h"
#include "gateway/modem_worker.h"
#include "gateway/service.h"
#include "gateway/store.h"

struct mosquitto;
struct mosquitto_message;

namespace vela::gateway {

class MqttBridge {
 public:
  MqttBridge(MqttConfig config, std::string node, Store& store, ModemDirectory& modems, EventNotifier& events, Log& log,
             int maxParts);
  ~MqttBridge() { Stop(); }

  // Connects in the background (retried with backoff while the broker is
  // not there). std::runtime_error when the client cannot be set up.
  void Start();
  // New events or a modem changed (any thread; does not block).
  void Wake() { worker_.Wake(); }
  // Publishes "offline", disconnects, ends the threads.
  void Stop();

 private:
  static void OnConnect(mosquitto* m, void* self, int rc);
  static void OnDisconnect(mosquitto* m, void* self, int rc);
  static void OnPublish(mosquitto* m, void* self, int mid);
  static void OnMessage(mosquitto* m, void* self, const mosquitto_message* message);
  std::optional<WorkerThread::Clock::time_point> RunOnce();
  void Publish(const std::string& topic, const std::string& payload, bool retain, int* mid = nullptr);
  void PublishEvents();
  void PublishModems();
  void TakeSend(const std::string& payload);
  void TakeNotify(const std::string& payload);

  MqttConfig config_;
  DiscoveryTopics topics_;
  Store& store_;
  ModemDirectory& modems_;
  EventNotifier& events_;
  Log& log_;
  int maxParts_;
  mosquitto* mosq_ = nullptr;
  bool loopStarted_ = false;

  bool connected_ = false;  // guarded by worker_.Mutex(), as are the next two
  uint64_t session_ = 0;    // counts connections
  std::set<int> acked_;     // message ids the broker acknowledged

  // The publishing thread's own.
  uint64_t publishedSession_ = 0;
  int64_t savedPosition_ = 0, ackedPosition_ = 0, sentPosition_ = 0;
  std::deque<std::pair<int64_t, int>> inflight_;  // (event id, message id) in order
  std::map<std::string, std::string> retained_;   // topic -> payload last published
  WorkerThread::Clock::time_point nextRefresh_;   // when the modems' states are published again at the latest
  WorkerThread worker_;
};

}  // namespace vela::gateway

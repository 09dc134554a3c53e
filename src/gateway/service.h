// What the HTTP API needs from the rest of the gateway, beside the store:
// the modems' state, a way to wake the senders, the notification of new
// events, and the in-memory metrics.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gateway/limits.h"
#include "gateway/store.h"
#include "gateway/ussd_desk.h"

namespace vela::gateway {

struct ModemInfo {
  std::string name;
  std::string state;  // "opening", "up", "down", "stopped"
  std::string manufacturer, model, operatorName, registration;
  std::optional<int> signalDbm;
  std::string lastError;
  std::vector<int> languages;       // national tables this modem's messages may use by default
  std::string node;                 // the gateway node that holds it
  std::string group;                // empty: none
  std::vector<std::string> routes;  // destination prefixes it is preferred for
  SendLimits limits;
};

class ModemDirectory {
 public:
  virtual ~ModemDirectory() = default;
  virtual std::vector<ModemInfo> Modems() = 0;
  // Whether `name` is a modem of any node (a message may ask for it).
  virtual bool Has(const std::string& name) = 0;
  // The modems of every node (this one's: Modems()).
  virtual std::vector<ModemInfo> AllModems() { return Modems(); }
  virtual std::vector<NodeInfo> Nodes() { return {}; }
  // A message was queued or made due again: idle senders look at the queue.
  virtual void WakeSenders() = 0;
  // USSD on the modem `name` (which Has): waits for the network's answer.
  virtual UssdOutcome Ussd(const std::string& name, const UssdCall& call) {
    (void)name;
    (void)call;
    return UssdOutcome{501, 0, {}, "USSD is not available here"};
  }
};

// New events in the store: waiters (the event streams) block until the log
// has moved past what they sent, or the service stops. No polling.
class EventNotifier {
 public:
  void Notify();
  // Until an event newer than `lastSeen` may exist (the store is then
  // asked), `timeoutMs` passes, or Shutdown. False after Shutdown.
  bool WaitFor(uint64_t seenGeneration, int timeoutMs);
  uint64_t Generation();
  void Shutdown();
  bool IsShutdown();
  // Called on the notifying thread at each Notify (it must not block).
  // Register before any thread notifies.
  void AddListener(std::function<void()> listener);

 private:
  std::vector<std::function<void()>> listeners_;
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t generation_ = 0;
  bool shutdown_ = false;
};

// Counters kept in memory (the store's counts survive restarts; these are
// per run): send latency from the message being taken to every part sent.
class Metrics {
 public:
  static constexpr std::array<double, 9> kLatencyBuckets = {0.1, 0.25, 0.5, 1, 2, 5, 10, 30, 60};
  void ObserveSendLatency(const std::string& modem, double seconds);
  void CountHookFailure();
  // The Prometheus text exposition of these, the store's counts and the modems.
  std::string Render(const std::vector<ModemCounts>& counts, const std::vector<ModemInfo>& modems,
                     const std::map<std::string, int64_t>& queueDepth);

 private:
  struct Histogram {
    std::array<uint64_t, kLatencyBuckets.size()> buckets{};
    uint64_t count = 0;
    double sum = 0;
  };
  std::mutex mutex_;
  std::map<std::string, Histogram> latency_;
  uint64_t hookFailures_ = 0;
};

// The Prometheus gauge of how long the oldest message each modem may take
// (its own or one for any modem) has been queued, in seconds (0: none).
std::string RenderQueueAges(const std::vector<std::pair<std::string, int64_t>>& oldest,
                            const std::vector<ModemInfo>& modems, int64_t nowMs);

// Unix milliseconds now (wall clock).
int64_t NowMs();

}  // namespace vela::gateway

// One modem of the gateway: a thread that owns its driver (the driver
// belongs to the thread that creates it, and that thread runs its message
// loop), opens the port and reopens it after a loss, sends the queued
// messages it may take one after the other, and commits every received part
// and status report to the store before the modem is told it arrived.
//
// The thread sleeps in its message loop until a line comes from the modem, a
// message is queued (Wake), a retry or reassembly time-out is due, or Stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/config.h"
#include "gateway/queue_policy.h"
#include "gateway/service.h"
#include "gateway/store.h"
#include "gateway/ussd_desk.h"

namespace vela::platform {
class MessageTarget;
}

namespace vela::gateway {

// One line per event; safe from any thread.
class Log {
 public:
  explicit Log(std::function<void(const std::string&)> sink) : sink_(std::move(sink)) {}
  void Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sink_) sink_(text);
  }

 private:
  std::mutex mutex_;
  std::function<void(const std::string&)> sink_;
};

// The modems of this gateway that are free now (open, under their limits,
// not sending) and their routes. A modem leaves a message for any modem to
// a free one whose route matches the destination with a longer prefix
// (limits.h MayTake); the preference holds among the modems of one gateway,
// whose states it knows. A modem that stops being free wakes the others:
// what it was left is theirs now (only when some modem has a route, else
// nobody leaves anything).
class ModemRoster {
 public:
  void Add(const std::string& name, const std::vector<std::string>& routes);
  // Called with the modem whose change it is; wakes the others.
  void SetWaker(std::function<void(const std::string&)> wake) { wake_ = std::move(wake); }
  void SetFree(const std::string& name, bool free);
  // The routes of the free modems other than `name`.
  std::vector<std::string> FreeRoutesBesides(const std::string& name);

 private:
  struct Entry {
    std::string name;
    std::vector<std::string> routes;
    bool free = false;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  bool anyRoutes_ = false;
  std::function<void(const std::string&)> wake_;
};

struct WorkerContext {
  Store& store;
  EventNotifier& events;
  Metrics& metrics;
  Log& log;
  RetrySettings retry;
  bool runHook = false;              // received messages wait for the receive hook
  std::function<void()> onReceived;  // a message was stored (wakes the hook runner)
  int maxParts = 10;
  std::function<void()> onInfoChanged;  // the modem's state (Info) changed
  int64_t ussdAnswerTimeoutMs = UssdDesk::kAnswerTimeoutMs;
  ModemRoster* roster = nullptr;  // null: no preference by route
};

class ModemWorker {
 public:
  ModemWorker(ModemConfig config, WorkerContext context);
  ~ModemWorker();
  ModemWorker(const ModemWorker&) = delete;
  ModemWorker& operator=(const ModemWorker&) = delete;

  void Start();
  // Any thread: look at the queue again.
  void Wake();
  // Any thread: finish the message being sent, close the port, end the thread.
  void RequestStop();
  void Join();
  bool Joinable() const { return thread_.joinable(); }

  const std::string& Name() const { return config_.name; }
  ModemInfo Info();
  // The state as last known, without asking the modem anything.
  ModemInfo Snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return info_;
  }
  // Any thread: a USSD code or reply on this modem, waiting for the answer.
  UssdOutcome Ussd(const UssdCall& call) {
    return ussd_.Call(call, [this] { Wake(); });
  }

 private:
  void Run();
  void Post(uint32_t code);

  ModemConfig config_;
  WorkerContext ctx_;
  UssdDesk ussd_;
  std::thread thread_;
  std::mutex mutex_;
  platform::MessageTarget* target_ = nullptr;  // the thread's; guarded by mutex_
  bool stopRequested_ = false;                 // guarded by mutex_
  ModemInfo info_;                             // guarded by mutex_
  int64_t refreshedMs_ = 0;                    // diagnostics last asked for; guarded by mutex_
};

}  // namespace vela::gateway

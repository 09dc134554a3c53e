#include "gateway/cluster_node.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "gateway/records_json.h"

namespace vela::gateway {

using nlohmann::json;

namespace {

int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Joined(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s;
}

}  // namespace

std::string ModemView(const ModemInfo& m) {
  json o = json::object();
  o["state"] = m.state;
  o["manufacturer"] = m.manufacturer;
  o["model"] = m.model;
  o["operator"] = m.operatorName;
  o["registration"] = m.registration;
  if (m.signalDbm) o["signal_dbm"] = *m.signalDbm;
  o["last_error"] = m.lastError;
  return DumpJson(o);
}

std::vector<ModemInfo> ClusterModems(PostgresCluster& cluster, const std::vector<ModemInfo>& local) {
  std::vector<ModemInfo> list;
  for (const LeasedModem& l : cluster.Modems()) {
    ModemInfo m;
    bool mine = false;
    for (const ModemInfo& own : local) {
      if (own.name == l.modem && l.node == cluster.Node()) m = own, mine = true;
    }
    if (!mine) {
      m.name = l.modem;
      const json v = json::parse(l.info, nullptr, false);
      auto text = [&](const char* key) {
        return v.is_object() && v.contains(key) && v[key].is_string() ? v[key].get<std::string>() : std::string();
      };
      m.state = text("state");
      m.manufacturer = text("manufacturer");
      m.model = text("model");
      m.operatorName = text("operator");
      m.registration = text("registration");
      m.lastError = text("last_error");
      if (v.is_object() && v.contains("signal_dbm") && v["signal_dbm"].is_number_integer()) {
        m.signalDbm = v["signal_dbm"].get<int>();
      }
      if (m.state.empty()) m.state = "opening";
      if (!l.alive) {
        m.state = "down";
        m.lastError = "the node " + l.node + " is not running";
      }
    }
    m.node = l.node;
    list.push_back(std::move(m));
  }
  return list;
}

ClusterNode::ClusterNode(PostgresCluster& cluster, Log& log, Hooks hooks)
    : cluster_(cluster), log_(log), hooks_(std::move(hooks)) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot create a pipe");
}

ClusterNode::~ClusterNode() {
  Stop();
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void ClusterNode::Start() {
  thread_ = std::thread([this] { Run(); });
}

void ClusterNode::Stop() {
  if (!thread_.joinable()) return;
  const char byte = 1;
  (void)!::write(wake_[1], &byte, 1);
  thread_.join();
}

void ClusterNode::TryLead() {
  try {
    if (leading_ || !cluster_.TryLead()) return;
    leading_ = true;
    log_.Line("this node delivers the webhooks and runs the receive hook of every node");
    hooks_.lead();
  } catch (const std::exception& e) {
    log_.Line(std::string("cannot take over the webhooks and the receive hook: ") + e.what());
  }
}

void ClusterNode::RunTick() {
  TryLead();
  try {
    const TickOutcome t = cluster_.Tick(hooks_.modemViews());
    if (!t.lost.empty()) {
      log_.Line("the lease on modem(s) " + Joined(t.lost) +
                " is lost (another process took the modem over: this node's name started again, or its lease ran out); "
                "they send nothing more here");
    }
    if (!t.regained.empty()) {
      log_.Line("the lease on modem(s) " + Joined(t.regained) + " had run out; held again");
      hooks_.wakeSenders();
    }
    for (const auto& [modem, node] : t.expired) {
      log_.Line("the lease of node " + node + " on modem " + modem +
                " ran out; its messages for any modem go out here");
    }
    if (t.unknown > 0) {
      log_.Line(std::to_string(t.unknown) +
                " message(s) were being sent by a node that stopped; marked unknown (POST /v1/messages/ID/retry sends "
                "one again)");
    }
  } catch (const std::exception& e) {
    log_.Line(std::string("cannot renew the leases: ") + e.what());
  }
}

void ClusterNode::Run() {
  const int64_t tickMs = std::max<int64_t>(cluster_.LeaseMs() / 3, 100);
  int64_t nextTick = SteadyNowMs() + tickMs;
  int socket = -1;
  bool saidBroken = false;
  for (;;) {
    if (socket < 0) {
      try {
        leading_ = false;
        socket = cluster_.Listen();
        saidBroken = false;
        TryLead();
        // What was notified while not listening is looked at now.
        hooks_.newEvents();
        hooks_.wakeSenders();
      } catch (const std::exception& e) {
        if (!saidBroken) log_.Line(std::string("cannot listen for other nodes' notifications: ") + e.what());
        saidBroken = true;
      }
    }
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {socket, POLLIN, 0}};
    const int64_t wait = std::max<int64_t>(0, nextTick - SteadyNowMs());
    ::poll(fds, socket < 0 ? 1 : 2, static_cast<int>(wait));
    if (fds[0].revents != 0) return;
    if (socket >= 0 && fds[1].revents != 0) {
      bool broken = false;
      bool events = false, queue = false;
      for (const std::string& channel : cluster_.Notifications(broken)) {
        events = events || channel == "velasms_events";
        queue = queue || channel == "velasms_queue";
      }
      if (events) hooks_.newEvents();
      if (queue) hooks_.wakeSenders();
      if (broken) {
        log_.Line("the notification connection to the database was lost; listening again");
        socket = -1;
      }
    }
    if (SteadyNowMs() >= nextTick) {
      RunTick();
      nextTick = SteadyNowMs() + tickMs;
    }
  }
}

}  // namespace vela::gateway

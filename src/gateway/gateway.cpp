#include "gateway/gateway.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <future>

#include "gateway/open_store.h"
#include "gateway/postgres_store.h"
#include "platform/termination.h"

namespace vela::gateway {

Gateway::Gateway(GatewayConfig config, std::function<void(const std::string&)> logSink)
    : config_(std::move(config)), log_(std::move(logSink)) {}

Gateway::~Gateway() { Stop(); }

void Gateway::Start() {
  if (config_.modems.empty()) throw ConfigError("no modem given (--modem NAME=PATH)");
  std::string host;
  int port = 0;
  try {
    ParseListenAddress(config_.listen, host, port);
  } catch (const std::invalid_argument& e) {
    throw ConfigError(e.what());
  }
  bool created = false;
  ApiSettings api;
  api.maxQueue = config_.maxQueue;
  api.sessionHours = config_.sessionHours;
  api.token = LoadOrCreateToken(config_.tokenFile, created);
  api.alertRepeatMinutes = config_.alertRepeatMinutes;
  api.tlsCert = config_.tlsCert;
  api.tlsKey = config_.tlsKey;
  if (created) {
    log_.Line("created the token file " + config_.tokenFile + " (mode 0600)");
  } else {
    struct stat st {};
    if (::stat(config_.tokenFile.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
      log_.Line("warning: the token file " + config_.tokenFile + " can be read by other users (chmod 600 it)");
    }
  }

  for (WebhookConfig& w : config_.webhooks) {
    if (w.secretFile.empty()) continue;
    w.secret = ReadSecretFile(w.secretFile);
    struct stat st {};
    if (::stat(w.secretFile.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
      log_.Line("warning: the webhook secret file " + w.secretFile + " can be read by other users (chmod 600 it)");
    }
  }
  if (!config_.tlsKey.empty()) {
    struct stat st {};
    if (::stat(config_.tlsKey.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
      log_.Line("warning: the TLS key " + config_.tlsKey + " can be read by other users (chmod 600 it)");
    }
  }

  store_ = OpenStore(config_.db, [this](const std::string& line) { log_.Line(line); });
  node_ = config_.node.empty() ? ShortHostName() : config_.node;

  // The address first: a second gateway on it (a manual run beside the
  // service, a restart racing the old process) must stop before it touches
  // the queue or the modems.
  api_ = std::make_unique<HttpApi>(*store_, *this, events_, metrics_, api);
  api_->Bind(host, port);
  // Deliveries are made for every event from here on, recovery's included.
  webhooks_ = std::make_unique<WebhookDispatcher>(config_.webhooks, *store_, log_);
  webhooks_->Register();
  events_.AddListener([this] { webhooks_->Wake(); });
  AddWebhookRoutes(api_->Server(), *store_, *webhooks_);

  if (auto* pg = dynamic_cast<PostgresStore*>(store_.get())) {
    // Before the recovery: it leaves what other nodes' modems are sending.
    cluster_ = std::make_unique<PostgresCluster>(*pg, node_, int64_t{config_.leaseSeconds} * 1000);
    std::vector<std::string> names;
    for (const ModemConfig& m : config_.modems) names.push_back(m.name);
    cluster_->Join(names);
  }
  const int interrupted = store_->RecoverInterrupted(NowMs());
  if (interrupted > 0) {
    log_.Line(std::to_string(interrupted) +
              " message(s) were being sent when the gateway last stopped; marked unknown (POST "
              "/v1/messages/ID/retry sends one again)");
  }

  if (!config_.onReceive.empty()) {
    hook_ = std::make_unique<HookRunner>(config_.onReceive, *store_, metrics_, log_, config_.retry);
    hook_->Start();
    // Other nodes' received messages may wait for this node's hook.
    if (cluster_) events_.AddListener([this] { hook_->Wake(); });
  }
  for (const ModemConfig& m : config_.modems) {
    WorkerContext ctx{*store_,          events_, metrics_,     log_,   config_.retry,
                      hook_ != nullptr, nullptr, api.maxParts, nullptr};
    ctx.ussdAnswerTimeoutMs = config_.ussdAnswerTimeoutMs;
    ctx.roster = &roster_;
    roster_.Add(m.name, m.routes);
    if (hook_) ctx.onReceived = [this] { hook_->Wake(); };
    ctx.onInfoChanged = [this] {
      if (mqtt_) mqtt_->Wake();
    };
    workers_.push_back(std::make_unique<ModemWorker>(m, ctx));
  }
  roster_.SetWaker([this](const std::string& changed) {
    for (auto& w : workers_) {
      if (w->Name() != changed) w->Wake();
    }
  });
  webhooks_->Start();
  if (config_.mqtt.enabled) {
    mqtt_ = std::make_unique<MqttBridge>(config_.mqtt, node_, *store_, *this, events_, log_, api.maxParts);
    events_.AddListener([this] { mqtt_->Wake(); });
    mqtt_->Start();
  }
  for (auto& w : workers_) w->Start();
  if (cluster_) {
    ClusterNode::Hooks hooks;
    hooks.modemViews = [this] {
      std::map<std::string, std::string> views;
      for (auto& w : workers_) views[w->Name()] = ModemView(w->Snapshot());
      return views;
    };
    hooks.wakeSenders = [this] { WakeSenders(); };
    hooks.newEvents = [this] { events_.Notify(); };
    hooks.lead = [this] {
      webhooks_->Wake();
      if (hook_) hook_->Wake();
    };
    clusterNode_ = std::make_unique<ClusterNode>(*cluster_, log_, hooks);
    clusterNode_->Start();
  }

  apiThread_ = std::thread([this] { api_->Run(); });
  log_.Line("listening on " + host + ":" + std::to_string(api_->Port()) + ", database " + DisplayName(config_.db) +
            ", " + std::to_string(workers_.size()) + " modem(s)" + (config_.tlsCert.empty() ? "" : ", HTTPS") +
            (cluster_ ? ", node " + node_ : ""));
}

void Gateway::Stop(int budgetMs) {
  if (stopped_) return;
  stopped_ = true;
  const auto start = std::chrono::steady_clock::now();
  // No new requests; event streams end.
  if (api_) api_->Stop();
  for (auto& w : workers_) w->RequestStop();
  // Each worker finishes the message on the wire; one still waiting for a
  // modem after most of the budget has its command aborted.
  auto joinAll = std::async(std::launch::async, [this] {
    for (auto& w : workers_) w->Join();
  });
  if (joinAll.wait_until(start + std::chrono::milliseconds(budgetMs * 8 / 10)) != std::future_status::ready) {
    log_.Line("a modem command is still running; aborting it");
    platform::RequestTermination();
  }
  joinAll.wait();
  if (clusterNode_) clusterNode_->Stop();
  if (cluster_) {
    try {
      cluster_->Leave();  // nothing is being sent any more
    } catch (const std::exception& e) {
      log_.Line(std::string("cannot give up the leases (they run out by themselves): ") + e.what());
    }
  }
  if (hook_) hook_->Stop();
  if (webhooks_) webhooks_->Stop();
  if (mqtt_) mqtt_->Stop();
  if (apiThread_.joinable()) apiThread_.join();
  log_.Line("stopped");
}

std::vector<ModemInfo> Gateway::Modems() {
  std::vector<ModemInfo> list;
  for (auto& w : workers_) {
    list.push_back(w->Info());
    list.back().node = node_;
  }
  return list;
}

std::vector<ModemInfo> Gateway::AllModems() {
  std::vector<ModemInfo> local = Modems();
  if (!cluster_) return local;
  return ClusterModems(*cluster_, local);
}

std::vector<NodeInfo> Gateway::Nodes() {
  if (!cluster_) {
    NodeInfo self{node_, NowMs(), true, {}};
    for (auto& w : workers_) self.modems.push_back(w->Name());
    return {self};
  }
  return cluster_->Nodes();
}

bool Gateway::Has(const std::string& name) {
  // "group:NAME": a group some modem is in.
  const bool group = name.compare(0, 6, kGroupPrefix) == 0;
  for (const ModemConfig& m : config_.modems) {
    if (group ? !m.group.empty() && name.compare(6, std::string::npos, m.group) == 0 : m.name == name) return true;
  }
  return cluster_ && cluster_->Knows(name);
}

void Gateway::WakeSenders() {
  for (auto& w : workers_) w->Wake();
}

UssdOutcome Gateway::Ussd(const std::string& name, const UssdCall& call) {
  for (auto& w : workers_) {
    if (w->Name() == name) return w->Ussd(call);
  }
  if (cluster_ && cluster_->Knows(name)) {
    return UssdOutcome{409, 0, {}, "the modem " + name + " belongs to another node; ask that node (GET /v1/modems)"};
  }
  return UssdOutcome{404, 0, {}, "no modem named \"" + name + "\""};
}

}  // namespace vela::gateway

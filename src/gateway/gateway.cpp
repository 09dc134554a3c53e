#include "gateway/gateway.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <future>

#include "gateway/open_store.h"
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

  const int interrupted = store_->RecoverInterrupted(NowMs());
  if (interrupted > 0) {
    log_.Line(std::to_string(interrupted) +
              " message(s) were being sent when the gateway last stopped; marked unknown (POST "
              "/v1/messages/ID/retry sends one again)");
  }

  if (!config_.onReceive.empty()) {
    hook_ = std::make_unique<HookRunner>(config_.onReceive, *store_, metrics_, log_, config_.retry);
    hook_->Start();
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
    mqtt_ = std::make_unique<MqttBridge>(config_.mqtt, config_.node.empty() ? ShortHostName() : config_.node, *store_,
                                         *this, events_, log_, api.maxParts);
    events_.AddListener([this] { mqtt_->Wake(); });
    mqtt_->Start();
  }
  for (auto& w : workers_) w->Start();

  apiThread_ = std::thread([this] { api_->Run(); });
  log_.Line("listening on " + host + ":" + std::to_string(api_->Port()) + ", database " + DisplayName(config_.db) +
            ", " + std::to_string(workers_.size()) + " modem(s)" + (config_.tlsCert.empty() ? "" : ", HTTPS"));
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
  if (hook_) hook_->Stop();
  if (webhooks_) webhooks_->Stop();
  if (mqtt_) mqtt_->Stop();
  if (apiThread_.joinable()) apiThread_.join();
  log_.Line("stopped");
}

std::vector<ModemInfo> Gateway::Modems() {
  std::vector<ModemInfo> list;
  for (auto& w : workers_) list.push_back(w->Info());
  return list;
}

bool Gateway::Has(const std::string& name) {
  // "group:NAME": a group some modem is in.
  const bool group = name.compare(0, 6, kGroupPrefix) == 0;
  for (const ModemConfig& m : config_.modems) {
    if (group ? !m.group.empty() && name.compare(6, std::string::npos, m.group) == 0 : m.name == name) return true;
  }
  return false;
}

void Gateway::WakeSenders() {
  for (auto& w : workers_) w->Wake();
}

UssdOutcome Gateway::Ussd(const std::string& name, const UssdCall& call) {
  for (auto& w : workers_) {
    if (w->Name() == name) return w->Ussd(call);
  }
  return UssdOutcome{404, 0, {}, "no modem named \"" + name + "\""};
}

}  // namespace vela::gateway

#include "gateway/modem_worker.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>

#include "coding/reassembly.h"
#include "coding/text_coding.h"
#include "coding/validity.h"
#include "modem/vuz_vela.h"
#include "common/utf8.h"
#include "common/datetime.h"
#include "platform/message_target.h"

namespace vela::gateway {

namespace {

constexpr uint32_t kWakeMessage = platform::kUserMessage + 0x40;
constexpr uint32_t kStopMessage = kWakeMessage + 1;
constexpr uint32_t kRefreshMessage = kWakeMessage + 2;
constexpr int64_t kFirstReopenDelayMs = 1000;
constexpr int64_t kMaxReopenDelayMs = 5000;
// While the device is absent (unplugged) its path is looked at this often;
// nothing is looked at while it is open.
constexpr int64_t kAbsentCheckMs = 1000;
constexpr int64_t kInfoMaxAgeMs = 30000;
constexpr uint32_t kCancelWaitMs = 300;

uint64_t SteadyMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// What makes one received part the same part when the network delivers it
// again: originator, service-centre time, concatenation and text.
std::string Fingerprint(const coding::DecodedUserData& d) {
  std::string f = d.originator + '\x1f' + d.smscTime + '\x1f';
  if (d.hasHeader && d.header.concatenation) {
    const coding::Concatenation& c = *d.header.concatenation;
    f += std::to_string(c.reference) + '/' + std::to_string(c.total) + '/' + std::to_string(c.sequence) +
         (c.ref16 ? "w" : "");
  } else {
    f += '-';
  }
  return f + '\x1f' + Utf8FromWide(d.text);
}

// Whether the device's path (or what a link names) exists. A path that
// cannot be looked at counts as present: opening it says why it fails.
bool DevicePresent(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error) || static_cast<bool>(error);
}

}  // namespace

// The per-thread part of a worker: the driver, the reassembly of received
// parts, and what the loop needs between iterations. Lives on the worker's
// stack; everything here runs on that thread.
struct WorkerThread {
  using Update = std::function<void(const std::function<void(ModemInfo&)>&)>;
  WorkerThread(ModemConfig& c, WorkerContext& x, Update u) : config(c), ctx(x), update(std::move(u)) {}

  ModemConfig& config;
  WorkerContext& ctx;
  Update update;
  TVuZVela driver;
  coding::Reassembler reassembler;

  void Logf(const std::string& text) { ctx.log.Line("modem " + config.name + ": " + text); }

  void Feed(const coding::DecodedUserData& d, int64_t partId, uint64_t arrivedMs) {
    for (const coding::AssembledMessage& m :
         reassembler.Add(coding::PartOf(d, static_cast<uint64_t>(partId)), arrivedMs)) {
      StoreAssembled(m);
    }
  }

  void StoreAssembled(const coding::AssembledMessage& a) {
    ReceivedMessage m;
    m.modem = config.name;
    m.originator = a.originator;
    m.text = Utf8FromWide(a.text);
    m.smscTime = a.smscTime;
    m.reference = a.concatenation ? a.concatenation->reference : -1;
    m.parts = a.parts;
    m.complete = a.complete;
    std::vector<int64_t> partIds(a.tags.begin(), a.tags.end());
    auto id = ctx.store.AddReceived(m, partIds, ctx.runHook, NowMs());
    if (!id) {
      Logf("message from " + m.originator + " delivered again; stored once already");
      return;
    }
    ctx.events.Notify();
    if (ctx.onReceived) ctx.onReceived();
    Logf("received message " + std::to_string(*id) + " from " + m.originator + " (" + std::to_string(m.parts) +
         (m.parts == 1 ? " part" : " parts") + (m.complete ? "" : ", incomplete") + ")");
  }

  // Runs before the driver acknowledges or deletes the indication: false
  // leaves it with the modem / network, which delivers it again.
  bool Accept(bool report, const ByteString& pdu) {
    try {
      if (report) return AcceptReport(pdu);
      const coding::DecodedUserData d = coding::DecodePdu(pdu);
      auto partId = ctx.store.AddPendingPart(config.name, pdu, Fingerprint(d), NowMs());
      if (!partId) {
        Logf("a part from " + d.originator + " delivered again was recognised and dropped");
        return true;
      }
      Feed(d, *partId, SteadyMs());
      return true;
    } catch (const std::exception& e) {
      Logf(std::string("could not store a received ") + (report ? "report" : "message") +
           ", left with the modem: " + e.what());
      return false;
    }
  }

  bool AcceptReport(const ByteString& pdu) {
    ReportRecord r;
    r.modem = config.name;
    const coding::DecodedUserData report = coding::DecodePdu(pdu);
    if (report.kind != 2 || !report.reference) {
      Logf("an indication announced as a status report is none; dropped: " + pdu);
      return true;
    }
    r.reference = *report.reference;
    r.tpStatus = report.status.value_or(0);
    r.smscTime = report.smscTime;
    r.dischargeTime = report.dischargeTime;
    ReportMatch match = ctx.store.RecordReport(r, NowMs());
    ctx.events.Notify();
    if (match.messageId == 0) {
      Logf("status report for reference " + std::to_string(r.reference) + " matches no sent message");
    } else if (!match.newStatus.empty()) {
      Logf("message " + std::to_string(match.messageId) + " " + match.newStatus);
    }
    return true;
  }

  void ReloadPending() {
    const int64_t wallNow = NowMs();
    const uint64_t steadyNow = SteadyMs();
    size_t count = 0;
    for (const PendingPart& p : ctx.store.PendingParts(config.name)) {
      const uint64_t age = static_cast<uint64_t>(std::max<int64_t>(0, wallNow - p.receivedMs));
      Feed(coding::DecodePdu(p.pdu), p.id, steadyNow > age ? steadyNow - age : 0);
      ++count;
    }
    if (count) Logf(std::to_string(count) + " received parts wait for the rest of their messages");
  }

  // A process that died after the prompt of AT+CMGS (this gateway killed, or
  // another program) leaves the modem reading the rest of a PDU: every
  // command written then is taken for PDU text, ATZ included, so Open would
  // never get an answer. ESC ends that input without sending (27.005 3.5.1
  // +CMGS) and is ignored in command mode.
  void CancelPduInput() {
    driver.Port = config.path;
    driver.BaudRate = config.baud;
    driver.CancelPduInput(kCancelWaitMs);
  }

  void RefreshDiagnostics() {
    const TVuZVela::Diagnostics d = driver.QueryDiagnostics();
    update([&](ModemInfo& info) {
      info.signalDbm = d.signalDbm;
      info.registration = d.registration.value_or("");
      info.operatorName = d.operatorName.value_or("");
    });
  }

  void Send(const OutgoingMessage& m) {
    SendOutcome o;
    TVuZVela::SendTextResult result;
    const uint64_t start = SteadyMs();
    try {
      TVuZVela::SendTextOptions options;
      options.coding = coding::ParseCoding(m.coding);
      options.languages = coding::ParseLanguageList(m.languages.empty() ? config.languages : m.languages);
      options.statusReport = m.report;
      options.maxParts = ctx.maxParts;
      options.validity = coding::ParseValidity(m.validity.empty() ? std::string("max") : m.validity);
      result = driver.SendText(m.to, WideFromUtf8(m.text), options);
      if (result.Complete()) {
        o.kind = SendOutcome::Kind::kSent;
      } else if (!result.references.empty()) {
        // Parts went out and cannot be taken back; sending all again would
        // give the recipient those twice.
        o.kind = SendOutcome::Kind::kInvalid;
        o.detail = std::to_string(result.references.size()) + " of " + std::to_string(result.parts) +
                   " parts went out, then the modem refused: " +
                   (result.cmsError ? CmsErrorText(result.cmsError) : driver.LastModemError().Describe());
      } else if (!driver.IsOpen()) {
        o.kind = SendOutcome::Kind::kWrittenNoAnswer;
        o.detail = "the modem's port was lost during the send; the message may have gone out";
      } else if (result.cmsError != 0) {
        o.kind = SendOutcome::Kind::kRefused;
        o.cmsError = result.cmsError;
      } else {
        const TVuZVela::ModemError& e = driver.LastModemError();
        if (e.kind == TVuZVela::ModemError::Kind::kCms) {
          o.kind = SendOutcome::Kind::kRefused;
          o.cmsError = e.code.value_or(0);
        } else if (e.kind == TVuZVela::ModemError::Kind::kPlain || e.kind == TVuZVela::ModemError::Kind::kCme) {
          o.kind = SendOutcome::Kind::kRefused;
          o.detail = e.Describe();
        } else {
          o.kind = SendOutcome::Kind::kNoAnswer;
        }
      }
    } catch (const coding::ETextCodingError& e) {
      o.kind = SendOutcome::Kind::kInvalid;
      o.detail = e.what();
    } catch (const EAbort&) {
      o.kind = SendOutcome::Kind::kWrittenNoAnswer;
      o.detail = "the gateway stopped during the send; the message may have gone out";
    } catch (const std::exception& e) {
      if (driver.IsOpen()) {
        o.kind = SendOutcome::Kind::kNoAnswer;
        o.detail = e.what();
      } else {
        o.kind = SendOutcome::Kind::kWrittenNoAnswer;
        o.detail =
            std::string("the modem's port was lost during the send (") + e.what() + "); the message may have gone out";
      }
    }
    const Decision d = Decide(o, m.attempts, ctx.retry);
    const int64_t now = NowMs();
    const std::string id = std::to_string(m.id);
    switch (d.action) {
      case Decision::Action::kSent:
        ctx.store.MarkSent(m.id, result.references, now);
        ctx.metrics.ObserveSendLatency(config.name, static_cast<double>(SteadyMs() - start) / 1000.0);
        Logf("sent message " + id + " to " + m.to + " (" + std::to_string(result.parts) +
             (result.parts == 1 ? " part" : " parts") + ")");
        break;
      case Decision::Action::kRetry:
        ctx.store.MarkRetry(m.id, d.error, now + d.delayMs, now);
        Logf("message " + id + ": " + d.error + "; retried in " + std::to_string(d.delayMs / 1000) + " s");
        break;
      case Decision::Action::kFail:
        ctx.store.MarkFinal(m.id, status::kFailed, d.error, now);
        Logf("message " + id + " failed: " + d.error);
        break;
      case Decision::Action::kUnknown:
        ctx.store.MarkFinal(m.id, status::kUnknown, d.error, now);
        Logf("message " + id + " unknown: " + d.error);
        break;
    }
    update([&](ModemInfo& info) {
      if (d.action != Decision::Action::kSent) info.lastError = d.error;
    });
    ctx.events.Notify();
  }
};

void ModemRoster::Add(const std::string& name, const std::vector<std::string>& routes) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(Entry{name, routes, false});
  anyRoutes_ = anyRoutes_ || !routes.empty();
}

void ModemRoster::SetFree(const std::string& name, bool free) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Entry& e : entries_) {
      if (e.name != name) continue;
      wake = anyRoutes_ && e.free && !free;
      e.free = free;
    }
  }
  if (wake && wake_) wake_(name);
}

std::vector<std::string> ModemRoster::FreeRoutesBesides(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> routes;
  for (const Entry& e : entries_) {
    if (e.free && e.name != name) routes.insert(routes.end(), e.routes.begin(), e.routes.end());
  }
  return routes;
}

ModemWorker::ModemWorker(ModemConfig config, WorkerContext context)
    : config_(std::move(config)), ctx_(std::move(context)) {
  ussd_.SetAnswerTimeout(ctx_.ussdAnswerTimeoutMs);
  info_.name = config_.name;
  info_.state = "stopped";
  info_.group = config_.group;
  info_.routes = config_.routes;
  info_.limits = config_.limits;
  try {
    info_.languages = coding::ParseLanguageList(config_.languages);
  } catch (const std::exception& e) {
    throw ConfigError("modem " + config_.name + ": languages: " + e.what());
  }
}

ModemWorker::~ModemWorker() {
  RequestStop();
  Join();
}

void ModemWorker::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    info_.state = "opening";
  }
  thread_ = std::thread([this] { Run(); });
}

void ModemWorker::Post(uint32_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (code == kStopMessage) stopRequested_ = true;
  if (target_) target_->Post(code, 0, 0);
}

void ModemWorker::Wake() { Post(kWakeMessage); }
void ModemWorker::RequestStop() { Post(kStopMessage); }

void ModemWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

ModemInfo ModemWorker::Info() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Signal and registration are asked again when someone looks and they are
  // old: no periodic queries while nobody does.
  const int64_t now = NowMs();
  if (info_.state == "up" && target_ && now - refreshedMs_ > kInfoMaxAgeMs) {
    refreshedMs_ = now;
    target_->Post(kRefreshMessage, 0, 0);
  }
  return info_;
}

void ModemWorker::Run() {
  bool stop = false;
  bool refresh = false;
  platform::MessageTarget target([&](uint32_t code, uintptr_t, uintptr_t) {
    if (code == kStopMessage) stop = true;
    if (code == kRefreshMessage) refresh = true;
  });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = &target;
    stop = stopRequested_;
  }
  std::optional<bool> published;  // free, as the other nodes last learnt it
  auto setFree = [this, &published](bool free) {
    if (ctx_.roster) ctx_.roster->SetFree(config_.name, free);
    if (!config_.routes.empty() && published != free) {
      try {
        ctx_.store.SetRoutedModemFree(config_.name, config_.routes, free);
        published = free;
      } catch (const StoreError&) {
        // the next change tries again; meanwhile the others do not defer to it
      }
    }
  };
  auto update = [this](const std::function<void(ModemInfo&)>& change) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change(info_);
    }
    if (ctx_.onInfoChanged) ctx_.onInfoChanged();
  };

  WorkerThread w(config_, ctx_, update);
  TVuZVela& driver = w.driver;
  driver.Port = config_.path;
  driver.BaudRate = config_.baud;
  driver.Pin = config_.pin;
  driver.Lock = TVuZVela::LockScope::kPort;
  driver.StoredAtOpen = TVuZVela::StoredPolicy::kDeliver;
  driver.OnAcceptIndication = [&w](bool report, const ByteString& pdu) { return w.Accept(report, pdu); };
  // Everything is taken in OnAcceptIndication, which decides the acknowledgement.
  driver.AckPolicy = TVuZVela::Acknowledgement::kAlways;
  int64_t reopenDelay = kFirstReopenDelayMs;
  std::optional<uint64_t> reopenAt;
  bool absent = false;  // the device's path is gone; said once
  driver.OnPortLost = [&] {
    update([](ModemInfo& info) {
      info.state = "down";
      info.lastError = "the port was lost";
    });
    w.Logf("port lost; reopening when it is back");
    // The loop sleeps until this time: nothing else may wake it.
    reopenAt = SteadyMs() + static_cast<uint64_t>(kFirstReopenDelayMs);
    reopenDelay = kFirstReopenDelayMs;
  };

  try {
    w.ReloadPending();
  } catch (const std::exception& e) {
    w.Logf(std::string("cannot read the parts waiting for their messages: ") + e.what());
  }

  while (!stop) {
    try {
      if (!driver.IsOpen() && (!reopenAt || SteadyMs() >= *reopenAt) && !DevicePresent(config_.path)) {
        // Unplugged: no open attempts (and no backoff) until the path is back.
        if (!absent) w.Logf(config_.path + " is absent; waiting for it to come back");
        absent = true;
        update([&](ModemInfo& info) {
          info.state = "down";
          info.lastError = "the device " + config_.path + " is absent";
        });
        reopenAt = SteadyMs() + static_cast<uint64_t>(kAbsentCheckMs);
        reopenDelay = kFirstReopenDelayMs;
      } else if (!driver.IsOpen() && (!reopenAt || SteadyMs() >= *reopenAt)) {
        absent = false;
        update([](ModemInfo& info) { info.state = "opening"; });
        try {
          w.CancelPduInput();
          driver.Open();
          reopenAt.reset();
          reopenDelay = kFirstReopenDelayMs;
          update([&](ModemInfo& info) {
            info.state = "up";
            info.manufacturer = driver.Manufacturer();
            info.model = driver.DeviceModel();
            info.lastError.clear();
          });
          w.Logf("up (" + driver.Manufacturer() + " " + driver.DeviceModel() + ")");
          w.RefreshDiagnostics();
        } catch (const EAbort&) {
          break;
        } catch (const std::exception& e) {
          update([&](ModemInfo& info) {
            info.state = "down";
            info.lastError = e.what();
          });
          w.Logf(std::string("cannot open ") + config_.path + ": " + e.what() + "; trying again in " +
                 std::to_string(reopenDelay / 1000) + " s");
          reopenAt = SteadyMs() + static_cast<uint64_t>(reopenDelay);
          reopenDelay = std::min(reopenDelay * 2, kMaxReopenDelayMs);
        }
      }
      platform::DispatchPendingMessages();
      if (stop) break;
      ussd_.Run(driver, config_.name);
      // Under its limits the modem claims; at one, it takes nothing (its own
      // messages stay queued, others' go to other modems) and sleeps until
      // the limit frees.
      std::optional<int64_t> cappedUntil;
      std::optional<int64_t> deferredAt;  // the claim's time, when it may have left messages to others
      Claimant who(config_.name);
      if (driver.IsOpen()) {
        if (refresh) {
          refresh = false;
          w.RefreshDiagnostics();
        }
        if (config_.limits.Any()) {
          const int64_t now = NowMs();
          const CalendarBounds calendar = CalendarAround(now);
          const LimitStatus limit = EvaluateLimits(
              config_.limits,
              ctx_.store.CountSends(config_.name, config_.limits.rate, calendar.dayStartMs, calendar.monthStartMs),
              calendar, now);
          if (limit.blockedUntilMs > 0) cappedUntil = limit.blockedUntilMs;
        }
        setFree(!cappedUntil);
        if (!cappedUntil) {
          who.group = config_.group;
          who.routes = config_.routes;
          if (ctx_.roster) who.freeElsewhere = ctx_.roster->FreeRoutesBesides(config_.name);
          for (std::string& r : ctx_.store.FreeRoutesOfOtherNodes()) who.freeElsewhere.push_back(std::move(r));
          const int64_t now = NowMs();
          if (!who.freeElsewhere.empty()) deferredAt = now;
          if (auto m = ctx_.store.ClaimNext(who, now)) {
            setFree(false);
            ctx_.events.Notify();
            w.Send(*m);
            continue;
          }
        }
      } else {
        setFree(false);
      }

      // A stop taken in a command's own dispatch (RefreshDiagnostics) posts
      // nothing more to wake the sleep below.
      if (stop) break;
      // Nothing to do now: sleep until the next line, wake-up or deadline.
      std::optional<int64_t> wait;
      auto sooner = [&wait](int64_t ms) { wait = wait ? std::min(*wait, ms) : ms; };
      if (!driver.IsOpen() && reopenAt) sooner(static_cast<int64_t>(*reopenAt) - static_cast<int64_t>(SteadyMs()));
      if (cappedUntil) {
        sooner(*cappedUntil - NowMs());
      } else if (driver.IsOpen()) {
        // Messages due at the claim and left to a free modem with a better
        // route are not waited for: that modem taking one wakes this one.
        if (auto due = ctx_.store.NextDue(who, deferredAt.value_or(-1))) sooner(*due - NowMs());
      }
      if (auto t = driver.MsUntilNextTimer()) sooner(*t);
      if (auto t = ussd_.MsUntilDeadline()) sooner(*t);
      if (auto d = w.reassembler.NextDeadline()) sooner(static_cast<int64_t>(*d) - static_cast<int64_t>(SteadyMs()));
      const uint32_t ms = !wait ? 0xFFFFFFFFu : static_cast<uint32_t>(std::clamp<int64_t>(*wait, 0, 0x7FFFFFFF));
      if (ms > 0) platform::WaitForMessages(ms);
      driver.RunDueTimers();
      for (const coding::AssembledMessage& m : w.reassembler.Expire(SteadyMs())) w.StoreAssembled(m);
    } catch (const EAbort&) {
      break;
    } catch (const std::exception& e) {
      // A store failure: say so and go on after a pause rather than spin.
      w.Logf(std::string("error: ") + e.what());
      update([&](ModemInfo& info) { info.lastError = e.what(); });
      platform::WaitForMessages(1000);
    }
  }
  setFree(false);
  ussd_.Close();
  // Parts still waiting for their messages stay in the store for the next run.
  try {
    if (driver.IsOpen()) driver.Close();
  } catch (...) {}
  update([](ModemInfo& info) { info.state = "stopped"; });
  w.Logf("closed");
  std::lock_guard<std::mutex> lock(mutex_);
  target_ = nullptr;
}

}  // namespace vela::gateway

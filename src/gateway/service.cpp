#include "gateway/service.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <sstream>

namespace vela::gateway {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void EventNotifier::Notify() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
  }
  cv_.notify_all();
  for (const auto& listener : listeners_) listener();
}

void EventNotifier::AddListener(std::function<void()> listener) { listeners_.push_back(std::move(listener)); }

uint64_t EventNotifier::Generation() {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

bool EventNotifier::WaitFor(uint64_t seen, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return shutdown_ || generation_ != seen; });
  return !shutdown_;
}

void EventNotifier::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_ = true;
  }
  cv_.notify_all();
}

bool EventNotifier::IsShutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  return shutdown_;
}

void Metrics::ObserveSendLatency(const std::string& modem, double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  Histogram& h = latency_[modem];
  for (size_t i = 0; i < kLatencyBuckets.size(); ++i) {
    if (seconds <= kLatencyBuckets[i]) ++h.buckets[i];
  }
  ++h.count;
  h.sum += seconds;
}

void Metrics::CountHookFailure() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++hookFailures_;
}

namespace {

// Label values escape backslash, quote and line feed.
std::string Label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

}  // namespace

std::string Metrics::Render(const std::vector<ModemCounts>& counts, const std::vector<ModemInfo>& modems,
                            const std::map<std::string, int64_t>& queueDepth) {
  std::ostringstream out;
  // Messages queued for any modem count under modem="" until one takes them.
  struct Counter {
    const char* name;
    const char* help;
    int64_t ModemCounts::*field;
  } counters[] = {
      {"velasms_messages_queued", "Messages waiting in the queue", &ModemCounts::queued},
      {"velasms_messages_sent_total", "Messages sent (every part accepted by the modem)", &ModemCounts::sent},
      {"velasms_messages_delivered_total", "Messages whose every part was reported delivered", &ModemCounts::delivered},
      {"velasms_messages_failed_total", "Messages that failed", &ModemCounts::failed},
      {"velasms_messages_received_total", "Whole messages received", &ModemCounts::received},
  };
  std::set<std::string> names;
  for (const ModemInfo& m : modems) names.insert(m.name);
  for (const Counter& c : counters) {
    const bool gauge = c.field == &ModemCounts::queued;
    out << "# HELP " << c.name << " " << c.help << "\n# TYPE " << c.name << " " << (gauge ? "gauge" : "counter")
        << "\n";
    std::set<std::string> written;
    for (const ModemCounts& mc : counts) {
      out << c.name << "{modem=\"" << Label(mc.modem) << "\"} " << mc.*(c.field) << "\n";
      written.insert(mc.modem);
    }
    for (const std::string& n : names) {
      if (!written.count(n)) out << c.name << "{modem=\"" << Label(n) << "\"} 0\n";
    }
  }
  out << "# HELP velasms_queue_depth Queued messages each modem may take (its own and those for any modem)\n"
         "# TYPE velasms_queue_depth gauge\n";
  for (const auto& [modem, depth] : queueDepth)
    out << "velasms_queue_depth{modem=\"" << Label(modem) << "\"} " << depth << "\n";
  out << "# HELP velasms_modem_up Whether the modem is open and initialised\n# TYPE velasms_modem_up gauge\n";
  for (const ModemInfo& m : modems) {
    out << "velasms_modem_up{modem=\"" << Label(m.name) << "\"} " << (m.state == "up" ? 1 : 0) << "\n";
  }
  std::lock_guard<std::mutex> lock(mutex_);
  out << "# HELP velasms_send_latency_seconds Time from a message being taken from the queue to all its parts sent\n"
         "# TYPE velasms_send_latency_seconds histogram\n";
  for (const auto& [modem, h] : latency_) {
    const std::string label = "modem=\"" + Label(modem) + "\"";
    for (size_t i = 0; i < kLatencyBuckets.size(); ++i) {
      out << "velasms_send_latency_seconds_bucket{" << label << ",le=\"" << Number(kLatencyBuckets[i]) << "\"} "
          << h.buckets[i] << "\n";
    }
    out << "velasms_send_latency_seconds_bucket{" << label << ",le=\"+Inf\"} " << h.count << "\n";
    out << "velasms_send_latency_seconds_sum{" << label << "} " << Number(h.sum) << "\n";
    out << "velasms_send_latency_seconds_count{" << label << "} " << h.count << "\n";
  }
  out << "# HELP velasms_hook_failures_total Runs of the receive hook that failed\n"
         "# TYPE velasms_hook_failures_total counter\nvelasms_hook_failures_total "
      << hookFailures_ << "\n";
  return out.str();
}

std::string RenderQueueAges(const std::vector<std::pair<std::string, int64_t>>& oldest,
                            const std::vector<ModemInfo>& modems, int64_t nowMs) {
  std::ostringstream out;
  out << "# HELP velasms_oldest_queued_age_seconds Age of the oldest queued message each modem may take\n"
         "# TYPE velasms_oldest_queued_age_seconds gauge\n";
  std::optional<int64_t> any;
  for (const auto& [modem, ms] : oldest) {
    if (modem.empty()) any = ms;
  }
  for (const ModemInfo& m : modems) {
    std::optional<int64_t> first = any;
    for (const auto& [modem, ms] : oldest) {
      if (modem == m.name && (!first || ms < *first)) first = ms;
    }
    const double age = first ? std::max<int64_t>(0, nowMs - *first) / 1000.0 : 0.0;
    out << "velasms_oldest_queued_age_seconds{modem=\"" << Label(m.name) << "\"} " << Number(age) << "\n";
  }
  return out.str();
}

}  // namespace vela::gateway

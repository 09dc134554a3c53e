// The channel peer on Windows: a COM port driven through the Win32 serial API
// (TComPort: overlapped transfers, reads of what the receive queue holds).
// The harness (run_wine_channel_test.sh) links two COM names of the Wine
// prefix to the two ends of a socat pseudo-terminal pair and names them in
// VELA_TEST_COM_PORT (the channel's) and VELA_TEST_PEER_PORT (the peer's).
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "channel_peer.h"
#include "transport/com_port.h"

namespace vela::test {

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

class Win32ChannelPeer : public ChannelPeer {
 public:
  Win32ChannelPeer(const std::string& channel_port, const std::string& peer_port) : channel_port_(channel_port) {
    // No line events: the reader polls the receive count, which works on a
    // pseudo-terminal where Wine's WaitCommEvent does not.
    port_.SetEvents(TComEvents{});
    port_.SetBaudRate(br115200);
    port_.SetPort(peer_port);
    port_.OpenPort();
  }
  ~Win32ChannelPeer() override {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    try {
      port_.ClosePort();
    } catch (...) {}
  }

  std::string ChannelPort() const override { return channel_port_; }

  void Start(Script script) override {
    script_ = std::move(script);
    // Whatever an earlier test left on the line belongs to no scenario.
    ByteString stale;
    do {
      port_.ReadString(stale, 4096);
    } while (!stale.empty());
    port_.PurgeQueues(true, false);
    thread_ = std::thread([this] { Run(); });
  }

  void Write(const std::string& bytes) override {
    if (!bytes.empty()) port_.WriteString(bytes);
  }
  void Dribble(const std::string& bytes, int gap_ms) override {
    for (char byte : bytes) {
      port_.WriteString(std::string(1, byte));
      Sleep(static_cast<DWORD>(gap_ms));
    }
  }

  std::string Received() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }
  bool WaitForReceived(const std::string& needle, int timeout_ms) const override {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return received_.find(needle) != std::string::npos; });
  }
  Clock::time_point LineTime(const std::string& line) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [text, when] : lines_) {
      if (text == line) return when;
    }
    return Clock::time_point();
  }

 private:
  void Run() {
    std::string line;
    Clock::time_point line_start;
    while (!stop_) {
      ByteString bytes;
      try {
        port_.ReadString(bytes, 4096);
      } catch (const std::exception&) {
        bytes.clear();
      }
      if (bytes.empty()) {
        Sleep(2);
        continue;
      }
      const Clock::time_point now = Clock::now();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_ += bytes;
      }
      changed_.notify_all();
      for (char byte : bytes) {
        if (byte != '\r') {
          if (line.empty()) line_start = now;
          line += byte;
          continue;
        }
        if (line.empty()) continue;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          lines_.emplace_back(line, line_start);
        }
        if (script_) script_(*this, line);
        line.clear();
      }
    }
  }

  const std::string channel_port_;
  TComPort port_;
  Script script_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string received_;
  std::vector<std::pair<std::string, Clock::time_point>> lines_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<ChannelPeer> MakeChannelPeer(std::string& why) {
  const std::string channel_port = Env("VELA_TEST_COM_PORT");
  const std::string peer_port = Env("VELA_TEST_PEER_PORT");
  if (channel_port.empty() || peer_port.empty()) {
    why = "no COM port pair named in VELA_TEST_COM_PORT / VELA_TEST_PEER_PORT";
    return nullptr;
  }
  return std::make_unique<Win32ChannelPeer>(channel_port, peer_port);
}

double ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ms = [](const FILETIME& t) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return static_cast<double>(ticks) / 10000.0;  // 100 ns units
  };
  return ms(kernel) + ms(user);
}

}  // namespace vela::test

// A scripted modem on the master side of a pseudo-terminal: the channel under
// test opens the slave side as its serial port. The peer reads on its own
// thread, records every byte with its arrival time, and calls a script for
// each line it receives (commands end with "\r"); answers can be dribbled one
// byte at a time so that the channel sees them in many small reads.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vela::test {

class PtyPeer {
 public:
  using Clock = std::chrono::steady_clock;
  // Called on the peer's thread for each non-empty line received.
  using Script = std::function<void(PtyPeer& peer, const std::string& line)>;

  PtyPeer();
  ~PtyPeer();
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  // The slave device's path, to be opened by the channel.
  const std::string& SlavePath() const { return slave_path_; }
  // Starts the reader; `script` may be empty.
  void Start(Script script);
  // Ends the reader; the master stays open (Write still works, nothing more
  // is received). The peer then costs no processor time.
  void Stop();

  // Closes the master side, as a modem that disappears (USB stick pulled):
  // the slave then reports a hang-up. Called from the script, the master is
  // closed when the script returns and the reader ends.
  void CloseMaster();

  // Writes `bytes` one at a time with `gap_ms` between them.
  void Dribble(const std::string& bytes, int gap_ms = 1);
  // Writes `bytes` at once.
  void Write(const std::string& bytes);

  // Every byte received so far.
  std::string Received() const;
  // Waits until Received() contains `needle`.
  bool WaitForReceived(const std::string& needle, int timeout_ms) const;
  // Arrival time of the first byte of the first line equal to `line`;
  // Clock::time_point() when none arrived.
  Clock::time_point LineTime(const std::string& line) const;

 private:
  void Run();

  int master_ = -1;
  std::string slave_path_;
  Script script_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> close_after_script_{false};
  std::atomic<std::thread::id> reader_id_{};  // set by the reader itself
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string received_;
  std::vector<std::pair<std::string, Clock::time_point>> lines_;
  std::thread thread_;
};

}  // namespace vela::test

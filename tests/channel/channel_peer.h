// The scripted modem at the far end of the channel's serial line, for the
// channel scenarios that run on every platform. Each platform realises it in
// its own file (chosen by the test's CMakeLists):
//   POSIX:   the master side of a pseudo-terminal; the channel opens the
//            slave device.
//   Windows: a COM port opened through the Win32 serial API whose device is
//            one end of a pseudo-terminal pair (under Wine: socat's pair
//            linked into the prefix); the channel opens the other end's port.
// The peer reads on its own thread, records every byte with its arrival time
// and calls a script for each line it receives (commands end with "\r");
// answers can be dribbled one byte at a time so that the channel sees them in
// many small reads.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vela::test {

class ChannelPeer {
 public:
  using Clock = std::chrono::steady_clock;
  // Called on the peer's thread for each non-empty line received.
  using Script = std::function<void(ChannelPeer& peer, const std::string& line)>;

  virtual ~ChannelPeer() = default;

  // The port name the channel under test opens.
  virtual std::string ChannelPort() const = 0;
  // Starts the reader; `script` may be empty. Bytes the channel sent before
  // are dropped.
  virtual void Start(Script script) = 0;

  // Writes `bytes` one at a time with `gap_ms` between them.
  virtual void Dribble(const std::string& bytes, int gap_ms = 1) = 0;
  // Writes `bytes` at once.
  virtual void Write(const std::string& bytes) = 0;

  // Every byte received since Start.
  virtual std::string Received() const = 0;
  // Waits until Received() contains `needle`.
  virtual bool WaitForReceived(const std::string& needle, int timeout_ms) const = 0;
  // Arrival time of the first byte of the first line equal to `line`;
  // Clock::time_point() when none arrived.
  virtual Clock::time_point LineTime(const std::string& line) const = 0;
};

// The peer of this platform; null, with the reason in `why`, when this run
// has no line for it (Windows without a port pair named in the environment).
std::unique_ptr<ChannelPeer> MakeChannelPeer(std::string& why);

// CPU time (user + kernel) this process has used so far, in milliseconds.
double ProcessCpuMs();

}  // namespace vela::test

// The channel peer on POSIX: the pseudo-terminal master of PtyPeer.
#include <sys/resource.h>

#include "channel_peer.h"
#include "pty_peer.h"

namespace vela::test {

namespace {

class PosixChannelPeer : public ChannelPeer {
 public:
  std::string ChannelPort() const override { return pty_.SlavePath(); }
  void Start(Script script) override {
    if (!script) {
      pty_.Start(nullptr);
      return;
    }
    pty_.Start([this, script](PtyPeer&, const std::string& line) { script(*this, line); });
  }
  void Dribble(const std::string& bytes, int gap_ms) override { pty_.Dribble(bytes, gap_ms); }
  void Write(const std::string& bytes) override { pty_.Write(bytes); }
  std::string Received() const override { return pty_.Received(); }
  bool WaitForReceived(const std::string& needle, int timeout_ms) const override {
    return pty_.WaitForReceived(needle, timeout_ms);
  }
  Clock::time_point LineTime(const std::string& line) const override { return pty_.LineTime(line); }

 private:
  PtyPeer pty_;
};

}  // namespace

std::unique_ptr<ChannelPeer> MakeChannelPeer(std::string&) { return std::make_unique<PosixChannelPeer>(); }

double ProcessCpuMs() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

}  // namespace vela::test

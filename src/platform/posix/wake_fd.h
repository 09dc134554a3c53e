// A self-pipe that can be signalled from any thread (and from a signal
// handler) and polled for readability; shared by the POSIX platform sources.
#pragma once

#include <poll.h>

namespace vela::platform::posix {

class WakeFd {
 public:
  WakeFd();
  ~WakeFd();
  WakeFd(const WakeFd&) = delete;
  WakeFd& operator=(const WakeFd&) = delete;
  // Makes ReadFd() readable (async-signal-safe).
  void Signal() const;
  // Makes ReadFd() unreadable again.
  void Drain() const;
  int ReadFd() const { return fds_[0]; }

 private:
  int fds_[2] = {-1, -1};
};

// Readable while the termination flag is set.
int TerminationFd();

// Waits on `count` descriptors for POLLIN up to `timeout_ms` (-1: no limit),
// restarting after EINTR with the remaining time. Returns poll's result.
int PollRetry(pollfd* fds, nfds_t count, int timeout_ms);

}  // namespace vela::platform::posix

#include "platform/posix/wake_fd.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <ctime>
#include <system_error>

namespace vela::platform::posix {

WakeFd::WakeFd() {
  if (::pipe(fds_) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  for (int fd : fds_) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

WakeFd::~WakeFd() {
  ::close(fds_[0]);
  ::close(fds_[1]);
}

void WakeFd::Signal() const {
  const char byte = 1;
  // A full pipe is readable already; nothing is lost.
  ssize_t r;
  do {
    r = ::write(fds_[1], &byte, 1);
  } while (r < 0 && errno == EINTR);
}

void WakeFd::Drain() const {
  char buffer[64];
  for (;;) {
    ssize_t r = ::read(fds_[0], buffer, sizeof buffer);
    if (r > 0) continue;
    if (r < 0 && errno == EINTR) continue;
    break;
  }
}

static long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int PollRetry(pollfd* fds, nfds_t count, int timeout_ms) {
  const long long deadline = timeout_ms < 0 ? 0 : NowMs() + timeout_ms;
  for (;;) {
    int r = ::poll(fds, count, timeout_ms);
    if (r >= 0 || errno != EINTR) return r;
    if (timeout_ms > 0) {
      long long left = deadline - NowMs();
      timeout_ms = left > 0 ? static_cast<int>(left) : 0;
    }
  }
}

}  // namespace vela::platform::posix

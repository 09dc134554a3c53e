#include "platform/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace vela::platform {

// ---- AutoResetEvent ----

struct AutoResetEvent::Impl {
  std::mutex mutex;
  std::condition_variable cv;
  bool signalled = false;
};

AutoResetEvent::AutoResetEvent() : impl_(std::make_unique<Impl>()) {}
AutoResetEvent::~AutoResetEvent() = default;

void AutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->signalled = true;
  }
  impl_->cv.notify_one();
}

void AutoResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->signalled = false;
}

bool AutoResetEvent::Wait(uint32_t ms) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  auto ready = [this] { return impl_->signalled; };
  if (ms == 0xFFFFFFFFu) {
    impl_->cv.wait(lock, ready);
  } else if (!impl_->cv.wait_for(lock, std::chrono::milliseconds(ms), ready)) {
    return false;
  }
  impl_->signalled = false;  // auto reset: one waiter consumes the signal
  return true;
}

// ---- MachineLock ----
// flock() locks belong to an open file description, so each object opens the
// file itself: two objects of one process exclude each other, and the kernel
// drops the lock when its holder's process dies.

namespace {

std::string LockPath(const std::string& name) {
  std::string safe;
  for (char c : name) safe += (c == '/' || c == '\0') ? '_' : c;
  return "/tmp/vela-" + safe + ".lock";
}

int OpenLockFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) {
    // Make it usable by every user of the machine whatever our umask was;
    // fails harmlessly when another user created it.
    ::fchmod(fd, 0666);
  }
  return fd;
}

}  // namespace

struct MachineLock::Impl {
  std::string path;
  int fd = -1;  // touched only by the thread that holds `claimed`
  // The object's own count of 1. flock grants a second LOCK_EX on the same
  // open file at once, so threads sharing this object (a command sent from a
  // handler nested inside another) claim it here before they flock.
  std::atomic<bool> claimed{false};
};

MachineLock::MachineLock(const std::string& name) : impl_(std::make_unique<Impl>()) {
  impl_->path = LockPath(name);
  impl_->fd = OpenLockFile(impl_->path);
}

MachineLock::~MachineLock() {
  if (impl_->fd >= 0) ::close(impl_->fd);  // also releases a held lock
}

bool MachineLock::TryAcquire(uint32_t ms) {
  const uint32_t start = TickCount();
  uint32_t slice = 1;
  // Waits up to `ms` for the claim, then for the flock, in short, growing
  // slices (flock has no timed wait).
  auto wait_slice = [&]() {
    const uint32_t elapsed = TickCount() - start;
    if (elapsed >= ms) return false;
    SleepMs(std::min<uint32_t>(slice, ms - elapsed));
    slice = std::min<uint32_t>(slice * 2, 10);
    return true;
  };
  for (;;) {
    bool expected = false;
    if (impl_->claimed.compare_exchange_strong(expected, true)) break;
    if (!wait_slice()) return false;
  }
  if (impl_->fd < 0) impl_->fd = OpenLockFile(impl_->path);
  for (;;) {
    if (impl_->fd < 0) break;
    if (::flock(impl_->fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (!wait_slice()) break;
  }
  impl_->claimed = false;
  return false;
}

void MachineLock::Release() {
  if (!impl_->claimed) return;
  ::flock(impl_->fd, LOCK_UN);
  impl_->claimed = false;
}

// ---- time ----

uint32_t TickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
  timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
  if (ms == 0) sched_yield();
}

}  // namespace vela::platform

#include "platform/termination.h"

#include <atomic>

#include "platform/posix/wake_fd.h"

namespace vela::platform {
namespace {

std::atomic<bool> g_terminating{false};
static_assert(std::atomic<bool>::is_always_lock_free, "flag must be usable from a signal handler");

// Created before main, so a signal handler never creates it.
posix::WakeFd& TerminationWake() {
  static posix::WakeFd wake;
  return wake;
}
const bool g_created = (TerminationWake(), true);

}  // namespace

bool TerminationRequested() { return g_terminating.load(std::memory_order_acquire); }

void RequestTermination() {
  g_terminating.store(true, std::memory_order_release);
  TerminationWake().Signal();  // write(2): async-signal-safe
}

void ClearTermination() {
  g_terminating.store(false, std::memory_order_release);
  TerminationWake().Drain();
}

int TerminationFd() { return TerminationWake().ReadFd(); }

namespace posix {
int TerminationFd() { return TerminationWake().ReadFd(); }
}  // namespace posix

}  // namespace vela::platform

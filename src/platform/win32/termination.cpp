#include "platform/termination.h"

#include <atomic>

namespace vela::platform {
namespace {
std::atomic<bool> g_terminating{false};
}  // namespace

bool TerminationRequested() { return g_terminating.load(std::memory_order_acquire); }
void RequestTermination() { g_terminating.store(true, std::memory_order_release); }
void ClearTermination() { g_terminating.store(false, std::memory_order_release); }

int TerminationFd() { return -1; }

}  // namespace vela::platform

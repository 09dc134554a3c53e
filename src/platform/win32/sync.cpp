#include "platform/sync.h"

#include <windows.h>

namespace vela::platform {

struct AutoResetEvent::Impl {
  HANDLE event = nullptr;
};

AutoResetEvent::AutoResetEvent() : impl_(std::make_unique<Impl>()) {
  impl_->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

AutoResetEvent::~AutoResetEvent() {
  if (impl_->event) CloseHandle(impl_->event);
}

void AutoResetEvent::Set() { SetEvent(impl_->event); }
void AutoResetEvent::Reset() { ResetEvent(impl_->event); }

bool AutoResetEvent::Wait(uint32_t ms) {
  return WaitForSingleObject(impl_->event, ms == 0xFFFFFFFFu ? INFINITE : ms) == WAIT_OBJECT_0;
}

// The named semaphore (initial and maximum count 1) shared by every process
// of the session; another handle to it when it exists already.
struct MachineLock::Impl {
  HANDLE semaphore = nullptr;
};

MachineLock::MachineLock(const std::string& name) : impl_(std::make_unique<Impl>()) {
  impl_->semaphore = CreateSemaphoreA(nullptr, 1, 1, name.c_str());
}

MachineLock::~MachineLock() {
  if (impl_->semaphore) CloseHandle(impl_->semaphore);
}

bool MachineLock::TryAcquire(uint32_t ms) {
  if (!impl_->semaphore) return false;
  return WaitForSingleObject(impl_->semaphore, ms == 0xFFFFFFFFu ? INFINITE : ms) == WAIT_OBJECT_0;
}

void MachineLock::Release() {
  if (impl_->semaphore) ReleaseSemaphore(impl_->semaphore, 1, nullptr);
}

uint32_t TickCount() { return GetTickCount(); }

void SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace vela::platform

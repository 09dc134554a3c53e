// Synchronisation and time: auto-reset events, the machine-wide command lock,
// sleeping and the 32-bit millisecond tick.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vela::platform {

// Auto-reset event, created non-signalled. Any thread may Set/Reset/Wait.
class AutoResetEvent {
 public:
  AutoResetEvent();
  ~AutoResetEvent();
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;
  void Set();
  void Reset();
  // Waits up to `ms` milliseconds; true when signalled (the signal is consumed).
  bool Wait(uint32_t ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Machine-wide lock shared by every process of the machine that uses this
// system: at most one holder at a time (count 1, maximum 1).
//   Windows: the named semaphore (CreateSemaphoreA(name, 1, 1)).
//   POSIX:   flock on a lock file in a world-writable runtime directory, so the
//            kernel releases it when its holder dies.
// One object per user (a channel); acquisition is not re-entrant across
// objects: two objects of one process exclude each other too.
class MachineLock {
 public:
  explicit MachineLock(const std::string& name);
  ~MachineLock();
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;
  // Waits up to `ms` milliseconds for the lock; true when obtained.
  bool TryAcquire(uint32_t ms);
  // Releases a lock obtained by TryAcquire (count 1).
  void Release();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
uint32_t TickCount();
// Wrap-safe: has `now` reached `deadline`? Valid while the two are less than
// 2^31 ms (about 24 days) apart.
inline bool TickReached(uint32_t now, uint32_t deadline) { return static_cast<int32_t>(now - deadline) >= 0; }
void SleepMs(uint32_t ms);

}  // namespace vela::platform

// Shared test helpers: dispatching the test thread's messages while waiting,
// and the driver's default answers.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "common/types.h"
#include "platform/message_target.h"

namespace vela::test {

// Answers that end a command's wait in the driver and the channel tests.
inline const std::vector<ByteString> kDefaultAnswers = {"OK", "ERROR", ">", "READY", "SIM PIN"};

// Dispatches the calling thread's messages until `done` holds or `timeoutMs`
// passes; returns whether it holds. Blocks on the message queue in between.
inline bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    platform::DispatchPendingMessages();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::WaitForMessages(10);
  }
}

// Dispatches messages for `ms` milliseconds (to show that nothing more comes).
inline void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

// Dispatches what the thread has posted, and what that posts in turn, until
// nothing is left: against a modem in memory, which answers at once, nothing
// more can come (and showing it needs no wait).
inline void Settle() {
  for (int i = 0; i < 8; ++i) platform::DispatchPendingMessages();
}

}  // namespace vela::test

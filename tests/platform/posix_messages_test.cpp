// POSIX specifics of the message queue: the readiness descriptor and the
// release of senders whose target or owning thread is gone.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/message_target.h"
#include "platform/sync.h"
#include "platform/termination.h"

namespace vela::platform {
namespace {

constexpr uint32_t kCode = kUserMessage + 9;

bool Readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN);
}

TEST(PosixMessageQueue, DescriptorIsReadableExactlyWhileMessagesPend) {
  int calls = 0;
  MessageTarget target([&](uint32_t, uintptr_t, uintptr_t) { ++calls; });
  const int fd = MessageQueueFd();
  ASSERT_GE(fd, 0);
  DispatchPendingMessages();
  EXPECT_FALSE(Readable(fd, 0));
  std::thread([&] { target.Post(kCode, 0, 0); }).join();
  EXPECT_TRUE(Readable(fd, 1000));
  EXPECT_TRUE(Readable(fd, 0));  // level: stays readable until dispatched
  DispatchPendingMessages();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(Readable(fd, 0));
}

TEST(PosixMessageQueue, DescriptorBecomesReadableForSentMessage) {
  MessageTarget target([](uint32_t, uintptr_t, uintptr_t) {});
  std::atomic<bool> done{false};
  std::thread sender([&] {
    target.Send(kCode, 0, 0);
    done = true;
  });
  EXPECT_TRUE(Readable(MessageQueueFd(), 5000));
  DispatchSentMessages();
  sender.join();
  EXPECT_TRUE(done);
  EXPECT_FALSE(Readable(MessageQueueFd(), 0));
}

TEST(PosixMessageQueue, EachThreadHasItsOwnDescriptor) {
  const int mine = MessageQueueFd();
  int theirs = -1;
  std::thread([&] { theirs = MessageQueueFd(); }).join();
  EXPECT_NE(mine, theirs);
}

TEST(PosixMessageQueue, DestroyedTargetReleasesSenderWithoutPumping) {
  auto target = std::make_unique<MessageTarget>([](uint32_t, uintptr_t, uintptr_t) { FAIL(); });
  AutoResetEvent returned;
  // The sender gets the object, not the owning pointer that is reset below.
  const MessageTarget* raw = target.get();
  std::thread sender([&returned, raw] {
    raw->Send(kCode, 0, 0);
    returned.Set();
  });
  SleepMs(50);
  EXPECT_FALSE(returned.Wait(0));  // still blocked: nobody dispatched
  target.reset();
  EXPECT_TRUE(returned.Wait(5000));
  sender.join();
}

TEST(PosixMessageQueue, OwnerThreadExitReleasesSendersAndRefusesPosts) {
  std::unique_ptr<MessageTarget> target;
  AutoResetEvent created, may_exit;
  std::thread owner([&] {
    target = std::make_unique<MessageTarget>([](uint32_t, uintptr_t, uintptr_t) {});
    created.Set();
    may_exit.Wait(5000);
    // Exits without dispatching and without destroying the target.
  });
  ASSERT_TRUE(created.Wait(5000));
  AutoResetEvent returned;
  // The sender gets the object, not the owning pointer that is reset below.
  const MessageTarget* raw = target.get();
  std::thread sender([&returned, raw] {
    raw->Send(kCode, 0, 0);
    returned.Set();
  });
  SleepMs(30);
  may_exit.Set();
  owner.join();
  EXPECT_TRUE(returned.Wait(5000));
  sender.join();
  EXPECT_FALSE(target->Post(kCode, 0, 0));
  target.reset();
}

extern "C" void OnTestSignal(int) { RequestTermination(); }

TEST(PosixTermination, SignalHandlerEndsMessageLoop) {
  ClearTermination();
  struct sigaction action {
  }, previous{};
  action.sa_handler = OnTestSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
  std::thread raiser([] {
    SleepMs(50);
    ::kill(::getpid(), SIGUSR1);
  });
  const uint32_t start = TickCount();
  EXPECT_FALSE(RunMessageLoop(10000));
  EXPECT_LT(TickCount() - start, 5000u);
  raiser.join();
  EXPECT_TRUE(TerminationRequested());
  ClearTermination();
  ::sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
}  // namespace vela::platform

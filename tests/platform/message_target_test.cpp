// Message targets: ordering, synchronous hand-off with and without an early
// reply, dispatching, dropping of messages for destroyed targets, loops.
#include "platform/message_target.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/termination.h"

namespace vela::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCode = kUserMessage + 7;

TEST(MessageTarget, MessagesOfOnePosterArriveInPostingOrder) {
  std::vector<std::pair<uintptr_t, uintptr_t>> got;
  MessageTarget target([&](uint32_t code, uintptr_t p1, uintptr_t p2) {
    if (code == kCode) got.emplace_back(p1, p2);
  });
  // Two posters on other threads, each numbering its own messages.
  auto poster = [&](uintptr_t id) {
    for (uintptr_t i = 0; i < 200; ++i) ASSERT_TRUE(target.Post(kCode, id, i));
  };
  std::thread a(poster, 1), b(poster, 2);
  a.join();
  b.join();
  DispatchPendingMessages();
  ASSERT_EQ(got.size(), 400u);
  uintptr_t next[3] = {0, 0, 0};
  for (const auto& m : got) {
    ASSERT_TRUE(m.first == 1 || m.first == 2);
    EXPECT_EQ(m.second, next[m.first]++) << "poster " << m.first;
  }
}

TEST(MessageTarget, PostFromOwningThreadWaitsForDispatch) {
  int calls = 0;
  MessageTarget target([&](uint32_t, uintptr_t, uintptr_t) { ++calls; });
  ASSERT_TRUE(target.Post(kCode, 0, 0));
  EXPECT_EQ(calls, 0);  // posting never runs the handler
  EXPECT_TRUE(WaitForMessages(0));
  DispatchPendingMessages();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(WaitForMessages(0));
}

TEST(MessageTarget, HandlerRunsOnOwningThread) {
  std::thread::id seen;
  MessageTarget target([&](uint32_t, uintptr_t, uintptr_t) { seen = std::this_thread::get_id(); });
  std::thread([&] { target.Post(kCode, 0, 0); }).join();
  DispatchPendingMessages();
  EXPECT_EQ(seen, std::this_thread::get_id());
}

TEST(MessageTarget, SendFromOwningThreadRunsHandlerDirectly) {
  int calls = 0;
  MessageTarget target([&](uint32_t code, uintptr_t p1, uintptr_t) {
    if (code == kCode && p1 == 42) ++calls;
  });
  target.Send(kCode, 42, 0);
  EXPECT_EQ(calls, 1);
}

// Runs `body` on another thread while this thread dispatches until `done`.
template <typename Body>
void WithSenderThread(std::atomic<bool>& done, Body body) {
  std::thread sender([&] {
    body();
    done = true;
  });
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (!done && Clock::now() < limit) {
    if (WaitForMessages(20)) DispatchPendingMessages();
  }
  sender.join();
}

TEST(MessageTarget, SendBlocksUntilHandlerFinished) {
  std::atomic<bool> handler_finished{false}, sender_saw_finished{false}, done{false};
  MessageTarget target([&](uint32_t, uintptr_t, uintptr_t) {
    SleepMs(50);
    handler_finished = true;
  });
  WithSenderThread(done, [&] {
    target.Send(kCode, 0, 0);
    sender_saw_finished = handler_finished.load();
  });
  EXPECT_TRUE(sender_saw_finished);
}

TEST(MessageTarget, ReplyToSenderReleasesSenderBeforeHandlerEnds) {
  AutoResetEvent sender_released;
  std::atomic<bool> released_while_handler_ran{false}, done{false};
  MessageTarget target([&](uint32_t, uintptr_t, uintptr_t) {
    ReplyToSender();
    // The sender must be free now, while this handler still runs.
    released_while_handler_ran = sender_released.Wait(5000);
  });
  WithSenderThread(done, [&] {
    target.Send(kCode, 0, 0);
    sender_released.Set();
  });
  EXPECT_TRUE(released_while_handler_ran);
}

TEST(MessageTarget, DispatchSentMessagesLeavesPostedOnesQueued) {
  std::vector<uintptr_t> order;
  MessageTarget target([&](uint32_t, uintptr_t p1, uintptr_t) { order.push_back(p1); });
  ASSERT_TRUE(target.Post(kCode, 1, 0));
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    target.Send(kCode, 2, 0);
    sent = true;
  });
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (!sent && Clock::now() < limit) {
    DispatchSentMessages();
    SleepMs(1);
  }
  sender.join();
  EXPECT_EQ(order, std::vector<uintptr_t>{2});
  DispatchPendingMessages();
  EXPECT_EQ(order, (std::vector<uintptr_t>{2, 1}));
}

TEST(MessageTarget, MessagesForDestroyedTargetAreDropped) {
  int calls = 0;
  {
    MessageTarget target([&](uint32_t, uintptr_t, uintptr_t) { ++calls; });
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(target.Post(kCode, 0, 0));
  }
  DispatchPendingMessages();
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(WaitForMessages(0));
}

TEST(MessageTarget, DestroyingTargetReleasesBlockedSender) {
  auto target = std::make_unique<MessageTarget>([](uint32_t, uintptr_t, uintptr_t) {});
  std::atomic<bool> returned{false};
  // The sender gets the object, not the owning pointer that is reset below.
  const MessageTarget* raw = target.get();
  std::thread sender([&returned, raw] {
    raw->Send(kCode, 0, 0);
    returned = true;
  });
  SleepMs(50);  // let the send queue up (not dispatched: this thread does not pump)
  target.reset();
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (!returned && Clock::now() < limit) {
    DispatchSentMessages();
    SleepMs(5);
  }
  EXPECT_TRUE(returned);
  sender.join();
  DispatchPendingMessages();  // nothing of the dead target may run
}

TEST(MessageTarget, NestedDispatchFromHandlerKeepsOrder) {
  std::vector<uintptr_t> order;
  MessageTarget* self = nullptr;
  MessageTarget target([&](uint32_t, uintptr_t p1, uintptr_t) {
    order.push_back(p1);
    if (p1 == 1) {
      self->Post(kCode, 3, 0);
      DispatchPendingMessages();  // a handler that waits and pumps
    }
  });
  self = &target;
  target.Post(kCode, 1, 0);
  target.Post(kCode, 2, 0);
  DispatchPendingMessages();
  EXPECT_EQ(order, (std::vector<uintptr_t>{1, 2, 3}));
}

TEST(MessageLoop, EndsByQuitFromHandler) {
  MessageTarget target([](uint32_t, uintptr_t, uintptr_t) { QuitMessageLoop(); });
  std::thread([&] {
    SleepMs(20);
    target.Post(kCode, 0, 0);
  }).join();
  EXPECT_TRUE(RunMessageLoop(5000));
}

TEST(MessageLoop, EndsAtTimeout) {
  const auto start = Clock::now();
  EXPECT_FALSE(RunMessageLoop(60));
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(50));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(MessageLoop, EndsWhenTerminationIsRequestedFromAnotherThread) {
  ClearTermination();
  std::thread other([] {
    SleepMs(50);
    RequestTermination();
  });
  const auto start = Clock::now();
  EXPECT_FALSE(RunMessageLoop(10000));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  other.join();
  EXPECT_TRUE(TerminationRequested());
  ClearTermination();
  EXPECT_FALSE(TerminationRequested());
}

TEST(MessageLoop, WaitForMessagesWakesOnPostFromAnotherThread) {
  MessageTarget target([](uint32_t, uintptr_t, uintptr_t) {});
  std::thread poster([&] {
    SleepMs(30);
    target.Post(kCode, 0, 0);
  });
  EXPECT_TRUE(WaitForMessages(5000));
  poster.join();
  DispatchPendingMessages();
}

}  // namespace
}  // namespace vela::platform

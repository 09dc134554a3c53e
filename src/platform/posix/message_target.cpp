// Message targets on POSIX: each thread that owns a target has a queue of
// posted and sent messages and a self-pipe that is readable while the queue
// holds anything. Messages keep their target's state alive, so a message for
// a destroyed target is dropped at dispatch instead of touching freed memory.
#include "platform/message_target.h"

#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <algorithm>

#include "platform/posix/wake_fd.h"
#include "platform/sync.h"
#include "platform/termination.h"

namespace vela::platform {
namespace {

// Completion of one Send: released by ReplyToSender, by the end of the
// handler, or when the message is dropped.
struct SendState {
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;

  void Release() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      released = true;
    }
    cv.notify_all();
  }
  void WaitReleased() {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return released; });
  }
};

struct TargetState;

struct Message {
  std::shared_ptr<TargetState> target;
  uint32_t code;
  uintptr_t param1, param2;
  std::shared_ptr<SendState> send;  // null for posted messages
};

class ThreadQueue {
 public:
  bool Push(Message message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    (message.send ? sent_ : posted_).push_back(std::move(message));
    wake_.Signal();
    return true;
  }

  // Takes the next message (sent ones first, or only sent ones).
  bool Take(Message& message, bool sent_only) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<Message>* source = !sent_.empty() ? &sent_ : (sent_only ? nullptr : &posted_);
    if (source == nullptr || source->empty()) return false;
    message = std::move(source->front());
    source->pop_front();
    if (sent_.empty() && posted_.empty()) wake_.Drain();
    return true;
  }

  // Removes the messages of one target; their senders are released.
  void Remove(const TargetState* target) {
    std::deque<Message> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto* queue : {&sent_, &posted_}) {
        std::deque<Message> keep;
        for (auto& m : *queue) (m.target.get() == target ? dropped : keep).push_back(std::move(m));
        queue->swap(keep);
      }
      if (sent_.empty() && posted_.empty()) wake_.Drain();
    }
    for (auto& m : dropped)
      if (m.send) m.send->Release();
  }

  // The owning thread ends: refuse further messages, release every sender.
  void Close() {
    std::deque<Message> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
      for (auto* queue : {&sent_, &posted_})
        for (auto& m : *queue) dropped.push_back(std::move(m));
      sent_.clear();
      posted_.clear();
      wake_.Drain();
    }
    for (auto& m : dropped)
      if (m.send) m.send->Release();
  }

  bool HasSent() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !sent_.empty();
  }

  int Fd() const { return wake_.ReadFd(); }

  int quit_requests = 0;  // owning thread only

 private:
  std::mutex mutex_;
  std::deque<Message> sent_, posted_;
  bool closed_ = false;
  posix::WakeFd wake_;
};

struct TargetState {
  std::shared_ptr<ThreadQueue> queue;
  std::thread::id owner;
  MessageTarget::Handler handler;
  std::atomic<bool> alive{true};
};

// The calling thread's queue, created on first use and closed at thread exit.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
  ~QueueHolder() { queue->Close(); }
};

// The Send being handled on this thread, for ReplyToSender.
thread_local SendState* t_current_send = nullptr;

void Deliver(Message& message) {
  TargetState* target = message.target.get();
  SendState* outer = t_current_send;
  t_current_send = message.send.get();
  struct Restore {
    SendState* outer;
    Message& message;
    ~Restore() {
      if (message.send) message.send->Release();
      t_current_send = outer;
    }
  } restore{outer, message};
  if (target->alive.load(std::memory_order_acquire) && target->handler)
    target->handler(message.code, message.param1, message.param2);
}

}  // namespace

struct MessageTarget::Impl {
  std::shared_ptr<TargetState> state;
};

namespace {
std::shared_ptr<ThreadQueue>& QueueOfThisThread() {
  thread_local QueueHolder holder;
  return holder.queue;
}
}  // namespace

MessageTarget::MessageTarget(Handler handler) : impl_(std::make_shared<Impl>()) {
  impl_->state = std::make_shared<TargetState>();
  impl_->state->queue = QueueOfThisThread();
  impl_->state->owner = std::this_thread::get_id();
  impl_->state->handler = std::move(handler);
}

MessageTarget::~MessageTarget() {
  impl_->state->alive.store(false, std::memory_order_release);
  impl_->state->queue->Remove(impl_->state.get());
}

bool MessageTarget::Post(uint32_t code, uintptr_t param1, uintptr_t param2) const {
  const auto& state = impl_->state;
  if (!state->alive.load(std::memory_order_acquire)) return false;
  return state->queue->Push(Message{state, code, param1, param2, nullptr});
}

void MessageTarget::Send(uint32_t code, uintptr_t param1, uintptr_t param2) const {
  const auto& state = impl_->state;
  if (!state->alive.load(std::memory_order_acquire)) return;
  if (state->owner == std::this_thread::get_id()) {
    // On the owning thread the handler runs directly, as SendMessage does.
    Message message{state, code, param1, param2, nullptr};
    Deliver(message);
    return;
  }
  auto send = std::make_shared<SendState>();
  if (!state->queue->Push(Message{state, code, param1, param2, send})) return;
  send->WaitReleased();
}

void* MessageTarget::NativeHandle() const { return impl_->state.get(); }

void ReplyToSender() {
  if (t_current_send != nullptr) {
    t_current_send->Release();
    t_current_send = nullptr;
  }
}

void DispatchPendingMessages() {
  ThreadQueue& queue = *QueueOfThisThread();
  Message message;
  while (queue.Take(message, false)) Deliver(message);
}

void DispatchSentMessages() {
  ThreadQueue& queue = *QueueOfThisThread();
  Message message;
  while (queue.Take(message, true)) Deliver(message);
}

bool WaitForMessages(uint32_t ms) {
  pollfd fd{QueueOfThisThread()->Fd(), POLLIN, 0};
  const int timeout = ms == 0xFFFFFFFFu ? -1 : static_cast<int>(ms > 0x7FFFFFFFu ? 0x7FFFFFFF : ms);
  return posix::PollRetry(&fd, 1, timeout) > 0;
}

int MessageQueueFd() { return QueueOfThisThread()->Fd(); }

bool RunMessageLoop(uint32_t timeout_ms) {
  ThreadQueue& queue = *QueueOfThisThread();
  const uint32_t start = TickCount();
  for (;;) {
    Message message;
    while (queue.quit_requests == 0 && !TerminationRequested() && queue.Take(message, false)) Deliver(message);
    if (queue.quit_requests > 0) {
      --queue.quit_requests;
      return true;
    }
    if (TerminationRequested()) return false;
    int timeout = -1;
    if (timeout_ms != 0xFFFFFFFFu) {
      const uint32_t elapsed = TickCount() - start;
      if (elapsed >= timeout_ms) return false;
      timeout = static_cast<int>(std::min<uint32_t>(timeout_ms - elapsed, 0x7FFFFFFF));
    }
    pollfd fds[2] = {{queue.Fd(), POLLIN, 0}, {posix::TerminationFd(), POLLIN, 0}};
    posix::PollRetry(fds, 2, timeout);
  }
}

void QuitMessageLoop() { ++QueueOfThisThread()->quit_requests; }

}  // namespace vela::platform

// Message targets: endpoints bound to the thread that created them, to which
// any thread can post a (code, param1, param2) message. Handlers run on the
// owning thread only, when that thread dispatches its messages (its message
// loop, or DispatchPendingMessages inside a wait).
//   Windows: a message-only window (parent HWND_MESSAGE) and the ordinary
//            message APIs (PostMessageA, SendMessageA, ReplyMessage, PeekMessageA).
//   POSIX:   a per-thread queue woken through a file descriptor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace vela::platform {

// First user-defined message code (WM_USER).
constexpr uint32_t kUserMessage = 0x400;

class MessageTarget {
 public:
  using Handler = std::function<void(uint32_t code, uintptr_t param1, uintptr_t param2)>;

  // Binds the target to the calling thread. The handler runs on that thread.
  explicit MessageTarget(Handler handler);
  // Must run on the owning thread. Messages still queued for it are dropped
  // (their handler is not called).
  ~MessageTarget();
  MessageTarget(const MessageTarget&) = delete;
  MessageTarget& operator=(const MessageTarget&) = delete;

  // Any thread; returns at once. Messages of one poster arrive in posting
  // order. False when the target is gone or the queue refused the message.
  bool Post(uint32_t code, uintptr_t param1, uintptr_t param2) const;

  // Synchronous hand-off from another thread: delivers the message and blocks
  // until the owning thread has finished its handler or the handler called
  // ReplyToSender() (which releases this caller early). Called on the owning
  // thread, the handler runs directly. While blocked the sender keeps no lock.
  void Send(uint32_t code, uintptr_t param1, uintptr_t param2) const;

  // Opaque native handle (HWND on Windows), for diagnostics.
  void* NativeHandle() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// Inside a handler run by Send from another thread: releases the sender now
// (InSendMessage + ReplyMessage). No effect otherwise.
void ReplyToSender();

// Dispatches every message pending for the calling thread, then returns.
// On Windows a WM_QUIT taken here sets the termination flag and is posted again.
void DispatchPendingMessages();

// Waits up to `ms` milliseconds until the calling thread has a message pending
// (without dispatching it). True when one is pending.
bool WaitForMessages(uint32_t ms);

// POSIX only: a descriptor that becomes readable while the calling thread has
// messages pending, for hosts that run their own poll/epoll/GLib loop (call
// DispatchPendingMessages when it is readable). -1 on Windows.
int MessageQueueFd();

// Runs the calling thread's message loop until QuitMessageLoop() is called on
// that thread, the termination flag is set, or `timeout_ms` passes
// (0xFFFFFFFF: no limit). Returns true when it ended by QuitMessageLoop.
bool RunMessageLoop(uint32_t timeout_ms = 0xFFFFFFFFu);
// Ends RunMessageLoop of the calling thread (may be called from a handler).
void QuitMessageLoop();

}  // namespace vela::platform

namespace vela::platform {
// Runs only the synchronous (Send) messages pending for the calling thread,
// leaving posted ones queued. A thread that waits for a thread that may be
// blocked in Send to it calls this while it waits (Windows: PeekMessage with
// PM_QS_SENDMESSAGE).
void DispatchSentMessages();
}  // namespace vela::platform

// Message targets on Windows: message-only windows (parent HWND_MESSAGE) of
// one registered class, driven by the thread's ordinary message queue.
#include "platform/message_target.h"

#include <windows.h>

#include "platform/sync.h"
#include "platform/termination.h"

namespace vela::platform {
namespace {

const char kClassName[] = "VelaMessageTarget";

// Slice in which RunMessageLoop looks at the termination flag, which another
// thread or a console handler may set without posting anything.
constexpr DWORD kTerminationCheckMs = 50;

LRESULT CALLBACK TargetProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

ATOM RegisterTargetClass() {
  static const ATOM atom = [] {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TargetProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    return RegisterClassExA(&wc);
  }();
  return atom;
}

thread_local int t_quit_requests = 0;

// Takes a WM_QUIT for the host: the termination flag is set and the quit is
// posted again so the host's own loop still ends.
void TakeQuit(const MSG& msg) {
  RequestTermination();
  PostQuitMessage(static_cast<int>(msg.wParam));
}

}  // namespace

// What the window procedure finds in the window's user data.
struct TargetWindow {
  HWND hwnd = nullptr;
  MessageTarget::Handler handler;
};

namespace {
LRESULT CALLBACK TargetProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* impl = reinterpret_cast<TargetWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (impl != nullptr && message >= kUserMessage && impl->handler) {
    impl->handler(message, static_cast<uintptr_t>(wparam), static_cast<uintptr_t>(lparam));
    return 0;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}
}  // namespace

struct MessageTarget::Impl : TargetWindow {};

MessageTarget::MessageTarget(Handler handler) : impl_(std::make_shared<Impl>()) {
  impl_->handler = std::move(handler);
  RegisterTargetClass();
  impl_->hwnd =
      CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr), nullptr);
  if (impl_->hwnd)
    SetWindowLongPtrA(impl_->hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(static_cast<TargetWindow*>(impl_.get())));
}

MessageTarget::~MessageTarget() {
  if (impl_->hwnd) {
    // Messages still queued for the window are discarded with it.
    SetWindowLongPtrA(impl_->hwnd, GWLP_USERDATA, 0);
    DestroyWindow(impl_->hwnd);
  }
}

bool MessageTarget::Post(uint32_t code, uintptr_t param1, uintptr_t param2) const {
  return impl_->hwnd && PostMessageA(impl_->hwnd, code, static_cast<WPARAM>(param1), static_cast<LPARAM>(param2));
}

void MessageTarget::Send(uint32_t code, uintptr_t param1, uintptr_t param2) const {
  if (impl_->hwnd) SendMessageA(impl_->hwnd, code, static_cast<WPARAM>(param1), static_cast<LPARAM>(param2));
}

void* MessageTarget::NativeHandle() const { return impl_->hwnd; }

void ReplyToSender() {
  if (InSendMessage()) ReplyMessage(0);
}

void DispatchPendingMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      TakeQuit(msg);
      break;  // the re-posted quit would be taken again
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

void DispatchSentMessages() {
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

bool WaitForMessages(uint32_t ms) {
  const DWORD r =
      MsgWaitForMultipleObjectsEx(0, nullptr, ms == 0xFFFFFFFFu ? INFINITE : ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  return r == WAIT_OBJECT_0;
}

int MessageQueueFd() { return -1; }

bool RunMessageLoop(uint32_t timeout_ms) {
  const uint32_t start = TickCount();
  for (;;) {
    MSG msg;
    while (t_quit_requests == 0 && !TerminationRequested() && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        TakeQuit(msg);
        return false;
      }
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (t_quit_requests > 0) {
      --t_quit_requests;
      return true;
    }
    if (TerminationRequested()) return false;
    DWORD wait = kTerminationCheckMs;
    if (timeout_ms != 0xFFFFFFFFu) {
      const uint32_t elapsed = TickCount() - start;
      if (elapsed >= timeout_ms) return false;
      if (timeout_ms - elapsed < wait) wait = timeout_ms - elapsed;
    }
    MsgWaitForMultipleObjectsEx(0, nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

void QuitMessageLoop() { ++t_quit_requests; }

}  // namespace vela::platform

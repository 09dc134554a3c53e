// Windows specifics of the message pump: message-only windows and WM_QUIT.
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/message_target.h"
#include "platform/termination.h"

namespace vela::platform {
namespace {

TEST(Win32Messages, TargetIsMessageOnlyWindow) {
  MessageTarget target([](uint32_t, uintptr_t, uintptr_t) {});
  HWND hwnd = static_cast<HWND>(target.NativeHandle());
  ASSERT_TRUE(IsWindow(hwnd));
  EXPECT_EQ(GetAncestor(hwnd, GA_PARENT),
            GetAncestor(FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr), GA_PARENT));
  EXPECT_EQ(MessageQueueFd(), -1);
}

TEST(Win32Messages, QuitTakenByPumpSetsTerminationAndIsPostedAgain) {
  ClearTermination();
  int calls = 0;
  MessageTarget target([&](uint32_t, uintptr_t, uintptr_t) { ++calls; });
  target.Post(kUserMessage + 1, 0, 0);
  PostQuitMessage(3);
  DispatchPendingMessages();
  EXPECT_TRUE(TerminationRequested());
  EXPECT_EQ(calls, 1);  // the message posted before the quit was dispatched
  // The host's own loop still sees its quit, with the exit code.
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  ClearTermination();
}

TEST(Win32Messages, RunMessageLoopEndsOnQuit) {
  ClearTermination();
  PostQuitMessage(0);
  EXPECT_FALSE(RunMessageLoop(5000));
  EXPECT_TRUE(TerminationRequested());
  MSG msg;
  EXPECT_TRUE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  ClearTermination();
}

}  // namespace
}  // namespace vela::platform

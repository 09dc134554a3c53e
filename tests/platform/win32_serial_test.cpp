#include <windows.h>

#include <gtest/gtest.h>

#include "platform/serial_device.h"

namespace vela::platform {
namespace {

TEST(Win32SerialDevice, PathIsDeviceNamespace) {
  EXPECT_EQ(SerialDevicePath("COM5"), "\\\\.\\COM5");
  EXPECT_EQ(SerialDevicePath("COM12"), "\\\\.\\COM12");
}

TEST(Win32SerialDevice, MissingPortReportsSystemError) {
  int error = 0;
  EXPECT_FALSE(SerialDevice::Open("COM97", error));
  EXPECT_EQ(error, static_cast<int>(ERROR_FILE_NOT_FOUND));
}

TEST(Win32SerialDevice, NoModemLinesErrors) {
  EXPECT_TRUE(IsNoModemLinesError(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(IsNoModemLinesError(ERROR_ACCESS_DENIED));
  EXPECT_EQ(NotOpenError(), static_cast<int>(ERROR_INVALID_HANDLE));
}

TEST(Win32OpenErrors, ReasonNamesWhatTheUserCanDo) {
  const std::pair<int, const char*> cases[] = {
      {ERROR_FILE_NOT_FOUND, "no such port"},
      {ERROR_ACCESS_DENIED, "access denied: another program holds the port"},
      {ERROR_SHARING_VIOLATION, "device busy: another program holds it"},
      {ERROR_INVALID_NAME, "invalid port name"},
      {77777, "system error 77777"},
  };
  for (const auto& [error, reason] : cases) EXPECT_EQ(OpenErrorReason(error), reason) << error;
  EXPECT_TRUE(IsDeviceLostError(ERROR_DEVICE_REMOVED));
  EXPECT_TRUE(IsDeviceLostError(ERROR_BAD_COMMAND));
  EXPECT_FALSE(IsDeviceLostError(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(IsDeviceLostError(0));
  EXPECT_EQ(PortLockName("com5"), "DezIsBusy-COM5");
  EXPECT_EQ(PortLockName("\\\\.\\COM12"), "DezIsBusy-COM12");
}

}  // namespace
}  // namespace vela::platform

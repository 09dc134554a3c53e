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

}  // namespace
}  // namespace vela::platform

// Text types used across the system.
#pragma once

#include <string>

namespace vela {

// Byte string: 8-bit characters in the system's single-byte code page.
using ByteString = std::string;
// Wide string: UTF-16 code units, as the automation surface passes text.
using WideString = std::u16string;
// Automation date: days since 1899-12-30 00:00, fraction = time of day; 0 = no time.
using DateTime = double;

// What the command lock of a modem channel covers.
enum class LockScope {
  kMachine,  // every command of every channel on the machine ("DezIsBusy")
  kPort,     // the commands to one device
};

}  // namespace vela

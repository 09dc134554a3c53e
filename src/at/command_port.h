// The one interface through which the driver talks to a modem: a command
// with its expected answers and time-out in, the lines received out; lines
// that are no answer (indications, their PDU lines, stray lines) handed to a
// handler. The command channel implements it over a serial port; tests use a
// scripted modem in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "common/types.h"

namespace vela::at {

class CommandPort {
 public:
  using LineHandler = std::function<void(const ByteString& line)>;

  virtual ~CommandPort() = default;

  // Writes `command` (which carries its own "\r") and returns every line
  // received until one containing an element of `expected` arrived or
  // `timeoutMs` passed, each followed by "\r\n". A time-out is no error: the
  // response just lacks the answer.
  virtual ByteString Exchange(const ByteString& command, const std::vector<ByteString>& expected,
                              uint32_t timeoutMs) = 0;
  // A command is running (an indication must wait until it has returned).
  virtual bool IsBusy() const = 0;
  // Receives every line that is no answer of a running command.
  virtual void SetLineHandler(LineHandler handler) = 0;
};

}  // namespace vela::at

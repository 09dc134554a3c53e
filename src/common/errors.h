// Exception classes shared by all subsystems. Every error carries a message
// text; the automation surface turns it into the error description a client sees.
#pragma once

#include <stdexcept>
#include <string>

namespace vela {

// Base of every error raised inside the system.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
};

// A malformed or impossible value met while converting (a time stamp with
// month 13, a non-decimal digit where a number is required).
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A value outside the range a setting accepts (a negative queue size, ...).
class ERangeError : public Exception {
 public:
  using Exception::Exception;
};

// The silent abort: the host is shutting down or the caller abandoned the
// command. Message "Operation aborted". Never shown to a user in a box.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

}  // namespace vela

// What the velasms modem commands share: the common options, setting the
// driver up from them, ending on SIGINT/SIGTERM, waiting for the driver's
// events without waking while nothing happens, and printing the events.
#pragma once

#include <poll.h>

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "args.h"
#include "json.h"
#include "modem/vuz_vela.h"

namespace vela::tool {

// Help lines of the options every modem command takes.
#define VELASMS_MODEM_OPTIONS                                                      \
  "  --port PATH        serial device of the modem (e.g. /dev/ttyUSB0)\n"          \
  "  --baud N           baud rate (default 9600)\n"                                \
  "  --pin PIN          SIM PIN, entered when the SIM asks for it\n"               \
  "  --lock SCOPE       machine (default): one modem command of all programs on\n" \
  "                     this machine at a time; port: only commands to the same\n" \
  "                     device wait for each other\n"                              \
  "  --json             JSON output, one object per line\n"                        \
  "  -h, --help         show this help\n"

// The JSON line of a status report: event, reference, delivered and both times.
Json ReportJson(const ByteString& reference, bool delivered, DateTime scts, DateTime discharge);

using Clock = std::chrono::steady_clock;

// poll(2) on `fds` up to `timeoutMs` (-1: no limit), resumed after a signal
// with the time left.
void PollRetry(struct pollfd* fds, unsigned long count, int timeoutMs);

std::vector<OptionSpec> WithModemOptions(std::vector<OptionSpec> specs);

// SIGINT and SIGTERM request termination while a modem command runs; the
// previous handlers come back afterwards.
class SignalScope {
 public:
  SignalScope();
  ~SignalScope();
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;

 private:
  void (*previousInt_)(int);
  void (*previousTerm_)(int);
};

// Sets the driver up from the common options; Open's steps and long waits for
// the modem lock are shown on `err`, prefixed with "velasms ".
void Configure(TVuZVela& driver, const ParsedArgs& a, std::ostream& err);

std::optional<Clock::time_point> DeadlineAfter(double seconds);

// Dispatches this thread's messages until `done` holds (true), or the
// deadline passes or termination is requested (false). Sleeps in poll(2) on
// the thread's message queue and the termination descriptor, with a time-out
// only for the deadline and the driver's next timer (reassembly time-outs),
// so an idle wait costs no wake-ups; due timers run after each wake.
bool WaitForEvents(TVuZVela& driver, const std::function<bool()>& done, std::optional<Clock::time_point> deadline);

// The JSON and human lines of the driver's events, as listen prints them.
class EventPrinter {
 public:
  EventPrinter(std::ostream& out, bool json) : out_(out), json_(json) {}

  // A whole message; `incoming` says whether it was read from storage.
  std::string MessageLine(const coding::AssembledMessage& message, const TVuZVela::IncomingContext& incoming) const;
  // A status report, with the state of the sent message it belongs to (if any).
  std::string ReportLine(const ByteString& reference, bool delivered, DateTime scts, DateTime discharge,
                         const TVuZVela::SentMessage* message, const TVuZVela::IncomingContext& incoming) const;
  // Writes a line built above and flushes.
  void Print(const std::string& line) const { out_ << line << std::endl; }

 private:
  std::ostream& out_;
  bool json_;
};

// "1, 2, 3"
std::string JoinedReferences(const std::vector<ByteString>& references);

}  // namespace vela::tool

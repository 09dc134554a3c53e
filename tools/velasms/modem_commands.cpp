// velasms send, listen and info: the modem driver run from the command line.
// The driver belongs to this (the main) thread, so this thread dispatches its
// messages while it waits; SIGINT and SIGTERM set the termination flag, which
// ends the waits here and any command the driver is running.
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <ostream>

#include "args.h"
#include "commands.h"
#include "json.h"
#include "modem/vuz_vela.h"
#include "platform/message_target.h"
#include "platform/termination.h"
#include "text.h"

namespace vela::tool {

#define VELASMS_MODEM_OPTIONS                                                              \
  "  --port PATH        serial device of the modem (e.g. /dev/ttyUSB0)\n"                  \
  "  --baud N           baud rate (default 9600)\n"                                        \
  "  --pin PIN          SIM PIN, entered when the SIM asks for it\n"                       \
  "  --json             JSON output, one object per line\n"                                \
  "  -h, --help         show this help\n"

const char* const kSendUsage =
    "Usage: velasms send --port PATH [--baud N] [--pin PIN] --to NUMBER [--status-report]\n"
    "                    [--wait-report SECONDS] [--json] TEXT\n"
    "\n"
    "Opens the modem, sends TEXT (UTF-8, converted to the 8-bit code page and cut to\n"
    "160 characters) in PDU mode and prints the message reference the modem assigned:\n"
    "{\"reference\": \"7\"}. With --wait-report it then waits for the status report of\n"
    "that message and prints it as 'listen' does. Messages and other reports that\n"
    "arrive meanwhile are printed too, so that none is lost.\n"
    "\n"
    "Options:\n"
    "  --to NUMBER        destination number; a leading '+' marks it international\n"
    "  --status-report    ask the network for a status report\n"
    "  --wait-report SECONDS\n"
    "                     wait up to SECONDS for the report (implies --status-report)\n" VELASMS_MODEM_OPTIONS
    "\n"
    "Exit status: 0 sent (and, with --wait-report, the report arrived), 1 the modem\n"
    "refused the message, 2 unusable arguments, an error, or no report in time.\n";

const char* const kListenUsage =
    "Usage: velasms listen --port PATH [--baud N] [--pin PIN] [--json] [--count N]\n"
    "                      [--timeout SECONDS]\n"
    "\n"
    "Opens the modem and prints every incoming message and delivery report until\n"
    "N events (--count), the timeout, or Ctrl-C, each of which ends it with exit\n"
    "status 0. Indications after the N-th are not acknowledged, so the network\n"
    "delivers them again later. With --json, one line per event:\n"
    "  {\"event\": \"message\", \"from\": ..., \"text\": ..., \"smsc_time\": ...}\n"
    "  {\"event\": \"report\", \"reference\": \"1A\", \"delivered\": true, \"smsc_time\": ...,\n"
    "   \"discharge_time\": ...}\n"
    "Times are \"YYYY-MM-DD hh:mm:ss\" (the service centre's local time) or null.\n"
    "A report's reference is the message reference in hex, as the modem reports it.\n"
    "\n"
    "Options:\n"
    "  --count N          stop after N events\n"
    "  --timeout SECONDS  stop after SECONDS (counted once the modem is open)\n" VELASMS_MODEM_OPTIONS;

const char* const kInfoUsage =
    "Usage: velasms info --port PATH [--baud N] [--pin PIN] [--json]\n"
    "\n"
    "Opens the modem and prints its manufacturer, model and serial number.\n"
    "\n"
    "Options:\n" VELASMS_MODEM_OPTIONS;

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<OptionSpec> kModemOptions = {
    {"--port", true}, {"--baud", true}, {"--pin", true}, {"--json", false}};

std::vector<OptionSpec> WithModemOptions(std::vector<OptionSpec> specs) {
  specs.insert(specs.end(), kModemOptions.begin(), kModemOptions.end());
  return specs;
}

void OnTerminationSignal(int) { platform::RequestTermination(); }

// SIGINT and SIGTERM request termination while a modem command runs; the
// previous handlers come back afterwards.
class SignalScope {
 public:
  SignalScope() {
    previousInt_ = std::signal(SIGINT, OnTerminationSignal);
    previousTerm_ = std::signal(SIGTERM, OnTerminationSignal);
  }
  ~SignalScope() {
    std::signal(SIGINT, previousInt_);
    std::signal(SIGTERM, previousTerm_);
  }
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;

 private:
  void (*previousInt_)(int) = SIG_DFL;
  void (*previousTerm_)(int) = SIG_DFL;
};

// Dispatches this thread's messages until `done` holds (true), or the deadline
// passes or termination is requested (false). Waits in short slices: a signal
// may land on another thread and leave this one asleep.
bool DispatchUntil(const std::function<bool()>& done, std::optional<Clock::time_point> deadline) {
  while (!done()) {
    if (platform::TerminationRequested()) return false;
    uint32_t sliceMs = 100;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      if (left <= 0) {
        platform::DispatchPendingMessages();  // what already arrived still counts
        return done();
      }
      if (left < sliceMs) sliceMs = static_cast<uint32_t>(left);
    }
    if (platform::WaitForMessages(sliceMs)) platform::DispatchPendingMessages();
  }
  return true;
}

std::optional<Clock::time_point> DeadlineAfter(double seconds) {
  return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

// Prints the driver's events as listen shows them.
class EventPrinter {
 public:
  EventPrinter(std::ostream& out, bool json) : out_(out), json_(json) {}

  void Message(const ByteString& originator, const ByteString& text, DateTime scts) {
    if (json_) {
      Json o = Json::Object();
      o.Set("event", "message").Set("from", Utf8FromBytes(originator)).Set("text", Utf8FromBytes(text));
      o.Set("smsc_time", TimeJson(scts));
      out_ << o.Dump() << std::endl;
    } else {
      out_ << "Message from " << Utf8FromBytes(originator) << " (service centre time " << TimeText(scts)
           << "):\n  " << IndentedText(Utf8FromBytes(text), "  ") << std::endl;
    }
  }

  void Report(const ByteString& reference, bool delivered, DateTime scts, DateTime discharge) {
    if (json_) {
      Json o = Json::Object();
      o.Set("event", "report").Set("reference", Utf8FromBytes(reference)).Set("delivered", delivered);
      o.Set("smsc_time", TimeJson(scts)).Set("discharge_time", TimeJson(discharge));
      out_ << o.Dump() << std::endl;
    } else {
      out_ << "Delivery report for reference " << Utf8FromBytes(reference) << " (hex): "
           << (delivered ? "delivered" : "not delivered") << " (service centre time " << TimeText(scts)
           << ", discharge time " << TimeText(discharge) << ")" << std::endl;
    }
  }

 private:
  std::ostream& out_;
  bool json_;
};

// Sets the driver up from the common options and shows Open's steps on `err`.
void Configure(TVuZVela& driver, const ParsedArgs& a, std::ostream& err) {
  if (!a.Has("--port")) throw UsageError("missing --port PATH");
  driver.Port = BytesFromUtf8(a.Value("--port"));
  driver.BaudRate = static_cast<int32_t>(ParseInteger("--baud", a.Value("--baud", "9600"), 1, 4000000));
  driver.Pin = BytesFromUtf8(a.Value("--pin"));
  driver.OnStep = [&err](int step, const ByteString& description) {
    err << "velasms: opening the modem, step " << step << ": " << Utf8FromBytes(description) << std::endl;
  };
}

}  // namespace

int RunSend(const Args& args, std::ostream& out, std::ostream& err) {
  ParsedArgs a = ParseArgs(args, WithModemOptions({{"--to", true}, {"--status-report", false}, {"--wait-report", true}}));
  if (a.Has("--help")) {
    out << kSendUsage;
    return 0;
  }
  if (!a.Has("--to")) throw UsageError("missing --to NUMBER");
  if (a.Positionals().size() != 1) {
    throw UsageError(a.Positionals().empty() ? "missing TEXT"
                                             : "expected one TEXT argument (quote a text with blanks)");
  }
  std::optional<double> waitSeconds;
  if (a.Has("--wait-report")) waitSeconds = ParseSeconds("--wait-report", a.Value("--wait-report"));
  const bool json = a.Has("--json");
  bool lossy = false, cut = false;
  const ByteString text = MessageTextFromUtf8(a.Positionals()[0], lossy, cut);
  const ByteString destination = BytesFromUtf8(a.Value("--to"));

  SignalScope signals;
  TVuZVela driver;
  Configure(driver, a, err);
  if (lossy) err << "velasms send: warning: characters missing from the code page are sent as '?'\n";
  if (cut) err << "velasms send: warning: the text is cut to 160 characters\n";

  // Events may come in before the reference is known (the modem can report
  // faster than it confirms); they wait here until it is.
  EventPrinter printer(out, json);
  struct Report {
    ByteString reference;
    bool delivered;
    DateTime scts, discharge;
  };
  std::vector<Report> held;
  bool referenceKnown = false, reportSeen = false;
  ByteString reference;
  auto onReport = [&](const Report& r) {
    if (!referenceKnown) return held.push_back(r);
    printer.Report(r.reference, r.delivered, r.scts, r.discharge);
    if (SameMessageReference(reference, r.reference)) reportSeen = true;
  };
  driver.OnReceiveMessage = [&](const ByteString& from, const ByteString& body, DateTime scts) {
    printer.Message(from, body, scts);
  };
  driver.OnDeliveryReport = [&](const ByteString& ref, bool delivered, DateTime scts, DateTime discharge) {
    onReport({ref, delivered, scts, discharge});
  };

  driver.Open();
  driver.SubmitMessage(destination, text, reference, a.Has("--status-report") || waitSeconds.has_value());

  if (json) {
    out << Json::Object().Set("reference", Utf8FromBytes(reference)).Dump() << std::endl;
  } else if (!reference.empty()) {
    out << "Reference: " << Utf8FromBytes(reference) << std::endl;
  }
  referenceKnown = true;
  for (const Report& r : held) onReport(r);

  int status = 0;
  if (reference.empty()) {
    err << "velasms send: the modem refused the message" << std::endl;
    status = 1;
  } else if (waitSeconds) {
    if (!DispatchUntil([&] { return reportSeen; }, DeadlineAfter(*waitSeconds))) {
      err << "velasms send: " << (platform::TerminationRequested() ? "interrupted before" : "no")
          << " delivery report for reference " << Utf8FromBytes(reference)
          << (platform::TerminationRequested() ? "" : " within " + a.Value("--wait-report") + " s") << std::endl;
      status = 2;
    }
  }
  // Indications held back while the last command ran are reported now.
  platform::DispatchPendingMessages();
  driver.Close();
  return status;
}

int RunListen(const Args& args, std::ostream& out, std::ostream& err) {
  ParsedArgs a = ParseArgs(args, WithModemOptions({{"--count", true}, {"--timeout", true}}));
  if (a.Has("--help")) {
    out << kListenUsage;
    return 0;
  }
  if (!a.Positionals().empty()) throw UsageError("unexpected argument '" + a.Positionals()[0] + "'");
  int64_t count = 0;  // 0: no limit
  if (a.Has("--count")) count = ParseInteger("--count", a.Value("--count"), 1, 1000000000);
  std::optional<double> timeout;
  if (a.Has("--timeout")) timeout = ParseSeconds("--timeout", a.Value("--timeout"));

  SignalScope signals;
  TVuZVela driver;
  Configure(driver, a, err);
  EventPrinter printer(out, a.Has("--json"));
  int64_t events = 0;
  // Once the count is reached the driver must neither acknowledge nor report
  // what follows in the same batch: an unacknowledged indication stays with
  // the network, which delivers it again later, while one acknowledged and
  // not printed would be lost. Without callbacks the driver does neither.
  // Clearing is the callback's last action; its closure holds references only.
  auto counted = [&] {
    if (++events == count) {
      driver.OnReceiveMessage = nullptr;
      driver.OnDeliveryReport = nullptr;
    }
  };
  driver.OnReceiveMessage = [&](const ByteString& from, const ByteString& text, DateTime scts) {
    printer.Message(from, text, scts);
    counted();
  };
  driver.OnDeliveryReport = [&](const ByteString& ref, bool delivered, DateTime scts, DateTime discharge) {
    printer.Report(ref, delivered, scts, discharge);
    counted();
  };

  driver.Open();
  err << "velasms listen: listening on " << a.Value("--port") << std::endl;
  DispatchUntil([&] { return count > 0 && events >= count; }, timeout ? DeadlineAfter(*timeout) : std::nullopt);
  driver.Close();
  // Ctrl-C is the ordinary way to stop listening.
  return 0;
}

int RunInfo(const Args& args, std::ostream& out, std::ostream& err) {
  ParsedArgs a = ParseArgs(args, kModemOptions);
  if (a.Has("--help")) {
    out << kInfoUsage;
    return 0;
  }
  if (!a.Positionals().empty()) throw UsageError("unexpected argument '" + a.Positionals()[0] + "'");

  SignalScope signals;
  TVuZVela driver;
  Configure(driver, a, err);
  driver.Open();
  if (a.Has("--json")) {
    Json o = Json::Object();
    o.Set("manufacturer", Utf8FromBytes(driver.Manufacturer()))
        .Set("model", Utf8FromBytes(driver.DeviceModel()))
        .Set("serial", Utf8FromBytes(driver.DeviceSerial()));
    out << o.Dump() << std::endl;
  } else {
    out << "Manufacturer: " << Utf8FromBytes(driver.Manufacturer()) << "\n"
        << "Model:        " << Utf8FromBytes(driver.DeviceModel()) << "\n"
        << "Serial:       " << Utf8FromBytes(driver.DeviceSerial()) << std::endl;
  }
  driver.Close();
  return 0;
}

}  // namespace vela::tool

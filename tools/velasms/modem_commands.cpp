// velasms send, listen and info: the modem driver run from the command line.
// The driver belongs to this (the main) thread, so this thread dispatches its
// messages while it waits; SIGINT and SIGTERM set the termination flag, which
// ends the waits here and any command the driver is running.
#include <poll.h>

#include <algorithm>
#include <map>
#include <optional>
#include <ostream>

#include "args.h"
#include "coding/text_coding.h"
#include "commands.h"
#include "json.h"
#include "modem/vuz_vela.h"
#include "modem_session.h"
#include "common/utf8.h"
#include "platform/message_target.h"
#include "platform/termination.h"
#include "text.h"

namespace vela::tool {

const char* const kSendUsage =
    "Usage: velasms send --port PATH [--baud N] [--pin PIN] --to NUMBER [--status-report]\n"
    "                    [--wait-report SECONDS] [--coding CODING] [--languages LIST]\n"
    "                    [--max-parts N] [--single] [--lock SCOPE] [--json] TEXT\n"
    "\n"
    "Opens the modem and sends TEXT (UTF-8) whole: in the coding that needs the\n"
    "fewest parts, as one message of as many parts as it takes (each part is an\n"
    "AT+CMGS of its own), and prints what the modem assigned:\n"
    "  {\"reference\": \"7\", \"references\": [\"7\", \"8\"], \"parts\": 2, \"coding\": \"gsm7\",\n"
    "   \"languages\": {\"locking\": null, \"single\": null}}\n"
    "(\"reference\" is the first part's). A refused part stops the rest; the output\n"
    "then names the modem's error: {\"reference\": \"\", \"error\": {\"code\": 304, \"text\":\n"
    "\"invalid PDU mode parameter\"}}. With --wait-report it waits for the status\n"
    "report of every part and prints the reports as 'listen' does; the last one says\n"
    "whether the whole message was delivered. Messages and other reports that arrive\n"
    "meanwhile are printed too, so that none is lost.\n"
    "\n"
    "Options:\n"
    "  --to NUMBER        destination number; a leading '+' marks it international;\n"
    "                     blanks, '-', '.', '(' and ')' are left out; '*' and '#'\n"
    "                     are allowed\n"
    "  --status-report    ask the network for a status report\n"
    "  --wait-report SECONDS\n"
    "                     wait up to SECONDS for the reports (implies --status-report)\n"
    "  --coding CODING    auto (default), gsm7, ucs2 or 8bit\n"
    "  --languages LIST   national language tables gsm7 may use, e.g. tr,es,pt,hi\n"
    "                     (codes, names or ids), all, or none (default: older phones\n"
    "                     show such messages wrongly)\n"
    "  --max-parts N      refuse a text that needs more than N parts (default 10);\n"
    "                     nothing is sent then\n"
    "  --validity DURATION\n"
    "                     how long the service centre keeps trying: 5m, 90m, 12h,\n"
    "                     3d, 2w (5 minutes to 63 weeks, rounded up to what the\n"
    "                     network can carry) or max (default: 63 weeks)\n"
    "  --single           the former way: TEXT converted to the 8-bit code page, cut\n"
    "                     to 160 characters and sent as one 7-bit part; prints\n"
    "                     {\"reference\": \"7\"}\n" VELASMS_MODEM_OPTIONS
    "\n"
    "Exit status: 0 sent (and, with --wait-report, every report arrived), 1 the modem\n"
    "refused the message or one of its parts, 2 unusable arguments, an error, or no\n"
    "report in time.\n";

const char* const kListenUsage =
    "Usage: velasms listen --port PATH [--baud N] [--pin PIN] [--json] [--count N]\n"
    "                      [--timeout SECONDS] [--stored deliver|keep|ignore]\n"
    "                      [--part-timeout SECONDS] [--no-reconnect] [--lock SCOPE]\n"
    "\n"
    "Opens the modem and prints every incoming message and delivery report until\n"
    "N events (--count), the timeout, or Ctrl-C, each of which ends it with exit\n"
    "status 0. A message of several parts is one event, once all its parts are in\n"
    "(or, missing some, after --part-timeout: then incomplete, a marker where\n"
    "each missing part belongs). Indications after the N-th are not acknowledged,\n"
    "so the network delivers them again later. With --json, one line per event:\n"
    "  {\"event\": \"message\", \"from\": ..., \"text\": ..., \"smsc_time\": ..., \"parts\": 1,\n"
    "   \"complete\": true}\n"
    "  {\"event\": \"report\", \"reference\": \"1A\", \"delivered\": true, \"smsc_time\": ...,\n"
    "   \"discharge_time\": ...}\n"
    "Events read from the modem's storage add \"stored\": true and \"index\": N.\n"
    "Times are \"YYYY-MM-DD hh:mm:ss\" (the service centre's local time) or null.\n"
    "A report's reference is the message reference in hex, as the modem reports it.\n"
    "When the device disappears (a USB modem pulled or reset), listen says so on\n"
    "stderr, waits for it to come back, opens it again and goes on.\n"
    "\n"
    "Options:\n"
    "  --count N          stop after N events\n"
    "  --timeout SECONDS  stop after SECONDS (counted once the modem is open)\n"
    "  --stored POLICY    messages already stored in the modem when it opens:\n"
    "                     deliver (default: report, then delete each), keep (report,\n"
    "                     leave stored) or ignore\n"
    "  --part-timeout SECONDS\n"
    "                     how long the parts of a message are waited for\n"
    "                     (default 600)\n"
    "  --no-reconnect     end with status 2 when the device disappears\n" VELASMS_MODEM_OPTIONS;

const char* const kInfoUsage =
    "Usage: velasms info --port PATH [--baud N] [--pin PIN] [--lock SCOPE] [--json]\n"
    "\n"
    "Opens the modem and prints its manufacturer, model and serial number, and\n"
    "what it tells of its state: signal strength, network registration, operator,\n"
    "service centre, message storage, IMSI, ICCID and remaining PIN/PUK attempts.\n"
    "Each of those is best effort: a query the modem refuses gives null (\"-\").\n"
    "JSON keys: manufacturer, model, serial, signal_dbm, registration (home,\n"
    "roaming, searching, denied, not registered, unknown), operator, smsc, storage\n"
    "{\"name\", \"used\", \"total\"}, imsi, iccid, pin_attempts, puk_attempts.\n"
    "\n"
    "Options:\n" VELASMS_MODEM_OPTIONS;

namespace {

// Output of --single: the lines the one-part path has always printed.
class SinglePartPrinter {
 public:
  SinglePartPrinter(std::ostream& out, bool json) : out_(out), json_(json) {}

  void Message(const ByteString& originator, const ByteString& text, DateTime scts) {
    if (json_) {
      Json o = Json::object();
      o["event"] = "message";
      o["from"] = Utf8FromBytes(originator);
      o["text"] = Utf8FromBytes(text);
      o["smsc_time"] = TimeJson(scts);
      out_ << JsonLine(o) << std::endl;
    } else {
      out_ << "Message from " << Utf8FromBytes(originator) << " (service centre time " << TimeText(scts) << "):\n  "
           << IndentedText(Utf8FromBytes(text), "  ") << std::endl;
    }
  }

  void Report(const ByteString& reference, bool delivered, DateTime scts, DateTime discharge) {
    if (json_) {
      out_ << JsonLine(ReportJson(reference, delivered, scts, discharge)) << std::endl;
    } else {
      out_ << "Delivery report for reference " << Utf8FromBytes(reference)
           << " (hex): " << (delivered ? "delivered" : "not delivered") << " (service centre time " << TimeText(scts)
           << ", discharge time " << TimeText(discharge) << ")" << std::endl;
    }
  }

 private:
  std::ostream& out_;
  bool json_;
};

void RequireOneText(const ParsedArgs& a) {
  if (a.Positionals().size() != 1) {
    throw UsageError(a.Positionals().empty() ? "missing TEXT"
                                             : "expected one TEXT argument (quote a text with blanks)");
  }
}

// One code-page part through SubmitMessage, exactly as before the whole-text path.
int SendSinglePart(const ParsedArgs& a, std::optional<double> waitSeconds, std::ostream& out, std::ostream& err) {
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
  SinglePartPrinter printer(out, json);
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
    out << JsonLine(Json{{"reference", Utf8FromBytes(reference)}}) << std::endl;
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
    if (!WaitForEvents(
            driver, [&] { return reportSeen; }, DeadlineAfter(*waitSeconds))) {
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

Json LanguageJson(int language) { return language ? Json(language) : Json(); }

// The refusal as scripts see it: the +CMS / +CME number and its meaning, or
// the driver's description when the modem gave no number.
Json ErrorJson(const TVuZVela& driver, const TVuZVela::SendTextResult& result) {
  const TVuZVela::ModemError& error = driver.LastModemError();
  Json o = Json::object();
  const bool numbered =
      error.kind == TVuZVela::ModemError::Kind::kCms || error.kind == TVuZVela::ModemError::Kind::kCme;
  if (numbered) {
    o["code"] = error.code.value_or(0);
    o["text"] = Utf8FromBytes(!error.text.empty() ? error.text : error.Describe());
  } else {
    o["code"] = result.cmsError ? Json(result.cmsError) : Json();
    o["text"] = Utf8FromBytes(!result.errorText.empty() ? result.errorText : ByteString("refused by the modem"));
  }
  return o;
}

// Parts of messages still incomplete when the command ends: routed parts
// were acknowledged, so the network will not deliver them again; they are
// reported now, incomplete, rather than lost with the driver. Parts read from
// storage stay stored until their whole message was reported, so under
// storage routing the next run joins them whole instead. Nothing is flushed
// once the event count is reached (the callbacks are gone).
void FlushPartsBeforeClosing(TVuZVela& driver, bool countReached) {
  if (countReached || !driver.IsOpen() || driver.StorageRouting()) return;
  driver.FlushReassembly();
}

// The whole text as one message of as many parts as it needs.
int SendWholeText(const ParsedArgs& a, std::optional<double> waitSeconds, std::ostream& out, std::ostream& err) {
  const bool json = a.Has("--json");
  TVuZVela::SendTextOptions options;
  options.coding = ParseCodingOption(a.Value("--coding", "auto"));
  options.languages = ParseLanguagesOption(a.Value("--languages"));
  options.maxParts = static_cast<int>(ParseInteger("--max-parts", a.Value("--max-parts", "10"), 1, 255));
  options.statusReport = a.Has("--status-report") || waitSeconds.has_value();
  options.validity = ParseValidityOption(a.Value("--validity", "max"));
  const WideString text = WideFromUtf8(a.Positionals()[0]);
  const ByteString destination = BytesFromUtf8(a.Value("--to"));
  {
    // An unusable number, a text the coding cannot carry or one past the
    // part limit fails here, before the port is touched.
    coding::SubmitOptions check;
    check.destination = destination;
    check.coding = options.coding;
    check.languages = options.languages;
    check.maxParts = options.maxParts;
    coding::EncodeSubmitMessage(text, check);
  }

  SignalScope signals;
  TVuZVela driver;
  Configure(driver, a, err);

  // Events may come in before the references are known (the modem can report
  // faster than it confirms); their lines wait here until they are.
  EventPrinter printer(out, json);
  std::vector<std::string> held;
  bool resultKnown = false;
  auto emit = [&](std::string line) {
    if (resultKnown) {
      printer.Print(line);
    } else {
      held.push_back(std::move(line));
    }
  };
  std::map<ByteString, bool> finished;  // message id -> delivered, once every part has its report
  driver.OnReceiveText = [&](const coding::AssembledMessage& message) {
    emit(printer.MessageLine(message, driver.CurrentIncoming()));
  };
  driver.OnDeliveryReport = [&](const ByteString& ref, bool delivered, DateTime scts, DateTime discharge) {
    emit(printer.ReportLine(ref, delivered, scts, discharge, driver.SentMessageForReport(ref),
                            driver.CurrentIncoming()));
  };
  driver.OnMessageStatus = [&](const TVuZVela::SentMessage& message, bool delivered) {
    finished[message.messageId] = delivered;
  };

  driver.Open();
  const TVuZVela::SendTextResult result = driver.SendText(destination, text, options);
  const ByteString first = result.references.empty() ? ByteString() : result.references[0];

  if (json) {
    Json o = Json::object();
    o["reference"] = Utf8FromBytes(first);
    if (!result.references.empty()) {
      Json references = Json::array();
      for (const ByteString& r : result.references) references.push_back(Utf8FromBytes(r));
      Json languages = Json::object();
      languages["locking"] = LanguageJson(result.lockingLanguage);
      languages["single"] = LanguageJson(result.singleLanguage);
      o["references"] = std::move(references);
      o["parts"] = result.parts;
      o["coding"] = coding::CodingName(result.coding);
      o["languages"] = std::move(languages);
    }
    if (!result.Complete()) o["error"] = ErrorJson(driver, result);
    out << JsonLine(o) << std::endl;
  } else if (!first.empty()) {
    out << "Reference: " << Utf8FromBytes(first) << std::endl;
    if (result.parts > 1) {
      out << "Parts:     " << result.parts << " (references " << JoinedReferences(result.references) << "), "
          << coding::CodingName(result.coding) << std::endl;
    }
  }
  resultKnown = true;
  for (const std::string& line : held) printer.Print(line);

  int status = 0;
  const std::string why =
      Utf8FromBytes(!result.errorText.empty() ? result.errorText : driver.LastModemError().Describe());
  if (result.references.empty()) {
    err << "velasms send: the modem refused the message" << std::endl;
    if (!why.empty()) err << "velasms send: " << why << std::endl;
    status = 1;
  } else if (!result.Complete()) {
    err << "velasms send: the modem refused part " << result.references.size() + 1 << " of " << result.parts
        << (why.empty() ? "" : " (" + why + ")") << "; parts 1 to " << result.references.size()
        << " went out (references " << JoinedReferences(result.references) << ")" << std::endl;
    status = 1;
  } else if (waitSeconds) {
    if (!WaitForEvents(
            driver, [&] { return finished.count(result.messageId) != 0; }, DeadlineAfter(*waitSeconds))) {
      const bool interrupted = platform::TerminationRequested();
      err << "velasms send: " << (interrupted ? "interrupted before" : "no") << " delivery report for "
          << (result.parts == 1 ? "reference " + Utf8FromBytes(first)
                                : "every part (references " + JoinedReferences(result.references) + ")")
          << (interrupted ? "" : " within " + a.Value("--wait-report") + " s") << std::endl;
      status = 2;
    }
  }
  // Indications held back while the last command ran are reported now.
  platform::DispatchPendingMessages();
  FlushPartsBeforeClosing(driver, false);
  driver.Close();
  return status;
}

TVuZVela::StoredPolicy StoredPolicyFrom(const std::string& name) {
  if (name == "deliver") return TVuZVela::StoredPolicy::kDeliver;
  if (name == "keep") return TVuZVela::StoredPolicy::kKeep;
  if (name == "ignore") return TVuZVela::StoredPolicy::kIgnore;
  throw UsageError("option '--stored' takes deliver, keep or ignore, not '" + name + "'");
}

// Waits for the device to come back after its loss and opens it again,
// trying once a second. False when the deadline passed or termination was
// requested first, or when opening can never succeed (a refused PIN).
bool Reopen(TVuZVela& driver, std::optional<Clock::time_point> deadline, const std::string& port, std::ostream& err) {
  const TVuZVela::StepCallback steps = driver.OnStep;
  driver.OnStep = nullptr;  // a line per step and attempt would bury the one that matters
  std::string lastReason;
  bool reopened = false;
  for (;;) {
    if (platform::TerminationRequested()) break;
    if (deadline && Clock::now() >= *deadline) break;
    try {
      driver.Open();
      reopened = true;
      break;
    } catch (const EAbort&) {
      break;
    } catch (const std::exception& e) {
      if (driver.PinRefused()) {
        err << "velasms listen: " << e.what() << std::endl;
        break;
      }
      if (e.what() != lastReason) {
        lastReason = e.what();
        err << "velasms listen: " << port << " not usable yet (" << lastReason << "); trying every second" << std::endl;
      }
    }
    int timeoutMs = 1000;
    if (deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      timeoutMs = static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left, timeoutMs)));
    }
    pollfd fd{platform::TerminationFd(), POLLIN, 0};
    PollRetry(&fd, 1, timeoutMs);
  }
  driver.OnStep = steps;
  return reopened;
}

int RunSend(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  if (!a.Has("--to")) throw UsageError("missing --to NUMBER");
  RequireOneText(a);
  std::optional<double> waitSeconds;
  if (a.Has("--wait-report")) waitSeconds = ParseSeconds("--wait-report", a.Value("--wait-report"));
  if (a.Has("--single")) {
    for (const char* option : {"--coding", "--languages", "--max-parts", "--validity"}) {
      if (a.Has(option)) throw UsageError(std::string("option '") + option + "' does not go with --single");
    }
    return SendSinglePart(a, waitSeconds, out, err);
  }
  return SendWholeText(a, waitSeconds, out, err);
}

int RunListen(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  int64_t count = 0;  // 0: no limit
  if (a.Has("--count")) count = ParseInteger("--count", a.Value("--count"), 1, 1000000000);
  std::optional<double> timeout;
  if (a.Has("--timeout")) timeout = ParseSeconds("--timeout", a.Value("--timeout"));
  const TVuZVela::StoredPolicy stored = StoredPolicyFrom(a.Value("--stored", "deliver"));
  const bool reconnect = !a.Has("--no-reconnect");

  SignalScope signals;
  TVuZVela driver;
  Configure(driver, a, err);
  driver.StoredAtOpen = stored;
  if (a.Has("--part-timeout")) {
    driver.ReassemblySettings.timeoutMs =
        static_cast<uint64_t>(ParseSeconds("--part-timeout", a.Value("--part-timeout")) * 1000);
  }
  EventPrinter printer(out, a.Has("--json"));
  int64_t events = 0;
  // Once the count is reached the driver must neither acknowledge nor report
  // what follows in the same batch: an unacknowledged indication stays with
  // the network (or in the modem's storage), which delivers it again later,
  // while one acknowledged and not printed would be lost. Without callbacks
  // the driver does neither. Clearing is the callback's last action; its
  // closure holds references only.
  auto counted = [&] {
    if (++events == count) {
      driver.OnReceiveText = nullptr;
      driver.OnDeliveryReport = nullptr;
    }
  };
  driver.OnReceiveText = [&](const coding::AssembledMessage& message) {
    printer.Print(printer.MessageLine(message, driver.CurrentIncoming()));
    counted();
  };
  driver.OnDeliveryReport = [&](const ByteString& ref, bool delivered, DateTime scts, DateTime discharge) {
    printer.Print(printer.ReportLine(ref, delivered, scts, discharge, driver.SentMessageForReport(ref),
                                     driver.CurrentIncoming()));
    counted();
  };
  bool lost = false;
  driver.OnPortLost = [&] { lost = true; };

  const std::string port = a.Value("--port");
  driver.Open();
  err << "velasms listen: listening on " << port << std::endl;
  // The timeout counts from the first open; reconnecting does not extend it.
  const std::optional<Clock::time_point> deadline = timeout ? DeadlineAfter(*timeout) : std::nullopt;
  int status = 0;
  for (;;) {
    WaitForEvents(
        driver, [&] { return (count > 0 && events >= count) || lost; }, deadline);
    if (!lost || (count > 0 && events >= count)) break;
    lost = false;
    if (!reconnect) {
      err << "velasms listen: lost the modem on " << port << std::endl;
      status = 2;
      break;
    }
    err << "velasms listen: lost the modem on " << port << "; waiting for it to come back" << std::endl;
    if (!Reopen(driver, deadline, port, err)) break;
    err << "velasms listen: the modem is back on " << port << "; listening again" << std::endl;
  }
  FlushPartsBeforeClosing(driver, count > 0 && events >= count);
  driver.Close();
  // Ctrl-C is the ordinary way to stop listening.
  return status;
}

template <typename T, typename F>
Json OptionalJson(const std::optional<T>& value, F&& convert) {
  return value ? Json(convert(*value)) : Json();
}

template <typename T, typename F>
std::string OptionalText(const std::optional<T>& value, F&& convert) {
  return value ? std::string(convert(*value)) : std::string("-");
}

int RunInfo(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  SignalScope signals;
  TVuZVela driver;
  Configure(driver, a, err);
  driver.Open();
  const TVuZVela::Diagnostics d = driver.QueryDiagnostics();
  auto text = [](const ByteString& b) { return Utf8FromBytes(b); };
  auto number = [](int n) { return n; };
  if (a.Has("--json")) {
    Json o = Json::object();
    o["manufacturer"] = Utf8FromBytes(driver.Manufacturer());
    o["model"] = Utf8FromBytes(driver.DeviceModel());
    o["serial"] = Utf8FromBytes(driver.DeviceSerial());
    o["signal_dbm"] = OptionalJson(d.signalDbm, number);
    o["registration"] = OptionalJson(d.registration, text);
    o["operator"] = OptionalJson(d.operatorName, text);
    o["smsc"] = OptionalJson(d.smsc, text);
    Json storage;
    if (d.storage) {
      storage = Json::object();
      storage["name"] = Utf8FromBytes(d.storage->name);
      storage["used"] = d.storage->used;
      storage["total"] = d.storage->total;
    }
    o["storage"] = std::move(storage);
    o["imsi"] = OptionalJson(d.imsi, text);
    o["iccid"] = OptionalJson(d.iccid, text);
    o["pin_attempts"] = OptionalJson(d.pinAttempts, number);
    o["puk_attempts"] = OptionalJson(d.pukAttempts, number);
    out << JsonLine(o) << std::endl;
  } else {
    auto count = [](int n) { return std::to_string(n); };
    out << "Manufacturer: " << Utf8FromBytes(driver.Manufacturer()) << "\n"
        << "Model:        " << Utf8FromBytes(driver.DeviceModel()) << "\n"
        << "Serial:       " << Utf8FromBytes(driver.DeviceSerial()) << "\n"
        << "Signal:       " << OptionalText(d.signalDbm, [](int n) { return std::to_string(n) + " dBm"; }) << "\n"
        << "Registration: " << OptionalText(d.registration, text) << "\n"
        << "Operator:     " << OptionalText(d.operatorName, text) << "\n"
        << "SMSC:         " << OptionalText(d.smsc, text) << "\n"
        << "Storage:      "
        << OptionalText(d.storage,
                        [](const TVuZVela::StorageStatus& s) {
                          return Utf8FromBytes(s.name) + ", " + std::to_string(s.used) + " of " +
                                 std::to_string(s.total) + " used";
                        })
        << "\n"
        << "IMSI:         " << OptionalText(d.imsi, text) << "\n"
        << "ICCID:        " << OptionalText(d.iccid, text) << "\n"
        << "PIN attempts: " << OptionalText(d.pinAttempts, count) << "\n"
        << "PUK attempts: " << OptionalText(d.pukAttempts, count) << std::endl;
  }
  driver.Close();
  return 0;
}

}  // namespace

Command ModemSendCommand() {
  std::vector<OptionSpec> options = WithModemOptions({{"--to", true}, {"--status-report", false}, {"--single", false}});
  for (const char* name : {"--wait-report", "--coding", "--languages", "--max-parts", "--validity"}) {
    options.push_back({name, true});
  }
  return {"send", kSendUsage, options, RunSend};
}

Command ListenCommand() {
  std::vector<OptionSpec> options = WithModemOptions({{"--no-reconnect", false}});
  for (const char* name : {"--count", "--timeout", "--stored", "--part-timeout"}) options.push_back({name, true});
  return {"listen", kListenUsage, options, RunListen, false};
}

Command InfoCommand() { return {"info", kInfoUsage, WithModemOptions({}), RunInfo, false}; }

}  // namespace vela::tool

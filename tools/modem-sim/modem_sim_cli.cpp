#include "modem_sim_cli.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>
#include <tuple>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "modem_sim.h"
#include "modem_sim_control.h"
#include "sim_ussd.h"

namespace vela::sim {
namespace {

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char n = s[++i];
      out.push_back(n == 'n' ? '\n' : n == 'r' ? '\r' : n == 't' ? '\t' : n);
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// Splits off the first blank-separated word; the rest keeps its inner blanks.
std::string NextWord(std::string* rest) {
  size_t b = rest->find_first_not_of(" \t");
  if (b == std::string::npos) {
    rest->clear();
    return "";
  }
  size_t e = rest->find_first_of(" \t", b);
  std::string word = rest->substr(b, e == std::string::npos ? std::string::npos : e - b);
  *rest = e == std::string::npos ? "" : rest->substr(e + 1);
  return word;
}

bool ParseNumber(const std::string& s, int base, long max, int* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v < 0 || v > max) return false;
  *out = static_cast<int>(v);
  return true;
}

// "2,1,3" -> {2, 1, 3}; false for anything but a list of part numbers.
bool ParseList(const std::string& s, std::vector<int>* out) {
  out->clear();
  size_t start = 0;
  for (;;) {
    size_t comma = s.find(',', start);
    int v = 0;
    if (!ParseNumber(s.substr(start, comma == std::string::npos ? std::string::npos : comma - start), 10, 255, &v))
      return false;
    out->push_back(v);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// deliver-long [--order LIST] [--duplicate LIST] [--drop LIST] [--ucs2] [--ref16] [--ref N] <from> <text>
void DeliverLong(ModemSim& sim, std::string rest, std::string* error) {
  DeliverLongOptions o;
  for (;;) {
    std::string saved = rest;
    std::string word = NextWord(&rest);
    if (word.rfind("--", 0) != 0) {
      rest = saved;
      break;
    }
    if (word == "--ucs2") {
      o.ucs2 = true;
    } else if (word == "--ref16") {
      o.reference16 = true;
    } else if (word == "--order" || word == "--duplicate" || word == "--drop") {
      std::vector<int>& list = word == "--order" ? o.order : word == "--duplicate" ? o.duplicate : o.drop;
      if (!ParseList(NextWord(&rest), &list)) {
        *error = "deliver-long: " + word + " needs part numbers separated by commas";
        return;
      }
    } else if (word == "--ref") {
      if (!ParseNumber(NextWord(&rest), 10, 65535, &o.reference)) {
        *error = "deliver-long: --ref needs a reference 0..65535";
        return;
      }
    } else {
      *error = "deliver-long: unknown option " + word;
      return;
    }
  }
  std::string from = NextWord(&rest);
  if (from.empty()) {
    *error = "deliver-long: missing originator";
    return;
  }
  sim.InjectDeliverLong(from, Unescape(rest), o);
}

// Lock-free atomics: safe in a signal handler and across threads.
std::atomic<int> g_signalled{0};
std::atomic<int> g_signalPipe{-1};

void OnSignal(int) {
  g_signalled = 1;
  int fd = g_signalPipe.load();
  if (fd >= 0) {
    char c = 1;
    ssize_t n = write(fd, &c, 1);
    (void)n;
  }
}

// Collects bytes from one descriptor and hands out complete lines.
struct LineReader {
  int fd = -1;
  std::string pending;
  // One read per readiness report, so that standard input never has to be
  // switched to non-blocking (it may be the user's terminal).
  template <typename F>
  bool Drain(F onLine) {  // false at end of file or on a read error
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      if (!pending.empty()) onLine(pending);  // last line without its newline
      pending.clear();
      return false;
    }
    pending.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!onLine(line)) return true;
    }
    return true;
  }
};

}  // namespace

std::string ModemSimUsage() {
  return "usage: velasms modem-sim [options]\n"
         "\n"
         "Simulated GSM modem on a pseudo-terminal. Prints \"ready <device>\" once serving\n"
         "(<device> is the --link path when given, else the pty slave), then serves until\n"
         "SIGINT, SIGTERM or a \"quit\" control line. Clients may close and reopen the port.\n"
         "\n"
         "options:\n"
         "  --link PATH             symlink the pty slave at PATH (an existing symlink is replaced)\n"
         "  --pin PIN               the SIM asks for this PIN (default: no PIN)\n"
         "  --no-echo               never echo, whatever ATE1 says\n"
         "  --sms-services LIST     0 or 0,1: answer to AT+CSMS=? (default 0,1)\n"
         "  --refuse-send           answer every message with +CMS ERROR: 500\n"
         "  --silent                answer nothing at all\n"
         "  --no-cmms               answer ERROR to AT+CMMS (a modem without it)\n"
         "  --own-number N          messages to N come back as +CMT (default +15550000000)\n"
         "  --service-centre N      service-centre address in delivered PDUs (default +15550000100)\n"
         "  --deliver-delay-ms N    delay before a message to the own number arrives (default 200)\n"
         "  --report-delay-ms N     delay before a requested status report (default 500)\n"
         "  --send-delay-ms N       delay before the answer to a sent message (default 0)\n"
         "  --report-status HEX     status octet of generated reports (default 00 = delivered)\n"
         "  --fail-cmgf N           refuse AT+CMGF=0 N times after each PIN entry\n"
         "  --control FIFO          read control lines from FIFO too (created when missing)\n"
         "  --sim-capacity N        slots of the SIM storage \"SM\" (default 30; \"ME\" has 100,\n"
         "                          \"MT\" is both)\n"
         "  --signal RSSI           +CSQ signal 0..31 or 99 (default 20 = -73 dBm)\n"
         "  --registration STAT     +CREG?/+CEREG? stat: 1 home (default), 5 roaming, 2 searching,\n"
         "                          3 denied, 0 not registered\n"
         "  --operator NAME         +COPS? operator (default VelaNet)\n"
         "  --imsi N / --iccid N    answers of AT+CIMI and AT+CCID / AT+ICCID\n"
         "  --ussd-form FORM        how +CUSD answers are written: packed (GSM 7-bit as hex,\n"
         "                          dcs 15; default), ucs2 (hex, dcs 72) or text; the network\n"
         "                          answers *100# (balance), *111# (a menu: reply 1 or 2),\n"
         "                          never *999#, and +CUSD: 4 to anything else\n"
         "  --ussd-delay-ms N       delay between AT+CUSD's OK and its answer (default 300)\n"
         "  -h, --help              this text\n"
         "\n"
         "profiles (--profile NAME, repeatable; each reproduces a behaviour of real modems):\n"
         "  alpha         +CMT headers carry a phonebook name: +CMT: \"BROOKE\",24; the default\n"
         "                names look like answers (OK, ERROR, READY, \"> x\", UCS2 hex 004F004B);\n"
         "                --alpha NAME (repeatable) sets the names, used in turn\n"
         "  no-cnma       refuses AT+CSMS=1, AT+CNMA and direct routing (AT+CNMI=2,2,...) with\n"
         "                +CMS ERROR: 303; messages are stored and indicated: +CMTI: \"SM\",n\n"
         "  cmti          accepts message service 1 and any +CNMI, but stores every message and\n"
         "                report and indicates it (+CMTI, +CDSI) instead of +CMT/+CDS\n"
         "  ack-timeout   under message service 1, a +CMT/+CDS not acknowledged (AT+CNMA) within\n"
         "                --ack-timeout-ms N (default 2000) switches routing off (+CNMI <mt> and\n"
         "                <ds> set to 0): the unacknowledged message is delivered again to storage\n"
         "                (not with --ack-timeout-no-redeliver), later ones go to storage without\n"
         "                indication until the next AT+CNMI\n"
         "  stored        starts with unread messages on the SIM: --stored-message FROM:TEXT\n"
         "                (repeatable) or --stored-count N (default 3 when neither is given)\n"
         "  unplug        control lines unplug (the device disappears: clients read EIO/hang-up,\n"
         "                the link is removed) and replug (a new pty, the link follows; the modem\n"
         "                starts afresh, storage persists, messages go to storage until AT+CNMI;\n"
         "                under message service 1 what was not acknowledged comes again, stored)\n"
         "  pin-counter   with --pin: a wrong PIN answers +CME ERROR: 16 and counts; after three\n"
         "                the SIM wants the PUK (--puk, default 12345678: AT+CPIN=<puk>,<new pin>);\n"
         "                AT+CPINR tells the attempts left; --state FILE keeps the counters\n"
         "                across runs of the simulator\n"
         "  cms-error N   every message sent is answered +CMS ERROR: N (also --cms-error N)\n"
         "\n"
         "control lines (standard input and the FIFO, one per line):\n"
         "  deliver <from> <text...>     incoming message (UCS2 when the text needs it); escapes\n"
         "                               \\n \\r \\t \\\\ in the text\n"
         "  deliver-long [--order 2,1,3] [--duplicate N] [--drop N] [--ucs2] [--ref16] [--ref N]\n"
         "               <from> <text...>\n"
         "                               a concatenated message: 153 septets or 67 UCS2 units per\n"
         "                               part (152/66 with --ref16); parts sent in --order, listed\n"
         "                               parts sent twice (--duplicate) or never (--drop); one part\n"
         "                               without header when the text fits one SMS\n"
         "  report <reference> [status]  status report for a decimal reference, status in hex\n"
         "  cmt <pdu-hex>                +CMT with this PDU (service-centre prefix included)\n"
         "  cds <pdu-hex>                +CDS with this PDU\n"
         "  raw <line...>                write the line framed by CR LF\n"
         "  ring                         write RING\n"
         "  store <from> <text...>       put an unread message on the SIM (no indication)\n"
         "  unplug / replug              take the device away / bring it back (profile unplug)\n"
         "  quit                         stop\n"
         "Blank lines and lines starting with # are ignored.\n";
}

ControlAction ApplyControlLine(ModemSim& sim, const std::string& line, std::string* error) {
  error->clear();
  std::string rest = line;
  std::string verb = NextWord(&rest);
  if (verb.empty() || verb[0] == '#') return ControlAction::Continue;
  try {
    if (verb == "quit") return ControlAction::Quit;
    if (verb == "ring") {
      sim.InjectRing();
    } else if (verb == "raw") {
      sim.InjectRawLine(rest);
    } else if (verb == "deliver" || verb == "store") {
      const std::string from = NextWord(&rest);
      if (from.empty()) {
        *error = verb + ": missing originator";
      } else if (verb == "deliver") {
        sim.InjectDeliver(from, Unescape(rest));
      } else {
        sim.AddStored(from, Unescape(rest));
      }
    } else if (verb == "unplug") {
      sim.Unplug();
    } else if (verb == "replug") {
      sim.Replug();
    } else if (verb == "deliver-long") {
      DeliverLong(sim, rest, error);
    } else if (verb == "report") {
      std::string ref = NextWord(&rest);
      std::string status = NextWord(&rest);
      int reference = 0;
      int st = sim.Options().reportStatus;
      if (!ParseNumber(ref, 10, 255, &reference)) {
        *error = "report: reference must be 0..255";
      } else if (!status.empty() && !ParseNumber(status, 16, 0xFF, &st)) {
        *error = "report: status must be one hex octet";
      } else {
        sim.InjectReport(reference, st);
      }
    } else if (verb == "cmt" || verb == "cds") {
      std::string pdu = NextWord(&rest);
      if (pdu.empty() || pdu.size() % 2 != 0 || pdu.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos) {
        *error = verb + ": PDU must be hexadecimal octets";
      } else if (verb == "cmt") {
        sim.InjectCmtPdu(pdu);
      } else {
        sim.InjectCdsPdu(pdu);
      }
    } else {
      *error = "unknown control command: " + verb;
    }
  } catch (const std::exception& e) {
    *error = verb + ": " + e.what();
  }
  return ControlAction::Continue;
}

namespace {

int Unusable(const std::string& why) {
  std::cerr << "modem-sim: " << why << "\n"
            << "try 'velasms modem-sim --help'\n";
  return 2;
}

}  // namespace

// The options, tokenized by CLI11 ("--name VALUE", "--name=VALUE", flags,
// repeatable options).
ModemSimCommand::ModemSimCommand(CLI::App& app) {
  app.set_help_flag();
  app.allow_extras(false);  // a subcommand would take its parent's setting
  std::map<std::string, CLI::Option*>& options = options_;
  for (const char* flag :
       {"-h,--help", "--no-echo", "--refuse-send", "--silent", "--no-cmms", "--ack-timeout-no-redeliver"})
    options[flag] = app.add_flag(flag)->disable_flag_override();
  for (const char* name : {"--link",
                           "--pin",
                           "--sms-services",
                           "--own-number",
                           "--service-centre",
                           "--report-delay-ms",
                           "--deliver-delay-ms",
                           "--send-delay-ms",
                           "--fail-cmgf",
                           "--report-status",
                           "--control",
                           "--stored-count",
                           "--state",
                           "--puk",
                           "--cms-error",
                           "--ack-timeout-ms",
                           "--sim-capacity",
                           "--signal",
                           "--registration",
                           "--operator",
                           "--imsi",
                           "--iccid",
                           "--ussd-form",
                           "--ussd-delay-ms"})
    options[name] = app.add_option(name)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  for (const char* name : {"--alpha", "--stored-message"})
    options[name] = app.add_option(name)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  // "--profile cms-error 304": the error number may follow as a value of its own.
  options["--profile"] =
      app.add_option("--profile")->expected(1, 2)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

int ModemSimCommand::ParseError(const CLI::ParseError& e) {
  const std::string message = e.what();
  if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
    // "The following argument was not expected: --bogus"
    return Unusable("unknown option " + message.substr(message.find(": ") + 2));
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
    // "--link: 1 required  missing", "no-echo was given a disallowed flag override"
    std::string name = message.substr(0, message.find_first_of(": "));
    if (name.compare(0, 1, "-") != 0) name = (name.size() == 1 ? "-" : "--") + name;
    return Unusable(name + (message.find("flag override") != std::string::npos ? " takes no value" : " needs a value"));
  }
  return Unusable(message);
}

// The values, checked. Returns -1 to go on, or the exit code (0 after --help,
// 2 for unusable options).
int ModemSimCommand::Apply(ModemSimOptions& opts, std::string& control) {
  const auto bad = Unusable;
  std::map<std::string, CLI::Option*>& options = options_;
  if (options["-h,--help"]->count()) {
    std::cout << ModemSimUsage();
    return 0;
  }
  auto given = [&](const char* name) { return options[name]->count() > 0; };
  auto value = [&](const char* name) { return options[name]->results().back(); };
  int n = 0;

  if (given("--no-echo")) opts.echo = false;
  if (given("--refuse-send")) opts.refuseSend = true;
  if (given("--silent")) opts.silent = true;
  if (given("--no-cmms")) opts.cmms = false;
  if (given("--ack-timeout-no-redeliver")) opts.ackTimeoutRedeliver = false;
  // Options whose value may not be empty.
  const std::pair<const char*, std::string*> texts[] = {{"--link", &opts.linkPath}, {"--own-number", &opts.ownNumber},
                                                        {"--control", &control},    {"--state", &opts.stateFile},
                                                        {"--puk", &opts.puk},       {"--operator", &opts.operatorName},
                                                        {"--imsi", &opts.imsi},     {"--iccid", &opts.iccid}};
  for (const auto& [name, target] : texts) {
    if (!given(name)) continue;
    if (value(name).empty()) return bad(std::string(name) + " needs a value");
    *target = value(name);
  }
  if (given("--pin")) opts.pin = value("--pin");
  if (given("--service-centre")) opts.serviceCentre = value("--service-centre");
  if (given("--sms-services")) {
    if (value("--sms-services") != "0" && value("--sms-services") != "0,1") return bad("--sms-services takes 0 or 0,1");
    opts.smsServices = value("--sms-services");
  }
  // Whole numbers from 0 to a maximum.
  const std::tuple<const char*, long, int*> numbers[] = {{"--report-delay-ms", 3600000, &opts.reportDelayMs},
                                                         {"--deliver-delay-ms", 3600000, &opts.deliverDelayMs},
                                                         {"--send-delay-ms", 3600000, &opts.sendDelayMs},
                                                         {"--fail-cmgf", 3600000, &opts.failCmgfTimes},
                                                         {"--ack-timeout-ms", 3600000, &opts.ackTimeoutMs},
                                                         {"--sim-capacity", 3600000, &opts.simCapacity},
                                                         {"--signal", 99, &opts.rssi},
                                                         {"--registration", 5, &opts.registration},
                                                         {"--ussd-delay-ms", 3600000, &opts.ussdDelayMs}};
  for (const auto& [name, max, target] : numbers) {
    if (!given(name)) continue;
    if (!ParseNumber(value(name), 10, max, target)) return bad(std::string(name) + " needs a number");
  }
  opts.simCapacity = std::max(1, std::min(opts.simCapacity, 1000));
  if (given("--ussd-form")) {
    if (!ValidUssdForm(value("--ussd-form"))) return bad("--ussd-form takes packed, ucs2 or text");
    opts.ussdForm = value("--ussd-form");
  }
  if (given("--report-status")) {
    if (!ParseNumber(value("--report-status"), 16, 0xFF, &opts.reportStatus))
      return bad("--report-status needs one hex octet");
  }
  if (given("--cms-error")) {
    if (!ParseNumber(value("--cms-error"), 10, 999, &opts.cmsError) || opts.cmsError == 0)
      return bad("--cms-error needs an error number 1..999");
  }
  for (const std::string& name : options["--alpha"]->results()) {
    if (name.empty()) return bad("--alpha needs a name");
    opts.alpha = true;
    opts.alphaNames.push_back(name);
  }
  bool storedProfile = false;
  int storedCount = -1;
  for (const std::string& message : options["--stored-message"]->results()) {
    if (message.find(':') == std::string::npos || message.find(':') == 0)
      return bad("--stored-message needs FROM:TEXT");
    storedProfile = true;
    opts.storedMessages.push_back(
        {message.substr(0, message.find(':')), Unescape(message.substr(message.find(':') + 1))});
  }
  if (given("--stored-count")) {
    if (!ParseNumber(value("--stored-count"), 10, 10000, &storedCount)) return bad("--stored-count needs a number");
    storedProfile = true;
  }
  const std::vector<std::string>& profiles = options["--profile"]->results();
  for (size_t i = 0; i < profiles.size(); ++i) {
    const std::string& item = profiles[i];
    std::string name = item, number;
    size_t sep = item.find_first_of("=: ");
    if (sep != std::string::npos) {
      name = item.substr(0, sep);
      number = item.substr(sep + 1);
    }
    if (name == "cms-error" && number.empty() && i + 1 < profiles.size() && ParseNumber(profiles[i + 1], 10, 999, &n))
      number = profiles[++i];
    if (name == "alpha")
      opts.alpha = true;
    else if (name == "no-cnma")
      opts.noCnma = true;
    else if (name == "cmti")
      opts.cmtiOnly = true;
    else if (name == "ack-timeout")
      opts.ackTimeout = true;
    else if (name == "stored")
      storedProfile = true;
    else if (name == "unplug")
      opts.unplug = true;
    else if (name == "pin-counter")
      opts.pinCounter = true;
    else if (name == "cms-error") {
      if (!ParseNumber(number, 10, 999, &opts.cmsError) || opts.cmsError == 0)
        return bad("--profile cms-error needs an error number 1..999");
    } else {
      return bad("unknown profile " + item +
                 " (alpha, no-cnma, cmti, ack-timeout, stored, unplug, pin-counter, cms-error N)");
    }
    if (name != "cms-error" && !number.empty()) return bad("profile " + name + " takes no value");
  }

  if (opts.pinCounter && opts.pin.empty()) return bad("--profile pin-counter needs --pin");
  if (storedProfile) {
    if (storedCount < 0 && opts.storedMessages.empty()) storedCount = 3;
    for (int k = 1; k <= storedCount; ++k)
      opts.storedMessages.push_back({"+1555000" + std::to_string(1000 + k), "stored message " + std::to_string(k)});
  }
  return -1;
}

int ModemSimMain(int argc, char** argv) {
  CLI::App app;
  ModemSimCommand command(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return ModemSimCommand::ParseError(e);
  }
  return command.Run();
}

int ModemSimCommand::Run() {
  ModemSimOptions opts;
  std::string control;
  if (int code = Apply(opts, control); code >= 0) return code;

  signal(SIGPIPE, SIG_IGN);
  // The signal pipe lives as long as the process: a handler that has read the
  // descriptor must never write to one closed (or reused) meanwhile.
  static int sigPipe[2] = {-1, -1};
  if (sigPipe[0] < 0) {
    if (pipe(sigPipe) != 0) {
      std::perror("modem-sim: pipe");
      return 1;
    }
    for (int fd : sigPipe) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    for (int fd : sigPipe) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  char drain[64];
  while (read(sigPipe[0], drain, sizeof drain) > 0) {}
  g_signalPipe = sigPipe[1];
  struct sigaction sa {
  }, oldInt{}, oldTerm{};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  g_signalled = 0;
  sigaction(SIGINT, &sa, &oldInt);
  sigaction(SIGTERM, &sa, &oldTerm);
  // Every way out from here gives the caller its handlers back.
  struct Restore {
    struct sigaction& i;
    struct sigaction& t;
    ~Restore() {
      sigaction(SIGINT, &i, nullptr);
      sigaction(SIGTERM, &t, nullptr);
      g_signalPipe = -1;
    }
  } restore{oldInt, oldTerm};

  bool fifoCreated = false;
  LineReader fifo;
  if (!control.empty()) {
    struct stat st {};
    if (stat(control.c_str(), &st) != 0) {
      if (mkfifo(control.c_str(), 0600) != 0) {
        std::cerr << "modem-sim: mkfifo " << control << ": " << std::strerror(errno) << "\n";
        return 1;
      }
      fifoCreated = true;
    } else if (!S_ISFIFO(st.st_mode)) {
      std::cerr << "modem-sim: " << control << " exists and is not a FIFO\n";
      return 2;
    }
    // Opened for writing as well, so that a writer closing it never ends the stream.
    fifo.fd = open(control.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo.fd < 0) {
      std::cerr << "modem-sim: open " << control << ": " << std::strerror(errno) << "\n";
      if (fifoCreated) unlink(control.c_str());
      return 1;
    }
  }

  ModemSim sim(opts);
  try {
    sim.Start();
  } catch (const std::exception& e) {
    std::cerr << "modem-sim: " << e.what() << "\n";
    if (fifo.fd >= 0) close(fifo.fd);
    if (fifoCreated) unlink(control.c_str());
    return 1;
  }
  std::cout << "ready " << (opts.linkPath.empty() ? sim.DevicePath() : opts.linkPath) << std::endl;

  LineReader input;
  input.fd = STDIN_FILENO;
  bool stdinOpen = true;
  bool quit = false;
  auto handle = [&](const std::string& line) {
    std::string error;
    if (ApplyControlLine(sim, line, &error) == ControlAction::Quit) {
      quit = true;
      return false;
    }
    if (!error.empty()) std::cerr << "modem-sim: " << error << std::endl;
    return true;
  };
  while (!quit && !g_signalled) {
    pollfd fds[3] = {{sigPipe[0], POLLIN, 0}, {stdinOpen ? input.fd : -1, POLLIN, 0}, {fifo.fd, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
      // Standard input at its end (a background job, /dev/null) leaves the FIFO and signals.
      if (!input.Drain(handle)) stdinOpen = false;
    }
    if (!quit && (fds[2].revents & POLLIN)) fifo.Drain(handle);
  }

  sim.Stop();
  if (fifo.fd >= 0) close(fifo.fd);
  if (fifoCreated) unlink(control.c_str());
  return 0;
}

}  // namespace vela::sim

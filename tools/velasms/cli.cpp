// velasms command dispatch: picks the command, turns argument errors into
// exit status 2 with a hint, and keeps every exception away from main.
#include <exception>
#include <ostream>

#include "args.h"
#include "commands.h"

namespace vela::tool {

const char* const kMainUsage =
    "Usage: velasms COMMAND [OPTIONS] [ARGUMENTS]\n"
    "\n"
    "Sends and receives SMS through a GSM modem in PDU mode, and encodes and\n"
    "analyses SMS PDUs.\n"
    "\n"
    "Commands:\n"
    "  encode      build the SMS-SUBMIT PDU for a text\n"
    "  decode      analyse PDUs as the modem prints them after +CMT: or +CDS:\n"
    "  join        put the parts of concatenated messages back together\n"
    "  send        send a text through a modem, optionally waiting for its report\n"
    "  listen      print incoming messages and delivery reports\n"
    "  info        print the modem's identity and state (signal, network, storage)\n"
    "  messages    list, read and delete the messages stored in the modem\n"
    "  gateway     run the SMS gateway (queue, inbox, HTTP API) for one or more modems\n"
    "  inbox       print the messages a running gateway received\n"
    "  modem-sim   run a simulated GSM modem on a pseudo-terminal\n"
    "\n"
    "Run 'velasms COMMAND --help' for the options of a command, 'velasms --version'\n"
    "for the version.\n"
    "\n"
    "Exit status: 0 success, 1 the modem refused the message (send),\n"
    "2 unusable arguments or an error (message on stderr).\n";

namespace {

struct Command {
  const char* name;
  int (*run)(const Args&, std::ostream&, std::ostream&);
};

// One row per command; new commands add a row here.
constexpr Command kCommands[] = {
    {"encode", RunEncode},     {"decode", RunDecode},   {"join", RunJoin},
    {"send", RunSendCommand},  {"listen", RunListen},   {"info", RunInfo},
    {"messages", RunMessages}, {"gateway", RunGateway}, {"inbox", RunInbox},
};

}  // namespace

int RunVelasms(const Args& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kMainUsage;
    return 2;
  }
  const std::string& name = args[0];
  if (name == "--help" || name == "-h" || name == "help") {
    out << kMainUsage;
    return 0;
  }
  if (name == "--version") {
    out << "velasms " << VELA_VERSION << "\n";
    return 0;
  }
  for (const Command& command : kCommands) {
    if (name != command.name) continue;
    try {
      return command.run(Args(args.begin() + 1, args.end()), out, err);
    } catch (const UsageError& e) {
      err << "velasms " << name << ": " << e.what() << "\n"
          << "Try 'velasms " << name << " --help'.\n";
      return 2;
    } catch (const std::exception& e) {
      err << "velasms " << name << ": " << e.what() << "\n";
      return 2;
    }
  }
  err << "velasms: unknown command '" << name << "'\n"
      << "Try 'velasms --help'.\n";
  return 2;
}

}  // namespace vela::tool

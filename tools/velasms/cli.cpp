// velasms command dispatch: the commands as CLI11 subcommands; argument
// errors become exit status 2 with a hint, and no exception reaches main.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <map>
#include <memory>
#include <ostream>

#include "args.h"
#include "commands.h"
#include "modem_sim_cli.h"

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
    "  ussd        send a USSD code (*100#) and print the network's answer\n"
    "  gateway     run the SMS gateway (queue, inbox, HTTP API) for one or more modems\n"
    "  inbox       print the messages a running gateway received\n"
    "  modem-sim   run a simulated GSM modem on a pseudo-terminal\n"
    "\n"
    "Run 'velasms COMMAND --help' for the options of a command, 'velasms --version'\n"
    "for the version.\n"
    "\n"
    "Exit status: 0 success, 1 the modem refused the message (send),\n"
    "2 unusable arguments or an error (message on stderr).\n";

int RunVelasms(const Args& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kMainUsage;
    return 2;
  }
  const std::string& name = args[0];
  const Args rest(args.begin() + 1, args.end());
  CLI::App app("velasms");
  app.set_help_flag();     // the main usage is printed below
  app.allow_extras(true);  // an unknown command is reported below, by name
  CLI::Option* help = app.add_flag("-h,--help");
  CLI::Option* version = app.add_flag("--version");
  app.add_subcommand("help");
  // One row per command; new commands add a row here.
  const Command commands[] = {EncodeCommand(), DecodeCommand(),   JoinCommand(),    SendCommand(rest), ListenCommand(),
                              InfoCommand(),   MessagesCommand(), GatewayCommand(), InboxCommand(),    UssdCommand()};
  std::map<std::string, std::unique_ptr<CommandOptions>> options;
  for (const Command& command : commands) {
    options[command.name] = std::make_unique<CommandOptions>(*app.add_subcommand(command.name), command.options);
  }
  sim::ModemSimCommand simulator(*app.add_subcommand("modem-sim"));

  // A command's "--name=VALUE" is split as its options ask; CLI11 takes the
  // arguments reversed.
  Args reversed = options.count(name) ? options[name]->Prepare(rest) : rest;
  reversed.insert(reversed.begin(), name);
  std::reverse(reversed.begin(), reversed.end());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (name == "modem-sim") return sim::ModemSimCommand::ParseError(e);
    err << "velasms " << name << ": " << UsageErrorFrom(e).what() << "\n"
        << "Try 'velasms " << name << " --help'.\n";
    return 2;
  }
  if (help->count() || app.got_subcommand("help")) {
    out << kMainUsage;
    return 0;
  }
  if (version->count()) {
    out << "velasms " << VELA_VERSION << "\n";
    return 0;
  }
  if (app.got_subcommand("modem-sim")) return simulator.Run();
  for (const Command& command : commands) {
    if (!app.got_subcommand(command.name)) continue;
    try {
      const ParsedArgs a = options[command.name]->Collect();
      if (a.Has("--help")) {
        out << command.usage;
        return 0;
      }
      if (!command.takesArguments && !a.Positionals().empty()) {
        throw UsageError("unexpected argument '" + a.Positionals()[0] + "'");
      }
      return command.run(a, out, err);
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

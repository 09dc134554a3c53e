// The velasms commands. Each is a CLI11 subcommand of `velasms`: its options,
// its --help text, and its body, which writes results to `out` and messages
// to `err` and returns the exit status: 0 success, 1 the modem refused a
// message (send), 2 unusable arguments or any error. They can be called
// in-process through RunVelasms (the tests do).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "args.h"

namespace vela::tool {

using Args = std::vector<std::string>;

struct Command {
  const char* name;
  std::string usage;  // what --help prints
  std::vector<OptionSpec> options;
  int (*run)(const ParsedArgs& a, std::ostream& out, std::ostream& err);
  bool takesArguments = true;  // false: any positional argument is refused
};

// The whole command line after the program name: parsed by CLI11 with one
// subcommand per command (and `modem-sim`), then run.
int RunVelasms(const Args& args, std::ostream& out, std::ostream& err);

Command EncodeCommand();
Command DecodeCommand();
Command JoinCommand();
Command ListenCommand();
Command InfoCommand();
Command MessagesCommand();
Command UssdCommand();
// send: through a gateway when `args` (after the command name) has --gateway,
// else through a modem.
Command SendCommand(const Args& args);
Command ModemSendCommand();
// The gateway daemon and its clients (gateway_command.cpp, gateway_client.cpp).
Command GatewayCommand();
Command InboxCommand();

// Usage texts, as printed by --help.
extern const char* const kMainUsage;
extern const char* const kEncodeUsage;
extern const char* const kDecodeUsage;
extern const char* const kJoinUsage;
extern const char* const kSendUsage;
extern const char* const kListenUsage;
extern const char* const kInfoUsage;
extern const char* const kMessagesUsage;
extern const char* const kUssdUsage;
extern const char* const kGatewayUsage;
extern const char* const kInboxUsage;

}  // namespace vela::tool

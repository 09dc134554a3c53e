// Command-line entry of the simulated GSM modem: `velasms modem-sim [options]`
// and the program velasms-modem-sim. POSIX only (the simulator serves a
// pseudo-terminal).
#pragma once

#include <map>
#include <string>

namespace CLI {
class App;
class Option;
class ParseError;
}  // namespace CLI

namespace vela::sim {

struct ModemSimOptions;

// The simulator as a CLI11 (sub)command.
class ModemSimCommand {
 public:
  // Declares the simulator's options on `app`.
  explicit ModemSimCommand(CLI::App& app);
  // After `app` is parsed: runs the simulator until SIGINT, SIGTERM, a "quit"
  // control line or a fatal error. Returns the process exit code (0 after a
  // normal stop or --help, 2 for bad options, 1 when the pty cannot be set
  // up). Runs on the calling thread; installs handlers for SIGINT and SIGTERM.
  int Run();
  // Reports an option CLI11 could not parse on stderr; the exit code (2).
  static int ParseError(const CLI::ParseError& e);

 private:
  int Apply(ModemSimOptions& opts, std::string& control);
  std::map<std::string, CLI::Option*> options_;
};

// The whole program: argv[0] is "modem-sim" (or the program), the options
// follow.
int ModemSimMain(int argc, char** argv);

}  // namespace vela::sim

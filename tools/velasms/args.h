// Command-line arguments of the velasms commands, parsed by CLI11: long
// options ("--name VALUE", "--name=VALUE", flags), "-h" as "--help", "--"
// ending the options, and positional arguments anywhere. Pure; no I/O.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace vela::tool {

// Arguments the command cannot use. The command line prints the message on
// stderr and exits with status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  std::string name;         // with the leading dashes, e.g. "--to"
  bool takesValue = false;  // "--to NUMBER" versus the flag "--json"
};

class ParsedArgs {
 public:
  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  // The value of the option's last occurrence; `fallback` when it is absent.
  std::string Value(const std::string& name, const std::string& fallback = {}) const;
  const std::vector<std::string>& Positionals() const { return positionals_; }
  // Every option given, in command-line order, with its value ("" for a flag):
  // for options that may repeat.
  const std::vector<std::pair<std::string, std::string>>& Given() const { return given_; }

 private:
  friend class CommandOptions;
  std::map<std::string, std::string> values_;
  std::vector<std::string> positionals_;
  std::vector<std::pair<std::string, std::string>> given_;
};

// The options of one command declared on its CLI11 (sub)command: `specs`,
// "-h"/"--help" as a flag named "--help", and positional arguments anywhere.
class CommandOptions {
 public:
  CommandOptions(CLI::App& app, std::vector<OptionSpec> specs);
  CommandOptions(const CommandOptions&) = delete;  // CLI11 keeps a reference to positionals_
  CommandOptions& operator=(const CommandOptions&) = delete;
  // The command's arguments as CLI11 is to see them: "--name=VALUE" of an
  // option with a value becomes "--name" "VALUE", so that an empty VALUE is
  // a value too.
  std::vector<std::string> Prepare(const std::vector<std::string>& args) const;
  // What the parse found; UsageError for an unknown option.
  ParsedArgs Collect() const;

 private:
  CLI::App& app_;
  std::vector<OptionSpec> specs_;
  std::vector<std::pair<std::string, CLI::Option*>> options_;
  std::vector<std::string> positionals_;
};

// A CLI11 parse error (CLI::ParseError) as the UsageError that names the option.
UsageError UsageErrorFrom(const std::exception& e);

// Parses `args` (without the program and command names) against `specs`.
// "--help" and "-h" are always accepted as a flag named "--help". Raises
// UsageError for an unknown option, a missing value or a value given to a flag.
ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs);

// Decimal integer in [min, max] (surrounding blanks not allowed); UsageError
// naming the option otherwise.
int64_t ParseInteger(const std::string& option, const std::string& text, int64_t min, int64_t max);
// Non-negative number of seconds, fractions allowed ("2.5"); UsageError otherwise.
double ParseSeconds(const std::string& option, const std::string& text);

}  // namespace vela::tool

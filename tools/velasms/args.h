// Command-line arguments of the velasms commands, parsed by CLI11: long
// options ("--name VALUE", "--name=VALUE", flags), "-h" as "--help", "--"
// ending the options, and positional arguments anywhere. Pure; no I/O.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

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

 private:
  friend ParsedArgs ParseArgs(const std::vector<std::string>&, const std::vector<OptionSpec>&);
  std::map<std::string, std::string> values_;
  std::vector<std::string> positionals_;
};

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

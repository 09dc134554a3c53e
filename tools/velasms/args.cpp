#include "args.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vela::tool {

std::string ParsedArgs::Value(const std::string& name, const std::string& fallback) const {
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

CommandOptions::CommandOptions(CLI::App& app, std::vector<OptionSpec> specs) : app_(app), specs_(std::move(specs)) {
  app_.set_help_flag();     // "--help" is an ordinary flag: the command prints its own usage
  app_.allow_extras(true);  // unknown options are reported by Collect, by name
  app_.add_option("arguments", positionals_)->expected(0, CLI::detail::expected_max_vector_size);
  auto add = [&](const std::string& name, bool takesValue) {
    CLI::Option* option =
        takesValue ? app_.add_option(name)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
                   : app_.add_flag(name)->disable_flag_override();
    options_.emplace_back(name, option);
  };
  add("-h,--help", false);
  for (const OptionSpec& spec : specs_) add(spec.name, spec.takesValue);
}

std::vector<std::string> CommandOptions::Prepare(const std::vector<std::string>& args) const {
  std::vector<std::string> prepared;
  bool optionsEnded = false;
  for (const std::string& arg : args) {
    const size_t eq = arg.find('=');
    const bool split = !optionsEnded && arg.compare(0, 2, "--") == 0 && eq != std::string::npos &&
                       std::any_of(specs_.begin(), specs_.end(), [&](const OptionSpec& spec) {
                         return spec.takesValue && arg.compare(0, eq, spec.name) == 0 && spec.name.size() == eq;
                       });
    if (arg == "--") optionsEnded = true;
    if (split) {
      prepared.push_back(arg.substr(0, eq));
      prepared.push_back(arg.substr(eq + 1));
    } else {
      prepared.push_back(arg);
    }
  }
  return prepared;
}

ParsedArgs CommandOptions::Collect() const {
  ParsedArgs parsed;
  parsed.positionals_ = positionals_;
  for (const std::string& extra : app_.remaining()) {
    if (extra == "--") continue;  // CLI11 hands the end of the options back
    if (extra.size() >= 2 && extra[0] == '-')
      throw UsageError("unknown option '" + extra.substr(0, extra.find('=')) + "'");
    parsed.positionals_.push_back(extra);
  }
  std::map<const CLI::Option*, size_t> taken;  // results of each option already placed in order
  for (const CLI::Option* option : app_.parse_order()) {
    for (const auto& [names, known] : options_) {
      if (known != option) continue;
      const std::string name = names == "-h,--help" ? "--help" : names;
      const std::string value = option->get_expected_max() == 0 ? std::string() : option->results().at(taken[option]++);
      parsed.values_[name] = value;  // the last occurrence wins
      parsed.given_.emplace_back(name, value);
    }
  }
  return parsed;
}

UsageError UsageErrorFrom(const std::exception& e) {
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) == nullptr) return UsageError(e.what());
  // "--to: 1 required TEXT missing", "json was given a disallowed flag override"
  const std::string message = e.what();
  std::string name = message.substr(0, message.find_first_of(": "));
  if (name.compare(0, 1, "-") != 0) name = (name.size() == 1 ? "-" : "--") + name;
  if (name == "-h") name = "--help";
  return UsageError(message.find("flag override") != std::string::npos ? "option '" + name + "' takes no value"
                                                                       : "option '" + name + "' needs a value");
}

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs) {
  CLI::App app;
  CommandOptions options(app, specs);
  std::vector<std::string> reversed = options.Prepare(args);
  std::reverse(reversed.begin(), reversed.end());  // CLI11 takes its arguments reversed
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    throw UsageErrorFrom(e);
  }
  return options.Collect();
}

int64_t ParseInteger(const std::string& option, const std::string& text, int64_t min, int64_t max) {
  bool digitsOnly = !text.empty();
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (!(c >= '0' && c <= '9') && !(i == 0 && c == '-' && text.size() > 1)) digitsOnly = false;
  }
  errno = 0;
  char* end = nullptr;
  long long n = digitsOnly ? std::strtoll(text.c_str(), &end, 10) : 0;
  if (!digitsOnly || errno == ERANGE || n < min || n > max) {
    throw UsageError("option '" + option + "' needs a whole number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not '" + text + "'");
  }
  return n;
}

double ParseSeconds(const std::string& option, const std::string& text) {
  bool ok = !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
  char* end = nullptr;
  double s = ok ? std::strtod(text.c_str(), &end) : -1;
  // A week is far beyond any wait this tool makes and keeps milliseconds in 32 bits.
  if (!ok || end != text.c_str() + text.size() || !std::isfinite(s) || s < 0 || s > 604800) {
    throw UsageError("option '" + option + "' needs a number of seconds, not '" + text + "'");
  }
  return s;
}

}  // namespace vela::tool

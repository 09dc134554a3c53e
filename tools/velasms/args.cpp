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

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs) {
  CLI::App app;
  app.set_help_flag();     // "--help" is an ordinary flag: the command prints its own usage
  app.allow_extras(true);  // unknown options are reported below, by name
  ParsedArgs parsed;
  app.add_option("arguments", parsed.positionals_)->expected(0, CLI::detail::expected_max_vector_size);
  std::vector<std::pair<std::string, CLI::Option*>> options;
  auto add = [&](const std::string& name, bool takesValue) {
    CLI::Option* option = takesValue
                              ? app.add_option(name)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
                              : app.add_flag(name)->disable_flag_override();
    options.emplace_back(name, option);
  };
  add("-h,--help", false);
  for (const OptionSpec& spec : specs) add(spec.name, spec.takesValue);

  // "--name=VALUE" of an option with a value goes in as "--name" "VALUE", so
  // that an empty VALUE is a value too. CLI11 takes its arguments reversed.
  std::vector<std::string> reversed;
  bool optionsEnded = false;
  for (const std::string& arg : args) {
    const size_t eq = arg.find('=');
    const bool split = !optionsEnded && arg.compare(0, 2, "--") == 0 && eq != std::string::npos &&
                       std::any_of(specs.begin(), specs.end(), [&](const OptionSpec& spec) {
                         return spec.takesValue && arg.compare(0, eq, spec.name) == 0 && spec.name.size() == eq;
                       });
    if (arg == "--") optionsEnded = true;
    if (split) {
      reversed.push_back(arg.substr(0, eq));
      reversed.push_back(arg.substr(eq + 1));
    } else {
      reversed.push_back(arg);
    }
  }
  std::reverse(reversed.begin(), reversed.end());
  try {
    app.parse(reversed);
  } catch (const CLI::ArgumentMismatch& e) {
    // "--to: 1 required TEXT missing", "json was given a disallowed flag override"
    const std::string message = e.what();
    std::string name = message.substr(0, message.find_first_of(": "));
    if (name.compare(0, 1, "-") != 0) name = (name.size() == 1 ? "-" : "--") + name;
    if (name == "-h") name = "--help";
    throw UsageError(message.find("flag override") != std::string::npos ? "option '" + name + "' takes no value"
                                                                        : "option '" + name + "' needs a value");
  } catch (const CLI::ParseError& e) {
    throw UsageError(e.what());
  }
  for (const std::string& extra : app.remaining()) {
    if (extra == "--") continue;  // CLI11 hands the end of the options back
    if (extra.size() >= 2 && extra[0] == '-')
      throw UsageError("unknown option '" + extra.substr(0, extra.find('=')) + "'");
    parsed.positionals_.push_back(extra);
  }
  for (const auto& [names, option] : options) {
    if (option->count() == 0) continue;
    const std::string name = names == "-h,--help" ? "--help" : names;
    parsed.values_[name] = option->get_expected_max() == 0 ? std::string() : option->results().back();
  }
  return parsed;
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

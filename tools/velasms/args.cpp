#include "args.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vela::tool {

std::string ParsedArgs::Value(const std::string& name, const std::string& fallback) const {
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs) {
  ParsedArgs parsed;
  auto find = [&](const std::string& name) -> const OptionSpec* {
    for (const auto& spec : specs)
      if (spec.name == name) return &spec;
    return nullptr;
  };
  const OptionSpec help{"--help", false};

  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    // A lone "-" and anything after "--" are positional; so is every
    // argument that does not start with a dash.
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      parsed.positionals_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg;
    std::string value;
    bool hasInlineValue = false;
    if (arg.compare(0, 2, "--") == 0) {
      auto eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        hasInlineValue = true;
      }
    }
    if (name == "-h") name = "--help";
    const OptionSpec* spec = name == "--help" ? &help : find(name);
    if (!spec) throw UsageError("unknown option '" + name + "'");
    if (spec->takesValue) {
      if (!hasInlineValue) {
        if (i + 1 >= args.size()) throw UsageError("option '" + name + "' needs a value");
        value = args[++i];
      }
    } else if (hasInlineValue) {
      throw UsageError("option '" + name + "' takes no value");
    }
    parsed.values_[name] = value;
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

// Argument parsing of velasms: option forms, positional arguments, and the
// errors that make a command exit with status 2.
#include <gtest/gtest.h>

#include "args.h"

namespace vela::tool {
namespace {

const std::vector<OptionSpec> kSpecs = {{"--to", true}, {"--json", false}, {"--coding", true}};

TEST(ToolArgs, AcceptsSeparateAndInlineValuesFlagsAndPositionalsAnywhere) {
  ParsedArgs a = ParseArgs({"hello", "--to", "+123", "--json", "--coding=ucs2", "world"}, kSpecs);
  EXPECT_EQ(a.Value("--to"), "+123");
  EXPECT_EQ(a.Value("--coding"), "ucs2");
  EXPECT_TRUE(a.Has("--json"));
  EXPECT_FALSE(a.Has("--help"));
  EXPECT_EQ(a.Positionals(), (std::vector<std::string>{"hello", "world"}));
  EXPECT_EQ(a.Value("--missing", "fallback"), "fallback");
  // Every occurrence in order, for options that repeat.
  ParsedArgs repeated = ParseArgs({"--to", "1", "--json", "x", "--to=2", "--coding", "c"}, kSpecs);
  EXPECT_EQ(repeated.Given(), (std::vector<std::pair<std::string, std::string>>{
                                  {"--to", "1"}, {"--json", ""}, {"--to", "2"}, {"--coding", "c"}}));
  EXPECT_EQ(repeated.Value("--to"), "2");
}

TEST(ToolArgs, ValuesAreTakenLiterallyAndTheLastOccurrenceWins) {
  // A value may start with a dash or contain '=' (a PIN, a text).
  ParsedArgs a = ParseArgs({"--to", "-5", "--to", "a=b", "--coding=x=y"}, kSpecs);
  EXPECT_EQ(a.Value("--to"), "a=b");
  EXPECT_EQ(a.Value("--coding"), "x=y");
  ParsedArgs empty = ParseArgs({"--to="}, kSpecs);
  EXPECT_TRUE(empty.Has("--to"));
  EXPECT_EQ(empty.Value("--to", "unset"), "");
}

TEST(ToolArgs, DoubleDashEndsOptionsAndLoneDashIsPositional) {
  ParsedArgs a = ParseArgs({"--json", "--", "--to", "-x", "-"}, kSpecs);
  EXPECT_TRUE(a.Has("--json"));
  EXPECT_FALSE(a.Has("--to"));
  EXPECT_EQ(a.Positionals(), (std::vector<std::string>{"--to", "-x", "-"}));
  EXPECT_EQ(ParseArgs({"-", ""}, kSpecs).Positionals(), (std::vector<std::string>{"-", ""}));
}

TEST(ToolArgs, RejectsWhatTheCommandCannotUse) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--bogus=1"}, "unknown option '--bogus'"},
      {{"-x"}, "unknown option '-x'"},
      {{"--to"}, "option '--to' needs a value"},
      {{"hello", "--coding"}, "option '--coding' needs a value"},
      {{"--json=yes"}, "option '--json' takes no value"},
      {{"--help=1"}, "option '--help' takes no value"},
  };
  for (const Case& c : cases) {
    try {
      ParseArgs(c.args, kSpecs);
      ADD_FAILURE() << "accepted " << c.args[0];
    } catch (const UsageError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(ToolArgs, IntegersMustBeWholeAndInRange) {
  EXPECT_EQ(ParseInteger("--baud", "115200", 1, 4000000), 115200);
  EXPECT_EQ(ParseInteger("--n", "-3", -5, 5), -3);
  for (const char* bad : {"", "12x", " 12", "1.5", "0", "4000001", "99999999999999999999999", "-", "+5", "0x10"}) {
    EXPECT_THROW(ParseInteger("--baud", bad, 1, 4000000), UsageError) << bad;
  }
}

TEST(ToolArgs, SecondsAreNonNegativeNumbers) {
  EXPECT_DOUBLE_EQ(ParseSeconds("--timeout", "10"), 10.0);
  EXPECT_DOUBLE_EQ(ParseSeconds("--timeout", "0.25"), 0.25);
  EXPECT_DOUBLE_EQ(ParseSeconds("--timeout", "0"), 0.0);
  for (const char* bad : {"", "-1", "1e3", "ten", "1.2.3", ".", "nan", "inf", "9999999"}) {
    EXPECT_THROW(ParseSeconds("--timeout", bad), UsageError) << bad;
  }
}

}  // namespace
}  // namespace vela::tool

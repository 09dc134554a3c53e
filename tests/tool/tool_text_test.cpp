// Text helpers of velasms: message texts as sent, human-output line breaks,
// and matching a status report to the message it reports on.
#include <gtest/gtest.h>

#include "text.h"

namespace vela::tool {
namespace {

TEST(ToolText, MessageTextGoesThroughTheCodePageAndIsCutTo160) {
  struct Case {
    std::string utf8;
    ByteString bytes;
    bool lossy, cut;
  };
  const Case cases[] = {
      {"hi", "hi", false, false},
      {"", "", false, false},
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xE9 \x80", false, false},  // é and € are in the code page
      {"\xE4\xB8\x96!", "?!", true, false},                        // 世 is not
      {std::string(160, 'x'), ByteString(160, 'x'), false, false},
      {std::string(161, 'x'), ByteString(160, 'x'), false, true},
      {std::string(300, 'y'), ByteString(160, 'y'), false, true},
  };
  for (const Case& c : cases) {
    bool lossy = !c.lossy, cut = !c.cut;
    EXPECT_EQ(MessageTextFromUtf8(c.utf8, lossy, cut), c.bytes) << c.utf8;
    EXPECT_EQ(lossy, c.lossy) << c.utf8;
    EXPECT_EQ(cut, c.cut) << c.utf8;
  }
}

TEST(ToolText, IndentedTextContinuesEveryLineBreakAndShowsOtherControls) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"one line", "one line"},
      {"a\r\nb", "a\n..b"},
      {"a\n\rb", "a\n..b"},
      {"a\nb\rc", "a\n..b\n..c"},
      {"a\r\n\r\nb", "a\n..\n..b"},
      {"end\r\n", "end\n.."},
      {"tab\there\x1b", "tab\\x09here\\x1B"},
      {"\xC3\xA9", "\xC3\xA9"},
  };
  for (const Case& c : cases) EXPECT_EQ(IndentedText(c.in, ".."), c.out) << c.out;
}

TEST(ToolText, ReportReferenceIsTheSentReferenceInHexModulo256) {
  struct Case {
    const char* sent;
    const char* reported;
    bool same;
  };
  const Case cases[] = {
      {"7", "07", true},
      {"26", "1A", true},
      {"26", "1a", true},
      {"26", "26", false},
      {"255", "FF", true},
      {"256", "00", true},
      {"300", "2C", true},
      {"1", "02", false},
      {"7", "", false},
      {"7", "7", false},
      {"7", "0G", false},
      {"7", "007", false},
      // A reference the modem did not give as a number matches any report.
      {"OK", "05", true},
      {"", "05", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SameMessageReference(c.sent, c.reported), c.same) << c.sent << " " << c.reported;
}

}  // namespace
}  // namespace vela::tool

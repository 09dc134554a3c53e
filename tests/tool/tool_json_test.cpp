// velasms' JSON lines (nlohmann-json underneath): escaping of control characters and UTF-8,
// replacement of invalid UTF-8, key order and nesting.
#include <gtest/gtest.h>

#include "json.h"

namespace vela::tool {
namespace {

TEST(ToolJson, QuoteEscapesWhatJsonRequires) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"back\\slash", R"("back\\slash")"},
      {"a/b", R"("a/b")"},
      {"line1\r\nline2\n", R"("line1\r\nline2\n")"},
      {"\t\b\f", R"("\t\b\f")"},
      {std::string("nul\0byte", 8), R"("nul\u0000byte")"},
      {"\x01\x1b\x1f", R"("\u0001\u001b\u001f")"},
      {"del\x7f", R"("del\u007f")"},
      {" ~", R"(" ~")"},
  };
  for (const Case& c : cases) EXPECT_EQ(JsonQuote(c.in), c.out) << c.out;
}

TEST(ToolJson, QuoteKeepsValidUtf8AndEscapesLineSeparators) {
  EXPECT_EQ(JsonQuote("\xC3\xA9t\xC3\xA9"), "\"\xC3\xA9t\xC3\xA9\"");                // été
  EXPECT_EQ(JsonQuote("\xE2\x82\xAC 5"), "\"\xE2\x82\xAC 5\"");                      // € 5
  EXPECT_EQ(JsonQuote("\xE4\xB8\x96\xE7\x95\x8C"), "\"\xE4\xB8\x96\xE7\x95\x8C\"");  // 世界
  EXPECT_EQ(JsonQuote("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");                  // U+1F600
  EXPECT_EQ(JsonQuote("\xEF\xBF\xBD"), "\"\xEF\xBF\xBD\"");                          // U+FFFD itself
  EXPECT_EQ(JsonQuote("a\xE2\x80\xA8"
                      "b\xE2\x80\xA9"),
            R"("a\u2028b\u2029")");
}

TEST(ToolJson, QuoteReplacesEveryInvalidUtf8ByteWithReplacementCharacter) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"\xE9t\xE9", R"("\ufffdt\ufffd")"},                    // Latin-1 bytes
      {"\x80", R"("\ufffd")"},                                // stray continuation byte
      {"\xC3", R"("\ufffd")"},                                // truncated at the end
      {"\xC3x", R"("\ufffdx")"},                              // truncated before ASCII
      {"\xE2\x82", R"("\ufffd\ufffd")"},                      // truncated three-byte form
      {"\xC0\xAF", R"("\ufffd\ufffd")"},                      // overlong '/'
      {"\xE0\x80\xAF", R"("\ufffd\ufffd\ufffd")"},            // overlong three-byte form
      {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"},            // UTF-16 surrogate
      {"\xF4\x90\x80\x80", R"("\ufffd\ufffd\ufffd\ufffd")"},  // past U+10FFFF
      {"\xFF\xFE", R"("\ufffd\ufffd")"},
      // U+FFFD itself, a '?' after it, and an invalid byte stay apart.
      {"\xEF\xBF\xBD?\xFF\xEF\xBF\xBD\xEF\xBF\xBD", "\"\xEF\xBF\xBD?\\ufffd\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const Case& c : cases) EXPECT_EQ(JsonQuote(c.in), c.out) << c.out;
}

TEST(ToolJson, DumpsValuesObjectsInInsertionOrderAndArrays) {
  Json o = Json::object();
  o["pdu"] = "0011";
  o["length"] = 16;
  o["ok"] = true;
  o["none"] = nullptr;
  o["big"] = int64_t{4294967296};
  o["neg"] = -1;
  Json lines = Json::array();
  lines.push_back("a");
  lines.push_back(Json::object());
  lines.push_back(Json::array());
  o["lines"] = lines;
  o["length"] = 17;  // replaces in place, keeps the position
  EXPECT_EQ(JsonLine(o), R"({"pdu": "0011", "length": 17, "ok": true, "none": null, "big": 4294967296, "neg": -1, )"
                         R"("lines": ["a", {}, []]})");
  EXPECT_EQ(JsonLine(Json()), "null");
  EXPECT_EQ(JsonLine(Json(false)), "false");
}

TEST(ToolJson, KeysAreEscapedLikeValues) {
  Json o = Json::object();
  o["k\"\n"] = "v\x01";
  EXPECT_EQ(JsonLine(o), R"({"k\"\n": "v\u0001"})");
  // Invalid UTF-8 in keys and nested values; separators inside strings stay as they are.
  Json nested = Json::object();
  nested["\xFF:,"] = Json::array({"a,b:\xC3", Json::object({{"\x7F", "\xE2\x80\xA8"}})});
  EXPECT_EQ(JsonLine(nested), R"({"\ufffd:,": ["a,b:\ufffd", {"\u007f": "\u2028"}]})");
}

}  // namespace
}  // namespace vela::tool

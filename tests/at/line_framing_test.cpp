// Receive framing fed one byte at a time from tables of raw modem output.
#include "at/line_framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vela {
namespace {

const std::vector<ByteString> kDefaultAnswers = {"OK", "ERROR", ">", "READY", "SIM PIN"};

// One completed line and the index of the byte that completed it.
struct Cut {
  ByteString line;
  size_t at;
  bool operator==(const Cut& o) const { return line == o.line && at == o.at; }
};

std::ostream& operator<<(std::ostream& os, const Cut& c) {
  os << "{\"";
  for (char ch : c.line) {
    if (static_cast<unsigned char>(ch) < 0x20)
      os << "\\x" << std::hex << int(static_cast<unsigned char>(ch)) << std::dec;
    else
      os << ch;
  }
  return os << "\" at " << c.at << "}";
}

struct FramingCase {
  const char* name;
  ByteString input;
  std::vector<ByteString> expected;
  std::vector<Cut> cuts;
  ByteString rest;  // bytes left in the line buffer
};

class FramingTable : public ::testing::TestWithParam<FramingCase> {};

TEST_P(FramingTable, ByteByByte) {
  const FramingCase& c = GetParam();
  LineFramer framer;
  std::vector<Cut> cuts;
  for (size_t i = 0; i < c.input.size(); ++i) {
    ByteString line;
    if (framer.Feed(c.input[i], c.expected, line)) cuts.push_back({line, i});
  }
  EXPECT_EQ(cuts, c.cuts);
  EXPECT_EQ(framer.Buffer(), c.rest);

  // Whole-chunk feeding gives the same lines.
  LineFramer chunked;
  std::vector<ByteString> lines;
  chunked.Feed(c.input, c.expected, lines);
  ASSERT_EQ(lines.size(), c.cuts.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], c.cuts[i].line);
  EXPECT_EQ(chunked.Buffer(), c.rest);
}

using S = std::string;

INSTANTIATE_TEST_SUITE_P(
    Modem, FramingTable,
    ::testing::Values(
        FramingCase{"EchoBlankLineOk", "ATE1\r\r\nOK\r\n", kDefaultAnswers, {{"ATE1", 4}, {"OK", 8}}, ""},
        // The prompt has no line end: delivered at the '>' itself, the blank
        // after it starts the next (still open) line.
        FramingCase{
            "PromptWithoutLineEnd", "AT+CMGS=23\r\r\n> ", kDefaultAnswers, {{"AT+CMGS=23", 10}, {">", 13}}, " "},
        // "READY" is cut at its last letter; the "\r\n" that follow fall on an
        // empty buffer, the final OK is a line of its own.
        FramingCase{"ReadyCutAtLastLetter",
                    "AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n",
                    kDefaultAnswers,
                    {{"AT+CPIN?", 8}, {"+CPIN: READY", 22}, {"OK", 28}},
                    ""},
        FramingCase{"SimPinCutAtLastLetter",
                    "\r\n+CPIN: SIM PIN2\r\n",
                    kDefaultAnswers,
                    {{"+CPIN: SIM PIN", 15}, {"2", 17}},
                    ""},
        FramingCase{"NulAndLineFeedDropped", S("A\0T\n+\nCG\0MI\r", 12), kDefaultAnswers, {{"AT+CGMI", 11}}, ""},
        FramingCase{"BlankLinesDropped", S("  \r\t\r\x01\x02 \r\0\r", 11), kDefaultAnswers, {}, ""},
        FramingCase{
            "LineKeepsInnerAndEdgeBlanks", " +CMTI: \"SM\",3 \r", kDefaultAnswers, {{" +CMTI: \"SM\",3 ", 15}}, ""},
        // No command yet: lines end only at "\r", whatever they hold.
        FramingCase{
            "EmptyExpectedAnswers", "OK\r> \rREADY\rpartial", {}, {{"OK", 2}, {"> ", 5}, {"READY", 11}}, "partial"},
        FramingCase{"EmptyAnswerNeverMatches", "abc\r", {""}, {{"abc", 3}}, ""},
        // An error result keeps its number: it ends at its line end only.
        FramingCase{"ErrorWithinLine", "+CMS ERROR: 500\r\n", kDefaultAnswers, {{"+CMS ERROR: 500", 15}}, ""},
        FramingCase{"CmeErrorAfterBlanks",
                    "\r\n +CME ERROR: 16\r\nOK\r",
                    kDefaultAnswers,
                    {{" +CME ERROR: 16", 17}, {"OK", 20}},
                    ""},
        FramingCase{"ListingWithANameLikeAnAnswer",
                    "+CMGL: 1,0,\"OK\",24\r",
                    kDefaultAnswers,
                    {{"+CMGL: 1,0,\"OK\",24", 18}},
                    ""},
        FramingCase{"PlainErrorStillCutEarly", "xERROR yz\r", kDefaultAnswers, {{"xERROR", 5}, {" yz", 9}}, ""},
        FramingCase{"AnswerSplitByNul", S("O\0K\r", 4), kDefaultAnswers, {{"OK", 2}}, ""},
        FramingCase{"PduLineAfterPrompt",
                    "> 0011000B\x1a\r\r\n+CMGS: 7\r\n\r\nOK\r\n",
                    {"OK", "ERROR"},
                    {{"> 0011000B\x1a", 11}, {"+CMGS: 7", 22}, {"OK", 27}},
                    ""},
        // Indication headers whose alpha holds an expected answer end at their
        // "\r" only; the PDU line and the command's OK follow as lines.
        FramingCase{"CmtAlphaWithOk",
                    "\r\n+CMT: \"BROOKE\",20\r\n0791\r\nOK\r\n",
                    kDefaultAnswers,
                    {{"+CMT: \"BROOKE\",20", 19}, {"0791", 25}, {"OK", 28}},
                    ""},
        FramingCase{"CmtAlphaWithPromptAndOk", "+CMT: \"OK>\",24\r\n", kDefaultAnswers, {{"+CMT: \"OK>\",24", 14}}, ""},
        FramingCase{"CmtAlphaErrorReadySimPin",
                    "+CMT: \"ERROR READY SIM PIN\",9\r",
                    kDefaultAnswers,
                    {{"+CMT: \"ERROR READY SIM PIN\",9", 29}},
                    ""},
        FramingCase{"CmtUcs2AlphaAndEmptyAlpha",
                    "+CMT: \"004F004B\",24\r+CMT: ,24\r",
                    kDefaultAnswers,
                    {{"+CMT: \"004F004B\",24", 19}, {"+CMT: ,24", 29}},
                    ""},
        FramingCase{"CmtiAndCdsHeaders",
                    " +CMTI: \"OK\",3\r+CDSI: \"SR\",1\r+CDS: 25\r",
                    kDefaultAnswers,
                    {{" +CMTI: \"OK\",3", 14}, {"+CDSI: \"SR\",1", 28}, {"+CDS: 25", 37}},
                    ""},
        // Truncated header: still open, not cut at the "OK" of its alpha.
        FramingCase{"TruncatedCmtStaysOpen", "+CMT: \"BROOK", kDefaultAnswers, {}, "+CMT: \"BROOK"},
        // A look-alike of RING is no indication and is cut as before; other
        // extended results end at their line end.
        FramingCase{"LookAlikeIsCut", "+CMTX: OK\rRINGOK\r", kDefaultAnswers, {{"+CMTX: OK", 9}, {"RINGOK", 15}}, ""},
        // The prompt and the READY cut right after an indication still work.
        FramingCase{
            "PromptAfterIndication", "+CMT: \"OK\",9\r\n> ", kDefaultAnswers, {{"+CMT: \"OK\",9", 12}, {">", 14}}, " "},
        FramingCase{"ReadyAfterIndication",
                    "+CMTI: \"SM\",1\r\n+CPIN: READY\r\n",
                    kDefaultAnswers,
                    {{"+CMTI: \"SM\",1", 13}, {"+CPIN: READY", 26}},
                    ""}),
    [](const ::testing::TestParamInfo<FramingCase>& info) { return std::string(info.param.name); });

struct ContainsCase {
  std::vector<ByteString> answers;
  ByteString text;
  bool contains;
};

TEST(ContainsAny, Table) {
  const ContainsCase cases[] = {
      {{}, "OK", false},
      {{""}, "OK", false},
      {{"", "K"}, "OK", true},
      {{"OK"}, "", false},
      {{"OK"}, "BOOKED", true},
      {{"ERROR", "OK"}, "+CME ERROR: 10", true},
      {{"SIM PIN"}, "+CPIN: SIM PUK", false},
      {{">"}, "> ", true},
      {{"READY"}, "REDAY", false},
  };
  for (const ContainsCase& c : cases) {
    EXPECT_EQ(ContainsAny(c.answers, c.text), c.contains) << c.text;
  }
}

TEST(TrimControl, Table) {
  const std::pair<ByteString, ByteString> cases[] = {
      {"", ""},
      {" \t\r\n", ""},
      {S("\0\x1f OK \x20\0", 8), "OK"},
      {" a b ", "a b"},
      {"\x7f"
       "A\x7f",
       "\x7f"
       "A\x7f"},                   // DEL is not a control byte here
      {"\xa0x\xa0", "\xa0x\xa0"},  // nor are bytes above 0x7F
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(TrimControl(in), out);
}

TEST(JoinLines, EveryLineEndsWithCrLf) {
  EXPECT_EQ(JoinLines({}), "");
  EXPECT_EQ(JoinLines({"ATE1", "OK"}), "ATE1\r\nOK\r\n");
  EXPECT_EQ(JoinLines({">"}), ">\r\n");
}

}  // namespace
}  // namespace vela

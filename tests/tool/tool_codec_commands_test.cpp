// velasms encode and decode run in-process through the command dispatcher,
// with the codecs and the analysis model underneath.
#include <gtest/gtest.h>

#include <sstream>

#include "commands.h"

namespace vela::tool {
namespace {

struct Result {
  int status;
  std::string out, err;
};

Result Velasms(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int status = RunVelasms(args, out, err);
  return {status, out.str(), err.str()};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(ToolEncode, BuildsTheSubmitPduAndItsAnnouncedLength) {
  struct Case {
    std::vector<std::string> args;
    std::string json;
  };
  const std::string kTo = "+12345678901";
  const Case cases[] = {
      {{"--to", kTo, "hi"}, R"({"pdu": "0011000B912143658709F10000FF02E834", "length": 16})"},
      {{"--status-report", "--to", kTo, "hi"}, R"({"pdu": "0031000B912143658709F10000FF02E834", "length": 16})"},
      {{"--to", kTo, ""}, R"({"pdu": "0011000B912143658709F10000FF00", "length": 14})"},
      {{"--to", "0123456", "["}, R"({"pdu": "0011000781103254F60000FF021B1E", "length": 14})"},
      {{"--coding", "8bit", "--to", kTo, "A"}, R"({"pdu": "0011000B912143658709F10004FF0141", "length": 15})"},
      {{"--coding=ucs2", "--to", kTo, "A"}, R"({"pdu": "0011000B912143658709F10008FF020041", "length": 16})"},
      {{"--coding", "auto", "--to", kTo, "abc"}, R"({"pdu": "0011000B912143658709F10000FF0361F118", "length": 17})"},
      // é (U+00E9) is in the code page; the automatic rule sends it in UCS2.
      {{"--coding", "auto", "--to", kTo, "\xC3\xA9"}, R"({"pdu": "0011000B912143658709F10008FF0200E9", "length": 16})"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"encode", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Result r = Velasms(args);
    EXPECT_EQ(r.status, 0) << c.json << r.err;
    EXPECT_EQ(r.out, c.json + "\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(ToolEncode, HumanOutputShowsPduAndLength) {
  Result r = Velasms({"encode", "--to", "+12345678901", "hi"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "PDU:    0011000B912143658709F10000FF02E834\nLength: 16 (AT+CMGS=16)\n");
}

TEST(ToolEncode, TextGoesThroughTheCodePageAndIsCutAsWhenSending) {
  // 世 is not in the code page: sent as '?' even in UCS2, with a warning.
  Result r = Velasms({"encode", "--json", "--coding", "ucs2", "--to", "1", "\xE4\xB8\x96"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, R"({"pdu": "0011000181F10008FF02003F", "length": 11})"
                   "\n");
  EXPECT_NE(r.err.find("sent as '?'"), std::string::npos) << r.err;

  // 200 characters: the first 160 go, 160 septets in 140 octets.
  r = Velasms({"encode", "--json", "--to", "1", std::string(200, 'a')});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\"0011000181F10000FFA0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"length\": 149}"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("cut to 160"), std::string::npos) << r.err;
}

TEST(ToolEncode, EncoderFailureExitsTwoWithItsMessage) {
  Result r = Velasms({"encode", "--json", "--to", "", "hi"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "velasms encode: Error encoding PDU\n");
}

TEST(ToolCommands, UnusableArgumentsExitTwoWithAMessage) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{}, "Usage: velasms COMMAND"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"encode", "hi"}, "missing --to NUMBER"},
      {{"encode", "--to", "1"}, "missing TEXT"},
      {{"encode", "--to", "1", "a", "b"}, "expected one TEXT argument"},
      {{"encode", "--to", "1", "--coding", "9bit", "a"}, "--coding' takes auto, 7bit, 8bit or ucs2"},
      {{"encode", "--to"}, "option '--to' needs a value"},
      {{"encode", "--json=1", "--to", "1", "a"}, "option '--json' takes no value"},
      {{"decode"}, "missing PDU"},
      {{"decode", "--pdu", "00"}, "unknown option '--pdu'"},
      {{"send", "--to", "1", "hi"}, "missing --port PATH"},
      {{"send", "--port", "/nonexistent", "hi"}, "missing --to NUMBER"},
      {{"send", "--port", "/nonexistent", "--to", "1"}, "missing TEXT"},
      {{"send", "--port", "/x", "--to", "1", "--wait-report", "soon", "hi"}, "'--wait-report' needs a number"},
      {{"send", "--port", "/x", "--baud", "fast", "--to", "1", "hi"}, "'--baud' needs a whole number"},
      {{"listen"}, "missing --port PATH"},
      {{"listen", "--port", "/x", "--count", "0"}, "'--count' needs a whole number"},
      {{"listen", "--port", "/x", "--timeout", "-1"}, "'--timeout' needs a number"},
      {{"listen", "--port", "/x", "extra"}, "unexpected argument 'extra'"},
      {{"info", "--port", "/x", "--to", "1"}, "unknown option '--to'"},
      {{"info"}, "missing --port PATH"},
      // Every command names the option it does not know, and which command it is.
      {{"join", "--bogus"}, "velasms join: unknown option '--bogus'\nTry 'velasms join --help'."},
      {{"messages", "--bogus=1", "list"}, "velasms messages: unknown option '--bogus'"},
      {{"ussd", "--reply"}, "velasms ussd: option '--reply' needs a value"},
      {{"gateway", "--bogus"}, "velasms gateway: unknown option '--bogus'"},
      {{"inbox", "--gateway", "http://127.0.0.1:1", "extra"}, "velasms inbox: unexpected argument 'extra'"},
      {{"send", "--gateway", "http://127.0.0.1:1", "--port", "/x"}, "velasms send: unknown option '--port'"},
      {{"--bogus"}, "velasms: unknown command '--bogus'"},
  };
  for (const Case& c : cases) {
    Result r = Velasms(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.out, "") << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << "expected '" << c.message << "' in: " << r.err;
  }
}

TEST(ToolCommands, HelpGoesToStdoutWithStatusZero) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"--help"}, kMainUsage},
      {{"-h"}, kMainUsage},
      {{"encode", "--help"}, kEncodeUsage},
      {{"decode", "-h"}, kDecodeUsage},
      {{"send", "--help"}, kSendUsage},
      {{"listen", "--help"}, kListenUsage},
      {{"info", "--help"}, kInfoUsage},
      {{"help"}, kMainUsage},
      {{"join", "--help"}, kJoinUsage},
      {{"messages", "--help"}, kMessagesUsage},
      {{"ussd", "-h"}, kUssdUsage},
      {{"gateway", "--help"}, kGatewayUsage},
      {{"inbox", "--help"}, kInboxUsage},
      // --help wins over missing or bad arguments.
      {{"encode", "--to", "1", "a", "b", "--help"}, kEncodeUsage},
      {{"listen", "extra", "--help"}, kListenUsage},
  };
  for (const auto& [args, usage] : cases) {
    Result r = Velasms(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
  }
}

TEST(ToolCommands, VersionIsTheProjectVersion) {
  Result r = Velasms({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "velasms " VELA_PROJECT_VERSION "\n");
  EXPECT_EQ(r.err, "");
}

const char* const kDeliver = "07912143658709F1040B919178563412F000003210802143650002E834";
const char* const kReport = "07912143658709F1062A0B919178563412F0321080214365003210802153200000";

TEST(ToolDecode, DeliverAsJson) {
  Result r = Velasms({"decode", "--json", kDeliver});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(
      r.out,
      R"({"kind": "deliver", "originator": "+19876543210", "text": "hi", )"
      R"("service_centre_time": "2023-01-08 12:34:56", "discharge_time": null, "message_reference": "", )"
      R"("analysis": {"service_centre": {"number": "12345678901", "type_of_number": 1, "numbering_plan": 1}, )"
      R"("first_octet": "04", "address": "19876543210", "address_type": {"type_of_number": 1, "numbering_plan": 1}, )"
      R"("protocol_identifier": "SME to SME protocol", "data_coding_scheme": ["General Data Coding indication", )"
      R"("Text is uncompressed", "No class meaning", "Using default alphabet"], )"
      R"("time_stamp": {"date_time": "2023-01-08 12:34:56", "time_zone": "+0"}, "discharge_time": null, )"
      R"("user_data_length": 2, "user_text": "hi", "user_data_header": []}, "unicode_text": "hi", "udh": []})"
      "\n");
}

TEST(ToolDecode, StatusReportAsJson) {
  Result r = Velasms({"decode", "--json", kReport});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(
      r.out,
      R"({"kind": "status-report", "originator": "+19876543210", "text": "", )"
      R"("service_centre_time": "2023-01-08 12:34:56", "discharge_time": "2023-01-08 12:35:02", )"
      R"("message_reference": "2A", "delivered": true, )"
      R"("analysis": {"service_centre": {"number": "12345678901", "type_of_number": 1, "numbering_plan": 1}, )"
      R"("first_octet": "06", "address": "19876543210", "address_type": {"type_of_number": 1, "numbering_plan": 1}, )"
      R"("protocol_identifier": null, "data_coding_scheme": null, )"
      R"("time_stamp": {"date_time": "2023-01-08 12:34:56", "time_zone": "+0"}, )"
      R"("discharge_time": {"date_time": "2023-01-08 12:35:02", "time_zone": "+0"}, "status": "00", )"
      R"("user_data_length": 0, "user_text": "DELIVERY REPORT for 19876543210", "user_data_header": []}, )"
      R"("unicode_text": "", "udh": []})"
      "\n");
}

TEST(ToolDecode, EncodedSubmitDecodesBackWithItsValidityPeriod) {
  Result encoded = Velasms({"encode", "--to", "+12345678901", "--status-report", "hi"});
  ASSERT_EQ(encoded.status, 0);
  const std::string pdu = encoded.out.substr(8, encoded.out.find('\n') - 8);
  Result r = Velasms({"decode", "--json", pdu});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(R"({"kind": "submit", "originator": "+12345678901", "text": "hi", )"
                       R"("service_centre_time": null, "discharge_time": null, "message_reference": "00", )"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(R"("first_octet": "31", "address": "12345678901")"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(R"("time_stamp": null, "discharge_time": null, "validity_period": "63 weeks", )"
                       R"("user_data_length": 2, "user_text": "hi")"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("delivered"), std::string::npos);
}

TEST(ToolDecode, HeaderUcs2AndLineBreaksReachTheOutputAsUtf8) {
  // DELIVER with a concatenation header (ref A7, part 1 of 2) and the text "hi".
  Result r = Velasms({"decode", "--json",
                      "07912143658709F1440B919178563412F0000032108021436500090500"
                      "03A70201D069"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(R"("text": "hi")"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(R"("user_data_header": ["  SM concatenation 8 bit ref", "  03 : Bytes information element", )"
                       R"("  167 : SM Reference Number", "  Maximum messages : 2", "  Message sequence : 1"]})"),
            std::string::npos)
      << r.out;
  // UCS2 "世界" and a 7-bit text ending in a line feed (reported as CR LF).
  r = Velasms({"decode", "--json", "07912143658709F1040B919178563412F0000832108021436500044E16754C",
               "07912143658709F1040B919178563412F000003210802143650003E8B402"});
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_NE(lines[0].find("\"text\": \"\xE4\xB8\x96\xE7\x95\x8C\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(R"x("Using UCS2 (16bit)")x"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(R"("text": "hi\r\n")"), std::string::npos) << lines[1];
}

TEST(ToolDecode, ImpossibleOrMissingTimeStampsGiveNull) {
  // Month 13: the decoder raises, the analysis keeps the zone.
  Result r = Velasms({"decode", "--json", "07912143658709F1040B919178563412F000003231802143650002E834"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(R"("service_centre_time": null)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(R"("time_stamp": {"date_time": null, "time_zone": "+0"})"), std::string::npos) << r.out;
  // Cut inside the time stamp.
  r = Velasms({"decode", "--json", "07912143658709F1040B919178563412F0000032108021"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find(R"("service_centre_time": null)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(R"("time_stamp": {"date_time": null, "time_zone": "INVALID TIME STAMP"})"), std::string::npos)
      << r.out;
}

TEST(ToolDecode, MalformedInputNeverFailsAndKeepsOneLinePerPdu) {
  const std::vector<std::string> garbage = {
      "",
      "0",
      "ZZ",
      "not hex at all",
      "07",
      "07912143",
      "0011",
      "FFFFFFFFFFFFFFFFFFFFFFFFFFFF",
      "00"
      "03",
      kDeliver + std::string(40, 'F'),
      std::string(kReport).substr(0, 40),
      "\xC3\xA9\xFF",
      "  " + std::string(kDeliver) + "\r\n",
  };
  std::vector<std::string> args{"decode", "--json"};
  args.insert(args.end(), garbage.begin(), garbage.end());
  Result r = Velasms(args);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), garbage.size()) << r.out;
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind("{\"kind\": \"", 0), 0u) << line;
    EXPECT_EQ(line.back(), '}') << line;
  }
  EXPECT_EQ(lines[0].rfind(R"({"kind": "unknown", )", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(R"("first_octet": "", "address": "", "address_type": null)"), std::string::npos);
  EXPECT_EQ(lines[2].rfind(R"({"kind": "unknown", )", 0), 0u) << lines[2];
  EXPECT_EQ(lines[8].rfind(R"({"kind": "unknown", )", 0), 0u) << lines[8];      // first octet 03: MTI 11
  EXPECT_EQ(lines[12], Lines(Velasms({"decode", "--json", kDeliver}).out)[0]);  // blanks and line end trimmed
}

TEST(ToolDecode, HumanOutputListsMessageAndAnalysis) {
  Result r = Velasms({"decode", kReport, kDeliver});
  EXPECT_EQ(r.status, 0);
  for (const char* row :
       {"PDU 07912143658709F1062A", "  Kind:                 SMS-STATUS-REPORT\n",
        "  Originator:           +19876543210\n", "  Message reference:    2A\n", "  Delivered:            yes\n",
        "  Discharge time:       2023-01-08 12:35:02\n",
        "  Service centre:       12345678901 (type of number 1 international, numbering plan 1 ISDN/telephone)\n",
        "  Discharge time stamp: 2023-01-08 12:35:02, time zone +0 (raw 23010812350200)\n",
        "  Status:               00\n", "\nPDU 07912143658709F1040B", "  Text:                 hi\n",
        "  Data coding scheme:   General Data Coding indication\n"
        "                        Text is uncompressed\n",
        "  User data header:     -\n"}) {
    EXPECT_NE(r.out.find(row), std::string::npos) << "missing: " << row << "\nin:\n" << r.out;
  }
}

}  // namespace
}  // namespace vela::tool

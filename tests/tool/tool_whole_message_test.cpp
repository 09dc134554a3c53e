// velasms send and listen with whole messages, in-process against the
// simulated modem: texts of every script and length go out as one message of
// as many parts as they need and come back identical; long messages from the
// network arrive as one event; refusals name the modem's error.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "commands.h"
#include "platform/termination.h"
#include "modem_sim.h"
#include "sim_pdu.h"

namespace vela::tool {
namespace {

using sim::ModemSim;
using sim::ModemSimOptions;

struct Result {
  int status;
  std::string out, err;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
bool StartsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

std::string Repeat(const std::string& unit, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += unit;
  return text;
}

// JSON string literal of UTF-8 text without control characters, as velasms writes it.
std::string Quoted(const std::string& text) {
  std::string q = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
}

class ToolWholeMessage : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearTermination(); }

  void Start(ModemSimOptions options = {}) {
    sim_ = std::make_unique<ModemSim>(options);
    sim_->Start();
  }

  Result Velasms(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--port", sim_->DevicePath()});
    std::ostringstream out, err;
    int status = RunVelasms(args, out, err);
    return {status, out.str(), err.str()};
  }

  std::unique_ptr<ModemSim> sim_;
};

struct RoundTrip {
  const char* name;
  std::string text;
  std::vector<std::string> options;
};

std::vector<RoundTrip> RoundTrips() {
  const std::string kCyrillic = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, \xD0\xBC\xD0\xB8\xD1\x80! ";
  const std::string kChinese = "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\x96\xE7\x95\x8C";  // 你好，世界
  const std::string kTurkish =
      "\xC3\x87ok g\xC3\xBCzel bir g\xC3\xBCn, de\xC4\x9Fil mi? \xC4\xB0stanbul'da \xC5\x9Fi\xC5\x9Fli "
      "\xC4\xB1\xC5\x9F\xC4\xB1k";
  return {
      {"one character", "a", {}},
      {"latin accents",
       "Caf\xC3\xA9 d\xC3\xA9j\xC3\xA0 vu, na\xC3\xAFve fa\xC3\xA7"
       "ade \xC3\x86r\xC3\xB8sk\xC3\xB8"
       "bing \xC3\x85",
       {}},
      {"gsm extension", "5\xE2\x82\xAC [a] {b} ~c| \\ ^ end", {}},
      {"greek",
       "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1 \xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xB5",
       {}},
      {"cyrillic",
       kCyrillic + "\xD0\xA1\xD1\x8A\xD0\xB5\xD1\x88\xD1\x8C \xD0\xB6\xD0\xB5 \xD0\xB5\xD1\x89\xD1\x91",
       {}},
      {"turkish without tables", kTurkish, {}},
      {"turkish with tables", kTurkish, {"--languages", "tr"}},
      {"arabic",
       "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7 \xD8\xA8\xD8\xA7\xD9\x84\xD8\xB9\xD8\xA7\xD9\x84\xD9\x85",
       {}},
      {"hebrew", "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xD7\xA2\xD7\x95\xD7\x9C\xD7\x9D", {}},
      {"hindi",
       "\xE0\xA4\xA8\xE0\xA4\xAE\xE0\xA4\xB8\xE0\xA5\x8D\xE0\xA4\xA4\xE0\xA5\x87 "
       "\xE0\xA4\xA6\xE0\xA5\x81\xE0\xA4\xA8\xE0\xA4\xBF\xE0\xA4\xAF\xE0\xA4\xBE",
       {}},
      {"hindi with tables",
       "\xE0\xA4\xA8\xE0\xA4\xAE\xE0\xA4\xB8\xE0\xA5\x8D\xE0\xA4\xA4\xE0\xA5\x87 "
       "\xE0\xA4\xA6\xE0\xA5\x81\xE0\xA4\xA8\xE0\xA4\xBF\xE0\xA4\xAF\xE0\xA4\xBE",
       {"--languages", "hi"}},
      {"bengali",
       "\xE0\xA6\xB9\xE0\xA7\x8D\xE0\xA6\xAF\xE0\xA6\xBE\xE0\xA6\xB2\xE0\xA7\x8B "
       "\xE0\xA6\xAC\xE0\xA6\xBF\xE0\xA6\xB6\xE0\xA7\x8D\xE0\xA6\xAC",
       {}},
      {"chinese", kChinese, {}},
      {"japanese",
       "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF\xE4\xB8\x96\xE7\x95\x8C\xE3\x80\x81\xE3\x82\xAB"
       "\xE3\x82\xBF\xE3\x82\xAB\xE3\x83\x8A",
       {}},
      // Skin tone, a ZWJ family, two flags, a heart with variation selector.
      {"emoji",
       "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD \xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7 "
       "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAF\xF0\x9F\x87\xB5 \xE2\x9D\xA4\xEF\xB8\x8F",
       {}},
      {"mixture", "Hi " + kCyrillic + kChinese + " \xF0\x9F\x91\x8B \xE2\x82\xAC[]{}", {}},
      {"gsm 160", std::string(160, 'x'), {}},
      {"gsm 161", std::string(161, 'y'), {}},
      {"gsm 307", Repeat("0123456789", 30) + "abcdefg", {}},
      {"extension characters across parts", Repeat("a\xE2\x82\xAC", 120), {}},
      {"cyrillic 135", Repeat("\xD0\x96", 135), {}},
      {"emoji across parts", Repeat("\xF0\x9F\x98\x80", 80), {}},
      {"gsm 1500", Repeat("The quick brown fox jumps over the lazy dog. ", 33) + std::string(1500 - 33 * 45, '!'), {}},
      {"chinese 1500", Repeat(kChinese, 300), {"--max-parts", "30"}},
      // 900 + 200 + 400 characters, 1700 UTF-16 units.
      {"mixture 1500",
       Repeat(kCyrillic + "ab", 60) + Repeat("\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 100) + Repeat("\xE4\xBD\xA0", 400),
       {"--max-parts", "40"}},
  };
}

TEST_F(ToolWholeMessage, TextsOfEveryScriptAndLengthComeBackIdentical) {
  ModemSimOptions options;
  options.deliverDelayMs = 20;  // the message is back before the reports end the wait
  options.reportDelayMs = 400;
  Start(options);
  for (const RoundTrip& c : RoundTrips()) {
    SCOPED_TRACE(c.name);
    sim_->ClearLogs();
    std::vector<std::string> args{"send", "--json", "--to", "+15550000000", "--wait-report", "60"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(c.text);
    Result r = Velasms(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    // The message as the simulator's own decoder joined it.
    std::vector<sim::SubmittedMessage> submitted = sim_->SubmittedMessages();
    ASSERT_EQ(submitted.size(), 1u);
    EXPECT_EQ(submitted[0].text, c.text);
    EXPECT_TRUE(submitted[0].complete);
    const int parts = submitted[0].total;
    EXPECT_TRUE(StartsWith(lines[0], "{\"reference\": \"" + std::to_string(submitted[0].references[0]) + "\", "))
        << lines[0];
    EXPECT_TRUE(Contains(lines[0], ", \"parts\": " + std::to_string(parts) + ", \"coding\": \"")) << lines[0];

    // The message came back whole, once; every part's report arrived; the last
    // one says the whole message was delivered.
    int messages = 0, reports = 0;
    std::string lastReport;
    for (size_t i = 1; i < lines.size(); ++i) {
      if (StartsWith(lines[i], "{\"event\": \"message\"")) {
        ++messages;
        EXPECT_TRUE(StartsWith(lines[i], "{\"event\": \"message\", \"from\": \"+15550000000\", \"text\": " +
                                             Quoted(c.text) + ", \"smsc_time\": \""))
            << lines[i];
        EXPECT_TRUE(Contains(lines[i], "\", \"parts\": " + std::to_string(parts) + ", \"complete\": true}"))
            << lines[i];
      } else if (StartsWith(lines[i], "{\"event\": \"report\"")) {
        ++reports;
        lastReport = lines[i];
      }
    }
    EXPECT_EQ(messages, 1) << r.out;
    EXPECT_EQ(reports, parts) << r.out;
    EXPECT_TRUE(Contains(lastReport, "\"delivered\": true}}")) << lastReport;
    if (c.options.empty() || c.options[0] != "--languages") {
      EXPECT_TRUE(Contains(lines[0], "\"languages\": {\"locking\": null, \"single\": null}")) << lines[0];
    }
  }
}

TEST_F(ToolWholeMessage, ReportsNameTheirMessageUntilEveryPartIsKnown) {
  ModemSimOptions options;
  options.deliverDelayMs = 20;
  options.reportDelayMs = 300;
  Start(options);
  Result r = Velasms({"send", "--json", "--to", "+4930123", "--wait-report", "30", std::string(400, 'r')});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0], R"({"reference": "1", "references": ["1", "2", "3"], "parts": 3, "coding": "gsm7", )"
                      R"("languages": {"locking": null, "single": null}})");
  for (int i = 1; i <= 3; ++i) {
    EXPECT_TRUE(StartsWith(
        lines[i], "{\"event\": \"report\", \"reference\": \"0" + std::to_string(i) + "\", \"delivered\": true, "))
        << lines[i];
    EXPECT_TRUE(Contains(lines[i], std::string(R"(, "message": {"references": ["1", "2", "3"], "delivered": )") +
                                       (i < 3 ? "null}}" : "true}}")))
        << lines[i];
  }
  // Human form: the first reference as before, then the parts.
  r = Velasms({"send", "--to", "+4930123", std::string(200, 'h')});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Reference: 4\nParts:     2 (references 4, 5), gsm7\n");
}

TEST_F(ToolWholeMessage, RefusalsNameTheModemErrorAndStopTheRest) {
  ModemSimOptions options;
  options.refuseSend = true;  // +CMS ERROR: 500
  Start(options);
  Result r = Velasms({"send", "--json", "--to", "+4930123", std::string(400, 'a')});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, R"({"reference": "", "error": {"code": 500, "text": "unknown error"}})"
                   "\n");
  EXPECT_TRUE(Contains(r.err, "velasms send: the modem refused the message\n")) << r.err;
  EXPECT_TRUE(Contains(r.err, "500")) << r.err;
  EXPECT_EQ(sim_->Submits().size(), 1u);  // the first refusal stopped the rest

  // Limits and numbers are checked before the port is opened.
  sim_->ClearLogs();
  r = Velasms({"send", "--json", "--max-parts", "2", "--to", "+4930123", std::string(400, 'a')});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Contains(r.err, "more than the limit of 2")) << r.err;
  r = Velasms({"send", "--to", "0049 171 ABC", "hi"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "invalid destination number")) << r.err;
  EXPECT_TRUE(sim_->Commands().empty());
}

TEST_F(ToolWholeMessage, DestinationSeparatorsAreLeftOutAndStarAndHashKept) {
  Start();
  Result r = Velasms({"send", "--json", "--to", "+1 (555) 123-45.67", "hi"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = Velasms({"send", "--json", "--to", "*100#", "hi"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<sim::SubmitRecord> submits = sim_->Submits();
  ASSERT_EQ(submits.size(), 2u);
  EXPECT_EQ(submits[0].destination, "+15551234567");
  EXPECT_EQ(submits[1].destination, "*100#");
}

TEST_F(ToolWholeMessage, SingleIsTheFormerOnePartCodePageSend) {
  Start();
  const std::string kCyrillic = "\xD0\x9F\xD1\x80\xD0\xB8";
  Result r = Velasms({"send", "--single", "--json", "--to", "+4930123", kCyrillic + std::string(200, 's')});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, R"({"reference": "1"})"
                   "\n");
  EXPECT_TRUE(Contains(r.err, "sent as '?'")) << r.err;
  EXPECT_TRUE(Contains(r.err, "cut to 160 characters")) << r.err;
  ASSERT_EQ(sim_->Submits().size(), 1u);
  EXPECT_EQ(sim_->Submits()[0].text, "???" + std::string(157, 's'));
  EXPECT_EQ(sim_->Submits()[0].header, "");

  r = Velasms({"send", "--single", "--coding", "ucs2", "--to", "+4930123", "x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "'--coding' does not go with --single")) << r.err;
}

// The whole-text path writes what the one-part path always wrote for a text
// that fits one GSM part (TP-VPF relative, TP-VP FF), and a validity period
// in every part of a long message.
TEST_F(ToolWholeMessage, OnePartTextsGoOutAsTheFormerSendAndEveryPartCarriesTheValidity) {
  Start();
  struct Case {
    const char* text;
    bool report;
    const char* pdu;  // "" when only compared with --single
  };
  const Case cases[] = {
      {"hi", false, "0011000B912143658709F10000FF02E834"},
      {"hi", true, "0031000B912143658709F10000FF02E834"},
      {"Hello World!", false, ""},
      {"[x] {y} ~ | ^ \\ @$", true, ""},
      {"", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    sim_->ClearLogs();
    std::vector<std::string> args = {"send", "--to", "+12345678901"};
    if (c.report) args.push_back("--status-report");
    args.push_back(c.text);
    std::vector<std::string> single = args;
    single.insert(single.begin() + 1, "--single");
    EXPECT_EQ(Velasms(args).status, 0);
    EXPECT_EQ(Velasms(single).status, 0);
    const std::vector<sim::SubmitRecord> submits = sim_->Submits();
    ASSERT_EQ(submits.size(), 2u);
    EXPECT_EQ(submits[0].pdu, submits[1].pdu);
    EXPECT_EQ(submits[0].announcedLength, submits[1].announcedLength);
    if (*c.pdu) EXPECT_EQ(submits[0].pdu, c.pdu);
  }

  // Three UCS2 parts, each with the period asked for (the default: the longest).
  const std::string kCyrillic = Repeat("\xD0\x96", 150);
  for (const auto& [option, vp] : std::vector<std::pair<std::string, int>>{{"", 0xFF}, {"12h", 0x8F}, {"3d", 0xA9}}) {
    SCOPED_TRACE(option);
    sim_->ClearLogs();
    std::vector<std::string> args = {"send", "--to", "+12345678901", kCyrillic};
    if (!option.empty()) args.insert(args.begin() + 1, {"--validity", option});
    const Result r = Velasms(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<sim::SubmitRecord> submits = sim_->Submits();
    ASSERT_EQ(submits.size(), 3u);
    for (const sim::SubmitRecord& part : submits) {
      EXPECT_EQ(part.dcs, 0x08);
      sim::pdu::Submit decoded;
      std::string error;
      ASSERT_TRUE(sim::pdu::DecodeSubmit(part.pdu, part.announcedLength, &decoded, &error)) << error;
      EXPECT_EQ(decoded.validityFormat, 2) << part.pdu;
      ASSERT_EQ(decoded.validity.size(), 1u);
      EXPECT_EQ(decoded.validity[0], vp) << part.pdu;
    }
  }

  const Result r = Velasms({"send", "--single", "--validity", "2d", "--to", "+4930123", "x"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "'--validity' does not go with --single")) << r.err;
}

TEST_F(ToolWholeMessage, ListenJoinsLongMessagesFromTheNetwork) {
  Start();
  const std::string kGreek = Repeat("\xCE\xB1\xCE\xB2\xCE\xB3 ", 60);  // 240 characters: UCS2, 4 parts
  const std::string kLatin = Repeat("part of a long one, ", 20);       // 400: 7 UCS2 parts of 66 below
  std::thread injector([&] {
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
    sim::DeliverLongOptions scrambled;
    scrambled.order = {3, 1, 4, 2};
    scrambled.duplicate = {1};
    sim_->InjectDeliverLong("+301234", kGreek, scrambled);
    sim::DeliverLongOptions wide;
    wide.reference16 = true;
    wide.ucs2 = true;
    sim_->InjectDeliverLong("+4912345", kLatin, wide);
    sim_->InjectDeliver("+4912345", "short");
  });
  Result r = Velasms({"listen", "--json", "--count", "3", "--timeout", "30"});
  injector.join();
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_TRUE(StartsWith(lines[0], R"({"event": "message", "from": "+301234", "text": )" + Quoted(kGreek))) << lines[0];
  EXPECT_TRUE(Contains(lines[0], R"(", "parts": 4, "complete": true})")) << lines[0];
  EXPECT_TRUE(StartsWith(lines[1], R"({"event": "message", "from": "+4912345", "text": )" + Quoted(kLatin)))
      << lines[1];
  EXPECT_TRUE(Contains(lines[1], R"(", "parts": 7, "complete": true})")) << lines[1];
  EXPECT_TRUE(StartsWith(lines[2], R"({"event": "message", "from": "+4912345", "text": "short", )")) << lines[2];
  EXPECT_TRUE(Contains(lines[2], R"(", "parts": 1, "complete": true})")) << lines[2];
  EXPECT_EQ(sim_->CnmaCount(), 4 + 1 + 7 + 1);  // every part acknowledged once, the duplicate too
}

TEST_F(ToolWholeMessage, AMessageMissingPartsIsReportedIncompleteAfterThePartTimeout) {
  Start();
  std::thread injector([&] {
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
    sim::DeliverLongOptions lossy;
    lossy.drop = {2};
    sim_->InjectDeliverLong("+4912345", std::string(459, 'l'), lossy);  // 3 parts, the second lost
  });
  Result r = Velasms({"listen", "--json", "--count", "1", "--timeout", "60", "--part-timeout", "0.5"});
  injector.join();
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_TRUE(StartsWith(lines[0], R"({"event": "message", "from": "+4912345", "text": ")" + std::string(153, 'l')))
      << lines[0];
  EXPECT_TRUE(Contains(lines[0], std::string(153, 'l') + R"(", "smsc_time": ")")) << lines[0];
  EXPECT_TRUE(Contains(lines[0], R"(", "parts": 3, "complete": false})")) << lines[0];

  // Human output says so too.
  std::thread again([&] {
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
    sim::DeliverLongOptions lossy;
    lossy.drop = {1};
    sim_->InjectDeliverLong("+4912345", std::string(200, 'k'), lossy);
  });
  sim_->ClearLogs();
  r = Velasms({"listen", "--count", "1", "--timeout", "60", "--part-timeout", "0.5"});
  again.join();
  EXPECT_TRUE(StartsWith(r.out, "Message from +4912345 (service centre time ")) << r.out;
  EXPECT_TRUE(Contains(r.out, ", 2 parts, incomplete):\n  ")) << r.out;
}

TEST_F(ToolWholeMessage, PartsStillWaitingWhenListenEndsAreReportedNotLost) {
  Start();
  std::thread injector([&] {
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
    sim::DeliverLongOptions lossy;
    lossy.drop = {3};
    sim_->InjectDeliverLong("+4912345", std::string(400, 'w'), lossy);  // parts 1 and 2 of 3
  });
  // Acknowledged parts would be gone with the process: they are reported at the end.
  Result r = Velasms({"listen", "--json", "--timeout", "1.5"});
  injector.join();
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_TRUE(StartsWith(lines[0], R"({"event": "message", "from": "+4912345", "text": ")" + std::string(306, 'w')))
      << lines[0];
  EXPECT_TRUE(Contains(lines[0], R"(", "parts": 3, "complete": false})")) << lines[0];
  EXPECT_EQ(sim_->CnmaCount(), 2);
}

// libGammu (Debian's python3-gammu) as an independent sender: its multi-part
// messages, turned into DELIVER PDUs, one "<message> <pdu>" line per part.
std::vector<std::pair<int, std::string>> GammuDelivers(const std::vector<std::pair<bool, std::string>>& texts,
                                                       bool ref16, bool& available) {
  static const char* const kScript =
      "import binascii, datetime, sys\n"
      "try:\n"
      "    import gammu\n"
      "except ImportError:\n"
      "    sys.exit(77)\n"
      "args = sys.argv[2:]\n"
      "entry = 'ConcatenatedTextLong16bit' if sys.argv[1] == '16' else 'ConcatenatedTextLong'\n"
      "for i in range(0, len(args), 2):\n"
      "    for m in gammu.EncodeSMS({'Class': -1, 'Unicode': args[i] == 'u',\n"
      "                              'Entries': [{'ID': entry, 'Buffer': args[i + 1]}]}):\n"
      "        m['Type'] = 'Deliver'\n"
      "        m['Number'] = '+15557654321'\n"
      "        m['SMSC'] = {'Number': '+15550000000', 'Location': 0, 'Name': '', 'Validity': 'NA',\n"
      "                     'Format': 'Text', 'DefaultNumber': ''}\n"
      "        m['DateTime'] = datetime.datetime(2026, 12, 9, 3, 4, 5)\n"
      "        print(i // 2, binascii.hexlify(gammu.EncodePDU(m, 'Deliver')).decode().upper())\n";
  auto quote = [](const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
  };
  std::string command = "/usr/bin/python3 -c " + quote(kScript) + (ref16 ? " 16" : " 8");
  for (const auto& [unicode, text] : texts) command += std::string(unicode ? " u " : " g ") + quote(text);
  std::vector<std::pair<int, std::string>> parts;
  available = false;
  if (access("/usr/bin/python3", X_OK) != 0) return parts;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return parts;
  char line[4096];
  while (fgets(line, sizeof line, pipe)) {
    int message = -1;
    char pdu[4000];
    if (std::sscanf(line, "%d %3999s", &message, pdu) == 2) parts.emplace_back(message, pdu);
  }
  const int status = pclose(pipe);
  available = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return parts;
}

TEST_F(ToolWholeMessage, GammusMultiPartMessagesArriveWhole) {
  const std::vector<std::pair<bool, std::string>> texts = {
      {true, Repeat("\xD0\xA1\xD1\x8A\xD0\xB5\xD1\x88\xD1\x8C \xD0\xB6\xD0\xB5 \xD0\xB5\xD1\x89\xD1\x91 ", 25)},
      {false, Repeat("The quick brown fox {jumps} [over] the lazy dog ~ 5\xE2\x82\xAC. ", 8)},
      {true, Repeat("Hi \xF0\x9F\x91\x8B\xF0\x9F\x8F\xBD \xE4\xBD\xA0\xE5\xA5\xBD ", 30)},
  };
  for (bool ref16 : {false, true}) {
    SCOPED_TRACE(ref16 ? "16-bit reference" : "8-bit reference");
    bool available = false;
    std::vector<std::pair<int, std::string>> parts = GammuDelivers(texts, ref16, available);
    if (!available) GTEST_SKIP() << "libGammu for Python 3 (python3-gammu) is not installed";
    ASSERT_GT(parts.size(), texts.size());
    // Interleaved and reversed, the first part once more.
    std::reverse(parts.begin(), parts.end());
    parts.push_back(parts.back());
    Start();
    std::thread injector([&] {
      if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
      for (const auto& part : parts) sim_->InjectCmtPdu(part.second);
    });
    Result r = Velasms({"listen", "--json", "--count", std::to_string(texts.size()), "--timeout", "30"});
    injector.join();
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), texts.size()) << r.out;
    for (const auto& text : texts) {
      const std::string head = R"({"event": "message", "from": "+15557654321", "text": )" + Quoted(text.second) + ", ";
      EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return StartsWith(l, head); }))
          << text.second << "\nin:\n"
          << r.out;
    }
    for (const std::string& line : lines) EXPECT_TRUE(Contains(line, "\"complete\": true}")) << line;
    sim_.reset();
  }
}

TEST_F(ToolWholeMessage, UnusableListenAndLockOptionsExitTwo) {
  Start();
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"listen", "--stored", "sometimes"}, "'--stored' takes deliver, keep or ignore"},
      {{"listen", "--part-timeout", "soon"}, "'--part-timeout' needs a number"},
      {{"info", "--lock", "world"}, "'--lock' takes machine or port"},
      {{"send", "--lock", "x", "--to", "1", "hi"}, "'--lock' takes machine or port"},
      {{"send", "--languages", "klingon", "--to", "1", "hi"}, "option '--languages'"},
      {{"send", "--coding", "utf8", "--to", "1", "hi"}, "'--coding' takes auto, gsm7, ucs2 or 8bit"},
      {{"messages"}, "missing the action"},
      {{"messages", "frob"}, "unknown action 'frob'"},
      {{"messages", "read"}, "'read' needs the INDEX"},
      {{"messages", "delete", "x"}, "'INDEX' needs a whole number"},
      {{"messages", "list", "3"}, "unexpected argument '3'"},
      {{"messages", "--storage", "XX", "list"}, "'--storage' takes SM, ME or MT"},
  };
  for (const Case& c : cases) {
    Result r = Velasms(c.args);
    EXPECT_EQ(r.status, 2) << c.message;
    EXPECT_EQ(r.out, "") << c.message;
    EXPECT_TRUE(Contains(r.err, c.message)) << "expected '" << c.message << "' in: " << r.err;
  }
  EXPECT_TRUE(sim_->Commands().empty());
}

TEST_F(ToolWholeMessage, AWaitForTheMachineLockIsShownAndPortScopeDoesNotWait) {
  Start();
  // Another program holds the machine-wide lock for 2.5 s, whatever happens
  // here (every modem command of the machine waits for it meanwhile).
  int fd = open("/tmp/vela-DezIsBusy.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  std::thread releaser([fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    flock(fd, LOCK_UN);
    close(fd);
  });
  Result port = Velasms({"info", "--json", "--lock", "port"});  // needs only this device's lock
  Result machine = Velasms({"info", "--json"});                 // waits for the release
  releaser.join();
  EXPECT_EQ(port.status, 0) << port.err;
  EXPECT_FALSE(Contains(port.err, "waiting for another program's modem command")) << port.err;
  EXPECT_EQ(machine.status, 0) << machine.err;
  EXPECT_TRUE(Contains(machine.err, "velasms: waiting for another program's modem command\n")) << machine.err;
}

TEST_F(ToolWholeMessage, InfoAddsTheModemStateWithEveryKeyAlwaysPresent) {
  Start();
  Result r = Velasms({"info", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string line = Lines(r.out).at(0);
  size_t at = 0;
  for (const char* key : {"manufacturer", "model", "serial", "signal_dbm", "registration", "operator", "smsc",
                          "storage", "imsi", "iccid", "pin_attempts", "puk_attempts"}) {
    const size_t found = line.find("\"" + std::string(key) + "\": ", at);
    EXPECT_NE(found, std::string::npos) << key << " in " << line;
    if (found != std::string::npos) at = found;
  }
  r = Velasms({"info"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(
      StartsWith(r.out, "Manufacturer: VelaSim\nModel:        GSM-1\nSerial:       356938035643809\nSignal:       "))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "\nPUK attempts: ")) << r.out;
}

TEST_F(ToolWholeMessage, AWrongPinIsEnteredOncePerRunAndNamed) {
  ModemSimOptions options;
  options.pin = "1234";
  Start(options);
  for (int run = 1; run <= 2; ++run) {
    Result r = Velasms({"listen", "--json", "--pin", "9999", "--timeout", "5"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, "Check and Set Pin error.")) << r.err;
    int entries = 0;
    for (const std::string& command : sim_->Commands()) entries += command == "AT+CPIN=9999";
    EXPECT_EQ(entries, run) << "run " << run;
  }
}

}  // namespace
}  // namespace vela::tool

// The modem driver against a scripted modem in memory: answers without echo,
// and indications written in the middle of a command's answer. No
// pseudo-terminal, thread or sleep: the modem answers at once and the test
// dispatches the driver's posted lines itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "memory_modem.h"
#include "modem/vuz_vela.h"
#include "modem_test_util.h"
#include "sim_pdu.h"

namespace vela {
namespace {

using test::EventLog;
using test::MemoryModem;
using Lines = std::vector<ByteString>;

using test::PumpUntil;
using test::Settle;

std::string DeliverPdu(const std::string& from, const std::string& text) {
  sim::pdu::Deliver deliver;
  sim::pdu::Timestamp scts{2026, 12, 8, 17, 30, 5, 4};
  EXPECT_TRUE(sim::pdu::MakeTextDeliver("", from, text, scts, &deliver));
  return sim::pdu::EncodeDeliver(deliver);
}

std::string ReportPdu(int reference, int status) {
  sim::pdu::StatusReport report;
  report.messageReference = reference;
  report.recipient.number = "+4917012345678";
  report.serviceCentreTime = {2026, 12, 8, 17, 30, 5, 4};
  report.dischargeTime = {2026, 12, 8, 17, 30, 9, 4};
  report.status = status;
  return sim::pdu::EncodeStatusReport(report);
}

Lines CmtLines(const std::string& pdu) { return {"+CMT: ," + std::to_string(sim::pdu::TpduLength(pdu)), pdu}; }

Lines CdsLines(const std::string& pdu) { return {"+CDS: " + std::to_string(sim::pdu::TpduLength(pdu)), pdu}; }

Lines Join(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A modem with a ready SIM and service 1 that echoes or not; `extra` may
// answer a command first. Every PDU gets the reference 42.
struct ScriptedAnswers {
  bool echo = true;
  std::function<std::optional<Lines>(const ByteString&)> extra;
};

class DriverScriptTest : public ::testing::Test {
 protected:
  void Start(ScriptedAnswers answers) {
    modem_ = std::make_unique<MemoryModem>();
    modem_->echo = answers.echo;
    modem_->Respond([extra = answers.extra](const ByteString& command) -> std::optional<Lines> {
      if (extra) {
        if (auto lines = extra(command)) return lines;
      }
      if (!command.empty() && command.back() == '\x1A') return Lines{"+CMGS: 42", "OK"};
      return std::nullopt;
    });
    driver_ = std::make_unique<TVuZVela>(*modem_);
    events_.Attach(*driver_);
    driver_->Open();
  }
  void TearDown() override {
    driver_.reset();
    modem_.reset();
  }
  size_t Count(const std::string& command) const { return modem_->Count(command); }

  std::unique_ptr<MemoryModem> modem_;
  std::unique_ptr<TVuZVela> driver_;
  EventLog events_;
};

TEST_F(DriverScriptTest, IdentityAndReferenceComeFromTheInformationLinesWithAndWithoutEcho) {
  for (bool echo : {true, false}) {
    SCOPED_TRACE(echo ? "echo" : "no echo");
    ScriptedAnswers answers;
    answers.echo = echo;
    Start(answers);
    EXPECT_EQ(driver_->Manufacturer(), "Maker Ltd");
    EXPECT_EQ(driver_->DeviceModel(), "Model X");
    EXPECT_EQ(driver_->DeviceSerial(), "490154203237518");
    ByteString reference;
    driver_->SubmitMessage("+4917012345678", "Hello", reference, false);
    EXPECT_EQ(reference, "42");
    TearDown();
  }
}

TEST_F(DriverScriptTest, IdentityQueryWithoutInformationGivesEmptyField) {
  ScriptedAnswers answers;
  answers.extra = [](const ByteString& line) -> std::optional<Lines> {
    if (line != "AT+CGSN") return std::nullopt;
    return Lines{"OK"};
  };
  Start(answers);
  EXPECT_EQ(driver_->DeviceSerial(), "");
  EXPECT_EQ(driver_->DeviceModel(), "Model X");
}

TEST_F(DriverScriptTest, IndicationsInsideACommandAreReportedOnceAfterIt) {
  const std::string message = DeliverPdu("+4915112345678", "inside");
  const std::string report = ReportPdu(0x2A, 0);
  ScriptedAnswers answers;
  answers.extra = [&](const ByteString& line) -> std::optional<Lines> {
    if (line == "AT+CSQ") return Join(CmtLines(message), {"+CSQ: 20,99", "OK"});
    if (!line.empty() && line.back() == '\x1A') return Join(CdsLines(report), {"+CMGS: 42", "OK"});
    return std::nullopt;
  };
  Start(answers);

  bool inCommand = false;
  int nestedEvents = 0;
  driver_->OnReceiveMessage = [&](const ByteString& from, const ByteString& text, DateTime time) {
    if (inCommand) ++nestedEvents;
    events_.received.push_back({from, text, time});
  };
  driver_->OnDeliveryReport = [&](const ByteString& reference, bool delivered, DateTime scts, DateTime dt) {
    if (inCommand) ++nestedEvents;
    events_.reports.push_back({reference, delivered, scts, dt});
  };

  inCommand = true;
  const ByteString response = driver_->SendCommand("AT+CSQ\r", 5000);
  inCommand = false;
  EXPECT_NE(response.find("+CSQ: 20,99\r\n"), ByteString::npos);
  EXPECT_EQ(Count("AT+CNMA"), 0u);
  ASSERT_TRUE(PumpUntil([&] { return events_.received.size() == 1; }, 5000));
  EXPECT_EQ(events_.received[0].originator, "+4915112345678");
  EXPECT_EQ(events_.received[0].text, "inside");

  inCommand = true;
  ByteString reference;
  driver_->SubmitMessage("+4917012345678", "Hello", reference, true);
  inCommand = false;
  EXPECT_EQ(reference, "42");
  ASSERT_TRUE(PumpUntil([&] { return events_.reports.size() == 1; }, 5000));
  EXPECT_EQ(events_.reports[0].reference, "2A");
  EXPECT_TRUE(events_.reports[0].delivered);

  Settle();
  EXPECT_EQ(nestedEvents, 0);
  EXPECT_EQ(events_.received.size(), 1u);
  EXPECT_EQ(events_.reports.size(), 1u);
  // Each acknowledgement follows the command it arrived in.
  auto lines = modem_->Commands();
  auto csq = std::find(lines.begin(), lines.end(), "AT+CSQ");
  ASSERT_NE(csq, lines.end());
  ASSERT_NE(csq + 1, lines.end());
  EXPECT_EQ(*(csq + 1), "AT+CNMA");
  EXPECT_EQ(lines.back(), "AT+CNMA");
  EXPECT_EQ(Count("AT+CNMA"), 2u);
}

TEST_F(DriverScriptTest, IndicationStillDeferredAtCloseIsReportedWithoutAcknowledgement) {
  const std::string message = DeliverPdu("+4915112345678", "late");
  ScriptedAnswers answers;
  answers.extra = [&](const ByteString& line) -> std::optional<Lines> {
    if (line != "AT+CSQ") return std::nullopt;
    return Join(CmtLines(message), {"+CSQ: 20,99", "OK"});
  };
  Start(answers);
  driver_->SendCommand("AT+CSQ\r", 5000);
  driver_->Close();
  ASSERT_TRUE(PumpUntil([&] { return events_.received.size() == 1; }, 5000));
  EXPECT_EQ(events_.received[0].text, "late");
  EXPECT_EQ(Count("AT+CNMA"), 0u);
}

TEST_F(DriverScriptTest, AFailureWhileReportingDropsOnlyThatIndicationAfterItsAcknowledgement) {
  // Month 13 in the service-centre time stamp: the time cannot be read.
  std::string badTime = DeliverPdu("+12345678", "bad time");
  badTime.replace(22, 2, "31");

  struct Case {
    const char* name;
    std::string pdu;
    bool throwingSink;
  };
  const Case cases[] = {
      {"malformed time stamp", badTime, false},
      {"failing sink", DeliverPdu("+12345678", "sink fails"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(ScriptedAnswers{});
    bool throwOnce = c.throwingSink;
    std::vector<ByteString> texts;
    driver_->OnReceiveMessage = [&](const ByteString&, const ByteString& text, DateTime) {
      if (throwOnce) {
        throwOnce = false;
        throw std::runtime_error("sink failed");
      }
      texts.push_back(text);
    };
    modem_->Indicate(CmtLines(c.pdu));
    modem_->Indicate(CmtLines(DeliverPdu("+12345678", "next")));
    ASSERT_TRUE(PumpUntil([&] { return texts.size() == 1; }, 5000));
    Settle();
    EXPECT_EQ(texts, std::vector<ByteString>{"next"});
    EXPECT_EQ(Count("AT+CNMA"), 2u);
    TearDown();
  }
}

TEST_F(DriverScriptTest, WithoutCallbacksNothingIsAcknowledged) {
  Start(ScriptedAnswers{});
  driver_->OnReceiveMessage = nullptr;
  driver_->OnDeliveryReport = nullptr;
  modem_->Indicate(CmtLines(DeliverPdu("+12345678", "nobody listens")));
  modem_->Indicate(CdsLines(ReportPdu(1, 0)));
  Settle();
  EXPECT_EQ(Count("AT+CNMA"), 0u);
  EXPECT_EQ(driver_->DeferredIndications(), 0u);
}

TEST_F(DriverScriptTest, AcknowledgementPolicyIsASettingNotTheCallbacks) {
  // kAlways: every routed indication the host accepts is acknowledged, with
  // no callback to report it; refused ones are not.
  Start(ScriptedAnswers{});
  driver_->OnReceiveMessage = nullptr;
  driver_->OnDeliveryReport = nullptr;
  driver_->AckPolicy = TVuZVela::Acknowledgement::kAlways;
  std::vector<bool> offered;
  driver_->OnAcceptIndication = [&](bool report, const ByteString&) {
    offered.push_back(report);
    return offered.size() != 3;  // the third is refused
  };
  modem_->Indicate(CmtLines(DeliverPdu("+12345678", "kept by the host")));
  modem_->Indicate(CdsLines(ReportPdu(1, 0)));
  modem_->Indicate(CmtLines(DeliverPdu("+12345678", "refused")));
  Settle();
  EXPECT_EQ(offered, (std::vector<bool>{false, true, false}));
  EXPECT_EQ(Count("AT+CNMA"), 2u);
  EXPECT_TRUE(events_.received.empty());
}

TEST_F(DriverScriptTest, RegistrationChangesAreReportedAfterTheRunningCommand) {
  Start(ScriptedAnswers{});
  const size_t commandsAfterOpen = modem_->Commands().size();
  std::vector<ByteString> states;
  driver_->OnRegistrationChange = [&](const ByteString& state) { states.push_back(state); };
  modem_->Respond([&](const ByteString& command) -> std::optional<Lines> {
    if (command != "AT+CREG?") return std::nullopt;
    // A change arrives while the query runs: the answer keeps its own line.
    modem_->Indicate({"+CREG: 2"});
    return Lines{"+CREG: 1,5", "OK"};
  });
  const ByteString response = driver_->SendCommand("AT+CREG?\r", 1000);
  EXPECT_NE(response.find("+CREG: 1,5"), ByteString::npos);
  EXPECT_EQ(response.find("+CREG: 2"), ByteString::npos);
  EXPECT_TRUE(states.empty());  // never in the middle of a command
  modem_->Indicate({"+CREG: 1", "+CREG: 5,\"00C3\",\"0000A1B2\",7"});
  Settle();
  EXPECT_EQ(states, (std::vector<ByteString>{"searching", "home", "roaming"}));
  // Nothing is acknowledged or asked for a registration change.
  EXPECT_EQ(modem_->Commands().size(), commandsAfterOpen + 1);
}

TEST_F(DriverScriptTest, HeaderLineArmsForTheLastIndicationItNames) {
  Start(ScriptedAnswers{});
  // "+CDS:" after "+CMT:" on one line: the next line is a status report.
  const std::string report = ReportPdu(0x10, 0x41);
  modem_->Indicate({"+CMT: +CDS: 25", report});
  ASSERT_TRUE(PumpUntil([&] { return events_.reports.size() == 1; }, 5000));
  EXPECT_EQ(events_.reports[0].reference, "10");
  EXPECT_FALSE(events_.reports[0].delivered);
  EXPECT_TRUE(events_.received.empty());
}

TEST_F(DriverScriptTest, TwoModemsWhoseIndicationLinesInterleaveKeepTheirOwnState) {
  Start(ScriptedAnswers{});
  MemoryModem otherModem;
  TVuZVela other(otherModem);
  EventLog otherEvents;
  otherEvents.Attach(other);
  other.Open();

  const std::string message = DeliverPdu("+4915112345678", "for the first");
  const std::string report = ReportPdu(0x33, 0);
  // Header of the first modem, header of the second, then the two PDU lines.
  modem_->Indicate({CmtLines(message)[0]});
  Settle();
  otherModem.Indicate({CdsLines(report)[0]});
  Settle();
  modem_->Indicate({message});
  Settle();
  otherModem.Indicate({report});
  ASSERT_TRUE(PumpUntil([&] { return events_.received.size() == 1 && otherEvents.reports.size() == 1; }, 5000));
  Settle();
  EXPECT_EQ(events_.received[0].text, "for the first");
  EXPECT_TRUE(events_.reports.empty());
  EXPECT_EQ(otherEvents.reports[0].reference, "33");
  EXPECT_TRUE(otherEvents.received.empty());
  other.Close();
}

}  // namespace
}  // namespace vela

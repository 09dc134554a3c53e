// The driver's parts on their own against the modem in memory: the command
// session's errors, opening (script, PIN, routing choice), reception's queue
// and acknowledgement policy, message storage, diagnostics and the matching
// of status reports to sent parts.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "memory_modem.h"
#include "modem/command_session.h"
#include "modem/diagnostics.h"
#include "modem/message_storage.h"
#include "modem/opening.h"
#include "modem/reception.h"
#include "modem/sent_messages.h"

namespace vela::modem {
namespace {

using test::MemoryModem;
using Lines = std::vector<ByteString>;
using Kind = at::ModemError::Kind;

TEST(CommandSessionTest, EachCommandCarriesTheModemsErrorAndTheLastErrorStays) {
  struct Case {
    const char* command;
    Lines answer;
    Kind kind;
    std::optional<int> code;
    ByteString describe;
  } cases[] = {
      {"AT+CMGD=9", {"+CMS ERROR: 321"}, Kind::kCms, 321, "+CMS ERROR: 321: invalid memory index"},
      {"AT+CPIN=\"1234\"", {"+CME ERROR: 16"}, Kind::kCme, 16, "+CME ERROR: 16: incorrect password"},
      {"AT+CPIN=\"1234\"", {"+CME ERROR: SIM PUK required"}, Kind::kCme, std::nullopt, "+CME ERROR: SIM PUK required"},
      {"AT+CSMS=1", {"ERROR"}, Kind::kPlain, std::nullopt, "ERROR from AT+CSMS=1"},
      {"AT+CGMI", {}, Kind::kNoAnswer, std::nullopt, "no answer to AT+CGMI"},
      {"AT+CSQ", {"+CSQ: 20,99", "OK"}, Kind::kNone, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    MemoryModem modem;
    modem.Answer(c.command, c.answer);
    modem.Answer("AT+CMEE=1", {"ERROR"});
    CommandSession session(modem);
    session.Query("AT+CMEE=1\r", 1000);  // an earlier error stays the last one after a success
    const CommandResult result = session.Query(ByteString(c.command) + "\r", 1000);
    if (c.kind == Kind::kNone) {
      EXPECT_TRUE(result.Confirmed());
      EXPECT_EQ(session.LastError().command, "AT+CMEE=1");
      continue;
    }
    ASSERT_TRUE(result.error.has_value());
    EXPECT_EQ(result.error->kind, c.kind);
    EXPECT_EQ(result.error->code, c.code);
    // A PIN is never shown.
    const ByteString shown = std::string(c.command).rfind("AT+CPIN=", 0) == 0 ? "AT+CPIN=..." : c.command;
    EXPECT_EQ(result.error->command, shown);
    EXPECT_EQ(result.error->Describe(), c.describe);
    EXPECT_EQ(session.LastError().Describe(), result.error->Describe());
  }
}

// Every modem answer that decides the routing, and the commands the choice
// takes (the compliant modem: service 1, routed to the line).
TEST(OpeningTest, RoutingFollowsWhatTheModemOffersAndAccepts) {
  struct Case {
    const char* name;
    std::vector<std::pair<ByteString, Lines>> answers;
    bool storageRequested;
    bool opened, storage;
    ByteString lastCommand;
    ByteString errorText;
  } cases[] = {
      {"compliant", {}, false, true, false, "AT+CNMI=2,2,2,1,1", ""},
      {"asked for storage", {}, true, true, true, "AT+CNMI=2,1,0,1,0", ""},
      {"no service 1", {{"AT+CSMS=?", {"+CSMS: (0)", "OK"}}}, false, true, true, "AT+CNMI=2,1,0,1,0", ""},
      {"service 1 refused", {{"AT+CSMS=1", {"+CMS ERROR: 303"}}}, false, true, true, "AT+CNMI=2,1,0,1,0", ""},
      {"direct routing refused", {{"AT+CNMI=2,2,2,1,1", {"ERROR"}}}, false, true, true, "AT+CNMI=2,1,0,1,0", ""},
      {"no routing at all",
       {{"AT+CNMI=2,2,2,1,1", {"ERROR"}}, {"AT+CNMI=2,1,0,1,0", {"ERROR"}}},
       false,
       false,
       false,
       "AT+CNMI=2,1,0,1,0",
       "Setting aknowledgment type error."},
      {"no PDU mode", {{"AT+CMGF=0", {"ERROR"}}}, false, false, false, "AT+CMGF=0", "Setting PDU mode error."},
      {"silent at reset", {{"ATZ", {}}}, false, false, false, "ATZ", "Modem may be unavailable."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryModem modem;
    for (const auto& [command, lines] : c.answers) modem.Answer(command, lines);
    CommandSession session(modem);
    Opening opening(session);
    std::vector<int> steps;
    std::optional<bool> setUp;
    opening.onStep = [&](int step, const char*) { steps.push_back(step); };
    opening.onServiceSetUp = [&](bool storage) { setUp = storage; };
    ByteString errorText;
    std::optional<at::ModemError> detail;
    EXPECT_EQ(opening.Run("", c.storageRequested, errorText, detail), c.opened);
    EXPECT_EQ(opening.ServiceReady(), c.opened);
    EXPECT_EQ(opening.StorageRouting(), c.storage);
    EXPECT_EQ(modem.Commands().back(), c.lastCommand);
    if (c.opened) {
      EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
      EXPECT_EQ(setUp, c.storage);
      EXPECT_EQ(opening.Manufacturer(), "Maker Ltd");
      EXPECT_EQ(opening.Serial(), "490154203237518");
    } else {
      EXPECT_EQ(errorText, c.errorText);
    }
  }
}

TEST(OpeningTest, APinTheSimRefusedIsNeverEnteredAgainAndTheServiceWaitsForTheSim) {
  MemoryModem modem;
  modem.Answer("AT+CPIN?", {"+CPIN: SIM PIN", "OK"});
  modem.Answer("AT+CPIN=1111", {"+CME ERROR: 16"});
  int csmsRefusals = 2;  // a SIM just unlocked refuses the message service for a while
  modem.Respond([&](const ByteString& command) -> std::optional<Lines> {
    if (command == "AT+CMGF=0" && csmsRefusals > 0) {
      --csmsRefusals;
      return Lines{"+CMS ERROR: 310"};
    }
    return std::nullopt;
  });
  CommandSession session(modem);
  Opening opening(session);
  std::vector<uint32_t> pauses;
  opening.pause = [&](uint32_t ms) { pauses.push_back(ms); };

  bool entered = false;
  ByteString detail;
  EXPECT_FALSE(opening.CheckPin("1111", entered, detail));
  EXPECT_TRUE(entered);
  EXPECT_EQ(detail, "+CME ERROR: 16: incorrect password");
  EXPECT_TRUE(opening.PinRefused("1111"));
  EXPECT_FALSE(opening.CheckPin("1111", entered, detail));
  EXPECT_EQ(modem.Count("AT+CPIN=1111"), 1u);
  EXPECT_NE(detail.find("it is not entered again"), ByteString::npos);
  EXPECT_FALSE(opening.CheckPin("", entered, detail));  // asked, but no PIN given
  EXPECT_EQ(modem.Count("AT+CPIN="), 0u);

  modem.Answer("AT+CPIN=2222", {"OK"});
  ByteString errorText;
  std::optional<at::ModemError> error;
  EXPECT_TRUE(opening.Run("2222", false, errorText, error));
  EXPECT_FALSE(opening.PinRefused("1111"));  // a PIN the SIM took clears the refusal
  EXPECT_EQ(pauses, (std::vector<uint32_t>{1000, 1000, 1000}));
  EXPECT_EQ(modem.Count("AT+CMGF=0"), 3u);
}

// The queue in arrival order: a header arms for the PDU line after it,
// stored indications wait for the next Open while closed, +CUSD belongs to
// another part.
TEST(ReceptionTest, LinesBecomeWorkInArrivalOrder) {
  using Type = Reception::Work::Type;
  Reception reception;
  const struct {
    ByteString line;
    bool open;
  } lines[] = {
      {"+CMT: ,24", true},
      {"0791AB", true},
      {"+CMTI: \"SM\",3", true},
      {"+CDS: 6", true},
      {"0691CD", true},
      {"+CDSI: \"SR\",4", false},
      {"RING", true},
      {"+CMTI: \"ME\",x", true},
      {"+CREG: 5,\"00C3\",\"A1B2\"", true},  // the registration changed
      {"+CREG: 0,1", true},                  // a query's answer: no change
  };
  for (const auto& l : lines) EXPECT_FALSE(reception.TakeLine(l.line, l.open, 7).has_value()) << l.line;
  EXPECT_EQ(reception.TakeLine("+CUSD: 0,\"Balance\",15", true, 7), at::IndicationKind::kCusd);

  struct Expected {
    Type type;
    ByteString pdu, storage;
    int index;
  } expected[] = {
      {Type::kMessage, "0791AB", "", -1},
      {Type::kStored, "", "SM", 3},
      {Type::kReport, "0691CD", "", -1},
      {Type::kRegistration, "", "", -1},
  };
  ASSERT_EQ(reception.Size(), 4u);
  for (const Expected& e : expected) {
    const Reception::Work work = reception.Pop();
    EXPECT_EQ(work.type, e.type);
    EXPECT_EQ(work.pdu, e.pdu);
    EXPECT_EQ(work.storage, e.storage);
    EXPECT_EQ(work.index, e.index);
    EXPECT_EQ(work.registration, e.type == Type::kRegistration ? "roaming" : "");
  }
  // The stored report indicated while closed comes after the next Open.
  EXPECT_TRUE(reception.Empty());
  reception.Opened();
  ASSERT_EQ(reception.Size(), 1u);
  EXPECT_EQ(reception.Pop().type, Type::kStoredReport);
}

TEST(ReceptionTest, AcknowledgementOutcomes) {
  using Outcome = Reception::AckOutcome;
  auto answer = [](std::optional<at::ModemError> error) {
    CommandResult result;
    result.response = error ? "ERROR\r\n" : "OK\r\n";
    result.error = std::move(error);
    return result;
  };
  auto cms = [](int code) {
    at::ModemError e;
    e.kind = at::ModemError::Kind::kCms;
    e.code = code;
    return e;
  };
  at::ModemError silent;
  silent.kind = at::ModemError::Kind::kNoAnswer;
  struct Case {
    const char* name;
    bool succeededBefore;
    std::optional<at::ModemError> error;
    bool late;
    Outcome outcome;
  } cases[] = {
      {"taken in time", false, std::nullopt, false, Outcome::kDone},
      {"taken late", false, std::nullopt, true, Outcome::kRepair},
      {"never taken, refused", false, cms(500), false, Outcome::kStorageRouting},
      {"refused after good ones", true, cms(500), false, Outcome::kRepair},
      {"none expected (340)", false, cms(340), false, Outcome::kRepair},
      {"no answer", false, silent, false, Outcome::kRepair},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reception reception;
    Reception::Work work;
    work.pdu = "0791AB";
    if (c.succeededBefore) reception.Acknowledged(answer(std::nullopt), work, false);
    EXPECT_EQ(reception.Acknowledged(answer(c.error), work, c.late), c.outcome);
    // Every acknowledgement that failed or came late: the message comes again
    // and is not reported twice; one repair however many failed.
    const bool missed = c.outcome != Outcome::kDone;
    EXPECT_EQ(reception.TakeRedelivery("0791AB"), missed);
    if (c.outcome == Outcome::kRepair) {
      reception.Acknowledged(answer(c.error), work, c.late);
      ASSERT_EQ(reception.Size(), 1u);
      EXPECT_EQ(reception.Pop().type, Reception::Work::Type::kRepairRouting);
    }
  }
  // Five repairs without a good acknowledgement, then direct routing is given up.
  Reception reception;
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(reception.StartRepair());
  EXPECT_FALSE(reception.StartRepair());
  reception.ServiceSetUp(false);
  EXPECT_TRUE(reception.StartRepair());
}

TEST(MessageStorageTest, ListsReadsAndDeletesWithTheModemsErrors) {
  MemoryModem modem;
  modem.Answer("AT+CMGL=4",
               {"+CMGL: 1,0,,24", "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07",
                "+CMGL: 2,1,\"BROOKE\",22", "0791", "OK"});
  modem.Answer("AT+CMGR=2", {"+CMGR: 1,,22", "0791ABCD", "OK"});
  modem.Answer("AT+CMGR=9", {"+CMS ERROR: 321"});
  modem.Answer("AT+CMGR=5", {"+CMS ERROR: 500"});
  modem.Answer("AT+CMGD=7", {"+CMS ERROR: 321"});
  modem.Answer("AT+CMGD=1,4", {"ERROR"});
  CommandSession session(modem);
  MessageStorage storage(session);

  const auto listed = storage.List("ME");
  ASSERT_TRUE(listed.Ok());
  ASSERT_EQ(listed.value.size(), 2u);
  EXPECT_EQ(listed.value[0].index, 1);
  EXPECT_EQ(listed.value[0].status, at::MessageStatus::kUnread);
  EXPECT_EQ(listed.value[1].storage, "ME");
  EXPECT_EQ(storage.ReadStorage(), "ME");

  const auto read = storage.Read(2, ByteString());
  ASSERT_TRUE(read.Ok());
  ASSERT_TRUE(read.value.has_value());
  EXPECT_EQ(read.value->index, 2);
  EXPECT_EQ(read.value->status, at::MessageStatus::kRead);
  EXPECT_EQ(read.value->pdu, "0791ABCD");
  EXPECT_EQ(read.value->storage, "ME");

  // 321: nothing stored there; any other error is the modem's refusal.
  const auto empty = storage.Read(9, ByteString());
  EXPECT_TRUE(empty.Ok());
  EXPECT_FALSE(empty.value.has_value());
  const auto refused = storage.Read(5, ByteString());
  ASSERT_FALSE(refused.Ok());
  EXPECT_EQ(refused.error->command, "AT+CMGR=5");

  const auto deleted = storage.Delete(7, ByteString());
  ASSERT_FALSE(deleted.Ok());
  EXPECT_EQ(deleted.error->Describe(), "+CMS ERROR: 321: invalid memory index");

  // AT+CMGD=1,4 refused: one AT+CMGD per listed index.
  const auto all = storage.DeleteAll("ME");
  ASSERT_TRUE(all.Ok());
  EXPECT_EQ(all.value, 2);
  EXPECT_EQ(modem.Count("AT+CMGD=1"), 1u);
  EXPECT_EQ(modem.Count("AT+CMGD=2"), 1u);
  // Every call that names a storage selects it.
  EXPECT_EQ(modem.Count("AT+CPMS=\"ME\""), 2u);
}

TEST(DiagnosticsTest, RefusedQueriesLeaveTheirFieldEmptyAndASilentModemIsLeftAlone) {
  MemoryModem modem;
  modem.Answer("AT+CSQ", {"+CSQ: 20,99", "OK"});
  modem.Answer("AT+CREG?", {"+CREG: 0,5", "OK"});
  modem.Answer("AT+COPS?", {"+CME ERROR: 30"});
  modem.Answer("AT+CPMS?", {"+CPMS: \"SM\",3,20,\"SM\",3,20,\"SM\",3,20", "OK"});
  modem.Answer("AT+CIMI", {});
  modem.Answer("AT+CCID", {});
  CommandSession session(modem);
  const Diagnostics d = QueryDiagnostics(session);
  EXPECT_EQ(d.signalDbm, -73);
  EXPECT_EQ(d.registration, "roaming");
  EXPECT_FALSE(d.operatorName.has_value());
  ASSERT_TRUE(d.storage.has_value());
  EXPECT_EQ(d.storage->used, 3);
  EXPECT_FALSE(d.imsi.has_value());
  // Two queries without an answer: the rest is skipped.
  EXPECT_EQ(modem.Count("AT+ICCID"), 0u);
  EXPECT_EQ(modem.Count("AT+CPINR"), 0u);
  EXPECT_EQ(modem.Count("AT+CEREG?"), 0u);  // registered already
}

TEST(SentMessagesTest, ReportsMatchTheMostRecentPartWithTheirReferenceModulo256) {
  SentMessages sent;
  const ByteString first = sent.Record({"7", "8"}, 3);  // the third part was refused
  const ByteString second = sent.Record({"263"}, 1);    // 263 % 256 == 7: takes over reference 7
  EXPECT_EQ(first, "M1");
  EXPECT_EQ(second, "M2");

  const uint64_t m2 = sent.ApplyReport(7, 0x00);
  ASSERT_NE(m2, 0u);
  EXPECT_EQ(sent.Find(m2)->messageId, "M2");
  EXPECT_TRUE(sent.Announce(m2));
  EXPECT_FALSE(sent.Announce(m2));  // once only
  EXPECT_EQ(sent.ApplyReport(9, 0), 0u);

  const uint64_t m1 = sent.ApplyReport(8, 0x00);
  ASSERT_NE(m1, 0u);
  EXPECT_EQ(sent.Find(m1)->partStatus, (std::vector<int>{-1, 0, -2}));
  EXPECT_FALSE(sent.Find(m1)->Delivered().has_value());  // part 1 has no report
  EXPECT_FALSE(sent.Announce(m1));
  EXPECT_EQ(sent.ForReference(8)->messageId, "M1");
}

TEST(SentMessagesTest, DeliveredFollowsTheStatusOfEveryPart) {
  struct Case {
    std::vector<int> parts;
    std::optional<bool> delivered;
  } cases[] = {
      {{0x00, 0x01}, true},  {{0x00, -1}, std::nullopt}, {{0x00, 0x20}, std::nullopt},
      {{0x00, 0x41}, false}, {{0x00, -2}, false},        {{0x3F, 0x60}, std::nullopt},
      {{0x1F}, true},
  };
  for (const Case& c : cases) {
    SentMessage m;
    m.partStatus = c.parts;
    EXPECT_EQ(m.Delivered(), c.delivered) << ::testing::PrintToString(c.parts);
  }
}

}  // namespace
}  // namespace vela::modem

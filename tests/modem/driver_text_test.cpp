// The driver's whole-message path and its storage dialogues against a
// scripted modem with state, in memory: the command sequences, refusals and
// the order of reports and deletions.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "modem/vuz_vela.h"
#include "modem_test_util.h"
#include "sim_pdu.h"
#include "stateful_modem.h"

namespace vela {
namespace {

using test::ModemState;
using test::PumpFor;
using test::PumpUntil;
using test::StatefulModem;

WideString Repeat(const WideString& unit, size_t times) {
  WideString out;
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

// The concatenation element (reference, total, sequence) of a SUBMIT, read
// by the simulator's coding; {-1,-1,-1} without one.
struct Concat {
  int reference = -1, total = -1, sequence = -1;
};
Concat ConcatOf(const std::string& pdu) {
  sim::pdu::Submit submit;
  std::string error;
  EXPECT_TRUE(sim::pdu::DecodeSubmit(pdu, -1, &submit, &error)) << error;
  const auto& h = submit.header;
  if (h.size() >= 5 && h[0] == 0x00 && h[1] == 3) return {h[2], h[3], h[4]};
  return {};
}

std::vector<std::string> Commands(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    if (!line.empty() && line.back() == '\x1A') {
      out.push_back("<pdu>");
    } else {
      out.push_back(line);
    }
  }
  return out;
}

class DriverTextTest : public ::testing::Test {
 protected:
  void Start(const ModemState& state = {}) {
    modem_ = std::make_unique<StatefulModem>(state);
    driver_ = std::make_unique<TVuZVela>(modem_->Port());
  }
  void Open() {
    driver_->Open();
    opened_ = modem_->Lines().size();
  }
  void TearDown() override {
    driver_.reset();
    modem_.reset();
  }
  std::vector<std::string> SinceOpen() const { return Commands(modem_->LinesFrom(opened_)); }

  std::unique_ptr<StatefulModem> modem_;
  std::unique_ptr<TVuZVela> driver_;
  size_t opened_ = 0;
};

TEST_F(DriverTextTest, LongTextIsSentPartByPartInsideCmmsWhereSupported) {
  for (bool cmms : {true, false}) {
    SCOPED_TRACE(cmms ? "AT+CMMS supported" : "no AT+CMMS");
    ModemState state;
    state.cmms = cmms;
    Start(state);
    Open();
    const WideString text = Repeat(u"0123456789", 40);  // 400 septets: 3 parts of 153
    TVuZVela::SendTextOptions options;
    const auto first = driver_->SendText("+4917012345678", text, options);
    const auto second = driver_->SendText("+4917012345678", text, options);
    const auto single = driver_->SendText("+4917012345678", u"short", options);

    EXPECT_EQ(first.parts, 3);
    EXPECT_TRUE(first.Complete());
    EXPECT_EQ(first.references, (std::vector<ByteString>{"0", "1", "2"}));
    EXPECT_EQ(second.references, (std::vector<ByteString>{"3", "4", "5"}));
    EXPECT_EQ(single.parts, 1);
    EXPECT_FALSE(first.messageId.empty());
    EXPECT_NE(first.messageId, second.messageId);

    std::vector<std::string> expected;
    auto message = [&](int parts) {
      if (cmms && parts > 1) expected.push_back("AT+CMMS=1");
      for (int i = 0; i < parts; ++i) {
        expected.push_back("AT+CMGS=" + std::to_string(0));  // length replaced below
        expected.push_back("<pdu>");
      }
      if (cmms && parts > 1) expected.push_back("AT+CMMS=0");
    };
    expected.push_back("AT+CMMS=?");  // probed once per Open, at the first long message
    message(3);
    message(3);
    message(1);
    std::vector<std::string> actual = SinceOpen();
    for (std::string& line : actual) {
      if (line.rfind("AT+CMGS=", 0) == 0) line = "AT+CMGS=0";
    }
    EXPECT_EQ(actual, expected);

    // Parts in order, each message with its own reference; a one-part message has no header.
    const auto submits = modem_->With([](ModemState& s) { return s.submits; });
    ASSERT_EQ(submits.size(), 7u);
    for (int i = 0; i < 6; ++i) {
      const Concat c = ConcatOf(submits[static_cast<size_t>(i)]);
      EXPECT_EQ(c.total, 3);
      EXPECT_EQ(c.sequence, i % 3 + 1);
      EXPECT_EQ(c.reference, ConcatOf(submits[i < 3 ? 0 : 3]).reference);
    }
    EXPECT_NE(ConcatOf(submits[0]).reference, ConcatOf(submits[3]).reference);
    EXPECT_EQ(ConcatOf(submits[6]).total, -1);

    // A new Open probes again.
    Open();
    driver_->SendText("+4917012345678", text, options);
    EXPECT_EQ(modem_->Count("AT+CMMS=?"), 2u);
    TearDown();
  }
}

TEST_F(DriverTextTest, ARefusedPartStopsTheRestAndSaysWhy) {
  struct Case {
    const char* name;
    int refusedPdu;
    const char* answer;
    size_t sent;
    int cmsError;
    const char* errorText;
  };
  const Case cases[] = {
      {"second part, +CMS ERROR", 2, "+CMS ERROR: 304", 1, 304, "+CMS ERROR: 304: invalid PDU mode parameter"},
      {"first part, plain ERROR", 1, "ERROR", 0, 0, "ERROR from the PDU"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModemState state;
    state.sendErrors[c.refusedPdu] = c.answer;
    Start(state);
    Open();
    const auto result = driver_->SendText("+4917012345678", Repeat(u"Ж", 150), {});  // UCS2: 3 parts of 67
    EXPECT_EQ(result.parts, 3);
    EXPECT_EQ(result.references.size(), c.sent);
    EXPECT_FALSE(result.Complete());
    EXPECT_EQ(result.cmsError, c.cmsError);
    EXPECT_EQ(result.errorText, c.errorText);
    EXPECT_EQ(result.messageId.empty(), c.sent == 0);
    EXPECT_EQ(modem_->With([](ModemState& s) { return s.submits.size(); }), c.sent + 1);
    EXPECT_EQ(modem_->Count("AT+CMMS=0"), 1u);  // the link is released all the same
    TearDown();
  }
}

TEST_F(DriverTextTest, InvalidTextOrNumberSendsNothing) {
  Start();
  Open();
  TVuZVela::SendTextOptions options;
  options.maxParts = 2;
  EXPECT_THROW(driver_->SendText("+4917012345678", Repeat(u"a", 400), options), coding::ETextCodingError);
  EXPECT_THROW(driver_->SendText("abc", u"hello", {}), coding::ETextCodingError);
  EXPECT_TRUE(SinceOpen().empty());
}

TEST_F(DriverTextTest, ReportsOfEveryPartGiveOneMessageStatus) {
  struct Case {
    const char* name;
    std::vector<int> statuses;  // in arrival order, part 1 then part 2 (then part 1 again)
    int announcedAfter;         // reports before OnMessageStatus ran, 0: never
    bool delivered;
  };
  const Case cases[] = {
      {"both delivered", {0x00, 0x00}, 2, true},
      {"one failed", {0x00, 0x45}, 2, false},
      {"temporary, then delivered", {0x20, 0x00, 0x00}, 3, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModemState state;
    state.nextReference = 200;
    Start(state);
    std::vector<std::pair<ByteString, std::optional<bool>>> seenInReport;
    std::vector<std::pair<ByteString, bool>> statuses;
    int reports = 0;
    int announcedAt = 0;
    driver_->OnDeliveryReport = [&](const ByteString& reference, bool, DateTime, DateTime) {
      ++reports;
      const auto* message = driver_->SentMessageForReport(reference);
      seenInReport.emplace_back(reference, message ? message->Delivered() : std::optional<bool>());
    };
    driver_->OnMessageStatus = [&](const TVuZVela::SentMessage& message, bool delivered) {
      announcedAt = reports;
      statuses.emplace_back(message.messageId, delivered);
    };
    Open();
    TVuZVela::SendTextOptions options;
    options.statusReport = true;
    const auto sent = driver_->SendText("+4917012345678", Repeat(u"ω", 100), options);  // 2 UCS2 parts
    ASSERT_EQ(sent.references, (std::vector<ByteString>{"200", "201"}));
    const int refs[] = {200, 201, 200};
    for (size_t i = 0; i < c.statuses.size(); ++i) {
      modem_->Write(test::CdsLines(test::StatusReportPdu(refs[i], c.statuses[i])));
    }
    ASSERT_TRUE(PumpUntil([&] { return reports == static_cast<int>(c.statuses.size()); }, 5000));
    PumpFor(200);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].first, sent.messageId);
    EXPECT_EQ(statuses[0].second, c.delivered);
    EXPECT_EQ(announcedAt, c.announcedAfter);
    // The lookup inside OnDeliveryReport sees the report already recorded.
    EXPECT_EQ(seenInReport.back().first, c.statuses.size() == 3 ? "C8" : "C9");
    EXPECT_EQ(seenInReport.back().second, std::optional<bool>(c.delivered));
    EXPECT_EQ(seenInReport.front().second, std::nullopt);
    TearDown();
  }
}

TEST_F(DriverTextTest, AReportBelongsToTheMostRecentSendOfItsReferenceModulo256) {
  ModemState state;
  state.nextReference = 5;
  Start(state);
  Open();
  const auto older = driver_->SendText("+4917012345678", u"older", {});
  modem_->With([](ModemState& s) { s.nextReference = 256 + 5; });  // the modem's counter wrapped
  const auto newer = driver_->SendText("+4917012345678", u"newer", {});
  ASSERT_EQ(older.references, std::vector<ByteString>{"5"});
  ASSERT_EQ(newer.references, std::vector<ByteString>{"5"});
  const auto* message = driver_->SentMessageForReport("05");
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(message->messageId, newer.messageId);
  EXPECT_EQ(driver_->SentMessageForReport("06"), nullptr);
  EXPECT_EQ(driver_->SentMessageForReport("zz"), nullptr);
}

TEST_F(DriverTextTest, IncomingPartsAreReassembledAndStillReportedOneByOne) {
  Start();
  std::vector<coding::AssembledMessage> whole;
  std::vector<ByteString> parts;
  driver_->OnReceiveText = [&](const coding::AssembledMessage& m) { whole.push_back(m); };
  driver_->OnReceiveMessage = [&](const ByteString&, const ByteString& text, DateTime) { parts.push_back(text); };
  Open();
  const std::u16string a = u"Привет, ", b = u"как дела? ", c = u"😀 конец";
  modem_->Write(test::CmtLines(test::Ucs2PartPdu("+4915112345678", c, 7, 3, 3)));
  modem_->Write(test::CmtLines(test::Ucs2PartPdu("+4915112345678", a, 7, 3, 1)));
  modem_->Write(test::CmtLines(test::Ucs2PartPdu("+4915112345678", a, 7, 3, 1)));  // duplicate
  modem_->Write(test::CmtLines(test::Ucs2PartPdu("+4915112345678", b, 7, 3, 2)));
  ASSERT_TRUE(PumpUntil([&] { return whole.size() == 1 && parts.size() == 4; }, 5000));
  PumpFor(200);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].text, a + b + c);
  EXPECT_EQ(whole[0].originator, "+4915112345678");
  EXPECT_EQ(whole[0].parts, 3);
  EXPECT_TRUE(whole[0].complete);
  EXPECT_EQ(parts.size(), 4u);              // the version-1 event once per part line
  EXPECT_EQ(modem_->Count("AT+CNMA"), 4u);  // every routed part acknowledged
  EXPECT_FALSE(driver_->MsUntilNextTimer().has_value());
}

TEST_F(DriverTextTest, OnlyTheUnicodeCallbackSetStillAcknowledges) {
  Start();
  std::vector<coding::AssembledMessage> whole;
  driver_->OnReceiveText = [&](const coding::AssembledMessage& m) { whole.push_back(m); };
  Open();
  modem_->Write(test::CmtLines(test::TextDeliverPdu("+4915112345678", "one part")));
  ASSERT_TRUE(PumpUntil([&] { return whole.size() == 1; }, 5000));
  EXPECT_EQ(whole[0].text, u"one part");
  EXPECT_EQ(whole[0].parts, 1);
  ASSERT_TRUE(PumpUntil([&] { return modem_->Count("AT+CNMA") == 1; }, 2000));
}

TEST_F(DriverTextTest, AMessageMissingPartsIsDeliveredIncompleteAfterTheTimeOut) {
  Start();
  driver_->ReassemblySettings.timeoutMs = 300;
  std::vector<coding::AssembledMessage> whole;
  driver_->OnReceiveText = [&](const coding::AssembledMessage& m) { whole.push_back(m); };
  Open();
  modem_->Write(test::CmtLines(test::Ucs2PartPdu("+4915112345678", u"first ", 9, 3, 1)));
  modem_->Write(test::CmtLines(test::Ucs2PartPdu("+4915112345678", u"third", 9, 3, 3)));
  ASSERT_TRUE(PumpUntil([&] { return modem_->Count("AT+CNMA") == 2; }, 5000));
  const auto wait = driver_->MsUntilNextTimer();
  ASSERT_TRUE(wait.has_value());
  EXPECT_LE(*wait, 300u);
  EXPECT_TRUE(whole.empty());
  ASSERT_TRUE(PumpUntil(
      [&] {
        driver_->RunDueTimers();
        return !whole.empty();
      },
      5000));
  EXPECT_FALSE(whole[0].complete);
  EXPECT_EQ(whole[0].missing, std::vector<int>{2});
  EXPECT_FALSE(driver_->MsUntilNextTimer().has_value());
}

TEST_F(DriverTextTest, TheAcknowledgementComesBeforeOrAfterTheEventsAsChosen) {
  for (bool after : {false, true}) {
    SCOPED_TRACE(after ? "after the events" : "before the events (default)");
    Start();
    driver_->AcknowledgeAfterEvents = after;
    std::vector<size_t> acksSeen;
    driver_->OnReceiveMessage = [&](const ByteString&, const ByteString&, DateTime) {
      acksSeen.push_back(modem_->Count("AT+CNMA"));
    };
    driver_->OnDeliveryReport = [&](const ByteString&, bool, DateTime, DateTime) {
      acksSeen.push_back(modem_->Count("AT+CNMA"));
    };
    Open();
    modem_->Write(test::CmtLines(test::TextDeliverPdu("+4915112345678", "m")));
    ASSERT_TRUE(PumpUntil([&] { return acksSeen.size() == 1 && modem_->Count("AT+CNMA") == 1; }, 5000));
    modem_->Write(test::CdsLines(test::StatusReportPdu(3, 0)));
    ASSERT_TRUE(PumpUntil([&] { return acksSeen.size() == 2 && modem_->Count("AT+CNMA") == 2; }, 5000));
    EXPECT_EQ(acksSeen, after ? (std::vector<size_t>{0, 1}) : (std::vector<size_t>{1, 2}));
    TearDown();
  }
}

// --- Storage routing ---------------------------------------------------------------

TEST_F(DriverTextTest, ARefusedDirectRoutingFallsBackToStorageRouting) {
  struct Case {
    const char* name;
    const char* services;  // answer to AT+CSMS=?
    bool refuseCsms1, refuseCnmi;
    bool storageRouting;
  };
  const Case cases[] = {
      {"AT+CSMS=1 refused", "(0,1)", true, false, true},
      {"AT+CNMI=2,2,2,1,1 refused", "(0,1)", false, true, true},
      {"only service 0 listed", "(0)", false, false, true},
      {"service 0 without parentheses", "0", false, false, true},
      {"service 1 as a range", "(0-1)", false, false, false},
      {"service 1 before vendor services", "(0,1,128)", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModemState state;
    state.csmsServices = c.services;
    state.refuseCsms1 = c.refuseCsms1;
    state.refuseDirectCnmi = c.refuseCnmi;
    Start(state);
    Open();
    EXPECT_EQ(driver_->StorageRouting(), c.storageRouting);
    const auto lines = modem_->Lines();
    ASSERT_GE(lines.size(), 2u);
    if (c.storageRouting) {
      EXPECT_EQ(lines[lines.size() - 2], "AT+CSMS=0");
      EXPECT_EQ(lines.back(), "AT+CNMI=2,1,0,1,0");
    } else {
      EXPECT_EQ(lines[lines.size() - 2], "AT+CSMS=1");
      EXPECT_EQ(lines.back(), "AT+CNMI=2,2,2,1,1");
    }
    // Service 1 is asked for only where the modem lists it.
    const bool listed = std::string(c.services).find('1') != std::string::npos;
    EXPECT_EQ(modem_->Count("AT+CSMS=1"), listed ? 1u : 0u);
    TearDown();
  }
}

TEST_F(DriverTextTest, StoredMessagesAreDeletedOnlyAfterTheirEventWasDelivered) {
  ModemState state;
  state.refuseCsms1 = true;
  Start(state);
  std::vector<ByteString> texts;
  std::vector<TVuZVela::IncomingContext> contexts;
  bool failNext = false;
  bool storedDuringEvent = false;
  driver_->OnReceiveMessage = [&](const ByteString&, const ByteString& text, DateTime) {
    contexts.push_back(driver_->CurrentIncoming());
    storedDuringEvent = modem_->With([](ModemState& s) { return !s.storage["SM"].empty(); });
    if (failNext) {
      failNext = false;
      throw std::runtime_error("handler failed");
    }
    texts.push_back(text);
  };
  Open();
  int index = modem_->Store("SM", test::TextDeliverPdu("+4915112345678", "kept safe"));
  modem_->Write("\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n");
  ASSERT_TRUE(PumpUntil([&] { return modem_->Count("AT+CMGD=" + std::to_string(index)) == 1; }, 5000));
  EXPECT_EQ(texts, std::vector<ByteString>{"kept safe"});
  EXPECT_TRUE(storedDuringEvent);
  ASSERT_EQ(contexts.size(), 1u);
  EXPECT_TRUE(contexts[0].stored);
  EXPECT_EQ(contexts[0].storage, "SM");
  EXPECT_EQ(contexts[0].index, index);
  EXPECT_FALSE(driver_->CurrentIncoming().stored);  // outside a callback
  EXPECT_EQ(modem_->Count("AT+CNMA"), 0u);          // service 0: nothing to acknowledge

  // A handler that throws leaves the message stored.
  failNext = true;
  index = modem_->Store("SM", test::TextDeliverPdu("+4915112345678", "handler fails"));
  const size_t deletes = modem_->Count("AT+CMGD=" + std::to_string(index));
  modem_->Write("\r\n+CMTI: \"SM\"," + std::to_string(index) + "\r\n");
  ASSERT_TRUE(PumpUntil([&] { return contexts.size() == 2; }, 5000));
  PumpFor(300);
  EXPECT_EQ(modem_->Count("AT+CMGD=" + std::to_string(index)), deletes);
  EXPECT_EQ(modem_->With([](ModemState& s) { return s.storage["SM"].size(); }), 1u);
}

TEST_F(DriverTextTest, AReusedSlotGetsEachMessageDeliveredOnceAndNoneDeletedUndelivered) {
  // Slots 1 and 2 hold "first" and "second". During the event of `reuseOn`
  // the modem stores "third" in the lowest free slot (1, once "first" is
  // gone) and indicates it, while older work for slot 1 may still be queued.
  enum class Queue {
    kIndicatedWhileClosedThenListedAtOpen,  // each indicated and listed: the listing's copy is stale
    kIndicatedTwice,                        // a second indication for slot 1 before it was reused
    kHostDeletesDuringTheEvent,             // the host deletes slot 1 inside its own event
  };
  struct Case {
    const char* name;
    Queue queue;
    const char* reuseOn;
  };
  const Case cases[] = {
      {"indicated while closed, then listed at open", Queue::kIndicatedWhileClosedThenListedAtOpen, "second"},
      {"indicated twice", Queue::kIndicatedTwice, "second"},
      {"deleted by the host during its event", Queue::kHostDeletesDuringTheEvent, "first"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModemState state;
    state.refuseCsms1 = true;
    Start(state);
    std::vector<ByteString> texts;
    bool reused = false;
    driver_->OnReceiveMessage = [&](const ByteString&, const ByteString& text, DateTime) {
      texts.push_back(text);
      if (reused || text != c.reuseOn) return;
      reused = true;
      if (c.queue == Queue::kHostDeletesDuringTheEvent) driver_->DeleteStoredMessage(1, "SM");
      const int slot = modem_->Store("SM", test::TextDeliverPdu("+4915112345678", "third"));
      EXPECT_EQ(slot, 1);
      modem_->Write("\r\n+CMTI: \"SM\"," + std::to_string(slot) + "\r\n");
    };
    modem_->Store("SM", test::TextDeliverPdu("+4915112345678", "first"));
    modem_->Store("SM", test::TextDeliverPdu("+4915112345678", "second"));
    if (c.queue == Queue::kIndicatedWhileClosedThenListedAtOpen) {
      driver_->StoredAtOpen = TVuZVela::StoredPolicy::kDeliver;
      modem_->Write("\r\n+CMTI: \"SM\",1\r\n+CMTI: \"SM\",2\r\n");
      PumpFor(50);  // taken while closed: read after the next Open, after which the listing comes
      Open();
    } else {
      Open();
      modem_->Write("\r\n+CMTI: \"SM\",1\r\n+CMTI: \"SM\",2\r\n");
      if (c.queue == Queue::kIndicatedTwice) modem_->Write("\r\n+CMTI: \"SM\",1\r\n");
    }
    ASSERT_TRUE(PumpUntil([&] { return texts.size() >= 3; }, 5000));
    PumpFor(300);
    EXPECT_EQ(texts, (std::vector<ByteString>{"first", "second", "third"}));
    EXPECT_TRUE(modem_->With([](ModemState& s) { return s.storage["SM"].empty(); }));
    TearDown();
  }
}

TEST_F(DriverTextTest, StoredPartsAreDeletedOnceTheWholeMessageWasDelivered) {
  ModemState state;
  state.refuseCsms1 = true;
  Start(state);
  std::vector<coding::AssembledMessage> whole;
  std::vector<TVuZVela::IncomingContext> contexts;
  driver_->OnReceiveText = [&](const coding::AssembledMessage& m) {
    whole.push_back(m);
    contexts.push_back(driver_->CurrentIncoming());
  };
  Open();
  const int first = modem_->Store("SM", test::Ucs2PartPdu("+4915112345678", u"Καλη ", 3, 2, 1));
  modem_->Write("\r\n+CMTI: \"SM\"," + std::to_string(first) + "\r\n");
  ASSERT_TRUE(PumpUntil([&] { return modem_->Count("AT+CMGR=" + std::to_string(first)) == 1; }, 5000));
  PumpFor(300);
  EXPECT_EQ(modem_->Count("AT+CMGD=" + std::to_string(first)), 0u);  // its message is not whole yet
  const int second = modem_->Store("SM", test::Ucs2PartPdu("+4915112345678", u"μέρα", 3, 2, 2));
  modem_->Write("\r\n+CMTI: \"SM\"," + std::to_string(second) + "\r\n");
  ASSERT_TRUE(PumpUntil([&] { return modem_->Count("AT+CMGD=" + std::to_string(second)) == 1; }, 5000));
  EXPECT_EQ(modem_->Count("AT+CMGD=" + std::to_string(first)), 1u);
  ASSERT_EQ(whole.size(), 1u);
  EXPECT_EQ(whole[0].text, u"Καλη μέρα");
  ASSERT_EQ(contexts.size(), 1u);
  EXPECT_TRUE(contexts[0].stored);
  EXPECT_EQ(contexts[0].indices, (std::vector<int>{first, second}));
}

TEST_F(DriverTextTest, StoredStatusReportIsReadReportedAndDeleted) {
  ModemState state;
  state.refuseCsms1 = true;
  Start(state);
  std::vector<ByteString> reports;
  driver_->OnDeliveryReport = [&](const ByteString& reference, bool, DateTime, DateTime) {
    reports.push_back(reference);
  };
  Open();
  const int index = modem_->Store("SR", test::StatusReportPdu(0x21, 0));
  modem_->Write("\r\n+CDSI: \"SR\"," + std::to_string(index) + "\r\n");
  ASSERT_TRUE(PumpUntil([&] { return modem_->Count("AT+CMGD=" + std::to_string(index)) == 1; }, 5000));
  EXPECT_EQ(reports, std::vector<ByteString>{"21"});
  EXPECT_EQ(modem_->Count("AT+CPMS=\"SR\""), 1u);
  EXPECT_TRUE(modem_->With([](ModemState& s) { return s.storage["SR"].empty(); }));
}

TEST_F(DriverTextTest, ARefusedAcknowledgementRestoresRoutingAndReportsWhatWasStored) {
  ModemState state;
  state.cnmaAnswers = {"OK", "+CMS ERROR: 340"};
  Start(state);
  std::vector<ByteString> texts;
  driver_->OnReceiveMessage = [&](const ByteString&, const ByteString& text, DateTime) { texts.push_back(text); };
  Open();
  modem_->Write(test::CmtLines(test::TextDeliverPdu("+4915112345678", "first")));
  ASSERT_TRUE(PumpUntil([&] { return texts.size() == 1; }, 5000));
  // Its acknowledgement came too late for the modem, which then stored a message silently.
  modem_->Store("SM", test::TextDeliverPdu("+4915112345678", "stored meanwhile"));
  modem_->Write(test::CmtLines(test::TextDeliverPdu("+4915112345678", "second")));
  ASSERT_TRUE(PumpUntil([&] { return texts.size() == 3 && modem_->Count("AT+CMGD=1") == 1; }, 5000));
  EXPECT_EQ(texts, (std::vector<ByteString>{"first", "second", "stored meanwhile"}));
  const auto since = SinceOpen();
  const auto cnmi = std::find(since.begin(), since.end(), "AT+CNMI=2,2,2,1,1");
  ASSERT_NE(cnmi, since.end());
  EXPECT_NE(std::find(cnmi, since.end(), "AT+CMGL=0"), since.end());  // routing first, then the listing
  EXPECT_FALSE(driver_->StorageRouting());
  // Routing works again: the next message is routed and acknowledged.
  modem_->Write(test::CmtLines(test::TextDeliverPdu("+4915112345678", "third")));
  ASSERT_TRUE(PumpUntil([&] { return texts.size() == 4; }, 5000));
  EXPECT_EQ(texts.back(), "third");
}

TEST_F(DriverTextTest, AnAcknowledgementTheModemNeverTookMeansStorageRouting) {
  ModemState state;
  state.cnmaAnswers = {"ERROR"};
  Start(state);
  std::vector<ByteString> texts;
  driver_->OnReceiveMessage = [&](const ByteString&, const ByteString& text, DateTime) { texts.push_back(text); };
  Open();
  modem_->Write(test::CmtLines(test::TextDeliverPdu("+4915112345678", "routed once")));
  ASSERT_TRUE(PumpUntil([&] { return driver_->StorageRouting(); }, 5000));
  EXPECT_EQ(texts, std::vector<ByteString>{"routed once"});
  EXPECT_EQ(modem_->Count("AT+CNMI=2,1,0,1,0"), 1u);
}

TEST_F(DriverTextTest, MessagesStoredAtOpenFollowThePolicy) {
  struct Case {
    const char* name;
    TVuZVela::StoredPolicy policy;
    size_t events;
    bool deleted;
  };
  const Case cases[] = {
      {"ignore", TVuZVela::StoredPolicy::kIgnore, 0, false},
      {"deliver", TVuZVela::StoredPolicy::kDeliver, 2, true},
      {"keep", TVuZVela::StoredPolicy::kKeep, 2, false},
  };
  for (const Case& c : cases) {
    for (bool unicode : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (unicode ? ", with OnReceiveText" : ""));
      Start();
      int whole = 0;
      if (unicode) driver_->OnReceiveText = [&](const coding::AssembledMessage&) { ++whole; };
      modem_->Store("SM", test::TextDeliverPdu("+4915112345678", "old one"), 1);
      modem_->Store("SM", test::TextDeliverPdu("+4915112345678", "new one"), 0);
      modem_->Store("SM", "0011000B915155214365F70000AA0568656C6C6F", 2);  // an unsent draft
      std::vector<ByteString> texts;
      driver_->OnReceiveMessage = [&](const ByteString&, const ByteString& text, DateTime) {
        EXPECT_TRUE(driver_->CurrentIncoming().stored);
        texts.push_back(text);
      };
      driver_->StoredAtOpen = c.policy;
      Open();
      if (c.events > 0) {
        ASSERT_TRUE(PumpUntil([&] { return texts.size() == c.events; }, 5000));
      }
      PumpFor(300);
      EXPECT_EQ(texts.size(), c.events);
      EXPECT_EQ(modem_->Count("AT+CMGL=4"), c.policy == TVuZVela::StoredPolicy::kIgnore ? 0u : 1u);
      EXPECT_EQ(modem_->Count("AT+CMGD=1") + modem_->Count("AT+CMGD=2"), c.deleted ? 2u : 0u);
      EXPECT_EQ(modem_->Count("AT+CMGD=3"), 0u);  // drafts are no incoming messages
      EXPECT_EQ(whole, unicode ? static_cast<int>(c.events) : 0);
      TearDown();
    }
  }
}

// --- PIN, errors, diagnostics, stored-message functions ---------------------------------

TEST_F(DriverTextTest, AWrongPinIsEnteredOnceAndNamedInTheError) {
  ModemState state;
  state.simPin = "1234";
  Start(state);
  driver_->Pin = "9999";
  std::vector<std::string> messages;
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      driver_->Open();
      ADD_FAILURE() << "Open succeeded";
    } catch (const EXVelaException& e) {
      messages.push_back(e.what());
    }
  }
  EXPECT_EQ(modem_->Count("AT+CPIN=9999"), 1u);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0],
            "Cannot initialize commands on modem. Check and Set Pin error. (+CME ERROR: 16: incorrect password)");
  EXPECT_EQ(messages[1].rfind("Cannot initialize commands on modem. Check and Set Pin error. (the PIN was refused", 0),
            0u)
      << messages[1];
  EXPECT_TRUE(driver_->PinRefused());
  EXPECT_EQ(driver_->LastModemError().kind, TVuZVela::ModemError::Kind::kCme);
  EXPECT_EQ(driver_->LastModemError().code, 16);
  EXPECT_EQ(driver_->LastModemError().command, "AT+CPIN=...");
  // A changed PIN is entered.
  driver_->Pin = "1234";
  driver_->Open();
  EXPECT_TRUE(driver_->IsOpen());
}

TEST_F(DriverTextTest, DiagnosticsAreBestEffort) {
  for (bool answers : {true, false}) {
    SCOPED_TRACE(answers ? "modem answers" : "modem refuses");
    ModemState state;
    state.diagnostics = answers;
    Start(state);
    Open();
    const auto d = driver_->QueryDiagnostics();
    if (answers) {
      EXPECT_EQ(d.signalDbm, std::optional<int>(-79));
      EXPECT_EQ(d.registration, std::optional<ByteString>("roaming"));
      EXPECT_EQ(d.operatorName, std::optional<ByteString>("Vela Net"));
      EXPECT_EQ(d.smsc, std::optional<ByteString>("+15550000100"));
      ASSERT_TRUE(d.storage.has_value());
      EXPECT_EQ(d.storage->name, "SM");
      EXPECT_EQ(d.storage->total, 30);
      EXPECT_EQ(d.imsi, std::optional<ByteString>("001010123456789"));
      EXPECT_EQ(d.iccid, std::optional<ByteString>("8901260123456789012"));  // after AT+CCID was refused
      EXPECT_EQ(d.pinAttempts, std::optional<int>(3));
      EXPECT_EQ(d.pukAttempts, std::optional<int>(10));
    } else {
      EXPECT_FALSE(d.signalDbm || d.registration || d.operatorName || d.smsc || d.imsi || d.iccid || d.pinAttempts);
      ASSERT_TRUE(d.storage.has_value());  // AT+CPMS? is answered all the same
    }
    TearDown();
  }
}

TEST_F(DriverTextTest, StoredMessagesCanBeListedReadAndDeleted) {
  for (bool deleteAllFlag : {true, false}) {
    SCOPED_TRACE(deleteAllFlag ? "AT+CMGD=1,4" : "one AT+CMGD per index");
    ModemState state;
    state.deleteAllFlag = deleteAllFlag;
    Start(state);
    Open();
    modem_->Store("ME", test::TextDeliverPdu("+4915112345678", "in the phone"));
    modem_->Store("ME", test::Ucs2PartPdu("+4915112345678", u"日本語", 1, 1, 1));
    const auto listed = driver_->ListStoredMessages("ME");
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].index, 1);
    EXPECT_EQ(listed[0].storage, "ME");
    EXPECT_EQ(coding::DecodePdu(listed[0].pdu).text, u"in the phone");
    EXPECT_EQ(coding::DecodePdu(listed[1].pdu).text, u"日本語");
    EXPECT_STREQ(TVuZVela::StoredStatusName(listed[0].status), "unread");

    const auto read = driver_->ReadStoredMessage(2);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(coding::DecodePdu(read->pdu).originator, "+4915112345678");
    EXPECT_STREQ(TVuZVela::StoredStatusName(read->status), "read");  // listing marked it read
    EXPECT_FALSE(driver_->ReadStoredMessage(9).has_value());
    EXPECT_THROW(driver_->SelectStorage("XX"), EModemCommand);
    try {
      driver_->DeleteStoredMessage(9);
      ADD_FAILURE() << "deleted";
    } catch (const EModemCommand& e) {
      EXPECT_STREQ(e.what(), "AT+CMGD=9: +CMS ERROR: 321: invalid memory index");
    }
    EXPECT_EQ(driver_->DeleteAllStoredMessages("ME"), 2);
    EXPECT_TRUE(modem_->With([](ModemState& s) { return s.storage["ME"].empty(); }));
    TearDown();
  }
}

}  // namespace
}  // namespace vela

// USSD: +CUSD lines as modems print them (table), and sessions through the
// simulated modem in each of its answer forms.
#include "modem/ussd.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "modem/vuz_vela.h"
#include "modem_sim.h"
#include "modem_test_util.h"
#include "common/utf8.h"
#include "sim_ussd.h"

namespace vela {
namespace {

using test::PumpFor;
using test::PumpUntil;

constexpr int kNone = -1;

struct CusdCase {
  const char* line;
  bool parsed;
  int status;
  const char* text;  // UTF-8
  int dcs;
};

TEST(UssdAnswer, FormsModemsPrint) {
  const CusdCase cases[] = {
      {"+CUSD: 0,\"C8329BFD06\",15", true, 0, "Hello", 15},                           // packed 7-bit
      {"+CUSD: 0,\"31D98C56B3DD1A\",15", true, 0, "1234567", 15},                     // 7 spare bits: <CR> pad
      {"+CUSD: 1,\"D4371C5487836A9B32\",15", true, 1, "Top up 5\xE2\x82\xAC", 15},    // escape pair
      {"+CUSD: 0,\"00420061006C00200034002C00350030\",72", true, 0, "Bal 4,50", 72},  // UCS2
      {"+CUSD: 0,\"041E0441044204300442043E043A\",72", true, 0,
       "\xD0\x9E\xD1\x81\xD1\x82\xD0\xB0\xD1\x82\xD0\xBE\xD0\xBA", 72},
      {"+CUSD: 0,\"004F004B\",15", true, 0, "OK", 15},                              // UCS2 character set, 7-bit <dcs>
      {"+CUSD: 0,\"48656C6C6F\",68", true, 0, "Hello", 68},                         // 8-bit data
      {"+CUSD: 0,\"6577039906\",16", true, 0, "Hi", 16},                            // language "en<CR>" dropped
      {"+CUSD: 2,\"Your balance: 5 EUR\",15", true, 2, "Your balance: 5 EUR", 15},  // plain text
      {"+CUSD: 1,\"Menu, \"pick\" one\n1 OK\",15", true, 1, "Menu, \"pick\" one\n1 OK", 15},
      {"+CUSD: 0,\"Guthaben: 5 \xE2\x82\xAC\",15", true, 0, "Guthaben: 5 \xE2\x82\xAC", 15},  // UTF-8 set
      {"+CUSD: 0,\"Hello\"", true, 0, "Hello", kNone},
      {"+CUSD: 0,Balance 5,15", true, 0, "Balance 5", 15},  // unquoted
      {"  +CUSD: 4\r", true, 4, "", kNone},
      {"+CUSD: 2", true, 2, "", kNone},
      {"+CUSD: 0,\"ABC\",15", true, 0, "ABC", 15},  // odd hex: plain text
      {"+CUSD: 0,\"ZZ,15", true, 0, "\"ZZ", 15},    // lone quote
      {"+CUSD: x,\"41\",15", false, 0, "", kNone},
      {"+CUSD:", false, 0, "", kNone},
      {"+CUSDX: 0", false, 0, "", kNone},
      {"OK", false, 0, "", kNone},
  };
  for (const CusdCase& c : cases) {
    SCOPED_TRACE(c.line);
    std::optional<ussd::Answer> a = ussd::ParseCusd(c.line);
    ASSERT_EQ(a.has_value(), c.parsed);
    if (!a) continue;
    EXPECT_EQ(a->status, c.status);
    EXPECT_EQ(Utf8FromWide(a->text), c.text);
    EXPECT_EQ(a->dcs.value_or(kNone), c.dcs);
  }
}

TEST(UssdAnswer, DcsAlphabets) {
  using A = ussd::Alphabet;
  const std::pair<int, A> cases[] = {{0x0F, A::kGsm7}, {0x00, A::kGsm7},     {0x10, A::kGsm7}, {0x11, A::kUcs2},
                                     {0x48, A::kUcs2}, {0x44, A::kEightBit}, {0x40, A::kGsm7}, {0xF4, A::kEightBit},
                                     {0xF0, A::kGsm7}, {0x98, A::kUcs2},     {0xA0, A::kGsm7}};
  for (const auto& [dcs, alphabet] : cases) EXPECT_EQ(ussd::DcsAlphabet(dcs), alphabet) << dcs;
}

TEST(UssdRequest, OnlyTextThatCannotBreakTheCommand) {
  EXPECT_EQ(ussd::RequestCommand("*100#"), "AT+CUSD=1,\"*100#\",15\r");
  EXPECT_EQ(ussd::RequestCommand("1"), "AT+CUSD=1,\"1\",15\r");
  for (const ByteString& bad : {ByteString(), ByteString("*1\"#"), ByteString("1\r"), ByteString("*100#\x1A"),
                                ByteString("\xE9"), ByteString(161, '1')}) {
    EXPECT_THROW(ussd::RequestCommand(bad), std::invalid_argument) << bad;
  }
}

class UssdSim : public ::testing::TestWithParam<const char*> {
 protected:
  void Start(sim::ModemSimOptions options = {}) {
    options.ussdForm = GetParam();
    sim_ = std::make_unique<sim::ModemSim>(options);
    sim_->Start();
    driver_ = std::make_unique<TVuZVela>();
    driver_->Port = sim_->DevicePath();
    driver_->Open();
    session_ = std::make_unique<ussd::Session>(*driver_);
  }
  void TearDown() override {
    session_.reset();
    driver_.reset();
    sim_.reset();
  }
  // Sends and waits for the answer; its text as UTF-8.
  ussd::Answer Ask(const ByteString& text) {
    session_->Send(text);
    EXPECT_TRUE(PumpUntil([&] { return !session_->Pending(); }, 20000)) << text;
    std::optional<ussd::Answer> a = session_->TakeAnswer();
    if (!a) throw std::runtime_error("no answer to " + text);
    return *a;
  }
  static std::string Text(const ussd::Answer& a) { return Utf8FromWide(a.text); }

  std::unique_ptr<sim::ModemSim> sim_;
  std::unique_ptr<TVuZVela> driver_;
  std::unique_ptr<ussd::Session> session_;
};

TEST_P(UssdSim, BalanceMenuReplyAndError) {
  Start();
  ussd::Answer balance = Ask("*100#");
  EXPECT_EQ(balance.status, 0);
  EXPECT_EQ(Text(balance), sim::kUssdBalanceText);
  EXPECT_FALSE(session_->AwaitingReply());

  ussd::Answer menu = Ask("*111#");
  EXPECT_EQ(menu.status, 1);
  EXPECT_EQ(Text(menu), sim::kUssdMenuText);  // its line feeds kept, whatever the form
  EXPECT_TRUE(session_->AwaitingReply());
  ussd::Answer data = Ask("1");
  EXPECT_EQ(data.status, 0);
  EXPECT_EQ(Text(data), sim::kUssdDataText);

  ussd::Answer refused = Ask("*404#");
  EXPECT_EQ(refused.status, ussd::kNotSupported);
  EXPECT_FALSE(ussd::IsAnswer(refused.status));
  EXPECT_NE(std::string(ussd::Session::Failure(refused).what()).find("+CUSD: 4 (operation not supported)"),
            std::string::npos);
  EXPECT_TRUE(sim_->WaitForCommand("AT+CUSD=1,\"*100#\",15", 1000));
}

TEST_P(UssdSim, NoAnswerIsCancelledAndALateOneDropped) {
  Start();
  session_->Send("*999#");
  PumpFor(800);
  EXPECT_TRUE(session_->Pending());
  session_->Cancel();
  EXPECT_FALSE(session_->Pending());
  EXPECT_TRUE(sim_->WaitForCommand("AT+CUSD=2", 5000));
  // A +CUSD nobody waits for goes nowhere (and is no command's answer).
  sim_->InjectRawLine("+CUSD: 0,\"late\",15");
  ASSERT_TRUE(sim_->WaitForIndicationsWritten(5000));
  PumpFor(200);
  EXPECT_FALSE(session_->TakeAnswer());
  EXPECT_EQ(Text(Ask("*100#")), sim::kUssdBalanceText);
}

TEST_P(UssdSim, ModemKeepsWorkingWhileTheAnswerIsOut) {
  sim::ModemSimOptions options;
  options.ussdDelayMs = 1500;
  options.deliverDelayMs = 0;
  Start(options);
  test::EventLog events;
  events.Attach(*driver_);
  session_->Send("*100#");
  ByteString reference;
  driver_->SubmitMessage("+15550000000", "while USSD", reference, false);  // comes back as +CMT
  EXPECT_FALSE(reference.empty());
  ASSERT_TRUE(PumpUntil([&] { return !events.received.empty() && !session_->Pending(); }, 20000));
  EXPECT_EQ(events.received[0].text, "while USSD");
  EXPECT_EQ(Text(*session_->TakeAnswer()), sim::kUssdBalanceText);
}

TEST_P(UssdSim, AnswerInsideAnotherCommandsAnswer) {
  sim::ModemSimOptions options;
  options.ussdDuringNextCommand = true;
  options.rssi = 17;
  Start(options);
  session_->Send("*111#");
  // The +CUSD comes between AT+CSQ's information line and its OK: neither
  // takes the other's place.
  const TVuZVela::Diagnostics d = driver_->QueryDiagnostics();
  EXPECT_EQ(d.signalDbm, -113 + 2 * 17);
  EXPECT_NE(sim_->OutputLog().find("+CSQ: 17,99\r\n\r\n+CUSD: 1,"), std::string::npos);
  ASSERT_TRUE(PumpUntil([&] { return !session_->Pending(); }, 10000));
  EXPECT_EQ(Text(*session_->TakeAnswer()), sim::kUssdMenuText);
  EXPECT_TRUE(session_->AwaitingReply());
}

INSTANTIATE_TEST_SUITE_P(Forms, UssdSim, ::testing::Values("packed", "ucs2", "text"));

}  // namespace
}  // namespace vela

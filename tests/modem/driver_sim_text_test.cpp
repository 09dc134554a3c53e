// Whole messages end to end: TVuZVela::SendText -> simulated modem (its own
// decoding) -> the same parts back as DELIVERs -> reassembly -> OnReceiveText,
// with a status report per part -> OnMessageStatus.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "modem/vuz_vela.h"
#include "modem_sim.h"
#include "modem_test_util.h"
#include "common/utf8.h"

namespace vela {
namespace {

using sim::ModemSim;
using sim::ModemSimOptions;
using test::PumpFor;
using test::PumpUntil;

std::string RepeatUtf8(const std::string& unit, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

class DriverSimTextTest : public ::testing::Test {
 protected:
  void Start(ModemSimOptions options = {}) {
    options.deliverDelayMs = 0;
    options.reportDelayMs = 0;
    sim_ = std::make_unique<ModemSim>(options);
    sim_->Start();
    driver_ = std::make_unique<TVuZVela>();
    driver_->Port = sim_->DevicePath();
    driver_->OnReceiveText = [this](const coding::AssembledMessage& m) { received_.push_back(m); };
    driver_->OnReceiveMessage = [this](const ByteString&, const ByteString&, DateTime) { ++partEvents_; };
    driver_->OnDeliveryReport = [this](const ByteString&, bool, DateTime, DateTime) { ++reports_; };
    driver_->OnMessageStatus = [this](const TVuZVela::SentMessage& m, bool delivered) {
      statuses_.emplace_back(m.messageId, delivered);
    };
    driver_->Open();
  }
  void TearDown() override {
    driver_.reset();
    sim_.reset();
  }

  std::unique_ptr<ModemSim> sim_;
  std::unique_ptr<TVuZVela> driver_;
  std::vector<coding::AssembledMessage> received_;
  std::vector<std::pair<ByteString, bool>> statuses_;
  int partEvents_ = 0;
  int reports_ = 0;
};

TEST_F(DriverSimTextTest, RoundTripsComeBackIdentical) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<int> languages;
    int parts;  // 0: not checked
    coding::Coding coding;
  };
  const Case cases[] = {
      {"one character", "a", {}, 1, coding::Coding::kGsm7},
      {"160 default-alphabet characters", RepeatUtf8("x", 160), {}, 1, coding::Coding::kGsm7},
      {"161", RepeatUtf8("x", 161), {}, 2, coding::Coding::kGsm7},
      {"306", RepeatUtf8("y", 306), {}, 2, coding::Coding::kGsm7},
      {"307", RepeatUtf8("y", 307), {}, 3, coding::Coding::kGsm7},
      {"80 extension characters fill one part", RepeatUtf8("€", 80), {}, 1, coding::Coding::kGsm7},
      {"81 need two", RepeatUtf8("€", 81), {}, 2, coding::Coding::kGsm7},
      {"Latin with accents", "Crème brûlée, señor! Ça va? Größe: Øre, Åse", {}, 0, coding::Coding::kUcs2},
      {"Greek capitals in the default alphabet", "ΔΦΓΛΩΠΨΣΘΞ", {}, 1, coding::Coding::kGsm7},
      {"Cyrillic, 70 units", RepeatUtf8("Ж", 70), {}, 1, coding::Coding::kUcs2},
      {"Cyrillic, 71 units", RepeatUtf8("Ж", 71), {}, 2, coding::Coding::kUcs2},
      {"Cyrillic, 135 units", RepeatUtf8("Ж", 135), {}, 3, coding::Coding::kUcs2},
      {"Turkish without national tables", "Çalışkan öğrenci İstanbul'da ğüşİ", {}, 0, coding::Coding::kUcs2},
      {"Turkish with its tables", RepeatUtf8("Çalışkan öğrenci İstanbul'da ğüşİ ", 6), {1}, 0, coding::Coding::kGsm7},
      {"Arabic", "مرحبا بالعالم، كيف حالك اليوم؟", {}, 1, coding::Coding::kUcs2},
      {"Hebrew", "שלום עולם", {}, 1, coding::Coding::kUcs2},
      {"Hindi", "नमस्ते दुनिया, आप कैसे हैं?", {}, 1, coding::Coding::kUcs2},
      {"Chinese", RepeatUtf8("你好世界", 50), {}, 0, coding::Coding::kUcs2},
      {"emoji with skin tones, ZWJ and flags",
       RepeatUtf8("👍🏽👨‍👩‍👧‍👦🇩🇪🇯🇵", 12),
       {},
       0,
       coding::Coding::kUcs2},
      {"mixed, 1500 characters", RepeatUtf8("Hello Привет 你好 😀 ", 94), {}, 0, coding::Coding::kUcs2},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    received_.clear();
    statuses_.clear();
    sim_->ClearLogs();
    const WideString text = WideFromUtf8(c.text);
    TVuZVela::SendTextOptions options;
    options.languages = c.languages;
    options.statusReport = true;
    options.maxParts = 30;
    const auto sent = driver_->SendText("+15550000000", text, options);
    ASSERT_TRUE(sent.Complete()) << sent.errorText;
    if (c.parts != 0) {
      EXPECT_EQ(sent.parts, c.parts);
    }
    EXPECT_EQ(sent.coding, c.coding);
    ASSERT_TRUE(PumpUntil([&] { return !received_.empty() && !statuses_.empty(); }, 20000));
    PumpFor(50);
    ASSERT_EQ(received_.size(), 1u);
    EXPECT_EQ(Utf8FromWide(received_[0].text), c.text);
    EXPECT_TRUE(received_[0].complete);
    EXPECT_EQ(received_[0].parts, sent.parts);
    ASSERT_EQ(statuses_.size(), 1u);
    EXPECT_EQ(statuses_[0], std::make_pair(sent.messageId, true));
    // The simulator's own decoding joins the parts to the same text.
    const auto messages = sim_->SubmittedMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].complete);
    EXPECT_EQ(messages[0].text, c.text);
  }
}

TEST_F(DriverSimTextTest, InjectedLongMessagesSurviveOrderDuplicatesAndWidths) {
  struct Case {
    const char* name;
    sim::DeliverLongOptions options;
    bool complete;
  };
  sim::DeliverLongOptions reordered;
  reordered.order = {3, 1, 2};
  sim::DeliverLongOptions duplicated;
  duplicated.duplicate = {2};
  duplicated.ucs2 = true;
  sim::DeliverLongOptions wide;
  wide.reference16 = true;
  const Case cases[] = {{"in order", {}, true},
                        {"out of order", reordered, true},
                        {"a duplicate, UCS2", duplicated, true},
                        {"16-bit reference", wide, true}};
  Start();
  const std::string text = RepeatUtf8("The quick brown fox jumps over the lazy dog. ", 8);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    received_.clear();
    partEvents_ = 0;
    const int parts = sim_->InjectDeliverLong("+4915112345678", text, c.options);
    ASSERT_GE(parts, 3);
    ASSERT_TRUE(PumpUntil([&] { return !received_.empty(); }, 10000));
    PumpFor(100);
    ASSERT_EQ(received_.size(), 1u);
    EXPECT_EQ(Utf8FromWide(received_[0].text), text);
    EXPECT_EQ(received_[0].complete, c.complete);
    EXPECT_EQ(received_[0].originator, "+4915112345678");
    EXPECT_EQ(received_[0].parts, parts);
    EXPECT_EQ(partEvents_, parts + static_cast<int>(c.options.duplicate.size()));  // one version-1 event per part line
  }
  EXPECT_EQ(sim_->UnexpectedCnmaCount(), 0);
}

}  // namespace
}  // namespace vela

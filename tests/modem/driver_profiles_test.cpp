// The driver against the simulated modem behaving like real modems do:
// phonebook names in +CMT headers, routing dropped after a missed
// acknowledgement, modems without +CNMA or with storage routing only,
// messages stored before the program ran, a wrong PIN, refused sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

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

class DriverProfilesTest : public ::testing::Test {
 protected:
  void Start(ModemSimOptions options) {
    options.deliverDelayMs = 0;
    options.reportDelayMs = 0;
    sim_ = std::make_unique<ModemSim>(options);
    sim_->Start();
    driver_ = std::make_unique<TVuZVela>();
    driver_->Port = sim_->DevicePath();
    // The machine-wide lock is shared with every other program (and test run)
    // talking to a modem on this machine: a command of theirs that waits out
    // its time-out, or a steady stream of them, would hold these hundreds of
    // commands up for minutes. What is tested here is the dialogue with one
    // device, which the per-device lock still serialises.
    driver_->Lock = TVuZVela::LockScope::kPort;
    driver_->OnReceiveMessage = [this](const ByteString&, const ByteString& text, DateTime) {
      const auto& context = driver_->CurrentIncoming();
      if (context.stored) {
        // Reported before it is deleted: the message is still in storage now.
        const auto stored = sim_->Stored();
        const bool present = std::any_of(stored.begin(), stored.end(), [&](const sim::StoredEntry& e) {
          return e.storage == context.storage && e.index == context.index;
        });
        if (!present) ++reportedAfterDeletion_;
      }
      ++counts_[text];
      texts_.push_back(text);
    };
  }
  void TearDown() override {
    driver_.reset();
    sim_.reset();
  }
  // Every text exactly once.
  void ExpectEachOnce(const std::vector<std::string>& expected) {
    EXPECT_EQ(texts_.size(), expected.size());
    for (const std::string& text : expected) EXPECT_EQ(counts_[text], 1) << text;
  }

  std::unique_ptr<ModemSim> sim_;
  std::unique_ptr<TVuZVela> driver_;
  std::vector<ByteString> texts_;
  std::map<std::string, int> counts_;
  int reportedAfterDeletion_ = 0;
};

std::vector<std::string> Numbered(const std::string& prefix, int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(prefix + " " + std::to_string(i));
  return out;
}

TEST_F(DriverProfilesTest, PhonebookNamesLikeAnswersDuringSendsLoseNothing) {
  ModemSimOptions options;
  options.alpha = true;  // BROOKE, OK, ERROR, READY, "> x", UCS2 "OK" in turn
  Start(options);
  driver_->Open();
  sim_->ClearLogs();
  const auto expected = Numbered("alpha", 200);
  std::thread injector([&] {
    for (size_t i = 0; i < expected.size(); ++i) {
      sim_->InjectDeliver("+4915112345678", expected[i]);
      if (i % 20 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  int sent = 0;
  for (int i = 0; i < 10; ++i) {
    const auto result = driver_->SendText("+4917012345678", u"outgoing", {});
    if (result.Complete()) ++sent;
  }
  injector.join();
  EXPECT_EQ(sent, 10);
  ASSERT_TRUE(PumpUntil([&] { return texts_.size() >= expected.size(); }, 60000)) << texts_.size();
  PumpFor(200);
  ExpectEachOnce(expected);
  EXPECT_EQ(sim_->CnmaCount(), 200);
  EXPECT_EQ(sim_->UnexpectedCnmaCount(), 0);
}

TEST_F(DriverProfilesTest, AMissedAcknowledgementRestoresRoutingAndTheNextMessagesArrive) {
  ModemSimOptions options;
  options.ackTimeout = true;
  options.ackTimeoutMs = 500;
  Start(options);
  driver_->Open();
  // The program is busy elsewhere (no message dispatch) while a message waits
  // for its acknowledgement: the modem switches routing off.
  sim_->InjectDeliver("+4915112345678", "while busy");
  ASSERT_TRUE(sim_->WaitUntil([&] { return sim_->RoutingDrops() == 1; }, 5000));
  sim_->InjectDeliver("+4915112345678", "routing off");  // stored silently
  ASSERT_TRUE(sim_->WaitForIndicationsWritten(5000));
  const auto expected = [] {
    auto v = Numbered("after", 50);
    v.insert(v.begin(), {"while busy", "routing off"});
    return v;
  }();
  ASSERT_TRUE(PumpUntil([&] { return texts_.size() >= 2; }, 10000));
  for (size_t i = 2; i < expected.size(); ++i) sim_->InjectDeliver("+4915112345678", expected[i]);
  ASSERT_TRUE(PumpUntil([&] { return texts_.size() >= expected.size(); }, 30000)) << texts_.size();
  PumpFor(300);
  ExpectEachOnce(expected);  // the network's second copy of "while busy" is not reported again
  EXPECT_EQ(sim_->RoutingDrops(), 1);
  EXPECT_FALSE(driver_->StorageRouting());
  EXPECT_TRUE(sim_->Stored().empty());
  EXPECT_EQ(reportedAfterDeletion_, 0);
}

TEST_F(DriverProfilesTest, LateAcknowledgementsTheModemAcceptsKeepDirectRouting) {
  // A host that stores each message before acknowledging it and is slower
  // than the acknowledgement deadline: every acknowledgement is late, yet the
  // modem takes each one, so routing stays direct and nothing goes to storage.
  ModemSimOptions options;
  Start(options);
  driver_->AckDeadlineMs = 50;
  driver_->AcknowledgeAfterEvents = true;
  const auto report = driver_->OnReceiveMessage;
  bool slow = true;
  driver_->OnReceiveMessage = [&](const ByteString& from, const ByteString& text, DateTime time) {
    report(from, text, time);
    if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(120));
  };
  driver_->Open();
  const auto expected = Numbered("late", 12);
  for (const std::string& text : expected) sim_->InjectDeliver("+4915112345678", text);
  ASSERT_TRUE(PumpUntil([&] { return texts_.size() >= expected.size(); }, 30000)) << texts_.size();
  slow = false;
  sim_->InjectDeliver("+4915112345678", "on time");
  ASSERT_TRUE(PumpUntil([&] { return texts_.size() > expected.size(); }, 10000)) << texts_.size();
  PumpFor(300);
  auto all = expected;
  all.push_back("on time");
  ExpectEachOnce(all);
  EXPECT_FALSE(driver_->StorageRouting());
  EXPECT_EQ(sim_->CnmaCount(), static_cast<int>(all.size()));
  EXPECT_EQ(sim_->UnexpectedCnmaCount(), 0);
  EXPECT_EQ(sim_->StorageIndicationsWritten(), 0);
  EXPECT_TRUE(sim_->Stored().empty());
  // Routing is set again after late acknowledgements, but once for a backlog
  // of them rather than once for each (Open sets it the first time).
  const auto commands = sim_->Commands();
  const auto routings = std::count(commands.begin(), commands.end(), "AT+CNMI=2,2,2,1,1");
  EXPECT_GE(routings, 2);
  EXPECT_LE(routings, 1 + static_cast<long>(expected.size()) / 2);
}

TEST_F(DriverProfilesTest, StorageRoutedModemsReportEveryMessageOnceAndDeleteItAfterwards) {
  struct Case {
    const char* name;
    bool noCnma, cmtiOnly;
    bool storageRouting;  // the driver uses storage routing
  };
  const Case cases[] = {{"no-cnma", true, false, true}, {"cmti", false, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModemSimOptions options;
    options.noCnma = c.noCnma;
    options.cmtiOnly = c.cmtiOnly;
    Start(options);
    std::vector<coding::AssembledMessage> whole;
    driver_->OnReceiveText = [&](const coding::AssembledMessage& m) { whole.push_back(m); };
    driver_->Open();
    EXPECT_EQ(driver_->StorageRouting(), c.storageRouting);
    const auto expected = Numbered(c.name, 40);
    for (const std::string& text : expected) sim_->InjectDeliver("+4915112345678", text);
    const std::string longText(400, 'L');
    const int parts = sim_->InjectDeliverLong("+4915112345678", longText);
    ASSERT_TRUE(PumpUntil([&] { return whole.size() >= expected.size() + 1 && sim_->Stored().empty(); }, 30000))
        << whole.size() << " whole messages, " << sim_->Stored().size() << " still stored";
    PumpFor(300);
    EXPECT_EQ(whole.size(), expected.size() + 1);
    EXPECT_EQ(Utf8FromWide(whole.back().text), longText);
    EXPECT_EQ(texts_.size(), expected.size() + static_cast<size_t>(parts));  // the long message's parts one by one
    for (const std::string& text : expected) EXPECT_EQ(counts_[text], 1) << text;
    EXPECT_EQ(reportedAfterDeletion_, 0);
    EXPECT_EQ(sim_->CnmaCount(), 0);
    EXPECT_EQ(sim_->TotalDeletions(), static_cast<int>(expected.size()) + parts);
    TearDown();
    texts_.clear();
    counts_.clear();
  }
}

TEST_F(DriverProfilesTest, MessagesStoredBeforeTheProgramRanAreReportedOnceWhenAsked) {
  ModemSimOptions options;
  for (int i = 0; i < 5; ++i) options.storedMessages.push_back({"+4915112345678", "stored " + std::to_string(i)});
  Start(options);
  driver_->StoredAtOpen = TVuZVela::StoredPolicy::kDeliver;
  driver_->Open();
  ASSERT_TRUE(PumpUntil([&] { return texts_.size() >= 5 && sim_->Stored().empty(); }, 10000));
  PumpFor(300);
  ExpectEachOnce(Numbered("stored", 5));
  EXPECT_EQ(reportedAfterDeletion_, 0);
  // A second Open finds nothing more to report.
  driver_->Open();
  PumpFor(300);
  EXPECT_EQ(texts_.size(), 5u);
}

TEST_F(DriverProfilesTest, UnplugAndReplugDuringABurstLoseAndDuplicateNothing) {
  ModemSimOptions options;
  options.unplug = true;
  options.linkPath = ::testing::TempDir() + "vela-unplug-" + std::to_string(::getpid());
  Start(options);
  driver_->Port = options.linkPath;  // the device comes back on a new pty; the link follows
  driver_->StoredAtOpen = TVuZVela::StoredPolicy::kDeliver;
  int lost = 0;
  driver_->OnPortLost = [&] { ++lost; };
  driver_->Open();
  const auto expected = Numbered("burst", 60);
  for (size_t i = 0; i < 30; ++i) sim_->InjectDeliver("+4915112345678", expected[i]);
  ASSERT_TRUE(PumpUntil([&] { return texts_.size() >= 10; }, 20000));
  sim_->Unplug();
  for (size_t i = 30; i < 45; ++i) sim_->InjectDeliver("+4915112345678", expected[i]);
  ASSERT_TRUE(PumpUntil([&] { return lost == 1; }, 10000));
  EXPECT_FALSE(driver_->IsOpen());
  sim_->Replug();
  driver_->Open();
  for (size_t i = 45; i < expected.size(); ++i) sim_->InjectDeliver("+4915112345678", expected[i]);
  ASSERT_TRUE(PumpUntil([&] { return texts_.size() >= expected.size() && sim_->Stored().empty(); }, 30000))
      << texts_.size() << " reported, " << sim_->Stored().size() << " stored";
  PumpFor(500);
  ExpectEachOnce(expected);
  EXPECT_EQ(lost, 1);
}

TEST_F(DriverProfilesTest, AWrongPinIsTriedOncePerDriver) {
  ModemSimOptions options;
  options.pinCounter = true;
  options.pin = "1234";
  Start(options);
  driver_->Pin = "0000";
  for (int run = 0; run < 3; ++run) {
    try {
      driver_->Open();
      ADD_FAILURE() << "Open succeeded";
    } catch (const EXVelaException& e) {
      EXPECT_NE(std::string(e.what()).find("Check and Set Pin error. ("), std::string::npos) << e.what();
    }
  }
  const auto commands = sim_->Commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "AT+CPIN=0000"), 1);
  driver_->Pin = "1234";
  driver_->Open();  // two attempts were left
  EXPECT_TRUE(driver_->IsOpen());
}

TEST_F(DriverProfilesTest, ARefusedSendNamesTheModemsError) {
  ModemSimOptions options;
  options.cmsError = 304;
  Start(options);
  driver_->Open();
  const auto result = driver_->SendText("+4917012345678", std::u16string(300, u'x'), {});
  EXPECT_TRUE(result.references.empty());
  EXPECT_TRUE(result.messageId.empty());
  EXPECT_EQ(result.cmsError, 304);
  EXPECT_EQ(result.errorText, "+CMS ERROR: 304: invalid PDU mode parameter");
  EXPECT_EQ(driver_->LastModemError().code, 304);
  EXPECT_EQ(sim_->Submits().size(), 1u);  // the first refused part stopped the rest
  ByteString reference = "stale";
  driver_->SubmitMessage("+4917012345678", "version 1", reference, false);
  EXPECT_EQ(reference, "");
}

}  // namespace
}  // namespace vela

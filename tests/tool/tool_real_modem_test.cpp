// velasms against the ways real modems behave, through the simulator's
// profiles: messages stored on the SIM, storage routing, phonebook names in
// indications, refusals with a +CMS error, a device that disappears and comes
// back, the modem's state in info.
#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>
#include <thread>

#include "commands.h"
#include "platform/termination.h"
#include "modem_sim.h"

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

class ToolRealModem : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearTermination(); }

  void Start(ModemSimOptions options = {}) {
    sim_ = std::make_unique<ModemSim>(options);
    sim_->Start();
    port_ = options.linkPath.empty() ? sim_->DevicePath() : options.linkPath;
  }

  Result Velasms(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--port", port_});
    std::ostringstream out, err;
    int status = RunVelasms(args, out, err);
    return {status, out.str(), err.str()};
  }

  std::unique_ptr<ModemSim> sim_;
  std::string port_;
};

ModemSimOptions WithStored(std::vector<ModemSimOptions::StoredText> messages) {
  ModemSimOptions options;
  options.storedMessages = std::move(messages);
  return options;
}

TEST_F(ToolRealModem, StoredMessagesAreReportedOnceAtOpenAndThenDeletedUnlessKept) {
  Start(WithStored({{"+4911", "first"}, {"+4922", "\xD0\x96 second"}, {"+4933", "third"}}));
  Result r = Velasms({"listen", "--json", "--stored", "keep", "--count", "3", "--timeout", "20"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  const char* const from[] = {"+4911", "+4922", "+4933"};
  const char* const text[] = {"first", "\xD0\x96 second", "third"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(StartsWith(lines[i], std::string(R"({"event": "message", "from": ")") + from[i] + R"(", "text": ")" +
                                         text[i] + "\", \"smsc_time\": "))
        << lines[i];
    EXPECT_TRUE(Contains(lines[i],
                         R"(, "parts": 1, "complete": true, "stored": true, "index": )" + std::to_string(i + 1) + "}"))
        << lines[i];
  }
  EXPECT_EQ(sim_->Stored().size(), 3u);  // kept
  EXPECT_EQ(sim_->TotalDeletions(), 0);

  // ignore: nothing read, nothing deleted.
  r = Velasms({"listen", "--json", "--stored", "ignore", "--timeout", "0.5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(sim_->Stored().size(), 3u);

  // deliver (the default): each reported once, deleted once after its event.
  r = Velasms({"listen", "--json", "--count", "3", "--timeout", "20"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 3u) << r.out;
  EXPECT_TRUE(sim_->WaitUntil([&] { return sim_->Stored().empty(); }, 5000));
  for (int index = 1; index <= 3; ++index) EXPECT_EQ(sim_->DeletionCount("SM", index), 1) << index;
  r = Velasms({"listen", "--json", "--timeout", "0.5"});
  EXPECT_EQ(r.out, "");  // none comes twice
}

TEST_F(ToolRealModem, MessagesListsReadsAndDeletesWhatIsStored) {
  Start(WithStored({{"+4911", "first"}, {"+4922", "second\nline"}}));
  sim_->AddStored("+4933", "in the phone", 1, "ME");

  Result r = Velasms({"messages", "--json", "list"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_TRUE(
      StartsWith(lines[0], R"({"index": 1, "status": "unread", "from": "+4911", "text": "first", "smsc_time": ")"))
      << lines[0];
  EXPECT_TRUE(Contains(lines[0], R"(", "storage": "SM"})")) << lines[0];
  EXPECT_TRUE(StartsWith(lines[1], R"({"index": 2, "status": "unread", "from": "+4922", "text": "second\nline", )"))
      << lines[1];

  r = Velasms({"messages", "--json", "--storage", "me", "list"});
  EXPECT_EQ(r.status, 0) << r.err;
  lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_TRUE(StartsWith(lines[0], R"({"index": 1, "status": "read", "from": "+4933", "text": "in the phone", )"))
      << lines[0];
  EXPECT_TRUE(Contains(lines[0], R"(", "storage": "ME"})")) << lines[0];

  r = Velasms({"messages", "--storage", "SM", "read", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(StartsWith(r.out, "Message 2 in SM from +4922 (")) << r.out;
  EXPECT_TRUE(Contains(r.out, "):\n  second\n  line\n")) << r.out;

  r = Velasms({"messages", "--json", "--storage", "SM", "delete", "1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, R"({"deleted": 1})"
                   "\n");
  EXPECT_EQ(sim_->DeletionCount("SM", 1), 1);
  r = Velasms({"messages", "--json", "--storage", "SM", "read", "1"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Contains(r.err, "velasms messages: no message at index 1 in SM")) << r.err;

  r = Velasms({"messages", "--storage", "MT", "delete-all"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(sim_->Stored().empty());
  r = Velasms({"messages", "--json", "--storage", "MT", "list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

// read names the storage it read from as list does: the one given, else the
// modem's current one.
TEST_F(ToolRealModem, ListAndReadNameTheStorage) {
  Start(WithStored({{"+4911", "on the sim"}}));
  sim_->AddStored("+4933", "in the phone", 1, "ME");
  struct Case {
    std::vector<std::string> storage;
    const char* named;
    const char* text;
  };
  const Case cases[] = {
      {{}, "SM", "on the sim"},
      {{"--storage", "SM"}, "SM", "on the sim"},
      {{"--storage", "me"}, "ME", "in the phone"},
      {{"--storage", "MT"}, "MT", "on the sim"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.named);
    for (const char* action : {"list", "read"}) {
      std::vector<std::string> args = {"messages", "--json"};
      args.insert(args.end(), c.storage.begin(), c.storage.end());
      args.push_back(action);
      if (std::string(action) == "read") args.push_back("1");
      const Result r = Velasms(args);
      EXPECT_EQ(r.status, 0) << action << ": " << r.err;
      const std::vector<std::string> lines = Lines(r.out);
      ASSERT_FALSE(lines.empty()) << action;
      EXPECT_TRUE(Contains(lines[0], std::string(R"("text": ")") + c.text + "\"")) << action << ": " << lines[0];
      EXPECT_TRUE(Contains(lines[0], std::string(R"(, "storage": ")") + c.named + R"("})"))
          << action << ": " << lines[0];
    }
  }
}

TEST_F(ToolRealModem, StorageRoutedModemsReportEveryMessageOnceAndDeleteItAfterwards) {
  for (const char* profile : {"no-cnma", "cmti"}) {
    SCOPED_TRACE(profile);
    ModemSimOptions options;
    options.noCnma = std::string(profile) == "no-cnma";
    options.cmtiOnly = !options.noCnma;
    Start(options);
    const int kMessages = 20;
    std::thread injector([&] {
      if (!sim_->WaitUntil([&] { return sim_->Cnmi().rfind("2,1", 0) == 0 || sim_->Cnmi().rfind("2,2", 0) == 0; },
                           15000)) {
        return;
      }
      for (int i = 0; i < kMessages; ++i) sim_->InjectDeliver("+4912345", "message " + std::to_string(i));
      sim_->InjectDeliverLong("+4912345", std::string(300, 'L'));
    });
    Result r = Velasms({"listen", "--json", "--count", std::to_string(kMessages + 1), "--timeout", "60"});
    injector.join();
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), size_t(kMessages + 1)) << r.out;
    for (int i = 0; i < kMessages; ++i) {
      EXPECT_TRUE(Contains(lines[i], "\"text\": \"message " + std::to_string(i) + "\"")) << lines[i];
      EXPECT_TRUE(Contains(lines[i], "\"stored\": true, \"index\": ")) << lines[i];
    }
    EXPECT_TRUE(Contains(lines[kMessages], "\"text\": \"" + std::string(300, 'L') + "\"")) << lines[kMessages];
    EXPECT_TRUE(Contains(lines[kMessages], "\"parts\": 2, \"complete\": true")) << lines[kMessages];
    EXPECT_TRUE(sim_->WaitUntil([&] { return sim_->Stored().empty(); }, 5000)) << sim_->Stored().size() << " left";
    EXPECT_EQ(sim_->TotalDeletions(), kMessages + 2);
    sim_.reset();
  }
}

TEST_F(ToolRealModem, PhonebookNamesInIndicationsLoseNoMessage) {
  ModemSimOptions options;
  options.alpha = true;  // names such as OK, ERROR, READY and "> x" in +CMT headers
  Start(options);
  const int kMessages = 30;
  std::thread injector([&] {
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
    for (int i = 0; i < kMessages; ++i) sim_->InjectDeliver("+4912345", "named " + std::to_string(i));
  });
  Result r = Velasms({"listen", "--json", "--count", std::to_string(kMessages), "--timeout", "60"});
  injector.join();
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), size_t(kMessages)) << r.out;
  for (int i = 0; i < kMessages; ++i)
    EXPECT_TRUE(Contains(lines[i], "\"named " + std::to_string(i) + "\"")) << lines[i];
  EXPECT_EQ(sim_->CnmaCount(), kMessages);
}

TEST_F(ToolRealModem, AMessageLeftUnacknowledgedIsReportedByTheNextListen) {
  ModemSimOptions options;
  options.ackTimeout = true;   // an unacknowledged indication switches routing off; the
  options.ackTimeoutMs = 300;  // network delivers the message again, into storage
  Start(options);
  std::thread injector([&] {
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
    sim_->InjectDeliver("+4912345", "one");
    sim_->InjectDeliver("+4912345", "two");  // after the count: not acknowledged
  });
  Result r = Velasms({"listen", "--json", "--count", "1", "--timeout", "20"});
  injector.join();
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(Lines(r.out).size(), 1u) << r.out;
  ASSERT_TRUE(sim_->WaitUntil([&] { return sim_->RoutingDrops() > 0; }, 10000));
  sim_->InjectDeliver("+4912345", "three");  // routing is off: stored without a word

  r = Velasms({"listen", "--json", "--count", "2", "--timeout", "20"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_TRUE(Contains(r.out, R"("text": "two")")) << r.out;
  EXPECT_TRUE(Contains(r.out, R"("text": "three")")) << r.out;
  for (const std::string& line : lines) EXPECT_TRUE(Contains(line, R"("stored": true)")) << line;
}

TEST_F(ToolRealModem, ARefusedSendNamesTheCmsErrorAndItsMeaning) {
  ModemSimOptions options;
  options.cmsError = 304;
  Start(options);
  Result r = Velasms({"send", "--json", "--to", "+4930123", "hello"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, R"({"reference": "", "error": {"code": 304, "text": "invalid PDU mode parameter"}})"
                   "\n");
  EXPECT_TRUE(Contains(r.err, "304")) << r.err;
  EXPECT_TRUE(Contains(r.err, "invalid PDU mode parameter")) << r.err;
}

TEST_F(ToolRealModem, ListenOutlivesTheDeviceDisappearingAndLosesNothing) {
  ModemSimOptions options;
  options.unplug = true;
  options.linkPath = "/tmp/velasms-unplug-" + std::to_string(getpid());
  Start(options);
  std::thread driver([&] {
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
    sim_->InjectDeliver("+4912345", "before");
    if (!sim_->WaitForCnmaCount(1, 10000)) return;
    sim_->Unplug();
    sim_->AddStored("+4912345", "while away");  // arrived while the stick was out
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    sim_->ClearLogs();
    sim_->Replug();
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 20000)) return;
    sim_->InjectDeliver("+4912345", "after");
  });
  Result r = Velasms({"listen", "--json", "--count", "3", "--timeout", "60"});
  driver.join();
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out << r.err;
  EXPECT_TRUE(Contains(lines[0], R"("text": "before")")) << lines[0];
  // The stored one and the one routed after reopening, in either order.
  const bool storedFirst = Contains(lines[1], R"("text": "while away")");
  const std::string& stored = storedFirst ? lines[1] : lines[2];
  const std::string& after = storedFirst ? lines[2] : lines[1];
  EXPECT_TRUE(Contains(stored, R"("text": "while away")")) << stored;
  EXPECT_TRUE(Contains(stored, R"("stored": true)")) << stored;
  EXPECT_TRUE(Contains(after, R"("text": "after")")) << after;
  EXPECT_TRUE(Contains(r.err, "velasms listen: lost the modem on " + port_ + "; waiting for it to come back\n"))
      << r.err;
  EXPECT_TRUE(Contains(r.err, "velasms listen: the modem is back on " + port_ + "; listening again\n")) << r.err;
}

TEST_F(ToolRealModem, WithoutReconnectingTheLossEndsListenWithStatusTwo) {
  ModemSimOptions options;
  options.unplug = true;
  options.linkPath = "/tmp/velasms-unplug-once-" + std::to_string(getpid());
  Start(options);
  std::thread unplugger([&] {
    // Once a message was acknowledged, listen is past opening.
    if (!sim_->WaitForCommand("AT+CNMI=2,2,2,1,1", 10000)) return;
    sim_->InjectDeliver("+4912345", "first");
    if (!sim_->WaitForCnmaCount(1, 10000)) return;
    sim_->Unplug();
  });
  Result r = Velasms({"listen", "--json", "--no-reconnect", "--timeout", "30"});
  unplugger.join();
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "velasms listen: lost the modem on " + port_ + "\n")) << r.err;
}

TEST_F(ToolRealModem, InfoShowsTheModemsState) {
  Start();
  Result r = Velasms({"info", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, R"({"manufacturer": "VelaSim", "model": "GSM-1", "serial": "356938035643809", "signal_dbm": -73, )"
                   R"("registration": "home", "operator": "VelaNet", "smsc": "+15550000100", )"
                   R"("storage": {"name": "SM", "used": 0, "total": 30}, "imsi": "001010123456789", )"
                   R"("iccid": "8901260123456789012", "pin_attempts": null, "puk_attempts": null})"
                   "\n");

  ModemSimOptions options;
  options.rssi = 99;  // not known
  options.registration = 5;
  options.pinCounter = true;
  sim_->SetOptions(options);
  r = Velasms({"info"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* row : {"\nSignal:       -\n", "\nRegistration: roaming\n", "\nPIN attempts: 3\n"}) {
    EXPECT_TRUE(Contains(r.out, row)) << row << " in:\n" << r.out;
  }
}

TEST_F(ToolRealModem, AWrongPinIsTriedOnceAndNamed) {
  ModemSimOptions options;
  options.pin = "1234";
  options.pinCounter = true;
  Start(options);
  Result r = Velasms({"info", "--pin", "9999"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "Check and Set Pin error.")) << r.err;
  EXPECT_TRUE(Contains(r.err, "16")) << r.err;
  EXPECT_TRUE(Contains(r.err, "incorrect password")) << r.err;
  int entries = 0;
  for (const std::string& command : sim_->Commands()) entries += command.rfind("AT+CPIN=", 0) == 0;
  EXPECT_EQ(entries, 1);
  // The right PIN still works; the attempts are full again.
  r = Velasms({"info", "--json", "--pin", "1234"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, R"("pin_attempts": 3)")) << r.out;
}

TEST(ToolPortErrors, AnUnusablePortIsNamedWithTheReason) {
  std::ostringstream out, err;
  const std::string path = "/nonexistent/velasms-ttyUSB9";
  int status = RunVelasms({"info", "--json", "--port", path}, out, err);
  EXPECT_EQ(status, 2);
  EXPECT_EQ(out.str(), "");
  EXPECT_TRUE(Contains(err.str(), "velasms info: ")) << err.str();
  EXPECT_TRUE(Contains(err.str(), path + ": no such file")) << err.str();
}

}  // namespace
}  // namespace vela::tool

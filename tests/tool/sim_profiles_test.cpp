// Storage, routing and the profiles of the simulated modem at the AT level:
// a client writes command lines over the pty and reads the exact answers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <thread>
#include <memory>

#include "modem_sim.h"
#include "modem_sim_cli.h"
#include "modem_sim_control.h"
#include "sim_pdu.h"
#include "sim_test_client.h"

namespace vela::sim {
namespace {

using testing::PtyClient;

class SimProfiles : public ::testing::Test {
 protected:
  void StartSim(ModemSimOptions o = {}) {
    o.echo = false;
    o.deliverDelayMs = 0;
    o.reportDelayMs = 0;
    sim_ = std::make_unique<ModemSim>(o);
    sim_->Start();
    client_ = std::make_unique<PtyClient>(sim_->DevicePath());
    ASSERT_TRUE(client_->IsOpen());
  }
  std::string Command(const std::string& c) {
    client_->Send(c + "\r");
    return client_->ReadFinal();
  }
  // The next unsolicited line (indication header), without its CR LF.
  std::string NextLine(int timeoutMs = 3000) {
    for (;;) {
      std::string l = client_->ReadUntil("\r\n", timeoutMs);
      if (l.size() < 2 || l.compare(l.size() - 2, 2, "\r\n") != 0) return "(nothing: " + l + ")";
      l.resize(l.size() - 2);
      if (!l.empty()) return l;
    }
  }
  std::unique_ptr<ModemSim> sim_;
  std::unique_ptr<PtyClient> client_;
};

std::string TextOf(const std::string& pduHex) {
  pdu::Deliver d;
  std::string error;
  return pdu::DecodeDeliver(pduHex, &d, &error) ? d.text : "(undecodable: " + error + ")";
}

// The PDU lines of a +CMGL / +CMGR answer, in order.
std::vector<std::string> PduLines(const std::string& answer, const std::string& header,
                                  std::vector<std::string>* headers = nullptr) {
  std::vector<std::string> out;
  size_t pos = 0;
  while ((pos = answer.find(header, pos)) != std::string::npos) {
    size_t eol = answer.find("\r\n", pos);
    size_t end = answer.find("\r\n", eol + 2);
    if (eol == std::string::npos || end == std::string::npos) break;
    if (headers) headers->push_back(answer.substr(pos, eol - pos));
    out.push_back(answer.substr(eol + 2, end - eol - 2));
    pos = end;
  }
  return out;
}

TEST_F(SimProfiles, StorageListsReadsAndDeletesWithStatusChanges) {
  ModemSimOptions o;
  o.storedMessages = {{"+4911", "first"}, {"+4922", "\u0416\u0443\u043A"}, {"+4933", "third"}};
  StartSim(o);
  EXPECT_EQ(Command("AT+CPMS?"), "\r\n+CPMS: \"SM\",3,30,\"SM\",3,30,\"SM\",3,30\r\n\r\nOK\r\n");
  EXPECT_EQ(Command("AT+CPMS=?"),
            "\r\n+CPMS: (\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\")\r\n\r\nOK\r\n");
  std::vector<std::string> headers;
  std::string all = Command("AT+CMGL=4");
  std::vector<std::string> pdus = PduLines(all, "+CMGL: ", &headers);
  ASSERT_EQ(pdus.size(), 3u) << all;
  EXPECT_EQ(all.substr(0, 12), "\r\n+CMGL: 1,0");
  EXPECT_EQ(all.substr(all.size() - 8), "\r\n\r\nOK\r\n");  // entries back to back, then OK
  EXPECT_EQ(headers[0], "+CMGL: 1,0,," + std::to_string(pdu::TpduLength(pdus[0])));
  EXPECT_EQ(TextOf(pdus[1]), "\u0416\u0443\u043A");
  EXPECT_EQ(TextOf(pdus[2]), "third");
  // Listing changed them to read: none unread is left, all three are read.
  EXPECT_EQ(Command("AT+CMGL=0"), "\r\nOK\r\n");
  EXPECT_EQ(Command("AT+CMGL"), "\r\nOK\r\n");
  EXPECT_EQ(PduLines(Command("AT+CMGL=1"), "+CMGL: ").size(), 3u);

  sim_->AddStored("+4944", "fourth");
  std::string r = Command("AT+CMGR=4");
  ASSERT_EQ(PduLines(r, "+CMGR: ", &headers).size(), 1u) << r;
  EXPECT_EQ(r.substr(0, 12), "\r\n+CMGR: 0,,") << r;                // unread when read...
  EXPECT_EQ(Command("AT+CMGR=4").substr(0, 12), "\r\n+CMGR: 1,,");  // ...read afterwards
  struct Step {
    const char* command;
    const char* answer;
  } steps[] = {
      {"AT+CMGR=9", "\r\n+CMS ERROR: 321\r\n"},
      {"AT+CMGR=31", "\r\n+CMS ERROR: 321\r\n"},
      {"AT+CMGR=x", "\r\n+CMS ERROR: 304\r\n"},
      {"AT+CMGL=\"ALL\"", "\r\n+CMS ERROR: 304\r\n"},
      {"AT+CMGL=5", "\r\n+CMS ERROR: 304\r\n"},
      {"AT+CMGD=?", "\r\n+CMGD: (1,2,3,4),(0-4)\r\n\r\nOK\r\n"},
      {"AT+CMGD=2", "\r\nOK\r\n"},
      {"AT+CMGD=2", "\r\nOK\r\n"},  // empty slot: nothing to delete, no error
      {"AT+CMGD=31", "\r\n+CMS ERROR: 321\r\n"},
      {"AT+CMGD=1,5", "\r\n+CMS ERROR: 304\r\n"},
      {"AT+CPMS?", "\r\n+CPMS: \"SM\",3,30,\"SM\",3,30,\"SM\",3,30\r\n\r\nOK\r\n"},
      {"AT+CPMS=\"XX\"", "\r\n+CMS ERROR: 302\r\n"},
      {"AT+CPMS=\"ME\",\"ME\",\"ME\"", "\r\n+CPMS: 0,100,0,100,0,100\r\n\r\nOK\r\n"},
      {"AT+CPMS=\"MT\"", "\r\n+CPMS: 3,130,0,100,0,100\r\n\r\nOK\r\n"},
      {"AT+CPMS=\"SM\",\"SM\",\"SM\"", "\r\n+CPMS: 3,30,3,30,3,30\r\n\r\nOK\r\n"},
  };
  for (const Step& s : steps) EXPECT_EQ(Command(s.command), s.answer) << s.command;
  EXPECT_EQ(sim_->DeletionCount("SM", 2), 1);
  EXPECT_EQ(sim_->DeletionCount("SM", 1), 0);
  sim_->AddStored("+4955", "in the phone", 0, "ME");
  Command("AT+CPMS=\"MT\"");
  std::string mt = Command("AT+CMGL=4");
  EXPECT_NE(mt.find("+CMGL: 31,0,,"), std::string::npos) << mt;  // ME after the 30 SIM slots
  EXPECT_EQ(Command("AT+CMGD=31"), "\r\nOK\r\n");
  EXPECT_EQ(sim_->DeletionCount("ME", 1), 1);
  // Delete flags: 1 read ones (the unread fourth... is read now), 4 all.
  Command("AT+CPMS=\"SM\"");
  sim_->AddStored("+4966", "unread", 0);
  EXPECT_EQ(Command("AT+CMGD=0,1"), "\r\nOK\r\n");
  std::vector<StoredEntry> left = sim_->Stored();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].index, 2);  // the first free slot was reused
  EXPECT_EQ(TextOf(left[0].pdu), "unread");
  EXPECT_EQ(Command("AT+CMGD=1,4"), "\r\nOK\r\n");
  EXPECT_TRUE(sim_->Stored().empty());
  EXPECT_EQ(sim_->TotalDeletions(), 6);
}

TEST_F(SimProfiles, RoutingFollowsCnmiOnceSet) {
  StartSim();
  struct Case {
    const char* cnmi;  // nullptr: never set
    const char* deliver;
    const char* report;
  } cases[] = {
      {nullptr, "+CMT: ,", "+CDS: "},
      {"AT+CNMI=2,1,0,2,0", "+CMTI: \"SM\",", "+CDSI: \"SM\","},
      {"AT+CNMI=2,3,0,2,0", "+CMTI: \"SM\",", "+CDSI: \"SM\","},
      {"AT+CNMI=2,2,0,1,0", "+CMT: ,", "+CDS: "},
      {"AT+CNMI=2,0,0,0,0", "", ""},
  };
  int stored = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cnmi ? c.cnmi : "unset");
    if (c.cnmi) {
      ASSERT_EQ(Command(c.cnmi), "\r\nOK\r\n");
    }
    sim_->InjectDeliver("+4911", "routed");
    sim_->InjectReport(7);
    ASSERT_TRUE(sim_->WaitForIndicationsWritten(3000));
    if (*c.deliver) {
      EXPECT_EQ(NextLine().rfind(c.deliver, 0), 0u);
      if (c.deliver[3] == 'T' && c.deliver[4] == ':') NextLine();  // the PDU line
      EXPECT_EQ(NextLine().rfind(c.report, 0), 0u);
      if (c.report[3] == 'S' && c.report[4] == ':') NextLine();
    } else {
      EXPECT_EQ(client_->ReadFor(150), "");
    }
    if (std::string(c.deliver).find("CMT:") == std::string::npos) stored += 2;
    EXPECT_EQ(sim_->MessagesStored(), stored);
  }
  // Reports in storage read back as status reports.
  std::string r = Command("AT+CMGR=2");
  std::vector<std::string> pdus = PduLines(r, "+CMGR: ");
  ASSERT_EQ(pdus.size(), 1u) << r;
  pdu::StatusReport sr;
  std::string error;
  ASSERT_TRUE(pdu::DecodeStatusReport(pdus[0], &sr, &error)) << error;
  EXPECT_EQ(sr.messageReference, 7);
  EXPECT_EQ(TextOf(PduLines(Command("AT+CMGR=1"), "+CMGR: ")[0]), "routed");
  EXPECT_EQ(Command("AT+CNMI?"), "\r\n+CNMI: 2,0,0,0,0\r\n\r\nOK\r\n");
  EXPECT_EQ(sim_->DeliveriesWritten(), 2);
  EXPECT_EQ(sim_->ReportsWritten(), 2);
  EXPECT_EQ(sim_->StorageIndicationsWritten(), 4);
}

TEST_F(SimProfiles, NoCnmaAndCmtiModemsStoreAndIndicate) {
  struct Case {
    bool noCnma;
    std::vector<std::pair<const char*, const char*>> steps;
    const char* report;  // what a status report becomes under the last +CNMI
  } cases[] = {
      {true,
       {{"AT+CSMS=?", "\r\n+CSMS: (0,1)\r\n\r\nOK\r\n"},
        {"AT+CSMS=1", "\r\n+CMS ERROR: 303\r\n"},
        {"AT+CSMS=0", "\r\n+CSMS: 1,1,1\r\n\r\nOK\r\n"},
        {"AT+CNMI=2,2,2,1,1", "\r\n+CMS ERROR: 303\r\n"},
        {"AT+CNMI=2,3,0,1,0", "\r\n+CMS ERROR: 303\r\n"},
        {"AT+CNMI=?", "\r\n+CNMI: (0-3),(0,1),(0-3),(0-2),(0,1)\r\n\r\nOK\r\n"},
        {"AT+CNMA", "\r\n+CMS ERROR: 303\r\n"},
        {"AT+CNMI=2,1,0,1,0", "\r\nOK\r\n"}},
       "+CDS: "},
      {false,
       {{"AT+CSMS=1", "\r\n+CSMS: 1,1,1\r\n\r\nOK\r\n"}, {"AT+CNMI=2,2,2,1,1", "\r\nOK\r\n"}},
       "+CDSI: \"SM\",3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.noCnma ? "no-cnma" : "cmti");
    ModemSimOptions o;
    o.noCnma = c.noCnma;
    o.cmtiOnly = !c.noCnma;
    StartSim(o);
    // Before any +CNMI these modems store and indicate already.
    sim_->InjectDeliver("+4911", "early");
    EXPECT_EQ(NextLine(), "+CMTI: \"SM\",1");
    for (const auto& [command, answer] : c.steps) EXPECT_EQ(Command(command), answer) << command;
    sim_->InjectDeliver("+4911", "later");
    EXPECT_EQ(NextLine(), "+CMTI: \"SM\",2");
    sim_->InjectReport(9);
    EXPECT_EQ(NextLine().rfind(c.report, 0), 0u);
    EXPECT_EQ(sim_->DeliveriesWritten(), 0);
    EXPECT_EQ(TextOf(PduLines(Command("AT+CMGR=2"), "+CMGR: ")[0]), "later");
    EXPECT_EQ(Command("AT+CMGD=2"), "\r\nOK\r\n");
    EXPECT_EQ(sim_->DeletionCount("SM", 2), 1);
    if (!c.noCnma) {
      EXPECT_EQ(Command("AT+CNMA"), "\r\n+CMS ERROR: 340\r\n");  // nothing to acknowledge
    }
    client_.reset();
    sim_.reset();
  }
}

TEST_F(SimProfiles, MissedAcknowledgementSwitchesRoutingOffUntilCnmi) {
  struct Case {
    bool redeliver;
    int service;
    int drops;
    size_t storedAfterDrop;
  } cases[] = {
      {true, 1, 1, 1}, {false, 1, 1, 0}, {true, 0, 0, 0},  // message service 0: no acknowledgement, no time-out
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.service) + (c.redeliver ? " redeliver" : ""));
    ModemSimOptions o;
    o.ackTimeout = true;
    o.ackTimeoutMs = 1500;  // long enough for a loaded machine to acknowledge in time
    o.ackTimeoutRedeliver = c.redeliver;
    StartSim(o);
    EXPECT_EQ(Command("AT+CSMS=" + std::to_string(c.service)).find("+CSMS: 1,1,1"), 2u);
    EXPECT_EQ(Command("AT+CNMI=2,2,2,1,1"), "\r\nOK\r\n");
    // Acknowledged in time: routing stays.
    sim_->InjectDeliver("+4911", "acked");
    EXPECT_EQ(NextLine(), "+CMT: ,20");
    NextLine();
    EXPECT_EQ(Command("AT+CNMA"), "\r\nOK\r\n");
    // Not acknowledged.
    sim_->InjectDeliver("+4911", "missed");
    EXPECT_EQ(NextLine(), "+CMT: ,21");
    NextLine();
    if (c.drops) {
      ASSERT_TRUE(sim_->WaitUntil([&] { return sim_->RoutingDrops() == 1; }, 3000));
      EXPECT_EQ(sim_->Cnmi(), "2,0,2,0,1");
      EXPECT_EQ(Command("AT+CNMI?"), "\r\n+CNMI: 2,0,2,0,1\r\n\r\nOK\r\n");
      EXPECT_EQ(Command("AT+CNMA"), "\r\n+CMS ERROR: 340\r\n");  // too late
    } else {
      client_->ReadFor(1800);
      EXPECT_EQ(sim_->RoutingDrops(), 0);
    }
    ASSERT_EQ(sim_->Stored().size(), c.storedAfterDrop);
    if (c.storedAfterDrop) {
      EXPECT_EQ(TextOf(sim_->Stored()[0].pdu), "missed");
    }
    sim_->InjectDeliver("+4911", "silent");
    if (c.drops) {
      ASSERT_TRUE(sim_->WaitForIndicationsWritten(3000));
      EXPECT_EQ(client_->ReadFor(100), "");  // stored without indication
      EXPECT_EQ(sim_->Stored().size(), c.storedAfterDrop + 1);
      EXPECT_EQ(Command("AT+CNMI=2,2,2,1,1"), "\r\nOK\r\n");  // routing back
      sim_->InjectDeliver("+4911", "back");
    }
    EXPECT_EQ(NextLine().rfind("+CMT: ,", 0), 0u);
    NextLine();
    if (c.service == 1) {
      EXPECT_EQ(Command("AT+CNMA"), "\r\nOK\r\n");
    }
    client_->ReadFor(300);
    EXPECT_EQ(sim_->RoutingDrops(), c.drops);
    client_.reset();
    sim_.reset();
  }
}

TEST_F(SimProfiles, AlphaHeadersCarryNamesThatLookLikeAnswers) {
  ModemSimOptions o;
  o.alpha = true;
  StartSim(o);
  const char* names[] = {"BROOKE", "OK", "ERROR", "READY", "> x", "004F004B", "BROOKE"};
  for (const char* name : names) {
    sim_->InjectDeliver("+4911", "hi");
    EXPECT_EQ(NextLine(), std::string("+CMT: \"") + name + "\",17");
    EXPECT_EQ(TextOf(NextLine()), "hi");
  }
  ModemSimOptions own = sim_->Options();
  own.alphaNames = {"Ann"};
  sim_->SetOptions(own);
  EXPECT_EQ(Command("AT+CNMI=2,1,0,0,0"), "\r\nOK\r\n");
  sim_->InjectDeliver("+4911", "stored");
  EXPECT_EQ(NextLine(), "+CMTI: \"SM\",1");
  EXPECT_EQ(Command("AT+CMGL=4").substr(0, 21), "\r\n+CMGL: 1,0,\"Ann\",21");
  EXPECT_EQ(Command("AT+CMGR=1").substr(0, 19), "\r\n+CMGR: 1,\"Ann\",21");
}

TEST_F(SimProfiles, PinCounterLocksAfterThreeWrongPinsAndPersists) {
  char path[] = "/tmp/velasim-pin-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  unlink(path);  // no state yet: full counters
  ModemSimOptions o;
  o.pin = "1234";
  o.pinCounter = true;
  o.stateFile = path;
  using Steps = std::vector<std::pair<const char*, const char*>>;
  const Steps runs[] = {
      {{"AT+CPINR", "\r\n+CPINR: SIM PIN,3,3\r\n+CPINR: SIM PUK,10,10\r\n\r\nOK\r\n"},
       {"AT+CPIN=0000", "\r\n+CME ERROR: 16\r\n"},
       {"AT+CPINR=\"SIM PIN\"", "\r\n+CPINR: SIM PIN,2,3\r\n\r\nOK\r\n"}},
      // A new run of the simulator sees the counter where the last one left it.
      {{"AT+CPINR=\"SIM PIN\"", "\r\n+CPINR: SIM PIN,2,3\r\n\r\nOK\r\n"},
       {"AT+CPIN=1111", "\r\n+CME ERROR: 16\r\n"},
       {"AT+CPIN=2222", "\r\n+CME ERROR: 16\r\n"},
       {"AT+CPIN?", "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n"},
       {"AT+CPIN=1234", "\r\n+CME ERROR: 12\r\n"},
       {"AT+CMGF=0", "\r\n+CME ERROR: 12\r\n"},
       {"AT+CIMI", "\r\n+CME ERROR: 12\r\n"}},
      {{"AT+CPIN?", "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n"},
       {"AT+CPIN=\"00000000\",\"4321\"", "\r\n+CME ERROR: 16\r\n"},
       {"AT+CPINR=\"SIM PUK\"", "\r\n+CPINR: SIM PUK,9,10\r\n\r\nOK\r\n"},
       {"AT+CPIN=\"12345678\",\"4321\"", "\r\nOK\r\n"},
       {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
       {"AT+CPINR", "\r\n+CPINR: SIM PIN,3,3\r\n+CPINR: SIM PUK,10,10\r\n\r\nOK\r\n"}},
      // The new PIN persists too.
      {{"AT+CPIN=1234", "\r\n+CME ERROR: 16\r\n"}, {"AT+CPIN=4321", "\r\nOK\r\n"}, {"AT+CMGF=0", "\r\nOK\r\n"}},
  };
  for (const Steps& run : runs) {
    StartSim(o);
    for (const auto& [command, answer] : run) EXPECT_EQ(Command(command), answer) << command;
    client_.reset();
    sim_.reset();
  }
  unlink(path);
  // Without the profile a wrong PIN costs nothing and there is no counter to ask.
  o.pinCounter = false;
  StartSim(o);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Command("AT+CPIN=9"), "\r\n+CME ERROR: 16\r\n");
  EXPECT_EQ(Command("AT+CPIN?"), "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
  EXPECT_EQ(Command("AT+CPINR"), "\r\nERROR\r\n");
}

TEST_F(SimProfiles, CmsErrorAndDiagnostics) {
  ModemSimOptions o;
  o.cmsError = 304;
  o.pin = "1";
  StartSim(o);
  struct Step {
    const char* command;
    const char* answer;
  } steps[] = {
      {"AT+CSQ", "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"},
      {"AT+CREG?", "\r\n+CREG: 0,1\r\n\r\nOK\r\n"},
      {"AT+CEREG?", "\r\n+CEREG: 0,1\r\n\r\nOK\r\n"},
      {"AT+COPS?", "\r\n+COPS: 0,0,\"VelaNet\",0\r\n\r\nOK\r\n"},
      {"AT+CCID", "\r\n+CCID: 8901260123456789012\r\n\r\nOK\r\n"},  // readable before the PIN
      {"AT+ICCID", "\r\n+ICCID: 8901260123456789012\r\n\r\nOK\r\n"},
      {"AT+CIMI", "\r\n+CME ERROR: 11\r\n"},
      {"AT+CPIN=1", "\r\nOK\r\n"},
      {"AT+CIMI", "\r\n001010123456789\r\n\r\nOK\r\n"},
      {"AT+CSCA?", "\r\n+CSCA: \"+15550000100\",145\r\n\r\nOK\r\n"},
      {"AT+CMGS=16", "\r\n> "},
  };
  for (const Step& s : steps) {
    client_->Send(std::string(s.command) + "\r");
    EXPECT_EQ(std::string(s.answer) == "\r\n> " ? client_->ReadUntil("> ") : client_->ReadFinal(), s.answer)
        << s.command;
  }
  client_->Send("0011000B912143658709F10000FF02E834\x1A");
  EXPECT_EQ(client_->ReadFinal(), "\r\n+CMS ERROR: 304\r\n");
  ASSERT_EQ(sim_->Submits().size(), 1u);
  EXPECT_EQ(sim_->Submits()[0].cmsError, 304);
  EXPECT_TRUE(sim_->Submits()[0].error.empty() == false);

  ModemSimOptions roaming = sim_->Options();
  roaming.rssi = 7;
  roaming.registration = 3;
  sim_->SetOptions(roaming);
  EXPECT_EQ(Command("AT+CSQ"), "\r\n+CSQ: 7,99\r\n\r\nOK\r\n");
  EXPECT_EQ(Command("AT+CREG?"), "\r\n+CREG: 0,3\r\n\r\nOK\r\n");
  EXPECT_EQ(Command("AT+COPS?"), "\r\n+COPS: 0\r\n\r\nOK\r\n");
}

TEST_F(SimProfiles, UnplugClosesTheDeviceAndReplugBringsAFreshModem) {
  char dir[] = "/tmp/velasim-unplug-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string link = std::string(dir) + "/modem";
  ModemSimOptions o;
  o.unplug = true;
  o.linkPath = link;
  o.storedMessages = {{"+4911", "kept on the SIM"}};
  StartSim(o);
  ASSERT_EQ(Command("AT+CSMS=1").find("+CSMS: 1,1,1"), 2u);
  ASSERT_EQ(Command("AT+CNMI=2,2,2,1,1"), "\r\nOK\r\n");
  sim_->InjectDeliver("+4922", "unacknowledged");
  EXPECT_EQ(NextLine().rfind("+CMT: ,", 0), 0u);
  NextLine();
  std::string oldDevice = sim_->DevicePath();
  sim_->Unplug();
  EXPECT_FALSE(sim_->Plugged());
  // The client sees the device go: hang-up, and reads end in EIO.
  pollfd p{client_->Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_TRUE(p.revents & (POLLHUP | POLLERR)) << p.revents;
  char byte;
  EXPECT_LE(read(client_->Fd(), &byte, 1), 0);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  sim_->InjectDeliver("+4933", "while away");
  std::string error;
  ApplyControlLine(*sim_, "replug", &error);
  EXPECT_EQ(error, "");
  EXPECT_TRUE(sim_->Plugged());
  EXPECT_NE(sim_->DevicePath(), oldDevice);
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), sim_->DevicePath());
  client_ = std::make_unique<PtyClient>(link);
  ASSERT_TRUE(client_->IsOpen());
  // A freshly started modem: service 0, routing and +CMMS as at power-on.
  EXPECT_EQ(Command("AT+CSMS?"), "\r\n+CSMS: 0,1,1,1\r\n\r\nOK\r\n");
  EXPECT_EQ(Command("AT+CNMI?"), "\r\n+CNMI: 0,0,0,0,0\r\n\r\nOK\r\n");
  ASSERT_TRUE(sim_->WaitForIndicationsWritten(3000));
  std::vector<std::string> texts;
  for (const std::string& pdu : PduLines(Command("AT+CMGL=4"), "+CMGL: ")) texts.push_back(TextOf(pdu));
  EXPECT_EQ(texts, (std::vector<std::string>{"kept on the SIM", "unacknowledged", "while away"}));
  EXPECT_EQ(client_->ReadFor(100), "");
  client_.reset();
  sim_.reset();
  rmdir(dir);

  // Without the profile there is nothing to unplug.
  StartSim();
  EXPECT_THROW(sim_->Unplug(), std::logic_error);
  ApplyControlLine(*sim_, "unplug", &error);
  EXPECT_NE(error.find("need the unplug profile"), std::string::npos) << error;
  ApplyControlLine(*sim_, "store +4911 from the line", &error);
  EXPECT_EQ(error, "");
  ASSERT_EQ(sim_->Stored().size(), 1u);
  EXPECT_EQ(TextOf(sim_->Stored()[0].pdu), "from the line");
  ApplyControlLine(*sim_, "store", &error);
  EXPECT_NE(error.find("missing originator"), std::string::npos);
}

TEST(SimProfileOptions, CommandLineProfilesReachTheModem) {
  char dir[] = "/tmp/velasim-opts-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string link = std::string(dir) + "/modem", fifo = std::string(dir) + "/control",
              state = std::string(dir) + "/state";
  std::vector<std::string> args = {"modem-sim",
                                   "--link",
                                   link,
                                   "--control",
                                   fifo,
                                   "--no-echo",
                                   "--pin",
                                   "11",
                                   "--profile",
                                   "pin-counter",
                                   "--state",
                                   state,
                                   "--profile",
                                   "cms-error",
                                   "331",
                                   "--alpha",
                                   "Mum",
                                   "--profile",
                                   "cmti",
                                   "--stored-message",
                                   "+4911:left: on\\n it",
                                   "--stored-count",
                                   "2",
                                   "--sim-capacity",
                                   "5",
                                   "--signal",
                                   "3"};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  auto run = std::async(std::launch::async, [&] { return ModemSimMain(static_cast<int>(argv.size()), argv.data()); });
  struct stat st {};
  for (int i = 0; i < 300 && (lstat(link.c_str(), &st) != 0 || stat(fifo.c_str(), &st) != 0); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    PtyClient client(link);
    ASSERT_TRUE(client.IsOpen());
    auto command = [&](const std::string& c) {
      client.Send(c + "\r");
      return client.ReadFinal();
    };
    EXPECT_EQ(command("AT+CPIN=12"), "\r\n+CME ERROR: 16\r\n");
    EXPECT_EQ(command("AT+CPINR=\"SIM PIN\""), "\r\n+CPINR: SIM PIN,2,3\r\n\r\nOK\r\n");
    EXPECT_EQ(command("AT+CPIN=11"), "\r\nOK\r\n");
    EXPECT_EQ(command("AT+CSQ"), "\r\n+CSQ: 3,99\r\n\r\nOK\r\n");
    EXPECT_EQ(command("AT+CPMS?"), "\r\n+CPMS: \"SM\",3,5,\"SM\",3,5,\"SM\",3,5\r\n\r\nOK\r\n");
    std::vector<std::string> texts;
    for (const std::string& pdu : PduLines(command("AT+CMGL=4"), "+CMGL: ")) texts.push_back(TextOf(pdu));
    EXPECT_EQ(texts, (std::vector<std::string>{"left: on\n it", "stored message 1", "stored message 2"}));
    EXPECT_EQ(command("AT+CMGS=16"), "\r\n> ");
    client.Send(std::string("0011000B912143658709F10000FF02E834") + '\x1A');
    EXPECT_EQ(client.ReadFinal(), "\r\n+CMS ERROR: 331\r\n");
    EXPECT_EQ(command("AT+CNMI=2,2,2,1,1"), "\r\nOK\r\n");
    int w = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(w, 0);
    const std::string line = "deliver +4922 routed to storage\n";
    ASSERT_EQ(write(w, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    EXPECT_EQ(client.ReadUntil("\r\n+CMTI: \"SM\",4\r\n"), "\r\n+CMTI: \"SM\",4\r\n");
    EXPECT_NE(command("AT+CMGR=4").find("+CMGR: 0,\"Mum\","), std::string::npos);
    ASSERT_EQ(write(w, "quit\n", 5), 5);
    close(w);
  }
  ASSERT_EQ(run.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(run.get(), 0);
  std::ifstream in(state);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(content.find("pin_left 3"), std::string::npos) << content;
  unlink(state.c_str());
  rmdir(dir);
}

TEST(SimProfileOptions, BadProfilesAndTheirOptionsAreRefused) {
  const std::vector<std::vector<std::string>> bad = {
      {"--profile", "bogus"},        {"--profile", "cms-error"},   {"--profile", "cms-error=0"},
      {"--profile", "alpha=3"},      {"--profile", "pin-counter"}, {"--stored-message", "no colon"},
      {"--stored-message", ":text"}, {"--cms-error", "x"},         {"--signal", "100"},
      {"--registration", "6"},       {"--ack-timeout-ms", "-1"},   {"--stored-count", "many"},
  };
  for (const std::vector<std::string>& extra : bad) {
    std::vector<std::string> args = {"modem-sim"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    ::testing::internal::CaptureStderr();
    int code = ModemSimMain(static_cast<int>(argv.size()), argv.data());
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 2) << extra[0] << " " << extra[1];
    EXPECT_NE(err.find("modem-sim: "), std::string::npos);
  }
  std::string usage = ModemSimUsage();
  for (const char* name : {"alpha", "no-cnma", "cmti", "ack-timeout", "stored", "unplug", "pin-counter", "cms-error N",
                           "deliver-long", "--ack-timeout-ms", "--stored-message", "--state FILE"})
    EXPECT_NE(usage.find(name), std::string::npos) << name;
}

}  // namespace
}  // namespace vela::sim

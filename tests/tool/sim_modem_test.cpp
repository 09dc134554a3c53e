// The simulated modem driven through its pty with plain POSIX I/O.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include "modem_sim.h"
#include "sim_pdu.h"
#include "sim_test_client.h"

namespace vela::sim {
namespace {

using testing::PtyClient;

constexpr char kCtrlZ = '\x1A';
// SMS-SUBMIT of "hi" to +12345678901, relative validity, 16 octets after the service-centre octet.
const std::string kHiPdu = "0011000B912143658709F10000FF02E834";

std::string SubmitPdu(const std::string& destination, const std::string& text, bool statusReport) {
  pdu::Bytes septets;
  pdu::TextToGsm(pdu::Utf8ToCodePoints(text), &septets);
  char udl[3];
  std::snprintf(udl, sizeof udl, "%02X", static_cast<unsigned>(septets.size()));
  return std::string("00") + (statusReport ? "31" : "11") + "00" + pdu::ToHex(pdu::EncodeAddress(destination)) +
         "0000FF" + udl + pdu::ToHex(pdu::PackSeptets(septets));
}

class SimTest : public ::testing::Test {
 protected:
  void StartSim(ModemSimOptions options = {}) {
    sim_ = std::make_unique<ModemSim>(options);
    sim_->Start();
    client_ = std::make_unique<PtyClient>(sim_->DevicePath());
    ASSERT_TRUE(client_->IsOpen());
  }

  // Sends one message with echo off; returns the final answer line block.
  std::string SendSms(const std::string& pduHex) {
    client_->Send("AT+CMGS=" + std::to_string(pdu::TpduLength(pduHex)) + "\r");
    std::string prompt = client_->ReadUntil("> ");
    EXPECT_NE(prompt.find("> "), std::string::npos) << prompt;
    client_->Send(pduHex + kCtrlZ);
    return client_->ReadFinal();
  }

  // Reads one "+CMT: ,<len>" or "+CDS: <len>" indication; returns its PDU line.
  std::string ReadIndication(const std::string& header, int* length) {
    std::string before = client_->ReadUntil(header, 5000);
    EXPECT_NE(before.find(header), std::string::npos) << "no " << header << " in: " << before;
    std::string lenLine = client_->ReadUntil("\r\n");
    *length = std::atoi(lenLine.c_str());
    std::string pduLine = client_->ReadUntil("\r\n");
    return pduLine.substr(0, pduLine.size() - 2);
  }

  std::unique_ptr<ModemSim> sim_;
  std::unique_ptr<PtyClient> client_;
};

TEST_F(SimTest, EchoAndExactFramingOfAnswers) {
  StartSim();
  struct Step {
    const char* send;
    const char* expect;
  } steps[] = {
      {"AT\r", "AT\r\r\nOK\r\n"},
      {"AT+CGMI\r", "AT+CGMI\r\r\nVelaSim\r\n\r\nOK\r\n"},
      {"ATE0\r", "ATE0\r\r\nOK\r\n"},  // echoed: the echo was still on while typed
      {"AT\r", "\r\nOK\r\n"},
      {"AT+CGMM\r", "\r\nGSM-1\r\n\r\nOK\r\n"},
      {"ATE1\r", "\r\nOK\r\n"},
      {"AT+CGSN\r", "AT+CGSN\r\r\n356938035643809\r\n\r\nOK\r\n"},
      {"ATE0\r", "ATE0\r\r\nOK\r\n"},
      {"ATZ\r", "\r\nOK\r\n"},  // reset: echo back on afterwards
      {"at+cgmi\r", "at+cgmi\r\r\nVelaSim\r\n\r\nOK\r\n"},
      {"AT+NOSUCH\r", "AT+NOSUCH\r\r\nERROR\r\n"},
      {"hello\r", "hello\r"},  // no AT prefix: no command, no answer
      {"xx\x01"
       "AT\r",
       "xx\x01"
       "AT\r\r\nOK\r\n"},  // bytes before the prefix are ignored
      {"ATE2\r", "ATE2\r\r\nERROR\r\n"},
      {"ATX\bE1\r", "ATX\bE1\r\r\nOK\r\n"},  // backspace edits the line
      {"AT&C1&D2\r", "AT&C1&D2\r\r\nOK\r\n"},
      {"ATI\r", "ATI\r\r\nVelaSim GSM-1\r\n\r\nOK\r\n"},
  };
  for (const Step& s : steps) {
    client_->Send(s.send);
    EXPECT_EQ(client_->ReadUntil(s.expect), s.expect) << "after sending " << s.send;
  }
  EXPECT_EQ(client_->ReadFor(100), "");
  std::vector<std::string> commands = sim_->Commands();
  ASSERT_EQ(commands.size(), std::size(steps));
  EXPECT_EQ(commands[9], "at+cgmi");
  EXPECT_EQ(commands[14], "ATE1");
}

TEST_F(SimTest, EmptyCommandLinesProduceNothing) {
  StartSim();
  client_->Send("\r");
  EXPECT_EQ(client_->ReadFor(150), "\r");  // only the echo
  client_->Send("AT\r\r");
  EXPECT_EQ(client_->ReadFor(150), "AT\r\r\nOK\r\n\r");
  client_->Send("ATE0\r");
  client_->ReadUntil("OK\r\n");
  client_->Send("\r\r \r\n\r");
  EXPECT_EQ(client_->ReadFor(150), "");
  EXPECT_EQ(sim_->Commands(), (std::vector<std::string>{"AT", "ATE0"}));
}

TEST_F(SimTest, ModemWithoutEchoIgnoresAte1) {
  ModemSimOptions o;
  o.echo = false;
  StartSim(o);
  client_->Send("ATE1\r");
  EXPECT_EQ(client_->ReadUntil("OK\r\n"), "\r\nOK\r\n");
  client_->Send("AT+CGMI\r");
  EXPECT_EQ(client_->ReadUntil("OK\r\n"), "\r\nVelaSim\r\n\r\nOK\r\n");
}

TEST_F(SimTest, TheProductsInitialisationScriptSucceeds) {
  StartSim();
  const std::vector<std::string> script = {
      "ATZ",      "ATE1",      "AT",        "AT+CGMI",   "AT+CGMM",          "AT+CGSN",
      "AT+CPIN?", "AT+CMGF=0", "AT+CSMS=?", "AT+CSMS=1", "AT+CNMI=2,2,2,1,1"};
  for (const std::string& c : script) {
    std::string answer = client_->Command(c);
    EXPECT_NE(answer.find("\r\nOK\r\n"), std::string::npos) << c << ": " << answer;
    EXPECT_EQ(answer.find("ERROR"), std::string::npos) << c << ": " << answer;
  }
  EXPECT_EQ(sim_->Commands(), script);
  EXPECT_NE(client_->Command("AT+CSMS=?").find("\r\n+CSMS: (0,1)\r\n"), std::string::npos);
}

TEST_F(SimTest, PinFlow) {
  ModemSimOptions o;
  o.pin = "1234";
  o.echo = false;
  StartSim(o);
  struct Step {
    const char* command;
    const char* answer;
  } steps[] = {
      {"AT+CPIN?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"},
      {"AT+CMGF=0", "\r\n+CME ERROR: 11\r\n"},
      {"AT+CSMS=?", "\r\n+CME ERROR: 11\r\n"},
      {"AT+CNMI=2,2,2,1,1", "\r\n+CME ERROR: 11\r\n"},
      {"AT+CMGS=16", "\r\n+CME ERROR: 11\r\n"},
      {"AT+CPIN=0000", "\r\n+CME ERROR: 16\r\n"},
      {"AT+CPIN?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"},
      {"AT+CPIN=\"1234\"", "\r\nOK\r\n"},
      {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
      {"AT+CPIN=1234", "\r\n+CME ERROR: 3\r\n"},
      {"AT+CMGF=0", "\r\nOK\r\n"},
  };
  for (const Step& s : steps) {
    client_->Send(std::string(s.command) + "\r");
    EXPECT_EQ(client_->ReadFinal(), s.answer) << s.command;
  }
}

TEST_F(SimTest, CmgfRefusedAFewTimesAfterThePin) {
  ModemSimOptions o;
  o.pin = "1";
  o.failCmgfTimes = 2;
  o.echo = false;
  StartSim(o);
  client_->Send("AT+CPIN=1\r");
  EXPECT_EQ(client_->ReadUntil("OK\r\n"), "\r\nOK\r\n");
  for (const char* expected : {"\r\n+CME ERROR: 14\r\n", "\r\n+CME ERROR: 14\r\n", "\r\nOK\r\n", "\r\nOK\r\n"}) {
    client_->Send("AT+CMGF=0\r");
    EXPECT_EQ(client_->ReadUntil(std::string(expected).substr(2)), expected);
  }
}

TEST_F(SimTest, CsmsListFollowsTheConfiguredServices) {
  struct Case {
    const char* services;
    const char* list;
    const char* select1;
  } cases[] = {
      {"0,1", "\r\n+CSMS: (0,1)\r\n\r\nOK\r\n", "\r\n+CSMS: 1,1,1\r\n\r\nOK\r\n"},
      {"0", "\r\n+CSMS: (0)\r\n\r\nOK\r\n", "\r\n+CMS ERROR: 303\r\n"},
  };
  for (const Case& c : cases) {
    ModemSimOptions o;
    o.smsServices = c.services;
    o.echo = false;
    StartSim(o);
    client_->Send("AT+CSMS=?\r");
    EXPECT_EQ(client_->ReadUntil("OK\r\n"), c.list);
    client_->Send("AT+CSMS=1\r");
    EXPECT_EQ(client_->ReadFor(150), c.select1);
    client_.reset();
    sim_.reset();
  }
}

TEST_F(SimTest, CmgsPromptPduEchoAndReference) {
  StartSim();
  client_->Send("AT+CMGS=16\r\r");
  EXPECT_EQ(client_->ReadUntil("> "), "AT+CMGS=16\r\r\n> ");
  client_->Send(kHiPdu + kCtrlZ + "\r");
  EXPECT_EQ(client_->ReadUntil("OK\r\n"), "\r" + kHiPdu + kCtrlZ + "\r\n+CMGS: 1\r\n\r\nOK\r\n");
  EXPECT_EQ(client_->ReadFor(100), "\r");  // the extra CR: echoed, no answer
  std::vector<SubmitRecord> submits = sim_->Submits();
  ASSERT_EQ(submits.size(), 1u);
  EXPECT_TRUE(submits[0].accepted);
  EXPECT_EQ(submits[0].pdu, kHiPdu);
  EXPECT_EQ(submits[0].destination, "+12345678901");
  EXPECT_EQ(submits[0].text, "hi");
  EXPECT_EQ(submits[0].reference, 1);
  EXPECT_EQ(sim_->Commands(), std::vector<std::string>{"AT+CMGS=16"});
}

TEST_F(SimTest, ReferencesCountUpAndWrapAfter255ToZero) {
  ModemSimOptions o;
  o.echo = false;
  StartSim(o);
  for (int i = 1; i <= 257; ++i) {
    int expected = i % 256;
    ASSERT_EQ(SendSms(kHiPdu), "\r\n+CMGS: " + std::to_string(expected) + "\r\n\r\nOK\r\n") << i;
  }
}

TEST_F(SimTest, RejectedSendsAnswerCmsErrors) {
  ModemSimOptions o;
  o.echo = false;
  StartSim(o);
  struct Case {
    std::string announce;
    std::string pdu;
    std::string answer;
    std::string errorPart;
  } cases[] = {
      {"15", kHiPdu, "\r\n+CMS ERROR: 304\r\n", "length mismatch: announced 15, sent 16"},
      {"17", kHiPdu, "\r\n+CMS ERROR: 304\r\n", "length mismatch"},
      {"16", "0011000B912143658709F10000FF03E834", "\r\n+CMS ERROR: 304\r\n", "user data length"},
      {"16", "0011000B912143658709F10000FF02E8ZZ", "\r\n+CMS ERROR: 304\r\n", "hexadecimal"},
  };
  for (const Case& c : cases) {
    client_->Send("AT+CMGS=" + c.announce + "\r");
    client_->ReadUntil("> ");
    client_->Send(c.pdu + kCtrlZ);
    EXPECT_EQ(client_->ReadFinal(), c.answer);
  }
  std::vector<SubmitRecord> submits = sim_->Submits();
  ASSERT_EQ(submits.size(), std::size(cases));
  for (size_t i = 0; i < submits.size(); ++i) {
    EXPECT_FALSE(submits[i].accepted);
    EXPECT_EQ(submits[i].cmsError, 304);
    EXPECT_NE(submits[i].error.find(cases[i].errorPart), std::string::npos) << submits[i].error;
  }
  // Announcements out of range are refused before any prompt.
  for (const char* bad : {"AT+CMGS=0\r", "AT+CMGS=abc\r", "AT+CMGS=176\r"}) {
    client_->Send(bad);
    EXPECT_EQ(client_->ReadUntil("304\r\n"), "\r\n+CMS ERROR: 304\r\n") << bad;
  }
  // Refusals consume no reference.
  EXPECT_EQ(SendSms(kHiPdu), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
  ModemSimOptions refusing = sim_->Options();
  refusing.refuseSend = true;
  sim_->SetOptions(refusing);
  EXPECT_EQ(SendSms(kHiPdu), "\r\n+CMS ERROR: 500\r\n");
}

TEST_F(SimTest, EscapeCancelsTheMessage) {
  ModemSimOptions o;
  o.echo = false;
  StartSim(o);
  client_->Send("AT+CMGS=16\r");
  client_->ReadUntil("> ");
  client_->Send("0011000B\x1B");
  EXPECT_EQ(client_->ReadUntil("OK\r\n"), "\r\nOK\r\n");
  client_->Send("AT\r");
  EXPECT_EQ(client_->ReadUntil("OK\r\n"), "\r\nOK\r\n");
  EXPECT_TRUE(sim_->Submits().empty());
  EXPECT_EQ(SendSms(kHiPdu), "\r\n+CMGS: 1\r\n\r\nOK\r\n");
}

TEST_F(SimTest, MessageToOwnNumberComesBackWithItsStatusReport) {
  ModemSimOptions o;
  o.echo = false;
  o.deliverDelayMs = 0;
  o.reportDelayMs = 150;
  StartSim(o);
  pdu::Timestamp before = pdu::LocalNow();
  ASSERT_EQ(SendSms(SubmitPdu("+15550000000", "hi", true)), "\r\n+CMGS: 1\r\n\r\nOK\r\n");

  int length = 0;
  std::string cmt = ReadIndication("+CMT: ,", &length);
  pdu::Timestamp after = pdu::LocalNow();
  EXPECT_EQ(length, pdu::TpduLength(cmt));
  // Hand-built: service centre +15550000100, first octet 24 (TP-MMS, TP-SRI), originator
  // +15550000000, PID 00, DCS 00, time stamp, UDL 02, "hi".
  ASSERT_EQ(cmt.size(), 16u + 2 + 16 + 4 + 14 + 2 + 4) << cmt;
  EXPECT_EQ(cmt.substr(0, 38), "07915155000001F0240B915155000000F00000");
  EXPECT_EQ(cmt.substr(52), "02E834");
  pdu::Deliver d;
  std::string error;
  ASSERT_TRUE(pdu::DecodeDeliver(cmt, &d, &error)) << error;
  EXPECT_EQ(d.originator.number, "+15550000000");
  EXPECT_EQ(d.text, "hi");
  EXPECT_EQ(d.firstOctet, 0x24);
  EXPECT_EQ(d.serviceCentreTime.zoneQuarters, before.zoneQuarters);
  EXPECT_TRUE(d.serviceCentreTime.day == before.day || d.serviceCentreTime.day == after.day);
  EXPECT_TRUE(d.serviceCentreTime.hour == before.hour || d.serviceCentreTime.hour == after.hour);

  client_->Send("AT+CNMA\r");
  EXPECT_EQ(client_->ReadUntil("OK\r\n"), "\r\nOK\r\n");

  std::string cds = ReadIndication("+CDS: ", &length);
  EXPECT_EQ(length, pdu::TpduLength(cds));
  EXPECT_EQ(cds.substr(16, 4), "0601");  // SMS-STATUS-REPORT for reference 1
  pdu::StatusReport r;
  ASSERT_TRUE(pdu::DecodeStatusReport(cds, &r, &error)) << error;
  EXPECT_EQ(r.messageReference, 1);
  EXPECT_EQ(r.recipient.number, "+15550000000");
  EXPECT_EQ(r.status, 0);

  client_->Send("AT+CNMA\r");
  EXPECT_EQ(client_->ReadUntil("OK\r\n"), "\r\nOK\r\n");
  client_->Send("AT+CNMA\r");  // nothing left to acknowledge
  EXPECT_EQ(client_->ReadUntil("340\r\n"), "\r\n+CMS ERROR: 340\r\n");
  EXPECT_EQ(sim_->CnmaCount(), 3);
  EXPECT_EQ(sim_->UnexpectedCnmaCount(), 1);
}

TEST_F(SimTest, StatusReportCarriesTheReferenceInHexAndTheConfiguredStatus) {
  ModemSimOptions o;
  o.echo = false;
  o.reportDelayMs = 0;
  o.reportStatus = 0x46;
  StartSim(o);
  for (int i = 1; i <= 25; ++i) ASSERT_EQ(SendSms(kHiPdu), "\r\n+CMGS: " + std::to_string(i) + "\r\n\r\nOK\r\n");
  EXPECT_EQ(client_->ReadFor(200), "");  // no report requested, none sent
  ASSERT_EQ(SendSms(SubmitPdu("+12345678901", "x", true)), "\r\n+CMGS: 26\r\n\r\nOK\r\n");
  int length = 0;
  std::string cds = ReadIndication("+CDS: ", &length);
  EXPECT_EQ(cds.substr(16, 4), "061A");
  EXPECT_EQ(cds.substr(20, 16), "0B912143658709F1");  // recipient = destination of the message
  EXPECT_EQ(cds.substr(cds.size() - 2), "46");
  EXPECT_EQ(length, (static_cast<int>(cds.size()) - 16) / 2);

  sim_->InjectReport(26, 0x00);
  cds = ReadIndication("+CDS: ", &length);
  EXPECT_EQ(cds.substr(16, 4), "061A");
  EXPECT_EQ(cds.substr(cds.size() - 2), "00");
}

TEST_F(SimTest, InjectedIndicationsAreFramedExactly) {
  ModemSimOptions o;
  o.echo = false;
  StartSim(o);
  const std::string deliver = "07912143658709F1040B919178563412F000003210802143650002E834";
  sim_->InjectCmtPdu(deliver);
  EXPECT_EQ(client_->ReadUntil(deliver + "\r\n"), "\r\n+CMT: ,21\r\n" + deliver + "\r\n");
  sim_->InjectRing();
  EXPECT_EQ(client_->ReadUntil("RING\r\n"), "\r\nRING\r\n");
  sim_->InjectRawLine("+CUSD: 0");
  EXPECT_EQ(client_->ReadUntil("+CUSD: 0\r\n"), "\r\n+CUSD: 0\r\n");
  sim_->InjectDeliver("+4915", "Gr\u00FC\u00DFe [1]");
  int length = 0;
  std::string cmt = ReadIndication("+CMT: ,", &length);
  pdu::Deliver d;
  std::string error;
  ASSERT_TRUE(pdu::DecodeDeliver(cmt, &d, &error)) << error;
  EXPECT_EQ(d.text, "Gr\u00FC\u00DFe [1]");
  EXPECT_EQ(d.dcs, 0);
  EXPECT_EQ(d.originator.number, "+4915");
  EXPECT_THROW(sim_->InjectDeliver("+1", std::string(161, 'a')), std::invalid_argument);
  EXPECT_TRUE(sim_->WaitForIndicationsWritten(1000));
}

TEST_F(SimTest, IndicationsWaitWhileAPduOrACommandIsTyped) {
  StartSim();
  client_->Send("AT+CMGS=16\r\r");
  client_->ReadUntil("> ");
  client_->Send(kHiPdu.substr(0, 10));
  sim_->InjectRing();
  sim_->InjectDeliver("+1999", "x");
  EXPECT_EQ(client_->ReadFor(200), "\r" + kHiPdu.substr(0, 10));  // echo only
  EXPECT_EQ(sim_->PendingIndications(), 2);
  client_->Send(kHiPdu.substr(10) + kCtrlZ + "\r");
  std::string rest = client_->ReadUntil("+CMT: ,");
  // The trailing CR is echoed before the queued indications go out.
  EXPECT_EQ(rest, kHiPdu.substr(10) + kCtrlZ + "\r\n+CMGS: 1\r\n\r\nOK\r\n\r\r\nRING\r\n\r\n+CMT: ,");
  client_->ReadUntil("\r\n");
  client_->ReadUntil("\r\n");
  EXPECT_EQ(client_->ReadFor(100), "");

  // A half-typed command line holds them back too...
  client_->Send("AT+CG");
  sim_->InjectRing();
  EXPECT_EQ(client_->ReadFor(200), "AT+CG");
  client_->Send("MI\r");
  EXPECT_EQ(client_->ReadUntil("RING\r\n"), "MI\r\r\nVelaSim\r\n\r\nOK\r\n\r\nRING\r\n");
  // ...but not once its typing stopped a second ago: the client went away.
  client_->Send("AT+CG");
  sim_->InjectRing();
  EXPECT_EQ(client_->ReadFor(500), "AT+CG");
  EXPECT_EQ(client_->ReadUntil("RING\r\n", 3000), "\r\nRING\r\n");
}

TEST_F(SimTest, SilentModemAnswersNothing) {
  ModemSimOptions o;
  o.silent = true;
  StartSim(o);
  client_->Send("ATZ\r\rAT+CGMI\r");
  sim_->InjectRing();
  EXPECT_EQ(client_->ReadFor(250), "");
  EXPECT_EQ(sim_->Commands(), (std::vector<std::string>{"ATZ", "AT+CGMI"}));
  EXPECT_EQ(sim_->WireLog(), "ATZ\r\rAT+CGMI\r");
}

TEST_F(SimTest, ClientMayCloseAndReopenThePort) {
  ModemSimOptions o;
  o.echo = false;
  StartSim(o);
  for (int round = 0; round < 3; ++round) {
    client_->Send("AT\r");
    EXPECT_EQ(client_->ReadUntil("OK\r\n"), "\r\nOK\r\n") << round;
    client_->Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(sim_->Running());
    client_->Open(sim_->DevicePath());
    ASSERT_TRUE(client_->IsOpen());
  }
  EXPECT_EQ(sim_->Commands().size(), 3u);
}

TEST_F(SimTest, LineStaysRawWhateverTheClientSets) {
  StartSim();
  termios t{};
  ASSERT_EQ(tcgetattr(client_->Fd(), &t), 0);
  t.c_iflag |= ICRNL | IXON;
  t.c_lflag |= ECHO | ICANON;
  ASSERT_EQ(tcsetattr(client_->Fd(), TCSANOW, &t), 0);
  client_->Send("AT\r");
  EXPECT_EQ(client_->ReadUntil("OK\r\n"), "AT\r\r\nOK\r\n");
  EXPECT_EQ(sim_->Commands(), std::vector<std::string>{"AT"});  // our answer was not echoed back
}

TEST(SimTrace, WritesEveryReadAndWriteEscaped) {
  char path[] = "/tmp/velasim-trace-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    ModemSimOptions o;
    o.traceFile = path;
    o.echo = false;
    ModemSim sim(o);
    sim.Start();
    PtyClient client(sim.DevicePath());
    client.Send("AT\r");
    EXPECT_EQ(client.ReadUntil("OK\r\n"), "\r\nOK\r\n");
  }
  std::ifstream in(path);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find(" << AT\\r\n"), std::string::npos) << all;
  EXPECT_NE(all.find(" >> \\r\\nOK\\r\\n\n"), std::string::npos) << all;
  unlink(path);
}

TEST(SimLink, LinksTheSlaveReplacesOldLinksAndRemovesItsOwn) {
  char dir[] = "/tmp/velasim-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string link = std::string(dir) + "/com1";
  ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
  {
    ModemSimOptions o;
    o.linkPath = link;
    ModemSim sim(o);
    sim.Start();
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim.DevicePath());
    PtyClient client(link);
    client.Send("AT\r");
    EXPECT_EQ(client.ReadUntil("OK\r\n"), "AT\r\r\nOK\r\n");
    sim.Stop();
    struct stat st {};
    EXPECT_NE(lstat(link.c_str(), &st), 0);
  }
  {
    std::ofstream(link) << "a regular file";
    ModemSimOptions o;
    o.linkPath = link;
    ModemSim sim(o);
    EXPECT_THROW(sim.Start(), std::runtime_error);
    std::ifstream in(link);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "a regular file");
  }
  unlink(link.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace vela::sim

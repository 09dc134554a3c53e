// Control lines and the modem-sim command line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "modem_sim.h"
#include "modem_sim_cli.h"
#include "modem_sim_control.h"
#include "sim_pdu.h"
#include "sim_test_client.h"

namespace vela::sim {
namespace {

using testing::PtyClient;

TEST(SimControl, LinesBecomeIndicationsOrErrors) {
  ModemSimOptions o;
  o.echo = false;
  o.reportStatus = 0x41;
  ModemSim sim(o);
  sim.Start();
  PtyClient client(sim.DevicePath());
  struct Case {
    const char* line;
    const char* written;
    const char* errorPart;
  } cases[] = {
      {"ring", "\r\nRING\r\n", ""},
      {"raw +CREG: 1", "\r\n+CREG: 1\r\n", ""},
      {"raw   two  blanks", "\r\n  two  blanks\r\n", ""},
      {"cmt 07912143658709F1040B919178563412F000003210802143650002E834",
       "\r\n+CMT: ,21\r\n07912143658709F1040B919178563412F000003210802143650002E834\r\n", ""},
      {"", "", ""},
      {"# a comment", "", ""},
      {"report 256", "", "reference must be 0..255"},
      {"report x", "", "reference must be 0..255"},
      {"report 5 XYZ", "", "status must be one hex octet"},
      {"cds 0G", "", "hexadecimal"},
      {"cmt 123", "", "hexadecimal"},
      {"deliver", "", "missing originator"},
      {"frobnicate now", "", "unknown control command: frobnicate"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(ApplyControlLine(sim, c.line, &error), ControlAction::Continue) << c.line;
    if (*c.errorPart) {
      EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.line << " gave: " << error;
    } else {
      EXPECT_EQ(error, "") << c.line;
    }
    EXPECT_EQ(client.ReadFor(*c.written ? 0 : 100) + client.ReadUntil(c.written, 2000), c.written) << c.line;
  }

  std::string error;
  ApplyControlLine(sim, std::string("deliver +1 ") + std::string(161, 'a'), &error);
  EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
  EXPECT_EQ(ApplyControlLine(sim, "quit", &error), ControlAction::Quit);
  EXPECT_EQ(ApplyControlLine(sim, "  quit  ", &error), ControlAction::Quit);
}

TEST(SimControl, DeliverAndReportCarryWhatTheLineSays) {
  ModemSimOptions o;
  o.echo = false;
  o.reportStatus = 0x41;
  ModemSim sim(o);
  sim.Start();
  PtyClient client(sim.DevicePath());
  std::string error;
  ApplyControlLine(sim, "deliver +4915123 hello  world\\n{ok}", &error);
  EXPECT_EQ(error, "");
  client.ReadUntil("+CMT: ,");
  client.ReadUntil("\r\n");
  std::string pduLine = client.ReadUntil("\r\n");
  pdu::Deliver d;
  ASSERT_TRUE(pdu::DecodeDeliver(pduLine.substr(0, pduLine.size() - 2), &d, &error)) << error;
  EXPECT_EQ(d.originator.number, "+4915123");
  EXPECT_EQ(d.text, "hello  world\n{ok}");

  for (const char* line : {"report 26", "report 26 00", "report 255 C0"}) {
    ApplyControlLine(sim, line, &error);
    EXPECT_EQ(error, "");
    client.ReadUntil("+CDS: ");
    client.ReadUntil("\r\n");
    pduLine = client.ReadUntil("\r\n");
    pdu::StatusReport r;
    ASSERT_TRUE(pdu::DecodeStatusReport(pduLine.substr(0, pduLine.size() - 2), &r, &error)) << error;
    EXPECT_EQ(r.messageReference, std::string(line).find("255") != std::string::npos ? 255 : 26) << line;
    EXPECT_EQ(r.status, std::string(line) == "report 26"                    ? 0x41
                        : std::string(line).find("C0") != std::string::npos ? 0xC0
                                                                            : 0)
        << line;
    EXPECT_EQ(r.recipient.number, "+15550000000");
  }
}

TEST(SimCli, HelpAndBadOptions) {
  struct Case {
    std::vector<std::string> args;
    int code;
  } cases[] = {
      {{"modem-sim", "--help"}, 0},
      {{"modem-sim", "--bogus"}, 2},
      {{"modem-sim", "--sms-services", "1"}, 2},
      {{"modem-sim", "--report-status", "1FF"}, 2},
      {{"modem-sim", "--report-delay-ms", "-5"}, 2},
      {{"modem-sim", "--link"}, 2},
  };
  for (const Case& c : cases) {
    std::vector<char*> argv;
    for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int code = ModemSimMain(static_cast<int>(argv.size()), argv.data());
    std::string out = ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, c.code) << c.args[1];
    if (c.code == 0) {
      for (const char* part : {"--link PATH", "--control FIFO", "deliver <from> <text...>",
                               "report <reference> [status]", "raw <line...>", "ring", "quit"})
        EXPECT_NE(out.find(part), std::string::npos) << part;
    }
  }
}

TEST(SimCli, ServesOnTheLinkAndTakesControlLinesFromTheFifo) {
  char dir[] = "/tmp/velasim-cli-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string link = std::string(dir) + "/modem";
  std::string fifo = std::string(dir) + "/control";
  std::vector<std::string> args = {"modem-sim", "--link", link, "--control",       fifo,
                                   "--no-echo", "--pin",  "42", "--report-status", "46"};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  auto run = std::async(std::launch::async, [&] { return ModemSimMain(static_cast<int>(argv.size()), argv.data()); });

  struct stat st {};
  for (int i = 0; i < 200 && (lstat(link.c_str(), &st) != 0 || stat(fifo.c_str(), &st) != 0); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  {
    PtyClient client(link);
    ASSERT_TRUE(client.IsOpen());
    client.Send("AT+CPIN?\r");
    EXPECT_EQ(client.ReadFinal(), "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    int w = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(w, 0);
    const std::string lines = "report 7\nraw hello\n";
    ASSERT_EQ(write(w, lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    close(w);  // the simulator keeps reading after a writer leaves
    std::string got = client.ReadUntil("hello\r\n");
    EXPECT_NE(got.find("\r\n+CDS: "), std::string::npos) << got;
    EXPECT_NE(got.find("0607"), std::string::npos) << got;  // status report for reference 7
    EXPECT_NE(got.find("46\r\n\r\nhello\r\n"), std::string::npos) << got;
    w = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(w, 0);
    ASSERT_EQ(write(w, "quit\n", 5), 5);
    close(w);
  }
  ASSERT_EQ(run.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(run.get(), 0);
  EXPECT_NE(lstat(link.c_str(), &st), 0);  // link and FIFO removed
  EXPECT_NE(lstat(fifo.c_str(), &st), 0);
  rmdir(dir);
}

TEST(SimCli, TakesControlLinesFromStandardInputAndServesOnAfterItsEnd) {
  char dir[] = "/tmp/velasim-stdin-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string link = std::string(dir) + "/modem";
  int savedStdin = dup(STDIN_FILENO);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(dup2(p[0], STDIN_FILENO), STDIN_FILENO);
  close(p[0]);
  std::vector<std::string> args = {"modem-sim", "--link", link, "--no-echo"};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  auto run = std::async(std::launch::async, [&] { return ModemSimMain(static_cast<int>(argv.size()), argv.data()); });
  struct stat st {};
  for (int i = 0; i < 200 && lstat(link.c_str(), &st) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    PtyClient client(link);
    ASSERT_TRUE(client.IsOpen());
    const std::string lines = "ring\nraw last line without newline";
    ASSERT_EQ(write(p[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    close(p[1]);  // end of standard input: the line without newline still counts
    EXPECT_EQ(client.ReadUntil("newline\r\n"), "\r\nRING\r\n\r\nlast line without newline\r\n");
    client.Send("AT\r");
    EXPECT_EQ(client.ReadUntil("OK\r\n"), "\r\nOK\r\n");
  }
  raise(SIGTERM);
  ASSERT_EQ(run.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(run.get(), 0);
  EXPECT_NE(lstat(link.c_str(), &st), 0);
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  rmdir(dir);
}

}  // namespace
}  // namespace vela::sim

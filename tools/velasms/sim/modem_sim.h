// Simulated GSM modem on a pseudo-terminal.
//
// The simulator owns the master side of a pty and answers the AT command set a
// GSM modem offers in PDU mode (3GPP TS 27.007 / 27.005): echo, identity,
// SIM PIN, +CMGF, +CSMS, +CNMI, +CNMA, +CMGS with the "> " prompt. Every
// SMS-SUBMIT it receives is decoded and checked; a message to the simulator's
// own number comes back as an SMS-DELIVER (+CMT), and a requested status report
// follows as +CDS after a delay. Indications are held back while a command line
// or a PDU is being typed and written when the line is idle.
//
// Threads: Start() spawns one serving thread; every public member may be called
// from any thread at any time (state is guarded by one mutex). Stop() and the
// destructor join the thread. POSIX only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vela::sim {

struct ModemSimOptions {
  std::string pin;                      // SIM PIN; empty: the SIM is ready from the start
  bool echo = true;                     // echo after start and ATZ; false: a modem that never
                                        // echoes (ATE1 is accepted and changes nothing)
  std::string smsServices = "0,1";      // "0,1" or "0": list answered to AT+CSMS=?
  bool refuseSend = false;              // answer every complete PDU with +CMS ERROR: 500
  bool silent = false;                  // receive and log, but never write a byte
  std::string ownNumber = "+15550000000";      // messages to this number come back as +CMT
  std::string serviceCentre = "+15550000100";  // service-centre address in delivered PDUs
  int deliverDelayMs = 200;             // delay between an accepted send to ownNumber and its +CMT
  int reportDelayMs = 500;              // delay between an accepted send and its +CDS report
  int reportStatus = 0;                 // TP-ST of generated status reports (0x00 = delivered)
  std::string manufacturer = "VelaSim";
  std::string model = "GSM-1";
  std::string serial = "356938035643809";
  int failCmgfTimes = 0;                // refuse AT+CMGF=0 (+CME ERROR: 14, SIM busy) this many
                                        // times after each successful PIN entry
  std::string linkPath;                 // when set, a symlink to the pty slave made here
  std::string traceFile;                // when set (or $VELA_MODEMSIM_TRACE), every byte in
                                        // ("<< ") and out (">> ") is appended there, escaped
};

// One SMS-SUBMIT received after an AT+CMGS prompt, as decoded by the simulator.
struct SubmitRecord {
  std::string pdu;               // hex text as typed, without the Ctrl-Z
  int announcedLength = 0;       // the <length> of AT+CMGS
  bool accepted = false;         // answered with +CMGS
  int reference = -1;            // the reference returned, -1 when refused
  int cmsError = 0;              // the +CMS ERROR code when refused
  std::string error;             // why it was refused (decoder message), empty when accepted
  std::string destination;       // "+" in front of international numbers
  int firstOctet = 0;
  int dcs = 0;
  bool statusReportRequest = false;
  std::string text;              // UTF-8 (7-bit and UCS2 decoded; 8-bit data as Latin-1)
};

class ModemSim {
 public:
  explicit ModemSim(ModemSimOptions options = {});
  ~ModemSim();  // stops serving, removes the link it made
  ModemSim(const ModemSim&) = delete;
  ModemSim& operator=(const ModemSim&) = delete;

  // Opens the pty (master raw, a slave fd held open so that clients may close
  // and reopen the slave freely), makes the link, starts serving. Bytes
  // written while no client has the slave open wait in the pty like data in a
  // UART's buffer: a client purges its input after opening (the product does).
  // Throws std::runtime_error when any of that fails. Call once.
  void Start();
  void Stop();
  bool Running() const;

  std::string DevicePath() const;  // the pty slave path (not the link); valid after Start()
  std::string LinkPath() const;    // options.linkPath

  // Changes the behaviour for the commands that follow (the link path is
  // ignored). The echo state follows a new `echo` at the next ATZ or ATE, the
  // SIM state a new `pin` only through PIN entry.
  ModemSimOptions Options() const;
  void SetOptions(const ModemSimOptions& options);

  // Observation. Logs keep their most recent part only (8 MiB of bytes,
  // 100000 entries) so that a simulator may serve for hours.
  std::vector<std::string> Commands() const;  // command lines in order, as typed, without CR;
                                              // empty lines and PDUs are not commands
  std::string WireLog() const;                // every byte received
  std::string OutputLog() const;              // every byte written
  std::vector<SubmitRecord> Submits() const;
  int CnmaCount() const;                      // AT+CNMA received (expected or not)
  int UnexpectedCnmaCount() const;            // AT+CNMA with no indication awaiting it
  int PendingIndications() const;             // queued or scheduled, not yet written
  void ClearLogs();                           // forget commands, wire/output logs, submits, counts

  // Injection: queued and written when the line is idle.
  void InjectDeliver(const std::string& from, const std::string& utf8Text);  // throws
      // std::invalid_argument when the text does not fit one SMS (160 septets / 70 UCS2 units)
  void InjectReport(int reference, int status = 0);  // recipient = own number
  void InjectCmtPdu(const std::string& pduHex);       // "+CMT: ,<len>" + the given PDU
  void InjectCdsPdu(const std::string& pduHex);       // "+CDS: <len>" + the given PDU
  void InjectRawLine(const std::string& line);        // "\r\n<line>\r\n"
  void InjectRing();                                  // "\r\nRING\r\n"

  // Waits, up to timeoutMs, until the condition holds; returns whether it does.
  bool WaitForCommandCount(size_t count, int timeoutMs) const;
  bool WaitForCommand(const std::string& command, int timeoutMs) const;  // exact line, seen at any time
  bool WaitForCnmaCount(int count, int timeoutMs) const;
  bool WaitForSubmitCount(size_t count, int timeoutMs) const;
  bool WaitForIndicationsWritten(int timeoutMs) const;  // queue and schedule empty
  bool WaitForOutput(const std::string& text, int timeoutMs) const;  // substring of OutputLog()

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vela::sim

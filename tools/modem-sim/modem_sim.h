// Simulated GSM modem on a pseudo-terminal.
//
// The simulator owns the master side of a pty and answers the AT command set a
// GSM modem offers in PDU mode (3GPP TS 27.007 / 27.005): echo, identity,
// SIM PIN, +CMGF, +CSMS, +CNMI, +CNMA, +CMMS, +CMGS with the "> " prompt,
// message storage (+CPMS, +CMGL, +CMGR, +CMGD) and network diagnostics. Every
// SMS-SUBMIT it receives is decoded and checked; a message to the simulator's
// own number comes back as an SMS-DELIVER (+CMT), and a requested status report
// follows as +CDS after a delay. Indications are held back while a command line
// or a PDU is being typed and written when the line is idle.
//
// Routing of incoming messages and reports: until the client sends AT+CNMI
// they are written directly (+CMT, +CDS); afterwards the <mt> and <ds> of
// +CNMI decide (27.005 3.4.1): mt 0 stores silently, 1 and 3 store and indicate
// (+CMTI), 2 writes +CMT; ds 0 stores silently, 1 writes +CDS, 2 stores and
// indicates (+CDSI). Profiles (options below) reproduce the ways real modems
// differ from that.
//
// Threads: Start() spawns one serving thread; every public member may be called
// from any thread at any time (state is guarded by one mutex). Stop() and the
// destructor join the thread. POSIX only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vela::sim {

struct ModemSimOptions {
  std::string pin;                             // SIM PIN; empty: the SIM is ready from the start
  bool echo = true;                            // echo after start and ATZ; false: a modem that never
                                               // echoes (ATE1 is accepted and changes nothing)
  std::string smsServices = "0,1";             // "0,1" or "0": list answered to AT+CSMS=?
  bool refuseSend = false;                     // answer every complete PDU with +CMS ERROR: 500
  bool silent = false;                         // receive and log, but never write a byte
  std::string ownNumber = "+15550000000";      // messages to this number come back as +CMT
  std::string serviceCentre = "+15550000100";  // service-centre address in delivered PDUs
  int deliverDelayMs = 200;                    // delay between an accepted send to ownNumber and its +CMT
  int reportDelayMs = 500;                     // delay between an accepted send and its +CDS report
  int sendDelayMs = 0;                         // between a sent PDU and its answer (+CMGS or error): a slow network
  int reportStatus = 0;                        // TP-ST of generated status reports (0x00 = delivered)
  std::string manufacturer = "VelaSim";
  std::string model = "GSM-1";
  std::string serial = "356938035643809";
  int failCmgfTimes = 0;  // refuse AT+CMGF=0 (+CME ERROR: 14, SIM busy) this many
                          // times after each successful PIN entry
  std::string linkPath;   // when set, a symlink to the pty slave made here
  bool cmms = true;       // AT+CMMS supported; false: answered ERROR

  // ---- profiles ----
  // alpha: +CMT headers (and +CMGL/+CMGR) carry a phonebook name, the names
  // below in turn; the default list holds names that look like answers.
  bool alpha = false;
  std::vector<std::string> alphaNames;  // empty: BROOKE, OK, ERROR, READY, "> x", 004F004B (UCS2 "OK")
  // no-cnma: AT+CSMS=1, AT+CNMA and direct routing of messages (+CNMI <mt> 2
  // or 3) are refused (+CMS ERROR: 303); messages are stored and indicated.
  bool noCnma = false;
  // cmti: everything is accepted, but messages and reports always go to
  // storage (+CMTI, +CDSI), never directly.
  bool cmtiOnly = false;
  // ack-timeout: under message service 1 a +CMT or +CDS not acknowledged
  // within ackTimeoutMs switches routing off (+CNMI <mt> and <ds> set to 0,
  // 27.005 +CNMA); the unacknowledged message is delivered again into storage
  // when ackTimeoutRedeliver (the network retries), later ones go to storage
  // silently until AT+CNMI is sent again.
  bool ackTimeout = false;
  int ackTimeoutMs = 2000;
  bool ackTimeoutRedeliver = true;
  // unplug: Unplug() / Replug() (control lines unplug, replug) take the device
  // away and bring it back as a freshly started modem on a new pty (the link
  // follows); storage and PIN counters persist, routing starts as "store".
  bool unplug = false;
  // pin-counter: three wrong PINs (+CME ERROR: 16 each) lock the SIM (SIM PUK;
  // AT+CPIN=<puk>,<new pin>; ten wrong PUKs block it); AT+CPINR tells the
  // attempts left. The counters persist in stateFile when set.
  bool pinCounter = false;
  std::string puk = "12345678";
  std::string stateFile;
  int cmsError = 0;  // cms-error: every message answered +CMS ERROR: N (0: off)

  // ---- storage ----
  int simCapacity = 30;  // "SM"
  int meCapacity = 100;  // "ME"; "MT" is both, SM indexes first
  // stored: messages on the SIM at start, unread, in this order.
  struct StoredText {
    std::string from;
    std::string text;
  };
  std::vector<StoredText> storedMessages;

  // ---- diagnostics ----
  int rssi = 20;                              // +CSQ <rssi> (0..31, 99 unknown)
  int registration = 1;                       // +CREG/+CEREG <stat>: 1 home, 5 roaming, 2 searching, 3 denied, 0 none
  std::string operatorName = "VelaNet";       // +COPS?
  std::string imsi = "001010123456789";       // +CIMI
  std::string iccid = "8901260123456789012";  // +CCID, +ICCID
  // ---- USSD (AT+CUSD; the network of sim_ussd.h) ----
  std::string ussdForm = "packed";  // <str> of +CUSD: packed, ucs2 or text
  int ussdDelayMs = 300;            // between the request's OK and its +CUSD
  // The +CUSD is written inside the answer of the next command instead
  // (before its final result code), as a modem does when the network answers
  // while another command runs.
  bool ussdDuringNextCommand = false;
  std::string traceFile;  // when set (or $VELA_MODEMSIM_TRACE), every byte in
                          // ("<< ") and out (">> ") is appended there, escaped
};

// One SMS-SUBMIT received after an AT+CMGS prompt, as decoded by the simulator.
struct SubmitRecord {
  std::string pdu;          // hex text as typed, without the Ctrl-Z
  int announcedLength = 0;  // the <length> of AT+CMGS
  bool accepted = false;    // answered with +CMGS
  int reference = -1;       // the reference returned, -1 when refused
  int cmsError = 0;         // the +CMS ERROR code when refused
  std::string error;        // why it was refused (decoder message), empty when accepted
  std::string destination;  // "+" in front of international numbers
  int firstOctet = 0;
  int dcs = 0;
  bool statusReportRequest = false;
  std::string text;    // UTF-8 (7-bit with the header's shift tables, UCS2 decoded;
                       // 8-bit data as Latin-1), header removed
  std::string header;  // user data header in hex without its length octet, "" for none
  // Concatenation (user data header element 0x00, or 0x08 for a 16-bit reference).
  bool concatenated = false;
  bool reference16 = false;
  int concatReference = -1;
  int concatTotal = 0;
  int concatSequence = 0;
  int lockingShift = -1;         // national language identifier of element 0x25, -1 when absent
  int singleShift = -1;          // of element 0x24
  bool endsInEscape = false;     // 7-bit part whose last septet is an escape (a split escape pair)
  bool endsInSurrogate = false;  // UCS2 part ending in a high surrogate (a split surrogate pair)
  std::vector<uint8_t> septets;  // 7-bit: the septets after the header
  std::vector<uint8_t> octets;   // 8-bit and UCS2: the octets after the header
};

// The accepted submits to one destination joined by their concatenation
// headers (destination, reference, width, total), parts in sequence order.
// UCS2 parts are joined as UTF-16 before decoding, so that a pair split
// across parts still shows which character it was.
struct SubmittedMessage {
  std::string destination;
  int reference = -1;  // -1 for a message of one part without concatenation
  bool reference16 = false;
  int total = 1;
  std::vector<int> sequences;   // part numbers received, in order, duplicates included
  std::vector<int> references;  // +CMGS reference of each part, in part order
  bool complete = false;        // every part 1..total present
  std::string text;             // parts in order (missing ones left out)
  int dcs = 0;
};

// One message in the simulator's storage.
struct StoredEntry {
  std::string storage;  // "SM" or "ME"
  int index = 0;        // index within that storage (1-based)
  int status = 0;       // 0 received unread, 1 received read, 2 stored unsent, 3 stored sent
  bool statusReport = false;
  std::string pdu;  // hex, service-centre prefix included
  std::string alpha;
};

// Options of InjectDeliverLong.
struct DeliverLongOptions {
  std::vector<int> order;      // part numbers (1-based) in the order they are sent; empty: 1..n
  std::vector<int> duplicate;  // parts sent a second time, right after their first time
  std::vector<int> drop;       // parts never sent
  bool ucs2 = false;           // UCS2 even when the default alphabet could carry the text
  bool reference16 = false;    // concatenation element 0x08 instead of 0x00
  int reference = -1;          // concatenation reference; -1: the simulator's next one
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

  std::string DevicePath() const;  // the pty slave path (not the link); valid after Start(),
                                   // a new one after each Replug()
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
  std::vector<SubmittedMessage> SubmittedMessages() const;  // Submits() joined into messages
  int CmmsMode() const;                                     // the last AT+CMMS=<n> (0 at start)
  // Counts since start (or ClearLogs) for "exactly once" checks.
  int DeliveriesWritten() const;                                   // +CMT written
  int ReportsWritten() const;                                      // +CDS written
  int StorageIndicationsWritten() const;                           // +CMTI and +CDSI written
  int MessagesStored() const;                                      // messages and reports put into storage
  int DeletionCount(const std::string& storage, int index) const;  // slots emptied by AT+CMGD
  int TotalDeletions() const;
  int RoutingDrops() const;                 // routing switched off after a missed acknowledgement
  std::vector<StoredEntry> Stored() const;  // storage now, SM then ME, by index
  std::string Cnmi() const;                 // the +CNMI settings now, "0,0,0,0,0" at start
  // Puts a message into storage (as if received while no client listened);
  // returns its index. Throws std::invalid_argument when the text does not
  // fit one SMS or the storage is full.
  int AddStored(const std::string& from, const std::string& utf8Text, int status = 0,
                const std::string& storage = "SM");

  // The device disappears (pty closed: a client reads EIO / hang-up; the link
  // is removed) and comes back (a new pty, the link points at it) as a modem
  // that has just started. Only with options.unplug; throw std::logic_error
  // otherwise, and std::runtime_error when the new pty cannot be made.
  void Unplug();
  void Replug();
  bool Plugged() const;
  int CnmaCount() const;            // AT+CNMA received (expected or not)
  int UnexpectedCnmaCount() const;  // AT+CNMA with no indication awaiting it
  int PendingIndications() const;   // queued or scheduled, not yet written
  void ClearLogs();                 // forget commands, wire/output logs, submits, counts

  // Injection: queued and written when the line is idle.
  void InjectDeliver(const std::string& from,
                     const std::string& utf8Text);  // throws
                                                    // std::invalid_argument when the text does not fit one SMS (160
                                                    // septets / 70 UCS2 units)
  // A concatenated message: the text split into DELIVER parts by the simulator's
  // own coding (see pdu::MakeLongDeliver), sent as the options say. Returns the
  // number of parts of the message (before dropping and duplicating). Throws
  // std::invalid_argument for a part number out of range or a text of more
  // than 255 parts.
  int InjectDeliverLong(const std::string& from, const std::string& utf8Text, const DeliverLongOptions& options = {});
  void InjectReport(int reference, int status = 0);  // recipient = own number
  void InjectCmtPdu(const std::string& pduHex);      // "+CMT: ,<len>" + the given PDU
  void InjectCdsPdu(const std::string& pduHex);      // "+CDS: <len>" + the given PDU
  void InjectRawLine(const std::string& line);       // "\r\n<line>\r\n"
  void InjectRing();                                 // "\r\nRING\r\n"

  // Waits, up to timeoutMs, until the condition holds; returns whether it does.
  bool WaitForCommandCount(size_t count, int timeoutMs) const;
  bool WaitForCommand(const std::string& command, int timeoutMs) const;  // exact line, seen at any time
  bool WaitForCnmaCount(int count, int timeoutMs) const;
  bool WaitForSubmitCount(size_t count, int timeoutMs) const;
  bool WaitForIndicationsWritten(int timeoutMs) const;               // queue and schedule empty
  bool WaitForOutput(const std::string& text, int timeoutMs) const;  // substring of OutputLog()
  // Waits until pred() holds, evaluating it after every change of the
  // simulator's state (pred may call the observers above).
  bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vela::sim

#include "modem_sim.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "sim_pdu.h"

namespace vela::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kCtrlZ = 0x1A;
constexpr uint8_t kEsc = 0x1B;
constexpr size_t kMaxLine = 512;        // longer command lines are cut
// A command line counts as being typed while its bytes keep coming; one left
// half-typed (a client that went away mid-line) stops holding indications back.
constexpr auto kTypingPause = std::chrono::milliseconds(1000);
constexpr size_t kMaxPduChars = 2 * 200;  // more than any SMS-SUBMIT with a service centre
constexpr size_t kMaxPendingOutput = 1 << 20;
// A simulator serving for hours keeps only the recent part of its logs.
constexpr size_t kMaxLogBytes = 8u << 20;
constexpr size_t kMaxLogEntries = 100000;

void CapLog(std::string* log) {
  if (log->size() > kMaxLogBytes) log->erase(0, log->size() - kMaxLogBytes / 2);
}

template <typename T>
void CapLog(std::vector<T>* log) {
  if (log->size() > kMaxLogEntries) log->erase(log->begin(), log->begin() + static_cast<long>(kMaxLogEntries / 2));
}

std::string Frame(const std::string& line) { return "\r\n" + line + "\r\n"; }
const std::string kOk = Frame("OK");
const std::string kError = Frame("ERROR");
std::string CmeError(int n) { return Frame("+CME ERROR: " + std::to_string(n)); }
std::string CmsError(int n) { return Frame("+CMS ERROR: " + std::to_string(n)); }
std::string Info(const std::string& line) { return Frame(line) + kOk; }

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

std::string Unquote(const std::string& s) {
  std::string t = Trim(s);
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') return t.substr(1, t.size() - 2);
  return t;
}

bool ParseInt(const std::string& s, int* out) {
  std::string t = Trim(s);
  if (t.empty() || t.size() > 6) return false;
  for (char c : t)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  *out = std::atoi(t.c_str());
  return true;
}

std::vector<std::string> SplitCommas(const std::string& s) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t comma = s.find(',', start);
    parts.push_back(s.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

std::string Digits(const std::string& number) {
  return !number.empty() && number[0] == '+' ? number.substr(1) : number;
}

struct Indication {
  std::string text;
  bool needsAck = false;  // +CMT and +CDS await AT+CNMA under message service 1
};

struct Scheduled {
  Clock::time_point due;
  Indication indication;
  bool isReport = false;           // built at its due time so that TP-DT is the discharge time
  pdu::StatusReport report;
};

std::string CmtIndication(const std::string& pduHex) {
  return "\r\n+CMT: ," + std::to_string(pdu::TpduLength(pduHex)) + "\r\n" + pduHex + "\r\n";
}

std::string CdsIndication(const std::string& pduHex) {
  return "\r\n+CDS: " + std::to_string(pdu::TpduLength(pduHex)) + "\r\n" + pduHex + "\r\n";
}

}  // namespace

struct ModemSim::Impl {
  explicit Impl(ModemSimOptions o) : opts(std::move(o)) {
    echo = opts.echo;
    simReady = opts.pin.empty();
    std::string path = opts.traceFile;
    if (path.empty() && std::getenv("VELA_MODEMSIM_TRACE")) path = std::getenv("VELA_MODEMSIM_TRACE");
    if (!path.empty()) trace = std::fopen(path.c_str(), "a");
  }
  ~Impl() {
    if (trace) std::fclose(trace);
  }

  // Trace of the wire for debugging clients: one line per read or write,
  // control bytes escaped, with a monotonic millisecond time.
  std::FILE* trace = nullptr;
  Clock::time_point traceStart = Clock::now();
  void Trace(const char* dir, const char* data, size_t n) {
    if (!trace) return;
    std::string text;
    for (size_t i = 0; i < n; ++i) {
      auto c = static_cast<unsigned char>(data[i]);
      if (c == '\r') text += "\\r";
      else if (c == '\n') text += "\\n";
      else if (c < 0x20 || c >= 0x7F) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        text += hex;
      } else text.push_back(static_cast<char>(c));
    }
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - traceStart).count();
    std::fprintf(trace, "%8lld %s%s\n", ms, dir, text.c_str());
    std::fflush(trace);
  }

  // ---- shared state, guarded by mu ----
  mutable std::mutex mu;
  mutable std::condition_variable cv;
  ModemSimOptions opts;
  std::vector<std::string> commands;
  std::string wire, output;
  std::vector<SubmitRecord> submits;
  int cnma = 0, unexpectedCnma = 0;
  int cmmsMode = 0;
  int nextConcatReference = 1;
  std::deque<Indication> queue;
  std::vector<Scheduled> scheduled;
  int writing = 0;  // indications taken from the queue and not yet written
  bool started = false, running = false;

  // ---- pty and thread ----
  int master = -1, slaveKeep = -1, wakeRead = -1, wakeWrite = -1;
  std::string slavePath;
  bool linkMade = false;
  std::thread thread;
  std::atomic<bool> stopRequested{false};

  // ---- modem state, serving thread only ----
  bool echo = true;
  bool simReady = true;
  int cmgfFailuresLeft = 0;
  int smsService = 0;
  std::string cnmi = "0,0,0,0,0";
  bool pduMode = false;            // typing a PDU after the "> " prompt
  int pduLength = 0;
  std::string pduText;
  bool pduOverflow = false;
  std::string line;
  int nextReference = 1;
  int pendingAcks = 0;
  std::string outBuf;

  // Caller holds mu, which also guards the pipe's closing in CloseAll.
  void WakeLocked() {
    if (wakeWrite >= 0) {
      char c = 1;
      ssize_t n = write(wakeWrite, &c, 1);
      (void)n;
    }
  }

  void Wake() {
    std::lock_guard<std::mutex> lock(mu);
    WakeLocked();
  }

  void Queue(Indication ind) {
    std::lock_guard<std::mutex> lock(mu);
    queue.push_back(std::move(ind));
    WakeLocked();
  }

  ModemSimOptions Snapshot() const {
    std::lock_guard<std::mutex> lock(mu);
    return opts;
  }

  // Writes to the master; what the pty cannot take now waits in outBuf.
  void Emit(const std::string& bytes) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (opts.silent) return;
      output += bytes;
      CapLog(&output);
    }
    cv.notify_all();
    Trace(">> ", bytes.data(), bytes.size());
    outBuf += bytes;
    if (outBuf.size() > kMaxPendingOutput) outBuf.erase(0, outBuf.size() - kMaxPendingOutput);
    Flush();
  }

  void Flush() {
    while (!outBuf.empty()) {
      ssize_t n = write(master, outBuf.data(), outBuf.size());
      if (n > 0) {
        outBuf.erase(0, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return;  // EAGAIN: the slave's input queue is full; poll for POLLOUT
      }
    }
  }

  // Termios of a pty pair is shared: a client (Wine among them) may switch on
  // input or output processing that would rewrite CR, echo our own answers
  // back to us or swallow XON/XOFF. Keep the line raw whatever the client set;
  // VMIN/VTIME and the speed are the client's business and stay untouched.
  void KeepRaw() {
    termios t{};
    if (tcgetattr(master, &t) != 0) return;
    const tcflag_t iflags = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF;
    const tcflag_t lflags = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    if ((t.c_iflag & iflags) == 0 && (t.c_oflag & OPOST) == 0 && (t.c_lflag & lflags) == 0 &&
        (t.c_cflag & (CSIZE | PARENB)) == CS8)
      return;
    t.c_iflag &= ~iflags;
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~lflags;
    t.c_cflag &= ~(CSIZE | PARENB);
    t.c_cflag |= CS8;
    tcsetattr(master, TCSANOW, &t);
  }

  Clock::time_point lastByte;

  bool LineIdle() const {
    return !pduMode && (line.empty() || Clock::now() - lastByte >= kTypingPause);
  }

  void FlushIndications() {
    std::deque<Indication> ready;
    bool silent;
    {
      std::lock_guard<std::mutex> lock(mu);
      auto now = Clock::now();
      for (auto it = scheduled.begin(); it != scheduled.end();) {
        if (it->due <= now) {
          if (it->isReport) {
            it->report.dischargeTime = pdu::LocalNow();
            it->indication.text = CdsIndication(pdu::EncodeStatusReport(it->report));
          }
          queue.push_back(std::move(it->indication));
          it = scheduled.erase(it);
        } else {
          ++it;
        }
      }
      if (!LineIdle() || queue.empty()) return;
      ready.swap(queue);
      writing = static_cast<int>(ready.size());
      silent = opts.silent;
    }
    for (Indication& ind : ready) {
      if (silent) continue;  // a dead modem says nothing, indications included
      Emit(ind.text);
      if (ind.needsAck) ++pendingAcks;
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      writing = 0;
    }
    cv.notify_all();
  }

  int PollTimeoutMs() {
    std::lock_guard<std::mutex> lock(mu);
    bool heldByLine = !queue.empty() && !pduMode && !line.empty();
    if (scheduled.empty() && !heldByLine) return -1;
    auto earliest = heldByLine ? lastByte + kTypingPause : Clock::time_point::max();
    for (const Scheduled& s : scheduled) earliest = std::min(earliest, s.due);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(earliest - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(std::min<long long>(ms + 1, 60000));
  }

  void Serve() {
    char buf[4096];
    while (!stopRequested) {
      pollfd fds[2] = {{master, static_cast<short>(POLLIN | (outBuf.empty() ? 0 : POLLOUT)), 0},
                       {wakeRead, POLLIN, 0}};
      int rc = poll(fds, 2, PollTimeoutMs());
      if (rc < 0 && errno != EINTR) break;
      if (stopRequested) break;
      if (fds[1].revents & POLLIN) {
        while (read(wakeRead, buf, sizeof buf) > 0) {
        }
      }
      KeepRaw();
      if (fds[0].revents & POLLIN) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) {
          {
            std::lock_guard<std::mutex> lock(mu);
            wire.append(buf, static_cast<size_t>(n));
            CapLog(&wire);
          }
          Trace("<< ", buf, static_cast<size_t>(n));
          lastByte = Clock::now();
          for (ssize_t i = 0; i < n; ++i) OnByte(static_cast<uint8_t>(buf[i]));
          cv.notify_all();
        }
      } else if (fds[0].revents & (POLLHUP | POLLERR)) {
        // No slave open (cannot happen while slaveKeep is held, but never spin).
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      FlushIndications();
      Flush();
    }
  }

  void OnByte(uint8_t c) {
    bool echoNow = echo;
    if (pduMode) {
      if (echoNow) Emit(std::string(1, static_cast<char>(c)));
      if (c == kCtrlZ) {
        FinishPdu();
      } else if (c == kEsc) {
        pduMode = false;  // sending cancelled
        Emit(kOk);
      } else if (c == 0x08 || c == 0x7F) {
        if (!pduText.empty()) pduText.pop_back();
      } else if (c == '\r' || c == '\n' || c == ' ' || c == 0) {
        // Line breaks and blanks around the hex digits carry nothing.
      } else if (pduText.size() < kMaxPduChars) {
        pduText.push_back(static_cast<char>(c));
      } else {
        pduOverflow = true;
      }
      return;
    }
    if (echoNow) Emit(std::string(1, static_cast<char>(c)));
    if (c == '\r') {
      std::string typed;
      typed.swap(line);
      ExecuteLine(typed);
    } else if (c == '\n' || c == 0) {
      // A terminal may end lines with CR LF; the LF starts nothing.
    } else if (c == 0x08 || c == 0x7F) {
      if (!line.empty()) line.pop_back();
    } else if (line.size() < kMaxLine) {
      line.push_back(static_cast<char>(c));
    }
  }

  void ExecuteLine(const std::string& typed) {
    std::string command = Trim(typed);
    if (command.empty()) return;  // an empty line is no command and gets no answer
    bool silent;
    {
      std::lock_guard<std::mutex> lock(mu);
      commands.push_back(typed);
      CapLog(&commands);
      silent = opts.silent;
    }
    cv.notify_all();
    if (silent) return;
    Emit(Execute(command));
  }

  std::string Execute(const std::string& command) {
    std::string upper = Upper(command);
    // V.250: whatever precedes the "AT" prefix is ignored, and a line without
    // one is no command at all.
    size_t at = upper.find("AT");
    if (at == std::string::npos) return "";
    std::string rest = command.substr(at + 2);
    std::string restUpper = upper.substr(at + 2);
    if (restUpper.empty()) return kOk;
    if (restUpper[0] == '+') return Extended(restUpper, rest);
    return Basic(restUpper);
  }

  // Basic commands (V.250), several may follow each other: ATE1V1, ATZ.
  std::string Basic(const std::string& s) {
    ModemSimOptions o = Snapshot();
    std::string info;
    size_t i = 0;
    auto number = [&](int deflt) {
      int v = deflt;
      if (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) v = s[i++] - '0';
      return v;
    };
    while (i < s.size()) {
      char c = s[i++];
      if (c == ' ') continue;
      if (c == 'Z' || (c == '&' && i < s.size() && s[i] == 'F')) {
        if (c == '&') ++i;
        number(0);
        echo = o.echo;  // back to the power-on setting
      } else if (c == '&' && i < s.size() && std::strchr("CDKW", s[i])) {
        ++i;  // DCD, DTR and flow-control behaviour, profile storage: nothing to do on a pty
        number(0);
      } else if (c == 'E') {
        int v = number(0);
        if (v > 1) return kError;
        echo = v == 1 && o.echo;  // a modem configured without echo never echoes
      } else if (c == 'V' || c == 'Q') {
        int v = number(0);
        if ((c == 'V' && v != 1) || (c == 'Q' && v != 0)) return kError;  // verbose results only
      } else if (c == 'I') {
        number(0);
        info += Frame(o.manufacturer + " " + o.model);
      } else {
        return kError;
      }
    }
    return info + kOk;
  }

  std::string Extended(const std::string& upper, const std::string& original) {
    ModemSimOptions o = Snapshot();
    size_t nameEnd = upper.find_first_of("=?");
    std::string name = upper.substr(0, nameEnd);
    std::string suffix = nameEnd == std::string::npos ? "" : upper.substr(nameEnd);
    std::string args = suffix.size() > 1 && suffix[0] == '=' ? original.substr(nameEnd + 1) : "";
    bool test = suffix == "=?";
    bool read = suffix == "?";
    bool exec = suffix.empty();
    bool set = !suffix.empty() && suffix[0] == '=' && !test;

    if (name == "+CGMI" || name == "+GMI") return test ? kOk : exec ? Info(o.manufacturer) : kError;
    if (name == "+CGMM" || name == "+GMM") return test ? kOk : exec ? Info(o.model) : kError;
    if (name == "+CGSN" || name == "+GSN") return test ? kOk : exec ? Info(o.serial) : kError;
    if (name == "+CMEE") return (set || test) ? kOk : read ? Info("+CMEE: 1") : kError;
    if (name == "+CSQ") return exec ? Info("+CSQ: 20,99") : test ? Info("+CSQ: (0-31,99),(0-7,99)") : kError;
    if (name == "+CREG") return read ? Info("+CREG: 0,1") : (set || test) ? kOk : kError;

    if (name == "+CPIN") {
      if (test) return kOk;
      if (read) return Info(simReady ? "+CPIN: READY" : "+CPIN: SIM PIN");
      if (!set) return kError;
      if (simReady) return CmeError(3);  // operation not allowed: no PIN is asked for
      std::string pin = Unquote(SplitCommas(args)[0]);
      if (pin != o.pin) return CmeError(16);  // incorrect password
      simReady = true;
      cmgfFailuresLeft = o.failCmgfTimes;
      return kOk;
    }

    static const char* const kSmsCommands[] = {"+CMGF", "+CSMS", "+CNMI", "+CNMA",
                                               "+CMGS", "+CSCA", "+CPMS", "+CMMS"};
    bool isSms = std::find(std::begin(kSmsCommands), std::end(kSmsCommands), name) !=
                 std::end(kSmsCommands);
    if (!isSms) return kError;
    if (!simReady) return CmeError(11);  // SIM PIN required

    if (name == "+CMGF") {
      if (test) return Info("+CMGF: (0)");
      if (read) return Info("+CMGF: 0");
      if (!set) return kError;
      int mode;
      if (!ParseInt(args, &mode)) return kError;
      if (mode != 0) return CmsError(303);  // text mode not supported
      if (cmgfFailuresLeft > 0) {
        --cmgfFailuresLeft;
        return CmeError(14);  // SIM busy: still starting after the PIN
      }
      return kOk;
    }
    if (name == "+CSMS") {
      if (test) return Info("+CSMS: (" + o.smsServices + ")");
      if (read) return Info("+CSMS: " + std::to_string(smsService) + ",1,1,1");
      if (!set) return kError;
      int service;
      if (!ParseInt(args, &service)) return kError;
      for (const std::string& offered : SplitCommas(o.smsServices)) {
        int v;
        if (ParseInt(offered, &v) && v == service) {
          smsService = service;
          return Info("+CSMS: 1,1,1");
        }
      }
      return CmsError(303);
    }
    if (name == "+CNMI") {
      if (test) return Info("+CNMI: (0-3),(0-3),(0-3),(0-2),(0,1)");
      if (read) return Info("+CNMI: " + cnmi);
      if (!set) return kError;
      static const int kMax[] = {3, 3, 3, 2, 1};
      std::vector<std::string> parts = SplitCommas(args);
      if (parts.size() > 5) return CmsError(303);
      for (size_t k = 0; k < parts.size(); ++k) {
        int v;
        if (!Trim(parts[k]).empty() && (!ParseInt(parts[k], &v) || v > kMax[k])) return CmsError(303);
      }
      cnmi = Trim(args);
      return kOk;
    }
    if (name == "+CNMA") {
      if (test) return kOk;
      bool expected = pendingAcks > 0;
      if (expected) --pendingAcks;
      {
        std::lock_guard<std::mutex> lock(mu);
        ++cnma;
        if (!expected) ++unexpectedCnma;
      }
      cv.notify_all();
      return expected ? kOk : CmsError(340);  // no +CNMA acknowledgement expected
    }
    if (name == "+CMMS") {
      // More messages to send (27.005 3.5.6): keeps the link to the network open
      // between the parts of a concatenated message. Nothing to keep on a pty;
      // the mode is remembered and answered.
      if (!o.cmms) return kError;
      if (test) return Info("+CMMS: (0-2)");
      if (read) return Info("+CMMS: " + std::to_string(cmmsMode));
      if (!set) return kError;
      int mode;
      if (!ParseInt(args, &mode) || mode > 2) return CmsError(302);
      {
        std::lock_guard<std::mutex> lock(mu);
        cmmsMode = mode;
      }
      return kOk;
    }
    if (name == "+CSCA") {
      if (read) return Info("+CSCA: \"" + o.serviceCentre + "\",145");
      return (set || test) ? kOk : kError;
    }
    if (name == "+CPMS") return test || read || set ? Info("+CPMS: 0,30,0,30,0,30") : kError;
    if (name == "+CMGS") {
      if (test) return kOk;
      if (!set) return kError;
      int length;
      if (!ParseInt(SplitCommas(args)[0], &length) || length < 1 || length > 175) return CmsError(304);
      pduMode = true;
      pduLength = length;
      pduText.clear();
      pduOverflow = false;
      return "\r\n> ";  // the prompt has no line end (TS 27.005 3.5.1)
    }
    return kError;
  }

  void FinishPdu() {
    pduMode = false;
    ModemSimOptions o = Snapshot();
    SubmitRecord rec;
    rec.pdu = pduText;
    rec.announcedLength = pduLength;
    pdu::Submit submit;
    std::string error;
    bool ok = !pduOverflow && pdu::DecodeSubmit(pduText, pduLength, &submit, &error);
    if (pduOverflow) error = "PDU longer than any SMS-SUBMIT";
    if (ok) {
      rec.destination = submit.destination.number;
      rec.firstOctet = submit.firstOctet;
      rec.dcs = submit.dcs;
      rec.statusReportRequest = submit.statusReportRequest();
      rec.text = submit.text;
      rec.header = pdu::ToHex(submit.header);
      rec.concatenated = submit.udh.concatenated;
      rec.reference16 = submit.udh.reference16;
      rec.concatReference = submit.udh.reference;
      rec.concatTotal = submit.udh.total;
      rec.concatSequence = submit.udh.sequence;
      rec.lockingShift = submit.udh.lockingShift;
      rec.singleShift = submit.udh.singleShift;
      if (!submit.septets.empty()) {
        // An escape septet as the last one of a part has lost its second half,
        // unless it is itself the second septet of an escape pair.
        size_t escapes = 0;
        for (size_t k = submit.septets.size(); k > 0 && submit.septets[k - 1] == 0x1B; --k) ++escapes;
        rec.endsInEscape = escapes % 2 == 1;
      }
      pdu::Alphabet alphabet;
      if (pdu::AlphabetOf(submit.dcs, &alphabet) && alphabet == pdu::Alphabet::Ucs2 && submit.octets.size() >= 2) {
        int last = (submit.octets[submit.octets.size() - 2] << 8) | submit.octets.back();
        rec.endsInSurrogate = last >= 0xD800 && last < 0xDC00;
      }
      rec.octets = submit.octets;
      rec.septets = submit.septets;
    }
    std::string answer;
    if (!ok) {
      rec.cmsError = 304;  // invalid PDU mode parameter
      rec.error = error;
      answer = CmsError(304);
    } else if (o.refuseSend) {
      rec.cmsError = 500;
      rec.error = "refused by configuration";
      answer = CmsError(500);
    } else {
      rec.accepted = true;
      rec.reference = nextReference;
      nextReference = (nextReference + 1) % 256;  // TP-MR runs 0..255; after 255 comes 0
      answer = Frame("+CMGS: " + std::to_string(rec.reference)) + kOk;
      Route(o, submit, rec.reference);
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      submits.push_back(rec);
      CapLog(&submits);
    }
    cv.notify_all();
    Emit(answer);
  }

  // What the network does with an accepted message: one to our own number comes
  // back as a DELIVER; a requested status report follows after the delay.
  void Route(const ModemSimOptions& o, const pdu::Submit& submit, int reference) {
    pdu::Timestamp now = pdu::LocalNow();
    auto t0 = Clock::now();
    std::lock_guard<std::mutex> lock(mu);
    if (!Digits(o.ownNumber).empty() && Digits(submit.destination.number) == Digits(o.ownNumber)) {
      pdu::Deliver d;
      d.serviceCentre = o.serviceCentre;
      // TP-MMS set (no more messages), TP-SRI when the sender asked for a report, TP-UDHI copied.
      d.firstOctet = 0x04 | (submit.statusReportRequest() ? 0x20 : 0) | (submit.hasHeader() ? 0x40 : 0);
      d.originator.number = o.ownNumber;
      d.protocolIdentifier = submit.protocolIdentifier;
      d.dcs = submit.dcs;
      d.serviceCentreTime = now;
      d.userDataLength = submit.userDataLength;
      d.userData = submit.userData;
      Scheduled s;
      s.due = t0 + std::chrono::milliseconds(std::max(0, o.deliverDelayMs));
      s.indication = {CmtIndication(pdu::EncodeDeliver(d)), true};
      scheduled.push_back(std::move(s));
    }
    if (submit.statusReportRequest()) {
      Scheduled s;
      s.due = t0 + std::chrono::milliseconds(std::max(0, o.reportDelayMs));
      s.indication.needsAck = true;
      s.isReport = true;
      s.report.serviceCentre = o.serviceCentre;
      s.report.messageReference = reference;
      s.report.recipient = submit.destination;
      s.report.serviceCentreTime = now;
      s.report.status = o.reportStatus & 0xFF;
      scheduled.push_back(std::move(s));
    }
  }

  void Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) throw std::runtime_error(std::string("posix_openpt: ") + std::strerror(errno));
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
      throw std::runtime_error(std::string("pty setup: ") + std::strerror(errno));
    slavePath = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    termios t{};
    if (tcgetattr(master, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(master, TCSANOW, &t);
    }
    // Holding a slave descriptor keeps the master from seeing EIO/POLLHUP while
    // no client has the port open, so clients may close and reopen at will.
    slaveKeep = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveKeep < 0) throw std::runtime_error(std::string("open ") + name + ": " + std::strerror(errno));
    int p[2];
    if (pipe(p) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    wakeRead = p[0];
    wakeWrite = p[1];
    for (int fd : p) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }

  void MakeLink(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
      throw std::runtime_error("--link: " + path + " exists and is not a symbolic link");
    // Replace atomically so that a client never finds the path missing.
    std::string tmp = path + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(slavePath.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
      int err = errno;
      unlink(tmp.c_str());
      throw std::runtime_error("--link " + path + ": " + std::strerror(err));
    }
    linkMade = true;
  }

  void RemoveLink(const std::string& path) {
    if (!linkMade) return;
    char target[512];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == slavePath) unlink(path.c_str());
    linkMade = false;
  }

  void CloseAll() {
    std::lock_guard<std::mutex> lock(mu);
    for (int* fd : {&master, &slaveKeep, &wakeRead, &wakeWrite}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }
};

ModemSim::ModemSim(ModemSimOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

ModemSim::~ModemSim() { Stop(); }

void ModemSim::Start() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->started) throw std::logic_error("ModemSim::Start called twice");
    impl_->started = true;
  }
  try {
    impl_->Open();
    std::string link = Options().linkPath;
    if (!link.empty()) impl_->MakeLink(link);
  } catch (...) {
    impl_->CloseAll();
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->running = true;
  }
  impl_->thread = std::thread([this] { impl_->Serve(); });
}

void ModemSim::Stop() {
  if (!impl_->thread.joinable()) return;
  impl_->stopRequested = true;
  impl_->Wake();
  impl_->thread.join();
  impl_->RemoveLink(Options().linkPath);
  impl_->CloseAll();
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->running = false;
  }
  impl_->cv.notify_all();
}

bool ModemSim::Running() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->running;
}

std::string ModemSim::DevicePath() const { return impl_->slavePath; }

std::string ModemSim::LinkPath() const { return Options().linkPath; }

ModemSimOptions ModemSim::Options() const { return impl_->Snapshot(); }

void ModemSim::SetOptions(const ModemSimOptions& options) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::string link = impl_->opts.linkPath;
    impl_->opts = options;
    impl_->opts.linkPath = link;
    impl_->WakeLocked();
  }
}

std::vector<std::string> ModemSim::Commands() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->commands;
}

std::string ModemSim::WireLog() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->wire;
}

std::string ModemSim::OutputLog() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->output;
}

std::vector<SubmitRecord> ModemSim::Submits() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->submits;
}

std::vector<SubmittedMessage> ModemSim::SubmittedMessages() const {
  std::vector<SubmitRecord> submits = Submits();
  std::vector<SubmittedMessage> messages;
  std::vector<std::vector<const SubmitRecord*>> parts;  // per message, by sequence
  for (const SubmitRecord& r : submits) {
    if (!r.accepted) continue;
    size_t m = messages.size();
    if (r.concatenated) {
      for (size_t k = 0; k < messages.size(); ++k) {
        const SubmittedMessage& c = messages[k];
        // A reference reused after its message completed starts a new one.
        if (c.destination == r.destination && c.reference == r.concatReference && c.reference16 == r.reference16 &&
            c.total == r.concatTotal && !c.complete) {
          m = k;
          break;
        }
      }
    }
    if (m == messages.size()) {
      SubmittedMessage c;
      c.destination = r.destination;
      c.reference = r.concatenated ? r.concatReference : -1;
      c.reference16 = r.reference16;
      c.total = r.concatenated ? r.concatTotal : 1;
      c.dcs = r.dcs;
      messages.push_back(c);
      parts.emplace_back(static_cast<size_t>(c.total), nullptr);
    }
    SubmittedMessage& c = messages[m];
    int seq = r.concatenated ? r.concatSequence : 1;
    c.sequences.push_back(seq);
    if (!parts[m][static_cast<size_t>(seq - 1)]) parts[m][static_cast<size_t>(seq - 1)] = &r;
    c.complete = std::all_of(parts[m].begin(), parts[m].end(), [](const SubmitRecord* p) { return p != nullptr; });
  }
  for (size_t m = 0; m < messages.size(); ++m) {
    pdu::Bytes septets, octets;
    const SubmitRecord* first = nullptr;
    std::string latin;
    for (const SubmitRecord* p : parts[m]) {
      messages[m].references.push_back(p ? p->reference : -1);
      if (!p) continue;
      if (!first) first = p;
      septets.insert(septets.end(), p->septets.begin(), p->septets.end());
      octets.insert(octets.end(), p->octets.begin(), p->octets.end());
    }
    if (!first) continue;
    pdu::Alphabet alphabet = pdu::Alphabet::Gsm7;
    pdu::AlphabetOf(first->dcs, &alphabet);
    if (alphabet == pdu::Alphabet::Gsm7) {
      messages[m].text =
          pdu::CodePointsToUtf8(pdu::GsmToTextWith(septets, first->lockingShift, first->singleShift));
    } else if (alphabet == pdu::Alphabet::Ucs2) {
      std::u32string text;
      for (size_t i = 0; i + 1 < octets.size(); i += 2) {
        char32_t u = static_cast<char32_t>((octets[i] << 8) | octets[i + 1]);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < octets.size()) {
          char32_t lo = static_cast<char32_t>((octets[i + 2] << 8) | octets[i + 3]);
          if (lo >= 0xDC00 && lo < 0xE000) {
            text.push_back(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
            i += 2;
            continue;
          }
        }
        text.push_back(u >= 0xD800 && u < 0xE000 ? 0xFFFD : u);
      }
      messages[m].text = pdu::CodePointsToUtf8(text);
    } else {
      messages[m].text = pdu::CodePointsToUtf8(std::u32string(octets.begin(), octets.end()));
    }
  }
  return messages;
}

int ModemSim::CmmsMode() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->cmmsMode;
}

int ModemSim::CnmaCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->cnma;
}

int ModemSim::UnexpectedCnmaCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->unexpectedCnma;
}

int ModemSim::PendingIndications() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return static_cast<int>(impl_->queue.size() + impl_->scheduled.size()) + impl_->writing;
}

void ModemSim::ClearLogs() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->commands.clear();
  impl_->wire.clear();
  impl_->output.clear();
  impl_->submits.clear();
  impl_->cnma = 0;
  impl_->unexpectedCnma = 0;
}

void ModemSim::InjectDeliver(const std::string& from, const std::string& utf8Text) {
  ModemSimOptions o = Options();
  pdu::Deliver d;
  if (!pdu::MakeTextDeliver(o.serviceCentre, from, utf8Text, pdu::LocalNow(), &d))
    throw std::invalid_argument("text does not fit one SMS (160 GSM characters or 70 UCS2 units)");
  impl_->Queue({CmtIndication(pdu::EncodeDeliver(d)), true});
}

int ModemSim::InjectDeliverLong(const std::string& from, const std::string& utf8Text,
                                const DeliverLongOptions& options) {
  ModemSimOptions o = Options();
  pdu::LongMessageOptions lo;
  lo.ucs2 = options.ucs2;
  lo.reference16 = options.reference16;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    int mask = options.reference16 ? 0xFFFF : 0xFF;
    lo.reference = options.reference >= 0 ? options.reference & mask : impl_->nextConcatReference & mask;
    impl_->nextConcatReference = (lo.reference + 1) & mask;
  }
  std::vector<pdu::Deliver> parts;
  if (!pdu::MakeLongDeliver(o.serviceCentre, from, utf8Text, pdu::LocalNow(), lo, &parts))
    throw std::invalid_argument("text needs more than 255 parts");
  const int n = static_cast<int>(parts.size());
  auto check = [n](const std::vector<int>& list, const char* what) {
    for (int p : list)
      if (p < 1 || p > n)
        throw std::invalid_argument(std::string(what) + ": part " + std::to_string(p) + " of a message of " +
                                    std::to_string(n) + " parts");
  };
  check(options.order, "order");
  check(options.duplicate, "duplicate");
  check(options.drop, "drop");
  std::vector<int> order = options.order;
  if (order.empty())
    for (int i = 1; i <= n; ++i) order.push_back(i);
  auto has = [](const std::vector<int>& list, int p) { return std::find(list.begin(), list.end(), p) != list.end(); };
  std::vector<int> sent;
  for (int p : order) {
    if (has(options.drop, p)) continue;
    bool again = has(options.duplicate, p) && !has(sent, p);
    sent.push_back(p);
    if (again) sent.push_back(p);
  }
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (int p : sent) impl_->queue.push_back({CmtIndication(pdu::EncodeDeliver(parts[static_cast<size_t>(p - 1)])), true});
  impl_->WakeLocked();
  return n;
}

void ModemSim::InjectReport(int reference, int status) {
  ModemSimOptions o = Options();
  pdu::StatusReport r;
  r.serviceCentre = o.serviceCentre;
  r.messageReference = reference & 0xFF;
  r.recipient.number = o.ownNumber;
  r.serviceCentreTime = pdu::LocalNow();
  r.dischargeTime = r.serviceCentreTime;
  r.status = status & 0xFF;
  impl_->Queue({CdsIndication(pdu::EncodeStatusReport(r)), true});
}

void ModemSim::InjectCmtPdu(const std::string& pduHex) { impl_->Queue({CmtIndication(pduHex), true}); }

void ModemSim::InjectCdsPdu(const std::string& pduHex) { impl_->Queue({CdsIndication(pduHex), true}); }

void ModemSim::InjectRawLine(const std::string& line) { impl_->Queue({Frame(line), false}); }

void ModemSim::InjectRing() { impl_->Queue({Frame("RING"), false}); }

namespace {
template <typename Pred>
bool WaitFor(std::mutex& mu, std::condition_variable& cv, int timeoutMs, Pred pred) {
  std::unique_lock<std::mutex> lock(mu);
  return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}
}  // namespace

bool ModemSim::WaitForCommandCount(size_t count, int timeoutMs) const {
  return WaitFor(impl_->mu, impl_->cv, timeoutMs, [&] { return impl_->commands.size() >= count; });
}

bool ModemSim::WaitForCommand(const std::string& command, int timeoutMs) const {
  return WaitFor(impl_->mu, impl_->cv, timeoutMs, [&] {
    return std::find(impl_->commands.begin(), impl_->commands.end(), command) != impl_->commands.end();
  });
}

bool ModemSim::WaitForCnmaCount(int count, int timeoutMs) const {
  return WaitFor(impl_->mu, impl_->cv, timeoutMs, [&] { return impl_->cnma >= count; });
}

bool ModemSim::WaitForSubmitCount(size_t count, int timeoutMs) const {
  return WaitFor(impl_->mu, impl_->cv, timeoutMs, [&] { return impl_->submits.size() >= count; });
}

bool ModemSim::WaitForIndicationsWritten(int timeoutMs) const {
  return WaitFor(impl_->mu, impl_->cv, timeoutMs,
                 [&] { return impl_->queue.empty() && impl_->scheduled.empty() && impl_->writing == 0; });
}

bool ModemSim::WaitForOutput(const std::string& text, int timeoutMs) const {
  return WaitFor(impl_->mu, impl_->cv, timeoutMs,
                 [&] { return impl_->output.find(text) != std::string::npos; });
}

}  // namespace vela::sim

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
#include <map>
#include <optional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "common/text.h"
#include "sim_pdu.h"
#include "sim_ussd.h"

namespace vela::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kCtrlZ = 0x1A;
constexpr uint8_t kEsc = 0x1B;
constexpr size_t kMaxLine = 512;  // longer command lines are cut
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

std::string Unquote(const std::string& s) {
  std::string t = TrimControl(s);
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') return t.substr(1, t.size() - 2);
  return t;
}

bool ParseInt(const std::string& s, int* out) {
  std::string t = TrimControl(s);
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

enum class Kind { Raw, Deliver, Report };

// Something for the client: a raw line, or an incoming message or status
// report that the routing settings send directly, to storage, or both.
struct Indication {
  Kind kind = Kind::Raw;
  std::string text;  // Raw: the bytes to write
  std::string pdu;   // Deliver, Report: hex with the service-centre prefix
};

// A +CMT or +CDS written that awaits AT+CNMA.
struct PendingAck {
  bool timed = false;  // ack-timeout profile under message service 1
  Clock::time_point due;
  Indication indication;
};

// One slot of the simulated storage.
struct Slot {
  int status = 0;  // 27.005 <stat>: 0 unread, 1 read, 2 unsent, 3 sent
  bool statusReport = false;
  std::string pdu;
  std::string alpha;
};

const char* const kDefaultAlphaNames[] = {"BROOKE", "OK", "ERROR", "READY", "> x", "004F004B"};
constexpr size_t kMaxPendingAcks = 10000;
constexpr int kPinAttempts = 3;
constexpr int kPukAttempts = 10;

struct Scheduled {
  Clock::time_point due;
  Indication indication;
  bool isReport = false;  // built at its due time so that TP-DT is the discharge time
  pdu::StatusReport report;
};

std::string CmtIndication(const std::string& pduHex, const std::string& alpha = "") {
  std::string name = alpha.empty() ? "" : "\"" + alpha + "\"";
  return "\r\n+CMT: " + name + "," + std::to_string(pdu::TpduLength(pduHex)) + "\r\n" + pduHex + "\r\n";
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
      if (c == '\r')
        text += "\\r";
      else if (c == '\n')
        text += "\\n";
      else if (c < 0x20 || c >= 0x7F) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        text += hex;
      } else
        text.push_back(static_cast<char>(c));
    }
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - traceStart).count();
    std::fprintf(trace, "%8lld %s%s\n", ms, dir, text.c_str());
    std::fflush(trace);
  }

  // ---- shared state, guarded by mu ----
  mutable std::mutex mu;
  // A copy of `field`, read under `mu` (for the test accessors).
  template <class T>
  T Locked(T Impl::*field) const {
    std::lock_guard<std::mutex> lock(mu);
    return this->*field;
  }
  mutable std::condition_variable cv;
  ModemSimOptions opts;
  std::vector<std::string> commands;
  std::string wire, output;
  std::vector<SubmitRecord> submits;
  int cnma = 0, unexpectedCnma = 0;
  int deliveriesWritten = 0, reportsWritten = 0, storageIndications = 0, messagesStored = 0;
  int routingDrops = 0;
  std::map<std::pair<std::string, int>, int> deletions;  // (storage, index) -> slots emptied
  int totalDeletions = 0;
  std::vector<std::optional<Slot>> sm, me;  // storage, guarded by mu
  std::deque<Indication> heldByNetwork;     // arrived while the storage was full
  uint64_t generation = 0;                  // counts state changes (WaitUntil)
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
  bool pduMode = false;  // typing a PDU after the "> " prompt
  int pduLength = 0;
  std::string pduText;
  bool pduOverflow = false;
  std::string line;
  int nextReference = 1;
  std::deque<PendingAck> pendingAcks;
  // Routing (+CNMI): before the client sets it, `initial` decides.
  enum class Routing { Direct, StoreIndicate, StoreSilent };
  bool cnmiSet = false;
  int cnmiMt = 0, cnmiDs = 0;
  Routing initialRoute = Routing::Direct;
  size_t alphaNext = 0;
  std::string mem1 = "SM", mem2 = "SM", mem3 = "SM";  // read/delete, write, receive (+CPMS)
  // SIM lock state beyond "PIN asked" (pin-counter profile).
  bool pukRequired = false, simBlocked = false;
  int pinLeft = kPinAttempts, pukLeft = kPukAttempts;
  std::string currentPin;
  bool plugged = true;
  std::deque<Indication> heldWhileUnplugged;  // the network retries them once the modem is back
  int request = 0;                            // 1 unplug, 2 replug (serving thread performs it)
  bool requestDone = false;
  std::string requestError;
  std::string outBuf;

  UssdNetwork ussd;
  std::string ussdHeld;  // a +CUSD line for the next command's answer (ussdDuringNextCommand)

  // AT+CUSD (27.007 7.15): <n> 1 with a string is a request, <n> 2 ends the
  // session; the answer follows the OK as an indication.
  std::string UssdCommand(const ModemSimOptions& o, bool test, bool read, bool set, const std::string& args) {
    if (test) return Info("+CUSD: (0-2)");
    if (read) return Info("+CUSD: 1");
    if (!set) return kError;
    std::string rest = TrimControl(args);
    size_t comma = rest.find(',');
    int n;
    if (!ParseInt(rest.substr(0, comma), &n) || n > 2) return CmeError(50);  // incorrect parameters
    if (n == 2) {
      ussd.Cancel();
      return kOk;
    }
    if (comma == std::string::npos) return kOk;  // presentation on/off only
    std::string str = rest.substr(comma + 1);
    size_t open = str.find('"'), close = str.rfind('"');
    if (open == std::string::npos || close <= open) return CmeError(50);
    std::optional<std::string> answer = ussd.Request(str.substr(open + 1, close - open - 1), o.ussdForm);
    if (!answer) return kOk;  // the network never answers
    if (o.ussdDuringNextCommand) {
      ussdHeld = *answer;
    } else {
      std::lock_guard<std::mutex> lock(mu);
      Scheduled s;
      s.due = Clock::now() + std::chrono::milliseconds(std::max(0, o.ussdDelayMs));
      s.indication = {Kind::Raw, Frame(*answer), ""};
      scheduled.push_back(std::move(s));
    }
    return kOk;
  }

  // A held +CUSD goes into this answer, before its final result code.
  std::string WithHeldUssd(std::string response) {
    if (ussdHeld.empty() || response.size() < 4) return response;
    size_t final = response.rfind("\r\n", response.size() - 3);
    if (final == std::string::npos) return response;
    response.insert(final, Frame(ussdHeld));
    ussdHeld.clear();
    return response;
  }

  std::string cnmiNow = "0,0,0,0,0";  // copy of cnmi for other threads, guarded by mu
  void SetCnmi(const std::string& value) {
    cnmi = value;
    std::lock_guard<std::mutex> lock(mu);
    cnmiNow = value;
  }

  void Notify() {
    {
      std::lock_guard<std::mutex> lock(mu);
      ++generation;
    }
    cv.notify_all();
  }

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
    Notify();
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
  // The answer to a sent PDU while the network takes its time (sendDelayMs).
  std::string heldAnswer;
  Clock::time_point heldUntil;

  bool LineIdle() const { return !pduMode && (line.empty() || Clock::now() - lastByte >= kTypingPause); }

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
            it->indication.pdu = pdu::EncodeStatusReport(it->report);
          }
          queue.push_back(std::move(it->indication));
          it = scheduled.erase(it);
        } else {
          ++it;
        }
      }
      if (!plugged || !LineIdle() || queue.empty()) return;
      ready.swap(queue);
      writing = static_cast<int>(ready.size());
      silent = opts.silent;
    }
    for (Indication& ind : ready) {
      if (silent) continue;  // a dead modem says nothing, indications included
      Dispatch(ind);
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      writing = 0;
    }
    Notify();
  }

  int PollTimeoutMs() {
    std::lock_guard<std::mutex> lock(mu);
    bool heldByLine = !queue.empty() && !pduMode && !line.empty();
    bool timedAck = false;
    for (const PendingAck& a : pendingAcks) timedAck = timedAck || a.timed;
    if (scheduled.empty() && !heldByLine && !timedAck && heldAnswer.empty()) return -1;
    auto earliest = heldByLine ? lastByte + kTypingPause : Clock::time_point::max();
    if (!heldAnswer.empty()) earliest = std::min(earliest, heldUntil);
    for (const Scheduled& s : scheduled) earliest = std::min(earliest, s.due);
    for (const PendingAck& a : pendingAcks)
      if (a.timed) earliest = std::min(earliest, a.due);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(earliest - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(std::min<long long>(ms + 1, 60000));
  }

  void Serve() {
    char buf[4096];
    while (!stopRequested) {
      pollfd fds[2] = {{master, static_cast<short>(POLLIN | (outBuf.empty() ? 0 : POLLOUT)), 0}, {wakeRead, POLLIN, 0}};
      int rc = poll(fds, 2, PollTimeoutMs());
      if (rc < 0 && errno != EINTR) break;
      if (stopRequested) break;
      if (fds[1].revents & POLLIN) {
        while (read(wakeRead, buf, sizeof buf) > 0) {}
      }
      HandleRequest();
      if (!plugged) {
        FlushIndications();  // moves due reports into the queue, where they wait
        continue;
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
          Notify();
        }
      } else if (fds[0].revents & (POLLHUP | POLLERR)) {
        // No slave open (cannot happen while slaveKeep is held, but never spin).
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      ExpireAcks();
      if (!heldAnswer.empty() && Clock::now() >= heldUntil) {
        std::string answer;
        answer.swap(heldAnswer);
        Emit(answer);
      }
      FlushIndications();
      Flush();
    }
  }

  // ---- routing, storage ----

  Routing RouteFor(const ModemSimOptions& o, bool report) const {
    if (!cnmiSet) return o.noCnma || o.cmtiOnly ? Routing::StoreIndicate : initialRoute;
    int v = report ? cnmiDs : cnmiMt;
    if (v == 0) return Routing::StoreSilent;
    if (o.cmtiOnly) return Routing::StoreIndicate;
    if (report) return v == 1 ? Routing::Direct : Routing::StoreIndicate;
    return v == 2 ? Routing::Direct : Routing::StoreIndicate;  // mt 3: class 3 only would be direct
  }

  std::string NextAlpha(const ModemSimOptions& o) {
    if (!o.alpha) return "";
    size_t n = o.alphaNames.empty() ? std::size(kDefaultAlphaNames) : o.alphaNames.size();
    size_t k = alphaNext++ % n;
    return o.alphaNames.empty() ? kDefaultAlphaNames[k] : o.alphaNames[k];
  }

  // Storage named by +CPMS: "SM", "ME" or "MT" (SM indexes 1..simCapacity,
  // then ME). Caller holds mu.
  std::vector<std::optional<Slot>>* Physical(const std::string& name) {
    return name == "SM" ? &sm : name == "ME" ? &me : nullptr;
  }
  std::optional<Slot>* SlotAt(const std::string& mem, int index, std::string* physical = nullptr,
                              int* physicalIndex = nullptr) {
    if (index < 1) return nullptr;
    std::string name = mem;
    int i = index;
    if (mem == "MT") {
      name = i <= static_cast<int>(sm.size()) ? "SM" : "ME";
      if (name == "ME") i -= static_cast<int>(sm.size());
    }
    std::vector<std::optional<Slot>>* store = Physical(name);
    if (!store || i > static_cast<int>(store->size())) return nullptr;
    if (physical) *physical = name;
    if (physicalIndex) *physicalIndex = i;
    return &(*store)[static_cast<size_t>(i - 1)];
  }
  int Capacity(const std::string& mem) const {
    if (mem == "MT") return static_cast<int>(sm.size() + me.size());
    return static_cast<int>(mem == "SM" ? sm.size() : me.size());
  }
  int Used(const std::string& mem) const {
    auto used = [](const std::vector<std::optional<Slot>>& v) {
      return static_cast<int>(
          std::count_if(v.begin(), v.end(), [](const std::optional<Slot>& x) { return x.has_value(); }));
    };
    if (mem == "MT") return used(sm) + used(me);
    return used(mem == "SM" ? sm : me);
  }
  // Stores in the first free slot of mem; returns the index there, -1 when full.
  int StoreLocked(const std::string& mem, Slot slot) {
    for (int i = 1; i <= Capacity(mem); ++i) {
      std::optional<Slot>* at = SlotAt(mem, i);
      if (at && !at->has_value()) {
        *at = std::move(slot);
        ++messagesStored;
        return i;
      }
    }
    return -1;
  }

  void Dispatch(const Indication& ind) {
    if (ind.kind == Kind::Raw) {
      Emit(ind.text);
      return;
    }
    ModemSimOptions o = Snapshot();
    bool report = ind.kind == Kind::Report;
    Routing route = RouteFor(o, report);
    if (route == Routing::Direct) {
      {
        std::lock_guard<std::mutex> lock(mu);
        ++(report ? reportsWritten : deliveriesWritten);
      }
      Emit(report ? CdsIndication(ind.pdu) : CmtIndication(ind.pdu, NextAlpha(o)));
      if (!o.noCnma) {
        PendingAck a;
        a.timed = o.ackTimeout && smsService == 1;
        a.due = Clock::now() + std::chrono::milliseconds(std::max(0, o.ackTimeoutMs));
        a.indication = ind;
        pendingAcks.push_back(std::move(a));
        // A client that never acknowledges (message service 0) must not make
        // the list grow for ever; the oldest awaits nothing any more.
        if (pendingAcks.size() > kMaxPendingAcks) pendingAcks.pop_front();
      }
      return;
    }
    Slot slot;
    slot.statusReport = report;
    slot.pdu = ind.pdu;
    if (!report) slot.alpha = NextAlpha(o);
    int index;
    {
      std::lock_guard<std::mutex> lock(mu);
      index = StoreLocked(mem3, std::move(slot));
      // A full storage: the network keeps the message and tries again after a deletion.
      if (index < 0) heldByNetwork.push_back(ind);
      if (heldByNetwork.size() > kMaxPendingAcks) heldByNetwork.pop_front();  // expired at the network
      if (index >= 0 && route == Routing::StoreIndicate) ++storageIndications;
    }
    Notify();
    if (index >= 0 && route == Routing::StoreIndicate)
      Emit(Frame(std::string(report ? "+CDSI: \"" : "+CMTI: \"") + mem3 + "\"," + std::to_string(index)));
  }

  // Under the ack-timeout profile an indication left unacknowledged switches
  // routing off (27.005 +CNMA: <mt> and <ds> set to 0).
  void ExpireAcks() {
    auto now = Clock::now();
    bool expired = false;
    for (const PendingAck& a : pendingAcks) expired = expired || (a.timed && a.due <= now);
    if (!expired) return;
    cnmiSet = true;
    cnmiMt = cnmiDs = 0;
    std::vector<std::string> f = SplitCommas(cnmi);
    f.resize(std::max<size_t>(f.size(), 5));
    f[1] = "0";
    f[3] = "0";
    SetCnmi(f[0] + "," + f[1] + "," + f[2] + "," + f[3] + "," + f[4]);
    std::deque<PendingAck> lost;
    lost.swap(pendingAcks);
    {
      std::lock_guard<std::mutex> lock(mu);
      ++routingDrops;
    }
    Notify();
    if (!Snapshot().ackTimeoutRedeliver) return;
    for (const PendingAck& a : lost) Dispatch(a.indication);  // routing off: stored silently
  }

  // After a deletion, what the network held back for lack of room comes again.
  void RetryHeld() {
    std::lock_guard<std::mutex> lock(mu);
    while (!heldByNetwork.empty()) {
      queue.push_front(std::move(heldByNetwork.back()));
      heldByNetwork.pop_back();
    }
    WakeLocked();
  }

  std::string StorageList(const std::string& mem, int stat) {
    std::string out;
    std::lock_guard<std::mutex> lock(mu);
    for (int i = 1; i <= Capacity(mem); ++i) {
      std::optional<Slot>* at = SlotAt(mem, i);
      if (!at || !at->has_value() || (stat != 4 && (*at)->status != stat)) continue;
      Slot& slot = **at;
      out += "+CMGL: " + std::to_string(i) + "," + std::to_string(slot.status) + "," +
             (slot.alpha.empty() ? "" : "\"" + slot.alpha + "\"") + "," + std::to_string(pdu::TpduLength(slot.pdu)) +
             "\r\n" + slot.pdu + "\r\n";
      if (slot.status == 0) slot.status = 1;  // received unread -> received read
    }
    return out;
  }

  std::string StorageCommand(const std::string& name, bool test, bool read, bool set, const std::string& args) {
    std::vector<std::string> a = SplitCommas(args);
    if (name == "+CPMS") {
      if (test) return Info("+CPMS: (\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\"),(\"SM\",\"ME\",\"MT\")");
      std::lock_guard<std::mutex> lock(mu);
      auto counts = [this](const std::string& m) {
        return std::to_string(Used(m)) + "," + std::to_string(Capacity(m));
      };
      if (read) {
        return Info("+CPMS: \"" + mem1 + "\"," + counts(mem1) + ",\"" + mem2 + "\"," + counts(mem2) + ",\"" + mem3 +
                    "\"," + counts(mem3));
      }
      if (!set || a.size() > 3) return kError;
      std::string want[3] = {mem1, mem2, mem3};
      for (size_t k = 0; k < a.size(); ++k) {
        std::string m = Upper(Unquote(a[k]));
        if (m != "SM" && m != "ME" && m != "MT") return CmsError(302);
        want[k] = m;
      }
      mem1 = want[0];
      mem2 = want[1];
      mem3 = want[2];
      return Info("+CPMS: " + counts(mem1) + "," + counts(mem2) + "," + counts(mem3));
    }
    if (name == "+CMGL") {
      if (test) return Info("+CMGL: (0-4)");
      int stat = 0;  // PDU mode: received unread when no status is given
      if (set && !ParseInt(args, &stat)) return CmsError(304);
      if (read || stat > 4) return CmsError(304);
      std::string list = StorageList(mem1, stat);
      Notify();
      return list.empty() ? kOk : "\r\n" + list + kOk;
    }
    if (name == "+CMGR") {
      if (test) return kOk;
      int index;
      if (!set || !ParseInt(a[0], &index)) return CmsError(304);
      std::string out;
      {
        std::lock_guard<std::mutex> lock(mu);
        std::optional<Slot>* at = SlotAt(mem1, index);
        if (!at || !at->has_value()) return CmsError(321);  // invalid memory index
        Slot& slot = **at;
        out =
            Frame("+CMGR: " + std::to_string(slot.status) + "," + (slot.alpha.empty() ? "" : "\"" + slot.alpha + "\"") +
                  "," + std::to_string(pdu::TpduLength(slot.pdu)));
        out += slot.pdu + "\r\n" + kOk;
        if (slot.status == 0) slot.status = 1;
      }
      Notify();
      return out;
    }
    if (name == "+CMGD") {
      if (test) {
        std::lock_guard<std::mutex> lock(mu);
        std::string used;
        for (int i = 1; i <= Capacity(mem1); ++i) {
          std::optional<Slot>* at = SlotAt(mem1, i);
          if (at && at->has_value()) used += (used.empty() ? "" : ",") + std::to_string(i);
        }
        return Info("+CMGD: (" + used + "),(0-4)");
      }
      int index = 0, flag = 0;
      if (!set || !ParseInt(a[0], &index) || (a.size() > 1 && (!ParseInt(a[1], &flag) || flag > 4)))
        return CmsError(304);
      bool deleted = false;
      {
        std::lock_guard<std::mutex> lock(mu);
        auto erase = [this](const std::string& mem, int i) {
          std::string physical;
          int pi = 0;
          std::optional<Slot>* at = SlotAt(mem, i, &physical, &pi);
          if (!at || !at->has_value()) return false;
          at->reset();
          ++deletions[{physical, pi}];
          ++totalDeletions;
          return true;
        };
        if (flag == 0) {
          std::optional<Slot>* at = SlotAt(mem1, index);
          if (!at) return CmsError(321);
          deleted = erase(mem1, index);
        } else {
          // 1: read ones, 2: read and sent, 3: read, sent and unsent, 4: all.
          for (int i = 1; i <= Capacity(mem1); ++i) {
            std::optional<Slot>* at = SlotAt(mem1, i);
            if (!at || !at->has_value()) continue;
            int st = (*at)->status;
            bool match = flag == 4 || st == 1 || (flag >= 2 && st == 3) || (flag >= 3 && st == 2);
            if (match) deleted = erase(mem1, i) || deleted;
          }
        }
      }
      Notify();
      if (deleted) RetryHeld();
      return kOk;
    }
    return kError;
  }

  // ---- PIN counter state file: "pin_left N", "puk_left N", "pin P" lines ----
  void LoadPinState() {
    ModemSimOptions o = Snapshot();
    currentPin = o.pin;
    if (!o.pinCounter || o.stateFile.empty()) return;
    std::FILE* f = std::fopen(o.stateFile.c_str(), "r");
    if (!f) return;
    char key[32], value[64];
    while (std::fscanf(f, "%31s %63s", key, value) == 2) {
      std::string k = key;
      if (k == "pin_left")
        pinLeft = std::max(0, std::min(kPinAttempts, std::atoi(value)));
      else if (k == "puk_left")
        pukLeft = std::max(0, std::min(kPukAttempts, std::atoi(value)));
      else if (k == "pin")
        currentPin = value;
    }
    std::fclose(f);
    pukRequired = pinLeft == 0 && pukLeft > 0;
    simBlocked = pukLeft == 0;
  }
  void SavePinState() {
    ModemSimOptions o = Snapshot();
    if (!o.pinCounter || o.stateFile.empty()) return;
    std::string tmp = o.stateFile + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return;
    std::fprintf(f, "pin_left %d\npuk_left %d\npin %s\n", pinLeft, pukLeft, currentPin.c_str());
    std::fclose(f);
    std::rename(tmp.c_str(), o.stateFile.c_str());
  }

  std::string PinCommand(const ModemSimOptions& o, bool test, bool read, bool set, const std::string& args) {
    if (test) return kOk;
    if (read) {
      if (simBlocked) return CmeError(13);  // SIM failure: blocked for good
      return Info(pukRequired ? "+CPIN: SIM PUK" : simReady ? "+CPIN: READY" : "+CPIN: SIM PIN");
    }
    if (!set) return kError;
    std::vector<std::string> a = SplitCommas(args);
    if (!o.pinCounter) {
      if (simReady) return CmeError(3);                 // operation not allowed: no PIN is asked for
      if (Unquote(a[0]) != o.pin) return CmeError(16);  // incorrect password
      simReady = true;
      cmgfFailuresLeft = o.failCmgfTimes;
      return kOk;
    }
    if (simBlocked) return CmeError(13);
    if (pukRequired) {
      if (a.size() < 2) return CmeError(12);  // SIM PUK required
      if (Unquote(a[0]) != o.puk) {
        --pukLeft;
        simBlocked = pukLeft == 0;
        SavePinState();
        return CmeError(16);
      }
      currentPin = Unquote(a[1]);
      pukRequired = false;
      pinLeft = kPinAttempts;
      pukLeft = kPukAttempts;
      simReady = true;
      cmgfFailuresLeft = o.failCmgfTimes;
      SavePinState();
      return kOk;
    }
    if (simReady) return CmeError(3);
    if (Unquote(a[0]) != currentPin) {
      --pinLeft;
      pukRequired = pinLeft == 0;
      SavePinState();
      return CmeError(16);
    }
    pinLeft = kPinAttempts;
    simReady = true;
    cmgfFailuresLeft = o.failCmgfTimes;
    SavePinState();
    return kOk;
  }

  // The SIM's state for commands that need it: "" when ready, else the error.
  std::string SimGate() const {
    if (simBlocked) return CmeError(13);
    if (pukRequired) return CmeError(12);  // SIM PUK required
    if (!simReady) return CmeError(11);    // SIM PIN required
    return "";
  }

  // ---- unplug / replug, performed on the serving thread ----
  void Request(int op) {
    std::unique_lock<std::mutex> lock(mu);
    if (!opts.unplug) throw std::logic_error("unplug and replug need the unplug profile");
    if (!running) throw std::logic_error("the simulator is not running");
    request = op;
    requestDone = false;
    requestError.clear();
    WakeLocked();
    cv.wait(lock, [&] { return requestDone || !running; });
    if (!requestError.empty()) throw std::runtime_error(requestError);
  }

  void HandleRequest() {
    int op;
    {
      std::lock_guard<std::mutex> lock(mu);
      op = request;
    }
    if (op == 0) return;
    std::string error;
    try {
      if (op == 1 && plugged) DoUnplug();
      if (op == 2 && !plugged) DoReplug();
    } catch (const std::exception& e) {
      error = e.what();
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      request = 0;
      requestDone = true;
      requestError = error;
    }
    Notify();
  }

  void DoUnplug() {
    RemoveLink(Snapshot().linkPath);
    {
      std::lock_guard<std::mutex> lock(mu);
      for (int* fd : {&master, &slaveKeep}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
      }
      plugged = false;
      // Under message service 1, what the modem had written and not seen
      // acknowledged the network sends again later.
      if (smsService == 1)
        for (PendingAck& a : pendingAcks) heldWhileUnplugged.push_back(std::move(a.indication));
    }
    pendingAcks.clear();
    outBuf.clear();
    line.clear();
    pduMode = false;
  }

  void DoReplug() {
    OpenPty();
    std::string link = Snapshot().linkPath;
    if (!link.empty()) MakeLink(link);
    ModemSimOptions o = Snapshot();
    // A modem that has just started: power-on settings; messages go to storage
    // until the client sets routing again.
    echo = o.echo;
    simReady = o.pin.empty() && !pukRequired && !simBlocked;
    if (!o.pinCounter) simReady = o.pin.empty();
    cmgfFailuresLeft = 0;
    smsService = 0;
    SetCnmi("0,0,0,0,0");
    cnmiSet = false;
    cnmiMt = cnmiDs = 0;
    initialRoute = Routing::StoreSilent;
    nextReference = 1;
    std::lock_guard<std::mutex> lock(mu);
    cmmsMode = 0;
    mem1 = mem2 = mem3 = "SM";
    plugged = true;
    while (!heldWhileUnplugged.empty()) {
      queue.push_front(std::move(heldWhileUnplugged.back()));
      heldWhileUnplugged.pop_back();
    }
    WakeLocked();
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
    std::string command = TrimControl(typed);
    if (command.empty()) return;  // an empty line is no command and gets no answer
    bool silent;
    {
      std::lock_guard<std::mutex> lock(mu);
      commands.push_back(typed);
      CapLog(&commands);
      silent = opts.silent;
    }
    Notify();
    if (silent) return;
    const bool ussdBefore = !ussdHeld.empty();
    std::string response = Execute(command);
    Emit(ussdBefore ? WithHeldUssd(std::move(response)) : response);
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
    if (name == "+CSQ")
      return exec ? Info("+CSQ: " + std::to_string(o.rssi) + ",99") : test ? Info("+CSQ: (0-31,99),(0-7,99)") : kError;
    if (name == "+CREG")
      return read ? Info("+CREG: 0," + std::to_string(o.registration)) : (set || test) ? kOk : kError;

    if (name == "+CPIN") return PinCommand(o, test, read, set, args);
    if (name == "+CPINR") {
      if (!o.pinCounter) return kError;
      if (test) return kOk;
      std::string want = Upper(Unquote(SplitCommas(args)[0]));
      std::string lines;  // several information lines: one CR LF between them
      if (want.empty() || want == "SIM PIN") lines += "+CPINR: SIM PIN," + std::to_string(pinLeft) + ",3";
      if (want.empty() || want == "SIM PUK")
        lines += (lines.empty() ? "" : "\r\n") + std::string("+CPINR: SIM PUK,") + std::to_string(pukLeft) + ",10";
      return lines.empty() ? kOk : Info(lines);
    }
    if (name == "+CEREG")
      return read ? Info("+CEREG: 0," + std::to_string(o.registration)) : (set || test) ? kOk : kError;
    if (name == "+COPS") {
      if (test)
        return Info("+COPS: (2,\"" + o.operatorName + "\",\"" + o.operatorName + "\",\"00101\",0),,(0-4),(0-2)");
      if (read) {
        bool registered = o.registration == 1 || o.registration == 5;
        return Info(registered ? "+COPS: 0,0,\"" + o.operatorName + "\",0" : "+COPS: 0");
      }
      return set ? kOk : kError;
    }
    if (name == "+CIMI" || name == "+CCID" || name == "+ICCID") {
      if (test) return kOk;
      if (!exec && !(read && name != "+CIMI")) return kError;
      std::string gate = SimGate();
      if (!gate.empty() && name == "+CIMI") return gate;
      if (name == "+CIMI") return Info(o.imsi);
      return Info(name + ": " + o.iccid);
    }

    if (name == "+CUSD") return UssdCommand(o, test, read, set, args);

    static const char* const kSmsCommands[] = {"+CMGF", "+CSMS", "+CNMI", "+CNMA", "+CMGS", "+CSCA",
                                               "+CPMS", "+CMMS", "+CMGL", "+CMGR", "+CMGD"};
    bool isSms = std::find(std::begin(kSmsCommands), std::end(kSmsCommands), name) != std::end(kSmsCommands);
    if (!isSms) return kError;
    std::string gate = SimGate();
    if (!gate.empty()) return gate;

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
      if (service == 1 && o.noCnma) return CmsError(303);  // operation not supported
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
      // A modem without direct routing offers only storage for messages.
      if (test) return Info(o.noCnma ? "+CNMI: (0-3),(0,1),(0-3),(0-2),(0,1)" : "+CNMI: (0-3),(0-3),(0-3),(0-2),(0,1)");
      if (read) return Info("+CNMI: " + cnmi);
      if (!set) return kError;
      static const int kMax[] = {3, 3, 3, 2, 1};
      std::vector<std::string> parts = SplitCommas(args);
      if (parts.size() > 5) return CmsError(303);
      for (size_t k = 0; k < parts.size(); ++k) {
        int v;
        if (!TrimControl(parts[k]).empty() && (!ParseInt(parts[k], &v) || v > kMax[k])) return CmsError(303);
      }
      int mt = cnmiMt, ds = cnmiDs;
      if (parts.size() > 1 && !TrimControl(parts[1]).empty()) ParseInt(parts[1], &mt);
      if (parts.size() > 3 && !TrimControl(parts[3]).empty()) ParseInt(parts[3], &ds);
      // Without +CNMA nothing can be routed directly under acknowledgement.
      if (o.noCnma && (mt == 2 || mt == 3)) return CmsError(303);
      cnmiMt = mt;
      cnmiDs = ds;
      cnmiSet = true;
      SetCnmi(TrimControl(args));
      return kOk;
    }
    if (name == "+CNMA") {
      if (test) return kOk;
      if (o.noCnma) {
        {
          std::lock_guard<std::mutex> lock(mu);
          ++cnma;
          ++unexpectedCnma;
        }
        Notify();
        return CmsError(303);
      }
      bool expected = !pendingAcks.empty();
      if (expected) pendingAcks.pop_front();
      {
        std::lock_guard<std::mutex> lock(mu);
        ++cnma;
        if (!expected) ++unexpectedCnma;
      }
      Notify();
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
    if (name == "+CPMS" || name == "+CMGL" || name == "+CMGR" || name == "+CMGD")
      return StorageCommand(name, test, read, set, args);
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
    } else if (o.cmsError > 0) {
      rec.cmsError = o.cmsError;
      rec.error = "refused by configuration";
      answer = CmsError(o.cmsError);
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
    Notify();
    if (o.sendDelayMs > 0) {
      heldAnswer = answer;
      heldUntil = Clock::now() + std::chrono::milliseconds(o.sendDelayMs);
      return;
    }
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
      s.indication = {Kind::Deliver, "", pdu::EncodeDeliver(d)};
      scheduled.push_back(std::move(s));
    }
    if (submit.statusReportRequest()) {
      Scheduled s;
      s.due = t0 + std::chrono::milliseconds(std::max(0, o.reportDelayMs));
      s.indication.kind = Kind::Report;
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
    OpenPty();
    int p[2];
    if (pipe(p) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    wakeRead = p[0];
    wakeWrite = p[1];
    for (int fd : p) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  }

  void OpenPty() {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) throw std::runtime_error(std::string("posix_openpt: ") + std::strerror(errno));
    {
      std::lock_guard<std::mutex> lock(mu);
      master = m;
    }
    if (master < 0) throw std::runtime_error(std::string("posix_openpt: ") + std::strerror(errno));
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
      throw std::runtime_error(std::string("pty setup: ") + std::strerror(errno));
    {
      std::lock_guard<std::mutex> lock(mu);
      slavePath = name;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    termios t{};
    if (tcgetattr(master, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(master, TCSANOW, &t);
    }
    // Holding a slave descriptor keeps the master from seeing EIO/POLLHUP while
    // no client has the port open, so clients may close and reopen at will.
    int keep = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (keep < 0) throw std::runtime_error(std::string("open ") + name + ": " + std::strerror(errno));
    std::lock_guard<std::mutex> lock(mu);
    slaveKeep = keep;
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
    ModemSimOptions o = Options();
    {
      std::lock_guard<std::mutex> lock(impl_->mu);
      impl_->sm.resize(static_cast<size_t>(std::max(1, o.simCapacity)));
      impl_->me.resize(static_cast<size_t>(std::max(1, o.meCapacity)));
    }
    impl_->LoadPinState();
    for (const ModemSimOptions::StoredText& t : o.storedMessages) {
      try {
        AddStored(t.from, t.text);
      } catch (const std::invalid_argument& e) {
        throw std::runtime_error("stored message from " + t.from + ": " + e.what());
      }
    }
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
  impl_->Notify();
}

bool ModemSim::Running() const { return impl_->Locked(&Impl::running); }

std::string ModemSim::DevicePath() const { return impl_->Locked(&Impl::slavePath); }

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

std::vector<std::string> ModemSim::Commands() const { return impl_->Locked(&Impl::commands); }

std::string ModemSim::WireLog() const { return impl_->Locked(&Impl::wire); }

std::string ModemSim::OutputLog() const { return impl_->Locked(&Impl::output); }

std::vector<SubmitRecord> ModemSim::Submits() const { return impl_->Locked(&Impl::submits); }

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
      messages[m].text = pdu::CodePointsToUtf8(pdu::GsmToTextWith(septets, first->lockingShift, first->singleShift));
    } else if (alphabet == pdu::Alphabet::Ucs2) {
      messages[m].text = pdu::CodePointsToUtf8(pdu::Utf16ToCodePoints(octets));
    } else {
      messages[m].text = pdu::CodePointsToUtf8(std::u32string(octets.begin(), octets.end()));
    }
  }
  return messages;
}

int ModemSim::CmmsMode() const { return impl_->Locked(&Impl::cmmsMode); }

int ModemSim::CnmaCount() const { return impl_->Locked(&Impl::cnma); }

int ModemSim::UnexpectedCnmaCount() const { return impl_->Locked(&Impl::unexpectedCnma); }

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
  impl_->deliveriesWritten = impl_->reportsWritten = impl_->storageIndications = 0;
  impl_->messagesStored = impl_->routingDrops = impl_->totalDeletions = 0;
  impl_->deletions.clear();
}

int ModemSim::DeliveriesWritten() const { return impl_->Locked(&Impl::deliveriesWritten); }

int ModemSim::ReportsWritten() const { return impl_->Locked(&Impl::reportsWritten); }

int ModemSim::StorageIndicationsWritten() const { return impl_->Locked(&Impl::storageIndications); }

int ModemSim::MessagesStored() const { return impl_->Locked(&Impl::messagesStored); }

int ModemSim::DeletionCount(const std::string& storage, int index) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->deletions.find({storage, index});
  return it == impl_->deletions.end() ? 0 : it->second;
}

int ModemSim::TotalDeletions() const { return impl_->Locked(&Impl::totalDeletions); }

int ModemSim::RoutingDrops() const { return impl_->Locked(&Impl::routingDrops); }

std::vector<StoredEntry> ModemSim::Stored() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<StoredEntry> out;
  for (const char* name : {"SM", "ME"}) {
    const std::vector<std::optional<Slot>>& store = std::string(name) == "SM" ? impl_->sm : impl_->me;
    for (size_t i = 0; i < store.size(); ++i) {
      if (!store[i]) continue;
      out.push_back(
          {name, static_cast<int>(i + 1), store[i]->status, store[i]->statusReport, store[i]->pdu, store[i]->alpha});
    }
  }
  return out;
}

std::string ModemSim::Cnmi() const { return impl_->Locked(&Impl::cnmiNow); }

int ModemSim::AddStored(const std::string& from, const std::string& utf8Text, int status, const std::string& storage) {
  ModemSimOptions o = Options();
  pdu::Deliver d;
  if (!pdu::MakeTextDeliver(o.serviceCentre, from, utf8Text, pdu::LocalNow(), &d))
    throw std::invalid_argument("text does not fit one SMS (160 GSM characters or 70 UCS2 units)");
  Slot slot;
  slot.status = status;
  slot.pdu = pdu::EncodeDeliver(d);
  int index;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (!impl_->Physical(storage)) throw std::invalid_argument("no storage " + storage + " (SM or ME)");
    index = impl_->StoreLocked(storage, std::move(slot));
  }
  if (index < 0) throw std::invalid_argument("storage " + storage + " is full");
  impl_->Notify();
  return index;
}

void ModemSim::Unplug() { impl_->Request(1); }

void ModemSim::Replug() { impl_->Request(2); }

bool ModemSim::Plugged() const { return impl_->Locked(&Impl::plugged); }

bool ModemSim::WaitUntil(const std::function<bool()>& pred, int timeoutMs) const {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    uint64_t seen;
    {
      std::lock_guard<std::mutex> lock(impl_->mu);
      seen = impl_->generation;
    }
    if (pred()) return true;
    std::unique_lock<std::mutex> lock(impl_->mu);
    if (!impl_->cv.wait_until(lock, deadline, [&] { return impl_->generation != seen; })) {
      lock.unlock();
      return pred();
    }
  }
}

void ModemSim::InjectDeliver(const std::string& from, const std::string& utf8Text) {
  ModemSimOptions o = Options();
  pdu::Deliver d;
  if (!pdu::MakeTextDeliver(o.serviceCentre, from, utf8Text, pdu::LocalNow(), &d))
    throw std::invalid_argument("text does not fit one SMS (160 GSM characters or 70 UCS2 units)");
  impl_->Queue({Kind::Deliver, "", pdu::EncodeDeliver(d)});
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
  for (int p : sent) impl_->queue.push_back({Kind::Deliver, "", pdu::EncodeDeliver(parts[static_cast<size_t>(p - 1)])});
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
  impl_->Queue({Kind::Report, "", pdu::EncodeStatusReport(r)});
}

void ModemSim::InjectCmtPdu(const std::string& pduHex) { impl_->Queue({Kind::Deliver, "", pduHex}); }

void ModemSim::InjectCdsPdu(const std::string& pduHex) { impl_->Queue({Kind::Report, "", pduHex}); }

void ModemSim::InjectRawLine(const std::string& line) { impl_->Queue({Kind::Raw, Frame(line), ""}); }

void ModemSim::InjectRing() { impl_->Queue({Kind::Raw, Frame("RING"), ""}); }

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
  return WaitFor(impl_->mu, impl_->cv, timeoutMs, [&] { return impl_->output.find(text) != std::string::npos; });
}

}  // namespace vela::sim

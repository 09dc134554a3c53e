// A scripted modem with state, for the driver's whole-message and storage
// dialogues: message storage (AT+CPMS, AT+CMGL, AT+CMGR, AT+CMGD), AT+CMMS,
// refusals chosen per test (AT+CSMS=1, direct routing, AT+CNMA, a send, the
// PIN), and indications written on demand. Every command line is recorded
// in order. It runs on the modem in memory (tests/support/memory_modem.h):
// the driver talks to it through Port(), with no pseudo-terminal or thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "at/command_port.h"
#include "memory_modem.h"

namespace vela::test {

struct ModemState {
  // Behaviour, set before Open.
  std::string csmsServices = "(0,1)";     // the list answered to AT+CSMS=?
  bool refuseCsms1 = false;               // AT+CSMS=1 -> +CMS ERROR: 303
  bool refuseDirectCnmi = false;          // AT+CNMI=2,2,... -> +CMS ERROR: 303
  std::vector<std::string> cnmaAnswers;   // answers to the next AT+CNMA, in order ("OK" after them)
  bool cmms = true;                       // AT+CMMS supported
  std::map<int, std::string> sendErrors;  // n-th PDU (from 1) -> answer line ("+CMS ERROR: 304")
  std::string simPin;                     // non-empty: the SIM asks for this PIN
  bool diagnostics = true;                // answer the diagnostic queries
  bool deleteAllFlag = true;              // AT+CMGD=1,4 accepted

  // State.
  int nextReference = 0;
  int pdusSent = 0;
  bool pinOk = false;
  std::string readStorage = "SM";
  struct Stored {
    int status = 0;  // 0 unread, 1 read
    std::string pdu;
  };
  std::map<std::string, std::map<int, Stored>> storage;  // name -> index -> message
  std::vector<std::string> submits;                      // PDUs received, in order
};

class StatefulModem {
 public:
  StatefulModem();
  explicit StatefulModem(const ModemState& initial);

  // The command port a driver talks through (TVuZVela(modem.Port())).
  at::CommandPort& Port() { return *modem_; }
  // Command lines received so far, in order (a PDU line with its Ctrl-Z).
  std::vector<std::string> Lines() const { return modem_->Commands(); }
  size_t Count(const std::string& line) const;
  // Lines from `from` on (index into Lines()).
  std::vector<std::string> LinesFrom(size_t from) const;
  // Writes raw bytes unasked (indications): each line goes up as the modem's.
  void Write(const std::string& bytes);

  // Access to the state under its lock.
  template <typename F>
  auto With(F f) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return f(state_->state);
  }
  // Stores `pdu` at the lowest free index of `storage` and returns it.
  int Store(const std::string& storage, const std::string& pdu, int status = 0);

 private:
  struct Shared {
    std::mutex mutex;
    ModemState state;
  };
  // Writes the modem's answer to `line` (echo included) through `write`.
  static void Respond(Shared& shared, const std::function<void(const std::string&)>& write, const std::string& line);

  std::shared_ptr<Shared> state_;
  std::unique_ptr<MemoryModem> modem_;
};

// PDU builders (the simulator's independent coding).
std::string TextDeliverPdu(const std::string& from, const std::string& utf8Text);
// One UCS2 part of a concatenated message (8-bit reference).
std::string Ucs2PartPdu(const std::string& from, const std::u16string& text, int reference, int total, int sequence);
std::string StatusReportPdu(int reference, int status);
std::string CmtLines(const std::string& pdu);
std::string CdsLines(const std::string& pdu);

}  // namespace vela::test

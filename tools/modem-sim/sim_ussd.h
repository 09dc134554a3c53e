// The network behind the simulated modem's AT+CUSD (3GPP TS 27.007 7.15):
// a balance code, a menu that wants a reply, a code that is refused and one
// the network never answers, with the answers in the forms modems print
// them. Pure; the simulator schedules what it returns.
#pragma once

#include <optional>
#include <string>

namespace vela::sim {

// How <str> of +CUSD is written: "packed" (GSM 7-bit packed as hex, <dcs>
// 15), "ucs2" (UTF-16 as hex, <dcs> 72) or "text" (the characters themselves,
// <dcs> 15).
bool ValidUssdForm(const std::string& form);

// The texts the network answers (UTF-8; lines end in "\n").
extern const char* const kUssdBalanceText;  // *100#
extern const char* const kUssdMenuText;     // *111#, status 1
extern const char* const kUssdDataText;     // reply 1 to the menu
extern const char* const kUssdTopUpText;    // reply 2 to the menu
extern const char* const kUssdBadChoice;    // any other reply, status 2

class UssdNetwork {
 public:
  // The +CUSD line answering `text` (a code, or a reply while the menu is
  // open), without line ends; nullopt when the network stays silent (*999#).
  // A code it does not know: "+CUSD: 4".
  std::optional<std::string> Request(const std::string& text, const std::string& form);
  void Cancel() { menuOpen_ = false; }
  bool MenuOpen() const { return menuOpen_; }

 private:
  bool menuOpen_ = false;
};

// "+CUSD: <status>,"<str>",<dcs>" for UTF-8 `text` in `form`. In "packed",
// characters outside the default alphabet and its extension become '?', and
// 7 spare bits at the end are filled with <CR> (TS 23.038 6.1.2.3.1).
std::string UssdLine(int status, const std::string& text, const std::string& form);

}  // namespace vela::sim

// USSD (3GPP TS 22.090) over AT+CUSD (TS 27.007 7.15): the request command,
// the +CUSD answer in every form modems print it, and a session on a driver.
//
// A request is AT+CUSD=1,"<code>",15; the modem answers OK at once and the
// network's answer comes later (seconds, up to about 30 s) as the indication
// +CUSD: <m>[,<str>[,<dcs>]], while the modem goes on with other commands.
// <str> is GSM 7-bit packed as hex (TS 23.038 6.1.2.3) under a 7-bit <dcs>
// (15 and the rest of the 0x0F family), UCS2 as hex under <dcs> 72 (0x48),
// or plain text in the modem's character set; all three are read here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "common/errors.h"
#include "common/types.h"

namespace vela {

class TVuZVela;

namespace ussd {

// <m> of +CUSD.
constexpr int kNoFurtherAction = 0;
constexpr int kReplyWanted = 1;  // the network waits for a reply in this session
constexpr int kTerminatedByNetwork = 2;
constexpr int kOtherClient = 3;
constexpr int kNotSupported = 4;
constexpr int kNetworkTimeout = 5;

struct Answer {
  int status = 0;
  bool hasText = false;
  ByteString raw;  // <str> without its quotes
  std::optional<int> dcs;
  WideString text;  // <str> decoded (DecodeText)
};

// +CUSD: <m>[,<str>[,<dcs>]] (leading blanks allowed). <str> runs from the
// first quote after <m> to the last quote of the line, so commas and quotes
// inside plain text do not shift <dcs>. nullopt when <m> is unreadable.
std::optional<Answer> ParseCusd(const ByteString& line);

// "no further action required", "reply wanted", "terminated by the network",
// "answered by another client", "operation not supported", "network time-out".
const char* StatusText(int status);
// <m> 0, 1 and 2 carry the network's answer; the others are failures.
inline bool IsAnswer(int status) { return status >= 0 && status <= 2; }

// The alphabet of a CBS data coding scheme (TS 23.038 5), which USSD uses.
enum class Alphabet { kGsm7, kEightBit, kUcs2 };
Alphabet DcsAlphabet(int dcs);

// <str> to text. 7-bit: packed hex, else UCS2 hex (a modem whose character
// set is UCS2 prints that whatever the <dcs>), else plain text. UCS2: hex,
// else plain text. 8-bit: hex octets as Latin-1, else plain text. Without a
// <dcs>, plain text. Plain text is the modem's bytes in the system's code
// page, or UTF-8 when they are well-formed UTF-8 beyond ASCII. The language prefix of <dcs> 0x10 / 0x11 is dropped.
WideString DecodeText(const ByteString& str, std::optional<int> dcs);
// Packed 7-bit septets as hex to text with the default alphabet and its
// extension table; the <CR> that pads 7 spare bits is dropped. nullopt when
// `hex` is not an even number of hex digits.
std::optional<WideString> DecodePackedHex(const ByteString& hex);
// UTF-16 big-endian as hex; nullopt unless a multiple of four hex digits.
std::optional<WideString> DecodeUcs2Hex(const ByteString& hex);

// AT+CUSD=1,"<text>",15\r for a code ("*100#") or a reply ("1"). Throws
// std::invalid_argument naming the fault for text that cannot be sent: empty,
// longer than 160 characters, or holding anything but printable ASCII without
// '"' (which would end the string and let the rest be read as command).
ByteString RequestCommand(const ByteString& text);
// Ends the session (27.007: <n> 2, cancel).
inline const char* CancelCommand() { return "AT+CUSD=2\r"; }

// A USSD exchange failed: the modem refused the request, the network said
// +CUSD: 3, 4 or 5, or no answer came in time.
class EUssd : public Exception {
 public:
  enum class Kind { kRefused, kNetwork, kTimeout };
  EUssd(Kind kind, const std::string& message) : Exception(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// The USSD exchanges of one driver. Takes the driver's OnUssdLine for its
// lifetime. Driver's thread only. Send writes the request and returns after
// the modem's OK; the answer arrives later, with the host dispatching the
// driver's messages (its message loop or WaitForEvents), and is handed to
// OnAnswer and kept for TakeAnswer. A +CUSD nobody waits for (after a
// time-out or Cancel, or sent by the network on its own) is dropped.
class Session {
 public:
  explicit Session(TVuZVela& driver);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Sends a code, or a reply while AwaitingReply. std::invalid_argument for
  // unsendable text (nothing written); EUssd kRefused naming the modem's
  // error when it refuses or does not answer the command; EAbort when the
  // host terminates.
  void Send(const ByteString& text);
  bool Pending() const { return pending_; }              // sent, no answer yet
  bool AwaitingReply() const { return awaitingReply_; }  // the last answer had <m> 1
  std::optional<Answer> TakeAnswer();
  // Ends an exchange still pending or waiting for a reply with AT+CUSD=2;
  // nothing otherwise. Never throws.
  void Cancel();

  // The answer as it arrives (also when it comes before the request's OK).
  std::function<void(const Answer&)> OnAnswer;

  // A failed answer (<m> 3, 4, 5) as the error to report.
  static EUssd Failure(const Answer& answer);

 private:
  void HandleLine(const ByteString& line);

  TVuZVela& driver_;
  bool pending_ = false;
  bool awaitingReply_ = false;
  std::optional<Answer> answer_;
};

}  // namespace ussd
}  // namespace vela

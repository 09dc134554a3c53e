// The AT dialogue's lines as data: recognition of unsolicited result codes,
// error results and the information answers of 3GPP TS 27.005 / 27.007.
// Pure: no I/O, no threads, no exceptions; every function accepts any bytes
// (truncated, hostile or from another modem's dialect) and yields nothing
// (nullopt / empty) for what it cannot read.
//
// "Response" parameters are the text a command returned: its lines, each
// followed by "\r\n" (JoinLines), possibly including the echo and
// unsolicited lines. Single-line parameters may carry surrounding blanks.
#pragma once

#include <optional>
#include <vector>

#include "common/types.h"

namespace vela::at {

// ---------------------------------------------------------------------------
// Unsolicited result codes

enum class IndicationKind {
  kCmt,   // +CMT: [<alpha>],<length>      SMS-DELIVER routed to the line; PDU follows
  kCds,   // +CDS: <length>                SMS-STATUS-REPORT routed; PDU follows
  kCmti,  // +CMTI: <mem>,<index>          SMS-DELIVER stored
  kCdsi,  // +CDSI: <mem>,<index>          status report stored
  kCbm,   // +CBM: <length>                cell broadcast routed; PDU follows
  kCbmi,  // +CBMI: <mem>,<index>          cell broadcast stored
  kRing,  // RING / +CRING: <type>         incoming call
  kCusd,  // +CUSD: <m>[,<str>[,<dcs>]]    USSD answer (27.007 7.15); read by modem/ussd.h
  kCreg,  // +CREG: <stat>[,<lac>,<ci>[,<AcT>]]  registration changed (27.007 7.2, AT+CREG=1 or 2)
};

struct Indication {
  IndicationKind kind = IndicationKind::kRing;
  // +CMT's <alpha> as sent, without surrounding blanks and quotes: the
  // phonebook name of the sender, in the modem's character set (may be UCS2
  // hex such as "004F004B"). Empty when absent.
  ByteString alpha;
  bool alpha_quoted = false;
  // +CMT / +CDS / +CBM: the TPDU length in octets; nullopt when unreadable.
  std::optional<int> length;
  // +CMTI / +CDSI / +CBMI: memory ("SM", "ME", "SR", ...) unquoted, and index.
  ByteString storage;
  std::optional<int> index;
  // +CREG: <stat> (0 not registered, 1 home, 2 searching, 3 denied, 5 roaming, ...).
  std::optional<int> stat;

  // A PDU line follows this header (PDU mode +CMT, +CDS, +CBM).
  bool PduFollows() const;
};

// The indication `line` is, or nullopt. A line is an indication by its
// prefix alone (after leading blanks): "+CMT: garbage" is still a +CMT whose
// length is nullopt, so that it never passes for a command's answer. The one
// exception is +CREG, which is also the answer to AT+CREG?: only its
// unsolicited shape is an indication ("+CREG: 1", "+CREG: 5,\"00C3\",..."),
// not the answer's "<n>,<stat>[,...]" ("+CREG: 0,1").
std::optional<Indication> RecogniseIndication(const ByteString& line);

// The routed message or report (+CMT or +CDS) whose PDU the line after
// `line` is, for a line that names one anywhere; a line naming both
// announces a report ("+CMT: +CDS: 25"). The driver's rule for the lines
// that reach it; nullopt when the line names neither.
std::optional<IndicationKind> RoutedHeaderNamed(const ByteString& line);

// True while the bytes received so far of a line (`partial`, leading blanks
// allowed) may still become an indication: they are a prefix of one of the
// indication prefixes, or begin with one. The framing does not end such a
// line early at an expected answer (`+CMT: "BROOKE",24` contains "OK").
bool IsIndicationPrefix(const ByteString& partial);

// True while the bytes received so far of a line are a +CUSD inside its
// quoted <str>: a line feed there belongs to the text (USSD menus have
// several lines), not to the line end.
bool InsideQuotedText(const ByteString& partial);

// ---------------------------------------------------------------------------
// Error results

// The number of the first "+CMS ERROR: <n>" / "+CME ERROR: <n>" in `text`
// (a line or a whole response); nullopt when there is none or it carries a
// verbose text instead of a number.
std::optional<int> ParseCmsError(const ByteString& text);
std::optional<int> ParseCmeError(const ByteString& text);

// Meaning of a +CMS ERROR number (TS 27.005 3.2.5, with the RP causes of
// TS 24.011 E.2 and the TP-FCS values of TS 23.040 9.2.3.22) and of a
// +CME ERROR number (TS 27.007 9.2). Unknown numbers get a generic text
// ("unknown error 777", "manufacturer-specific error 530"), never empty.
ByteString CmsErrorText(int code);
ByteString CmeErrorText(int code);

// The modem's error: how a command was refused, or that it was not answered.
// The one error type of the AT dialogue; the driver reports it as it stands.
struct ModemError {
  enum class Kind { kNone, kCms, kCme, kPlain, kNoAnswer };
  Kind kind = Kind::kNone;
  std::optional<int> code;  // the +CMS / +CME ERROR number; nullopt for ERROR, verbose results, no answer
  ByteString text;          // the number's meaning, or the modem's own verbose text
  ByteString command;       // the command without "\r", where known (a PIN entry shows as "AT+CPIN=...")
  // "+CMS ERROR: 304: invalid PDU mode parameter", "+CME ERROR: SIM PUK
  // required", "ERROR" / "ERROR from AT+CSMS=1", "no answer" / "no answer to
  // AT+CGMI"; "" for kNone.
  ByteString Describe() const;
};
// The first error result in `response` ("+CMS ERROR", "+CME ERROR" or a line
// "ERROR"); nullopt when the response holds none.
std::optional<ModemError> FindModemError(const ByteString& response);

// ---------------------------------------------------------------------------
// Information answers

// +CMGS: <mr>[,<ackpdu>] -> message reference 0..255.
std::optional<int> ParseCmgsReference(const ByteString& response);

// +CSQ: <rssi>,<ber> -> dBm (-113 + 2 * rssi for 0..31); 99 and anything
// else out of range -> nullopt.
std::optional<int> ParseCsqDbm(const ByteString& response);

// +CREG / +CGREG / +CEREG / +C5GREG answers (query form "<n>,<stat>[,...]"
// and the unsolicited form "<stat>[,<lac>,<ci>]") -> "home", "roaming",
// "searching", "denied", "not registered" or "unknown".
std::optional<ByteString> ParseRegistration(const ByteString& response);

// +COPS: <mode>[,<format>,<oper>[,<AcT>]] -> <oper> unquoted.
std::optional<ByteString> ParseCopsOperator(const ByteString& response);

// +CSCA: <sca>[,<tosca>] -> the number; "+" prefixed for type 145 when the
// modem left it out.
std::optional<ByteString> ParseCscaNumber(const ByteString& response);

struct Storage {
  ByteString name;  // "SM", "ME", "MT", ...; empty when the answer has none
  int used = 0;
  int total = 0;
};
// +CPMS: <mem1>,<used1>,<total1>,... (query) or <used1>,<total1>,... (set)
// -> the first storage (the one messages are read and deleted from).
std::optional<Storage> ParseCpms(const ByteString& response);

// Message status of +CMGL / +CMGR (PDU mode 0..3, or the text-mode names).
enum class MessageStatus { kUnread = 0, kRead = 1, kUnsent = 2, kSent = 3 };
// "unread", "read", "unsent", "sent".
const char* MessageStatusText(MessageStatus status);

// A message in the modem's storage, as +CMGL and +CMGR show it.
struct StoredMessage {
  int index = 0;  // +CMGR: the index asked for (0 from ParseCmgr)
  MessageStatus status = MessageStatus::kUnread;
  ByteString alpha;
  std::optional<int> length;
  ByteString storage;  // the storage it was read from, where the reader knows it ("SM", "ME", ...)
  ByteString pdu;      // the PDU line (service-centre part and TPDU); may be empty
};
// +CMGL: <index>,<stat>,[<alpha>],<length> each followed by its PDU line.
// Headers whose index or status cannot be read are skipped; a header whose
// PDU line is missing gives an entry with an empty `pdu`.
std::vector<StoredMessage> ParseCmgl(const ByteString& response);

// +CMGR: <stat>,[<alpha>],<length> and its PDU line; nullopt without a
// header or without a PDU line (an empty slot).
std::optional<StoredMessage> ParseCmgr(const ByteString& response);

// Remaining attempts of the SIM codes, where the modem tells them:
// +CPINR: <code>,<retries>[,<default>] (TS 27.007), ^CPIN: <code>,<times>,
// <puk>,<pin>,<puk2>,<pin2>, +QPINC: "SC",<pin>,<puk>, +SPIC: <pin>,<puk>,
// <pin2>,<puk2>, +UPINCNT: <pin>,<pin2>,<puk>,<puk2>.
struct PinAttempts {
  std::optional<int> pin, puk, pin2, puk2;
  bool Empty() const { return !pin && !puk && !pin2 && !puk2; }
};
std::optional<PinAttempts> ParsePinAttempts(const ByteString& response);

// +CPIN: <code> -> "READY", "SIM PIN", "SIM PUK", ...
std::optional<ByteString> ParseCpin(const ByteString& response);

// Test-command answers "<prefix>: (0,1),(0-3),,(0,2)" -> one list of the
// supported values per parameter (ranges expanded, at most 256 values each);
// a parameter written without parentheses counts as one value. `prefix` is
// e.g. "+CNMI" or "+CSMS"; empty when the answer is not there.
std::vector<std::vector<int>> ParseSupportedValues(const ByteString& response, const ByteString& prefix);

// Whether the answer to AT+CSMS=? lists message service 1 (routed messages
// acknowledged with +CNMA): a list ending in ",1)" or, in any spelling the
// modem uses ("(0-1)", "(1)", "1", "(0,1,128)"), a list containing 1.
bool OffersMessageServiceOne(const ByteString& response);

// +CSMS: <service>,<mt>,<mo>,<bm> (query) or <mt>,<mo>,<bm> (set).
struct MessageService {
  std::optional<int> service;
  bool mt = false, mo = false, bm = false;
};
std::optional<MessageService> ParseCsms(const ByteString& response);

// AT+CIMI: a line of 5..15 digits (optionally "+CIMI: "). AT+CCID / +ICCID /
// ^ICCID / +QCCID: 18..22 digits, a trailing "F" filler dropped.
std::optional<ByteString> ParseImsi(const ByteString& response);
std::optional<ByteString> ParseIccid(const ByteString& response);

// ---------------------------------------------------------------------------
// Helpers shared by the parsers, exposed for the driver

// The comma-separated fields of an answer's value, quotes respected (a comma
// inside quotes does not split); each field trimmed, quotes kept.
std::vector<ByteString> SplitFields(const ByteString& value);
// `field` without surrounding blanks and one pair of surrounding quotes.
ByteString Unquote(const ByteString& field);
// A non-empty line of hex digits only: the shape of a PDU line.
bool IsPduLine(const ByteString& line);
// A decimal number of at most 9 digits (blanks around allowed), else nullopt.
std::optional<int> ParseInt(const ByteString& field);
// The value of the first line of `response` that begins with "<prefix>:"
// (after leading blanks), i.e. what follows the colon, trimmed.
std::optional<ByteString> AnswerValue(const ByteString& response, const ByteString& prefix);

}  // namespace vela::at

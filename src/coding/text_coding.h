// Text coding for any text: Unicode (UTF-16) to the SMS-SUBMIT PDUs of one
// message, and received user data back to Unicode.
//
//  - GSM 7-bit default alphabet and extension table straight from Unicode
//    (3GPP TS 23.038 6.2.1, 6.2.1.1), not through the code page;
//  - the national language locking and single shift tables (TS 23.038
//    Annex A), signalled by user data header elements 0x25 / 0x24
//    (TS 23.040 9.2.3.24.15/16);
//  - UCS2 as UTF-16 big-endian, surrogate pairs never split between parts;
//  - 8-bit data (the text's UTF-8 octets);
//  - concatenation (TS 23.040 9.2.3.24.1 / .8: IEI 0x00, 8-bit reference;
//    0x08, 16-bit reference); an escape pair is never split.
//
// Pure: no I/O, no threads, no shared state; safe on any thread. Decoders
// never throw: bad input yields what can be read and a flag.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/types.h"

namespace vela::coding {

// --- GSM 7-bit tables --------------------------------------------------------

// National language identifiers of TS 23.038 6.2.1.2.4 (0 = default tables).
constexpr int kLanguageDefault = 0;
constexpr int kLanguageTurkish = 1;
constexpr int kLanguageSpanish = 2;  // single shift table only
constexpr int kLanguagePortuguese = 3;
constexpr int kLanguageUrdu = 13;
constexpr int kLanguageCount = 14;  // identifiers 0..13

// One 7-bit table: code (0..127) to Unicode code point; 0 = not defined.
// Code 0x1B is the escape (reported as 0x1B in locking tables, undefined in
// single shift tables). All code points of these tables are in the BMP.
struct GsmTable {
  char16_t code[128];
};

// Locking shift table of `language` (0 = default alphabet); nullptr when the
// language has none (Spanish) or the identifier is unknown.
const GsmTable* LockingTable(int language);
// Single shift table of `language` (0 = default extension table); nullptr
// when unknown.
const GsmTable* ShiftTable(int language);

// "tr" -> 1, "turkish" -> 1, "1" -> 1 (case-insensitive); -1 when unknown.
int LanguageFromName(const std::string& name);
// 1 -> "tr", ... ; "" for 0 or unknown.
std::string LanguageCode(int language);
// Parses "tr,es,pt", "all" (1..13) or "none"/"" (empty). Throws
// ETextCodingError naming the unknown entry.
std::vector<int> ParseLanguageList(const std::string& list);

// --- User data header ----------------------------------------------------------

struct UdhElement {
  uint8_t iei = 0;
  std::string data;  // the element's octets (raw bytes, not hex)
};

struct Concatenation {
  uint16_t reference = 0;
  uint8_t total = 0;     // parts of the message
  uint8_t sequence = 0;  // this part, from 1
  bool ref16 = false;    // IEI 0x08 rather than 0x00
};

struct UserDataHeader {
  std::vector<UdhElement> elements;  // in order, every element kept raw
  std::optional<Concatenation> concatenation;
  int lockingLanguage = 0;                                  // IEI 0x25 (0 = none)
  int singleLanguage = 0;                                   // IEI 0x24 (0 = none)
  std::optional<uint16_t> destinationPort, originatorPort;  // IEI 0x04 / 0x05
  bool malformed = false;                                   // an element ran past the header's end, or the
                                                            // header past the user data; what could be read is kept
};

// `octets` are the header's elements, without the UDHL octet.
UserDataHeader ParseUserDataHeader(const std::string& octets);
// The elements as octets, with the UDHL octet in front.
std::string EncodeUserDataHeader(const std::vector<UdhElement>& elements);

// --- Encoding ---------------------------------------------------------------

enum class Coding { kAuto, kGsm7, kUcs2, kEightBit };
// "auto", "gsm7", "ucs2", "8bit"; parse throws ETextCodingError.
const char* CodingName(Coding coding);
Coding ParseCoding(const std::string& name);

// Invalid text for the chosen coding, too many parts, a bad destination, an
// unknown language: the message says what failed and why.
class ETextCodingError : public Exception {
 public:
  using Exception::Exception;
};

struct SubmitOptions {
  ByteString destination;  // "+" international; see NormaliseDestination
  Coding coding = Coding::kAuto;
  std::vector<int> languages;  // national tables allowed (1..13); empty: none
  int maxParts = 10;           // more parts: ETextCodingError, nothing encoded
  bool ref16 = false;          // concatenation with IEI 0x08
  uint16_t reference = 0;      // concatenation reference (8-bit: low octet)
  bool statusReport = false;   // TP-SRR in every part
  // TP-VP in the relative format in every part (validity.h; kValidityMax is
  // what the one-part encoder writes); nullopt: no validity period, the
  // service centre's default applies.
  std::optional<uint8_t> validity;
};

struct SubmitPart {
  ByteString pdu;  // upper-case hex, "00" service-centre prefix + TPDU
  int length = 0;  // TPDU octets: the <length> of AT+CMGS
  int part = 1;    // from 1
  int parts = 1;
};

struct SubmitMessage {
  std::vector<SubmitPart> parts;
  Coding coding = Coding::kGsm7;  // never kAuto: the coding chosen
  int lockingLanguage = 0;        // 0: none
  int singleLanguage = 0;         // 0: none
};

// The coding and part count a text would take, without building PDUs.
struct CodingPlan {
  Coding coding = Coding::kGsm7;
  int lockingLanguage = 0;
  int singleLanguage = 0;
  int parts = 1;
  int units = 0;  // septets (gsm7), octets (8bit) or UTF-16 units (ucs2) of the text
};

// Automatic coding picks the fewest parts among GSM 7-bit with the default
// tables, GSM 7-bit with the allowed national tables, and UCS2; on a tie the
// simpler (default, single shift only, locking + single, UCS2). A forced
// coding that cannot represent the text throws ETextCodingError.
CodingPlan PlanText(const WideString& text, Coding coding, const std::vector<int>& languages);
SubmitMessage EncodeSubmitMessage(const WideString& text, const SubmitOptions& options);

// Strips blanks, '-', '.', '(' and ')'; keeps one leading '+'; '*' and '#'
// are kept (semi-octets A and B). Throws ETextCodingError("invalid destination
// number '<number>': <reason>") for any other character, no digit, or more
// than 20 digits.
ByteString NormaliseDestination(const ByteString& number);

// --- Decoding ------------------------------------------------------------------

// A received SMS-DELIVER (or SUBMIT, for offline tools) decoded with full
// Unicode. Status reports give kind 2 and no text.
struct DecodedUserData {
  int kind = -1;              // 0 SUBMIT, 1 DELIVER, 2 STATUS-REPORT, -1 unreadable
  ByteString originator;      // DELIVER: TP-OA ("+" international, or alphanumeric text as UTF-8);
                              // SUBMIT: TP-DA; STATUS-REPORT: TP-RA
  std::string smscTime;       // DELIVER, STATUS-REPORT: TP-SCTS as "YYYY-MM-DD hh:mm:ss"; empty if unreadable
  DateTime smscDateTime = 0;  // the same as an automation date (0 if unreadable)
  int dcs = 0;
  Coding coding = Coding::kGsm7;  // kGsm7, kEightBit or kUcs2 (reserved alphabets read as 8-bit)
  bool hasHeader = false;
  UserDataHeader header;
  WideString text;         // header removed, tables of the header applied
  bool truncated = false;  // the PDU ended early or the header was malformed
};

// `pdu` as the modem prints it: service-centre field, then the TPDU.
DecodedUserData DecodePdu(const ByteString& pdu);

// 7-bit septets (one per byte, 0..127) to text through the given tables.
// A code after the escape that the single shift table lacks gives the
// locking table's character for that code (TS 23.038 6.2.1.1); a trailing
// escape and undefined codes give nothing.
WideString SeptetsToUnicode(const std::string& septets, int lockingLanguage, int singleLanguage);

}  // namespace vela::coding

// The simulator's own SMS PDU coding (3GPP TS 23.040 / 23.038): decoding of the
// SMS-SUBMIT a client sends, encoding of the SMS-DELIVER and SMS-STATUS-REPORT it
// receives, and decoding of those two for tests. Deliberately independent of the
// product's coding libraries so that each checks the other. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vela::sim::pdu {

using Bytes = std::vector<uint8_t>;

enum class Alphabet { Gsm7, Octet, Ucs2 };

// --- hex and text helpers -------------------------------------------------
std::string ToHex(const Bytes& bytes);                     // upper case
bool FromHex(const std::string& hex, Bytes* out);          // even length, hex digits only
std::u32string Utf8ToCodePoints(const std::string& utf8);  // invalid bytes become U+FFFD
std::string CodePointsToUtf8(const std::u32string& text);
// UTF-16 (big-endian) from b[from] on; a surrogate without its partner becomes U+FFFD.
std::u32string Utf16ToCodePoints(const Bytes& b, size_t from = 0);

// --- GSM 7-bit default alphabet and its extension table -------------------
// Septet codes for the text (escape 0x1B before extension characters); false
// when a character is in neither table.
bool TextToGsm(const std::u32string& text, Bytes* septets);
std::u32string GsmToText(const Bytes& septets);
// Packs septets into octets starting after fillBits padding bits (0..6), the
// fill used to align 7-bit data after a user data header.
Bytes PackSeptets(const Bytes& septets, int fillBits = 0);
Bytes UnpackSeptets(const Bytes& octets, size_t count, int fillBits = 0);

// --- national language tables (3GPP TS 23.038 6.2.1.2.4, Annex A) --------
// Locking shift table `id` replaces the default alphabet, single shift table
// `id` the extension table. Identifiers 1..13 (Turkish .. Urdu); 0 and unknown
// identifiers mean the default tables; Spanish (2) has no locking table.
// Septet -> code point, 0 where the table defines nothing; nullptr for no table.
const char32_t* LockingTable(int id);
const char32_t* SingleShiftTable(int id);
const char* LanguageName(int id);  // "turkish", ...; "" for unknown identifiers
// Decodes septets with a locking table and a single shift table (-1: default).
// An escape followed by a code the single shift table leaves undefined shows
// the locking table's character for that code; escape-escape shows a space; a
// code the locking table leaves undefined shows U+FFFD.
std::u32string GsmToTextWith(const Bytes& septets, int lockingId, int singleId);

// --- user data header (TS 23.040 9.2.3.24) --------------------------------
struct HeaderElement {
  int iei = 0;
  Bytes data;
};
struct UserDataHeader {
  std::vector<HeaderElement> elements;
  bool concatenated = false;  // element 0x00 or 0x08
  bool reference16 = false;   // 0x08
  int reference = -1, total = 0, sequence = 0;
  int lockingShift = -1;  // element 0x25, -1 when absent
  int singleShift = -1;   // element 0x24
};
// Parses the header octets (without the length octet). False, with the reason
// in *error, when an element runs past the header or a known element has the
// wrong length or impossible values (total 0, sequence 0 or above total).
bool ParseHeader(const Bytes& header, UserDataHeader* out, std::string* error);
// Header octets (length octet included) for one part of a concatenated message.
Bytes ConcatenationHeader(int reference, int total, int sequence, bool reference16);

// --- addresses (TP-DA, TP-OA, TP-RA, RP service centre) ------------------
struct Address {
  int typeOfAddress = 0x81;
  std::string number;  // "+" in front when international; alphanumeric text for type 0x50
};
// TP address: length in useful semi-octets, type of address, digits.
Bytes EncodeAddress(const std::string& number);
// Service-centre address: length in octets (type included), type, digits; empty -> 00.
Bytes EncodeServiceCentre(const std::string& number);

// --- time stamps (TP-SCTS, TP-DT) -----------------------------------------
struct Timestamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;  // year 2000..2099
  int zoneQuarters = 0;                                                // offset from UTC in quarters of an hour, signed
};
Timestamp LocalNow();
Bytes EncodeTimestamp(const Timestamp& t);
bool DecodeTimestamp(const uint8_t* seven, Timestamp* out);

// --- data coding scheme ----------------------------------------------------
// Alphabet of a TP-DCS; false for reserved or compressed codings.
bool AlphabetOf(int dcs, Alphabet* out);

// --- SMS-SUBMIT (what the client sends) -----------------------------------
struct Submit {
  std::string serviceCentre;
  int firstOctet = 0;
  int messageReference = 0;
  Address destination;
  int protocolIdentifier = 0;
  int dcs = 0;
  int validityFormat = 0;  // TP-VPF: 0 none, 1 enhanced, 2 relative, 3 absolute
  Bytes validity;
  int userDataLength = 0;  // TP-UDL as sent
  Bytes userData;          // TP-UD octets as sent (header included)
  Bytes header;            // user data header without its length octet
  UserDataHeader udh;      // its elements
  std::string text;        // UTF-8 reading of the user data after the header, with the
                           // shift tables the header selects
  Bytes septets;           // 7-bit: the septets after the header and its fill bits
  Bytes octets;            // 8-bit and UCS2: the octets after the header
  bool statusReportRequest() const { return (firstOctet & 0x20) != 0; }
  bool hasHeader() const { return (firstOctet & 0x40) != 0; }
};
// Decodes and checks a SMS-SUBMIT with its service-centre prefix, as typed after
// the prompt. announcedLength is the AT+CMGS length (TPDU octets), or -1 to skip
// that check. On failure returns false and names the faulty field in *error.
bool DecodeSubmit(const std::string& hex, int announcedLength, Submit* out, std::string* error);

// --- SMS-DELIVER ------------------------------------------------------------
struct Deliver {
  std::string serviceCentre;
  int firstOctet = 0x04;  // TP-MTI 00, TP-MMS 1 (no more messages)
  Address originator;
  int protocolIdentifier = 0;
  int dcs = 0;
  Timestamp serviceCentreTime;
  int userDataLength = 0;
  Bytes userData;
  UserDataHeader udh;  // filled by DecodeDeliver
  std::string text;    // filled by DecodeDeliver
};
// Builds a DELIVER carrying the text: 7-bit when every character is in the GSM
// alphabet, else UCS2. False when the text exceeds one SMS.
bool MakeTextDeliver(const std::string& serviceCentre, const std::string& from, const std::string& utf8Text,
                     const Timestamp& scts, Deliver* out);
std::string EncodeDeliver(const Deliver& d);  // hex, service-centre prefix included
bool DecodeDeliver(const std::string& hex, Deliver* out, std::string* error);

// A long text as the DELIVER parts of one concatenated message: GSM 7-bit with
// the default tables when every character has a code there (and !ucs2), else
// UCS2. Parts hold 153 septets / 67 UTF-16 units under the 8-bit reference
// header (152 / 66 under the 16-bit one); an escape pair or a surrogate pair is
// never split. A text that fits one SMS (160 septets / 70 units) gives a single
// part without header. False when the text needs more than 255 parts.
struct LongMessageOptions {
  bool ucs2 = false;
  bool reference16 = false;
  int reference = 0;  // 0..255, or 0..65535 with reference16
};
bool MakeLongDeliver(const std::string& serviceCentre, const std::string& from, const std::string& utf8Text,
                     const Timestamp& scts, const LongMessageOptions& options, std::vector<Deliver>* parts);

// --- SMS-STATUS-REPORT ----------------------------------------------------
struct StatusReport {
  std::string serviceCentre;
  int firstOctet = 0x06;  // TP-MTI 10, TP-MMS 1
  int messageReference = 0;
  Address recipient;
  Timestamp serviceCentreTime;
  Timestamp dischargeTime;
  int status = 0;
};
std::string EncodeStatusReport(const StatusReport& r);
bool DecodeStatusReport(const std::string& hex, StatusReport* out, std::string* error);

// TPDU length in octets of a PDU hex text with its service-centre prefix (the
// <length> of +CMGS, +CMT and +CDS), or -1 when the text is not well formed.
int TpduLength(const std::string& hex);

}  // namespace vela::sim::pdu

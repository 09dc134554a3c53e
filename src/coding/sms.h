// One SMS message: the SMS-SUBMIT encoder (3GPP TS 23.040 / 23.038) used to
// send, and the position-based decoding of a received SMS-DELIVER or
// SMS-STATUS-REPORT PDU (originator, text, time stamps).
//
// A TSMS serves one message and is used by one thread at a time; it holds no
// shared state, so different instances may be used on different threads.
#pragma once

#include <cstdint>
#include <optional>

#include "common/code_page.h"
#include "common/errors.h"
#include "common/types.h"

namespace vela {

// Raised by TSMS::EncodeSubmitPDU with the message "Error encoding PDU", or
// "Error encoding PDU: <reason>" when the reason is known (a destination
// number that cannot be encoded).
class EEncodeError : public Exception {
 public:
  EEncodeError() : Exception("Error encoding PDU") {}
  explicit EEncodeError(const std::string& reason) : Exception("Error encoding PDU: " + reason) {}
};

class TSMS {
 public:
  // Byte-string fields and texts of 7-bit and 8-bit messages are read in
  // `codePage` (cp1252 when none is given; the driver gives the system's).
  TSMS() = default;
  explicit TSMS(const CodePage& codePage) : codePage_(&codePage) {}

  // Message kinds found by ParsePDU (TP-MTI).
  static constexpr uint8_t kSubmit = 0;
  static constexpr uint8_t kDeliver = 1;
  static constexpr uint8_t kStatusReport = 2;

  // Values of CodingSelector and of ChooseCoding's result.
  static constexpr int32_t kCoding7Bit = 0;
  static constexpr int32_t kCoding8Bit = 1;
  static constexpr int32_t kCodingUcs2 = 2;
  static constexpr int32_t kCodingAuto = -1;

  // Fields, in declared order. Positions count from 1 in Pdu; two hex
  // characters per octet.
  bool IsSubmit = false;             // decoding: the parsed PDU is an SMS-SUBMIT
  int32_t ValidityDigits = 0;        // decoding: hex characters of TP-VP of a SUBMIT (0, 2, 14)
  int32_t SmscDigits = 0;            // decoding: hex characters of the service-centre address
  int32_t AddressDigits = 0;         // decoding: hex characters of the address value (even)
  int32_t AddressPos = 0;            // decoding: position of the type-of-address octet
  ByteString Pdu;                    // decoding: the received PDU hex text
  int32_t TpduPos = 0;               // decoding: position of the TPDU's first octet
  WideString Text;                   // encoding: the message text
  ByteString MessageReference;       // encoding: TP-MR ("" = "00"); decoding: TP-MR of a report
  ByteString Destination;            // encoding: destination number, optional leading '+'
  bool Class0 = false;               // encoding: TP-DCS "10" instead of "00" for 7-bit
  bool ReplyPath = false;            // encoding: set TP-RP
  int32_t Coding = 0;                // decoding: 0 7-bit, 1 8-bit, 2 UCS2, 3 reserved
  int32_t UserDataLength = 0;        // decoding: TP-UDL (set by GetMessageText)
  bool HasHeader = false;            // decoding: TP-UDHI
  ByteString Header;                 // decoding: length octet + user data header, hex
  bool StatusReportRequest = false;  // encoding: set TP-SRR
  int32_t TpduLength = 0;            // both: octets of the TPDU (after the service-centre field)
  uint8_t Kind = 0;                  // decoding: kSubmit, kDeliver or kStatusReport
  int32_t CodingSelector = 0;        // encoding: 0 7-bit, 1 8-bit, -1 automatic, other UCS2

  // --- Encoding -----------------------------------------------------------

  // The whole SMS-SUBMIT PDU as upper-case hex: "00" (no service-centre
  // address: the modem uses its stored one) followed by the TPDU. Stores
  // TpduLength and changes no other field. User data that exceed one SMS
  // (160 septets, 140 octets, 70 UTF-16 units) are cut at a character
  // boundary so that they fit. Raises EEncodeError on any failure (an
  // empty Destination, for one).
  ByteString EncodeSubmitPDU();
  // TP-DA length, type of address ("91" with a leading '+', else "81") and
  // the digits in semi-octet order, odd counts filled with 'F'. The number
  // is cleaned first (coding::NormaliseDestination: blanks, '-', '.', '(' and
  // ')' removed; '*' and '#' written as the semi-octets A and B). Raises
  // EEncodeError "Error encoding PDU" for an empty number and "Error encoding
  // PDU: invalid destination number ..." for any other number that cannot be
  // encoded (letters, no digit, more than 20 digits).
  static ByteString EncodeAddress(const ByteString& number);
  // Automatic choice: 2 (UCS2) when the text does not survive the code page
  // round trip or has a byte >= 0xC0 before any byte that needs 8-bit; 1
  // (8-bit) for a byte whose GSM code is >= 0x80; else 0 (7-bit).
  static int32_t ChooseCoding(const WideString& text, const CodePage& codePage = Cp1252());

  // --- Decoding (never raise unless said) ----------------------------------

  // Takes the hex line as the modem gave it (with its service-centre part)
  // and locates the fields. Unreadable octets read as 0.
  void ParsePDU(const ByteString& pdu);
  // The address: "+" in front of international numbers, or the alphanumeric
  // text; empty when unreadable.
  ByteString GetOriginator() const;
  // The user data text; empty for a status report, "(Unsupported: Unknown
  // coding scheme)" for the reserved alphabet, "(Decoding Error)" when the
  // user data cannot be read. Stores UserDataLength and Header and blanks the
  // header inside Pdu, so call it once per parsed PDU.
  WideString GetMessageText();
  // TP-SCTS (year 2000 + YY, time zone ignored); 0 for a SUBMIT. Raises
  // EConvertError for a malformed or impossible time stamp.
  DateTime GetServiceCentreTime() const;
  // TP-DT of a status report; 0 for any other kind. Raises like
  // GetServiceCentreTime.
  DateTime GetDischargeTime() const;

  // --- Building blocks of the decoder --------------------------------------

  // Type of address (2 hex) followed by the address value, to text. Empty
  // on any failure, an empty value included.
  static ByteString DecodeAddress(const ByteString& text);
  // Packed 7-bit user data to characters (GsmToText, then
  // NormalizeLineBreaks). Unreadable octets are skipped; a zero eighth
  // septet at the very end (fill) is dropped.
  static ByteString Decode7Bit(const ByteString& hex);
  // One byte per octet through GsmToText; nullopt when an octet is not hex.
  static std::optional<ByteString> Decode8Bit(const ByteString& hex);
  // One UTF-16 unit per four hex characters; nullopt when not hex.
  static std::optional<WideString> DecodeUCS2(const ByteString& hex);
  // CR LF, LF CR, lone CR and lone LF all become CR LF.
  static ByteString NormalizeLineBreaks(const ByteString& text);

 private:
  const CodePage* codePage_ = &Cp1252();
};

}  // namespace vela

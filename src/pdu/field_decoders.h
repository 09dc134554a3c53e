// Decoders of single TPDU fields (3GPP TS 23.040 / 23.038): the protocol
// identifier, the data coding scheme, the seven-octet time stamp and the user
// data header. Each is complete after construction, never fails on any text
// and keeps a readable description for the analysis model's readers.
//
// Threads: no shared or global state; an object is used by one thread at a
// time (the thread that built its owning TPDUSMS).
#pragma once

#include <cstdint>
#include <vector>

#include "common/types.h"

namespace vela {

// TP-PID. Bits 7..6 = 00 selects the SME-to-SME / telematic reading; every
// other group is pointed to the reference page.
class TProtocolIdentifier {
 public:
  // Address of the public reference page named in the description of the
  // protocol-identifier values outside the 00xxxxxx group.
  static constexpr const char* kReferencePage = "http://www.3gpp.org/ftp/Specs/html-info/23040.htm";

  // `octet`: the two hex characters of the octet (either case).
  explicit TProtocolIdentifier(const ByteString& octet);
  virtual ~TProtocolIdentifier();

  // Eight characters '0'/'1', bit 7 first.
  const ByteString& Bits() const { return bits_; }
  const ByteString& Description() const { return description_; }

 private:
  ByteString bits_;
  ByteString description_;
};

// TP-DCS, described line by line according to its coding group (bits 7..4).
class TDataCodingScheme {
 public:
  // `octet`: the two hex characters of the octet (either case).
  explicit TDataCodingScheme(const ByteString& octet);
  virtual ~TDataCodingScheme();

  // Rebuilds the description lines from Bits() and returns them.
  const std::vector<ByteString>& Describe();

  const ByteString& Bits() const { return bits_; }
  const std::vector<ByteString>& Description() const { return description_; }

 private:
  ByteString bits_;
  std::vector<ByteString> description_;
};

// TP-SCTS / TP-DT: year, month, day, hour, minute, second and time zone, each
// two digits. Built from the 14 characters already swapped into reading order.
class TTimeStamp {
 public:
  explicit TTimeStamp(const ByteString& text);
  virtual ~TTimeStamp();

  // The service centre's local date and time as written (zone not applied);
  // 0 when the text holds no valid date and time.
  DateTime GetDateTime() const { return date_time_; }
  // "+h" / "-h": the zone offset in whole hours, remaining quarters dropped;
  // "INVALID TIME STAMP" when the text is not 14 characters long.
  const ByteString& TimeZone() const { return time_zone_; }
  // The text the stamp was built from.
  const ByteString& RawText() const { return raw_text_; }

 private:
  DateTime date_time_ = 0;
  ByteString time_zone_;
  ByteString raw_text_;
};

// TP-UDH read as one concatenation element with an 8-bit reference
// (IEI, IEDL, reference, parts, sequence); the identifier is not examined.
class TUserDataHeader {
 public:
  // `text`: the header's characters without the header-length octet.
  explicit TUserDataHeader(const ByteString& text);
  virtual ~TUserDataHeader();

  const ByteString& GetHeaderText() const { return header_text_; }
  const ByteString& HeaderText() const { return header_text_; }
  // Two hex characters each, as they stand; empty when absent.
  const ByteString& ElementIdentifier() const { return element_identifier_; }
  const ByteString& ElementLength() const { return element_length_; }
  const ByteString& ReferenceNumber() const { return reference_number_; }
  // 0 when absent.
  int32_t MaximumMessages() const { return maximum_messages_; }
  int32_t MessageSequence() const { return message_sequence_; }
  // One line per piece present, each beginning with two blanks.
  const std::vector<ByteString>& Description() const { return description_; }

 private:
  ByteString element_identifier_;
  ByteString element_length_;
  ByteString reference_number_;
  int32_t maximum_messages_ = 0;
  int32_t message_sequence_ = 0;
  std::vector<ByteString> description_;
  ByteString header_text_;
};

}  // namespace vela

#include "pdu/field_decoders.h"

#include <string>

#include "coding/conversion.h"
#include "common/hex.h"
#include "common/datetime.h"

namespace vela {

namespace {

// Up to `count` characters from 1-based `pos`; what lies beyond the end is absent.
ByteString Piece(const ByteString& text, size_t pos, size_t count) {
  if (pos < 1 || pos > text.size()) return ByteString();
  return text.substr(pos - 1, count);
}

// Bit k of an octet's bit text (bit 7 is the first character).
bool BitSet(const ByteString& bits, int k) {
  const size_t index = static_cast<size_t>(7 - k);
  return index < bits.size() && bits[index] == '1';
}

// Two bit characters as a number 0..3: bits hi and hi-1.
int BitPair(const ByteString& bits, int hi) { return (BitSet(bits, hi) ? 2 : 0) + (BitSet(bits, hi - 1) ? 1 : 0); }

// A piece that is nothing but decimal digits, as a number; 0 for anything else.
int DecimalOrZero(const ByteString& piece) {
  if (piece.empty()) return 0;
  int value = 0;
  for (char c : piece) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------

TProtocolIdentifier::TProtocolIdentifier(const ByteString& octet) : bits_(TConversion::HexToBinStr8(octet)) {
  // Bits 7..6 other than 00: assignments too many to describe here.
  if (bits_.compare(0, 2, "00") != 0) {
    description_ = "Please visit ";
    description_ += kReferencePage;
    description_ += " for detail value of ";
    description_ += bits_;
    description_ += ".";
  } else if (!BitSet(bits_, 5)) {
    description_ = "SME to SME protocol";
  } else {
    description_ = "Telematic interworking";
  }
}

TProtocolIdentifier::~TProtocolIdentifier() = default;

// ---------------------------------------------------------------------------

TDataCodingScheme::TDataCodingScheme(const ByteString& octet) : bits_(TConversion::HexToBinStr8(octet)) { Describe(); }

TDataCodingScheme::~TDataCodingScheme() = default;

const std::vector<ByteString>& TDataCodingScheme::Describe() {
  static const char* const kAlphabet[] = {"Using default alphabet", "Using 8 bit data", "Using UCS2 (16bit)",
                                          "Using reserved alphabet"};
  static const char* const kGeneralClass[] = {"Class 0 : Immediate display (alert)", "Class 1 : ME Spesific",
                                              "Class 2 : SIM Spesific", "Class 3 : TE Spesific"};
  static const char* const kWaiting[] = {"Voicemail Message Waiting", "Fax Message Waiting",
                                         "Electronic Mail Message Waiting", "Other Message Waiting"};
  static const char* const kMessageClass[] = {"Class 0 : Immediate display (alert)", "Class 1 : ME specific",
                                              "Class 2 : SIM specific", "Class 3 : TE specific"};
  description_.clear();
  description_.reserve(5);  // the longest description has five lines
  auto store_lines = [this] {
    description_.emplace_back("Message Waiting Indication Group: Store Message ");
    description_.emplace_back(BitSet(bits_, 3) ? "Set indication active" : "Set indication inactive");
    description_.emplace_back(kWaiting[BitPair(bits_, 1)]);
  };
  // Coding group: bits 7..4. Bit texts that are not eight '0'/'1' characters
  // (only from a caller passing more than one octet) fall into the general group.
  const int group = (BitSet(bits_, 7) ? 8 : 0) + (BitSet(bits_, 6) ? 4 : 0) + BitPair(bits_, 5);
  if (group <= 0x3) {
    description_.emplace_back("General Data Coding indication");
    description_.emplace_back(BitSet(bits_, 5) ? "Text is compressed" : "Text is uncompressed");
    description_.emplace_back(BitSet(bits_, 4) ? "Has a class meaning" : "No class meaning");
    description_.emplace_back(kAlphabet[BitPair(bits_, 3)]);
    if (BitSet(bits_, 4)) description_.emplace_back(kGeneralClass[BitPair(bits_, 1)]);
  } else if (group <= 0xB) {
    description_.emplace_back("Reserved coding groups");
  } else if (group == 0xC) {
    description_.emplace_back("Message Waiting Indication Group: Discard Message");
  } else if (group == 0xD) {
    store_lines();
  } else if (group == 0xE) {
    store_lines();
    description_.emplace_back("User data is in uncompressed UCS2 alphabet");
  } else {
    description_.emplace_back("Message Class");
    description_.emplace_back(BitSet(bits_, 2) ? "8-bit data" : "Default alphabet");
    description_.emplace_back(kMessageClass[BitPair(bits_, 1)]);
  }
  return description_;
}

// ---------------------------------------------------------------------------

TTimeStamp::TTimeStamp(const ByteString& text) : raw_text_(text) {
  const int yy = DecimalOrZero(Piece(text, 1, 2));
  DateTimeParts parts;
  parts.year = (yy >= 91 && yy <= 99) ? yy + 1900 : yy + 2000;
  parts.month = DecimalOrZero(Piece(text, 3, 2));
  parts.day = DecimalOrZero(Piece(text, 5, 2));
  parts.hour = DecimalOrZero(Piece(text, 7, 2));
  parts.minute = DecimalOrZero(Piece(text, 9, 2));
  parts.second = DecimalOrZero(Piece(text, 11, 2));

  if (text.size() != 14) {
    time_zone_ = "INVALID TIME STAMP";
    return;
  }
  DateTime value = 0;
  if (TryEncodeDateTime(parts, value)) date_time_ = value;

  // Zone in quarter hours, two BCD digits; bit 3 of the first digit (after
  // the swap) is the sign (TS 23.040 9.2.3.11): set means west of GMT.
  const ByteString zone = Piece(text, 13, 2);
  const int first = hex::DigitValue(zone[0]);
  if (first >= 8) {
    const char tens = static_cast<char>('0' + (first - 8));
    const int quarters = DecimalOrZero(ByteString(1, tens) + zone[1]);
    time_zone_ = "-" + std::to_string(quarters * 15 / 60);
  } else {
    time_zone_ = "+" + std::to_string(DecimalOrZero(zone) * 15 / 60);
  }
}

TTimeStamp::~TTimeStamp() = default;

// ---------------------------------------------------------------------------

TUserDataHeader::TUserDataHeader(const ByteString& text) : header_text_(text) {
  const ByteString identifier = Piece(text, 1, 2);
  const ByteString length = Piece(text, 3, 2);
  const ByteString reference = Piece(text, 5, 2);
  const ByteString maximum = Piece(text, 7, 2);
  const ByteString sequence = Piece(text, 9, 2);
  if (!identifier.empty()) {
    element_identifier_ = identifier;
    description_.emplace_back("  SM concatenation 8 bit ref");
  }
  if (!length.empty()) {
    element_length_ = length;
    description_.push_back("  " + length + " : Bytes information element");
  }
  if (!reference.empty()) {
    reference_number_ = reference;
    description_.push_back("  " + std::to_string(TConversion::HexToInt(reference)) + " : SM Reference Number");
  }
  if (!maximum.empty()) {
    maximum_messages_ = TConversion::HexToInt(maximum);
    description_.push_back("  Maximum messages : " + std::to_string(maximum_messages_));
  }
  if (!sequence.empty()) {
    message_sequence_ = TConversion::HexToInt(sequence);
    description_.push_back("  Message sequence : " + std::to_string(message_sequence_));
  }
}

TUserDataHeader::~TUserDataHeader() = default;

}  // namespace vela

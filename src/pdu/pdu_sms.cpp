#include "pdu/pdu_sms.h"

#include <string>
#include <utility>

#include "coding/conversion.h"

namespace vela {

namespace {

// Up to `count` characters from 1-based `pos`; nothing for a count of 0 or
// less or a position past the end.
ByteString Copy(const ByteString& text, size_t pos, int64_t count) {
  if (count <= 0 || pos < 1 || pos > text.size()) return ByteString();
  return text.substr(pos - 1, static_cast<size_t>(count));
}

bool Bit(const ByteString& bits, int k) {
  const size_t index = static_cast<size_t>(7 - k);
  return index < bits.size() && bits[index] == '1';
}

bool IsBitText(const ByteString& text) {
  for (char c : text) {
    if (c != '0' && c != '1') return false;
  }
  return true;
}

ByteString Narrow(const WideString& wide) {
  ByteString bytes(wide.size(), '?');
  for (size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] < 256) bytes[i] = static_cast<char>(wide[i]);
  }
  return bytes;
}

}  // namespace

// ---------------------------------------------------------------------------

TTypeAddress::TTypeAddress(const ByteString& octet) {
  const ByteString bits = TConversion::HexToBinStr8(octet);
  // A two-character text always gives eight bit characters; a longer one may
  // not, and then the fields stay 0 rather than raising.
  const ByteString type = "0" + Copy(bits, 2, 3);
  if (type.size() == 4 && IsBitText(type))
    type_of_number_ = static_cast<std::uint8_t>(TConversion::BinStrToNibble(type));

  const ByteString plan = Copy(bits, 5, 4);
  if (plan == "0001")
    numbering_plan_ = 1;  // ISDN / telephone (E.164)
  else if (plan == "0011")
    numbering_plan_ = 2;  // data (X.121)
  else if (plan == "0100")
    numbering_plan_ = 3;  // telex
  else if (plan == "1000")
    numbering_plan_ = 4;  // national
  else if (plan == "1001")
    numbering_plan_ = 5;  // private
  else if (plan == "1010")
    numbering_plan_ = 6;  // ERMES
  else if (plan == "1111")
    numbering_plan_ = 7;  // reserved for extension
  else
    numbering_plan_ = 0;  // unknown and unassigned patterns
}

TTypeAddress::~TTypeAddress() = default;

// ---------------------------------------------------------------------------

TSMSType::~TSMSType() = default;

std::unique_ptr<TSMSType> TSMSType::FromFirstOctet(const ByteString& first_octet) {
  if (first_octet.size() == 2) {
    const ByteString mti = Copy(TConversion::HexToBinStr8(first_octet), 7, 2);
    if (mti == "00") return std::make_unique<TSMSDeliver>(first_octet);
    if (mti == "01") return std::make_unique<TSMSSubmit>(first_octet);
    if (mti == "10") return std::make_unique<TSMSReport>(first_octet);
  }
  return std::make_unique<TSMSUnknown>(first_octet);
}

ByteString TSMSType::SetCommonBits(const ByteString& first_octet) {
  first_octet_ = first_octet;
  const ByteString bits = TConversion::HexToBinStr8(first_octet);
  reply_path_ = Bit(bits, 7);
  user_data_header_indicator_ = Bit(bits, 6);
  return bits;
}

// ---------------------------------------------------------------------------

TSMSSubmit::TSMSSubmit(const ByteString& first_octet) : TSMSType(smsSubmit) { Initialize(first_octet); }

TSMSSubmit::~TSMSSubmit() = default;

void TSMSSubmit::Initialize(const ByteString& first_octet) {
  const ByteString bits = SetCommonBits(first_octet);
  status_report_request_ = Bit(bits, 5);
  validity_period_format_ = static_cast<std::uint8_t>((Bit(bits, 4) ? 2 : 0) + (Bit(bits, 3) ? 1 : 0));
  reject_duplicates_ = Bit(bits, 2);
}

void TSMSSubmit::SetValidityPeriod(const ByteString& octet) {
  // Relative TP-VP (TS 23.040 9.2.3.12.1); the 12-hour step is written as a
  // fixed "12 hours " and a minutes count from 30 up to 720.
  const int32_t v = TConversion::HexToInt(octet);
  if (v >= 0 && v <= 143) {
    validity_period_ = std::to_string((v + 1) * 5) + " minutes";
  } else if (v >= 144 && v <= 167) {
    validity_period_ = "12 hours " + std::to_string((v - 143) * 30) + " minutes";
  } else if (v >= 168 && v <= 196) {
    validity_period_ = std::to_string(v - 166) + " days";
  } else if (v >= 197 && v <= 255) {
    validity_period_ = std::to_string(v - 192) + " weeks";
  } else {
    validity_period_.clear();  // only from a caller passing more than one octet
  }
}

// ---------------------------------------------------------------------------

TSMSDeliver::TSMSDeliver(const ByteString& first_octet) : TSMSType(smsDeliver) { Initialize(first_octet); }

TSMSDeliver::~TSMSDeliver() = default;

void TSMSDeliver::Initialize(const ByteString& first_octet) {
  const ByteString bits = SetCommonBits(first_octet);
  status_report_indication_ = Bit(bits, 5);
  more_messages_to_send_ = !Bit(bits, 2);
}

// ---------------------------------------------------------------------------

TSMSReport::TSMSReport(const ByteString& first_octet) : TSMSType(smsStatusReport) { Initialize(first_octet); }

TSMSReport::~TSMSReport() = default;

void TSMSReport::Initialize(const ByteString& first_octet) { report_first_octet_ = first_octet; }

bool TSMSReport::IsDelivered() const { return status_ == "00"; }

void TSMSReport::SetDischargeTime(const ByteString& text) { discharge_time_ = std::make_unique<TTimeStamp>(text); }

void TSMSReport::SetStatus(const ByteString& status) { status_ = status; }

// ---------------------------------------------------------------------------

TSMSUnknown::TSMSUnknown(const ByteString& first_octet) : TSMSType(smsUnknown) { Initialize(first_octet); }

TSMSUnknown::~TSMSUnknown() = default;

void TSMSUnknown::Initialize(const ByteString& first_octet) { unknown_first_octet_ = first_octet; }

// ---------------------------------------------------------------------------

TPDUSMS::TPDUSMS(const WideString& pdu) : pdu_(pdu), text_(Narrow(pdu)) {
  service_centre_length_ = TConversion::HexToInt(Copy(text_, 1, 2));
  user_data_header_ = std::make_unique<TUserDataHeader>(ByteString());
  Parse();
}

TPDUSMS::~TPDUSMS() {
  service_centre_type_.reset();
  sms_type_.reset();
  address_type_.reset();
  protocol_identifier_.reset();
  data_coding_scheme_.reset();
  time_stamp_.reset();
  user_data_header_.reset();
}

ByteString TPDUSMS::SwapSemiOctets(const ByteString& text) {
  ByteString swapped = text;
  for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
  return swapped;
}

ByteString TPDUSMS::TrimFiller(const ByteString& text) {
  if (!text.empty() && text.back() == 'F') return text.substr(0, text.size() - 1);
  return text;
}

int32_t TPDUSMS::EvenLength(int32_t n) { return (n % 2 != 0) ? n + 1 : n; }

ByteString TPDUSMS::Field(size_t offset, int64_t count) const { return Copy(text_, first_octet_pos_ + offset, count); }

void TPDUSMS::Parse() {
  // The service-centre length is 0..255 octets (two hex characters), so the
  // TPDU starts at most 513 characters in.
  first_octet_pos_ = 2 * static_cast<size_t>(service_centre_length_) + 3;
  service_centre_type_ = std::make_unique<TTypeAddress>(Copy(text_, 3, 2));
  service_centre_number_ = TrimFiller(SwapSemiOctets(Copy(text_, 5, 2 * int64_t{service_centre_length_} - 2)));
  sms_type_ = TSMSType::FromFirstOctet(Field(0, 2));

  switch (sms_type_->Kind()) {
    case smsStatusReport:
      ParseStatusReport();
      break;
    case smsSubmit:
      ParseSubmit();
      break;
    case smsDeliver:
      ParseDeliver();
      break;
    case smsUnknown:
      break;
  }
  if (sms_type_->Kind() != smsStatusReport && user_text_.size() > static_cast<size_t>(user_data_length_)) {
    // Drops the septet that 7 fill bits make at the end of the last octet.
    user_text_.resize(static_cast<size_t>(user_data_length_));
  }
}

size_t TPDUSMS::ParseAddress(size_t offset) {
  // TP-OA / TP-DA / TP-RA: length in digits, type of address, semi-octet digits.
  address_length_ = EvenLength(TConversion::HexToInt(Field(offset, 2)));
  address_type_ = std::make_unique<TTypeAddress>(Field(offset + 2, 2));
  address_ = TrimFiller(SwapSemiOctets(Field(offset + 4, address_length_)));
  return offset + 4 + static_cast<size_t>(address_length_);
}

void TPDUSMS::ParseDeliver() {
  const size_t a = ParseAddress(2);  // 6 + A
  protocol_identifier_ = std::make_unique<TProtocolIdentifier>(Field(a, 2));
  data_coding_scheme_ = std::make_unique<TDataCodingScheme>(Field(a + 2, 2));
  time_stamp_ = std::make_unique<TTimeStamp>(SwapSemiOctets(Field(a + 4, 14)));
  user_data_length_ = TConversion::HexToInt(Field(a + 18, 2));
  ParseUserData(a + 20);
}

void TPDUSMS::ParseSubmit() {
  message_reference_ = Field(2, 2);
  const size_t a = ParseAddress(4);  // 8 + A
  protocol_identifier_ = std::make_unique<TProtocolIdentifier>(Field(a, 2));
  data_coding_scheme_ = std::make_unique<TDataCodingScheme>(Field(a + 2, 2));
  auto* submit = static_cast<TSMSSubmit*>(sms_type_.get());
  // TP-VP: absent, one relative octet, or seven octets (enhanced, absolute).
  size_t v = 0;
  switch (submit->ValidityPeriodFormat()) {
    case 2:
      v = 2;
      submit->SetValidityPeriod(Field(a + 4, 2));
      break;
    case 1:
    case 3:
      v = 14;
      break;
    default:
      break;
  }
  user_data_length_ = TConversion::HexToInt(Field(a + 4 + v, 2));
  ParseUserData(a + 6 + v);
}

void TPDUSMS::ParseStatusReport() {
  message_reference_ = Field(2, 2);
  const size_t a = ParseAddress(4);  // 8 + A
  time_stamp_ = std::make_unique<TTimeStamp>(SwapSemiOctets(Field(a, 14)));
  auto* report = static_cast<TSMSReport*>(sms_type_.get());
  report->SetDischargeTime(SwapSemiOctets(Field(a + 14, 14)));
  report->SetStatus(Field(a + 28, 2));
  user_text_ = "DELIVERY REPORT for " + address_;
}

void TPDUSMS::ParseUserData(size_t offset) {
  const int64_t n = user_data_length_;
  if (!sms_type_->HasUserDataHeader()) {
    user_text_ = TConversion::SeptetsToText(Field(offset, 2 * n));
    return;
  }
  const int64_t h = TConversion::HexToInt(Field(offset, 2));
  user_data_header_length_ = static_cast<int32_t>(h);
  user_data_header_ = std::make_unique<TUserDataHeader>(Field(offset + 2, 2 * h));
  const ByteString septets = TConversion::SeptetsToText(Field(offset, 2 + 2 * h + 2 * n));
  // TP-UDL counts septets including the header: the length octet and the
  // header take 8·(H+1) bits, padded with fill bits to a septet boundary.
  // That is H+2 septets for headers up to 6 octets and H+3 from 7 octets on.
  const int64_t skip = (8 * (h + 1) + 6) / 7;
  user_text_ = Copy(septets, static_cast<size_t>(skip) + 1, n - skip);
}

}  // namespace vela

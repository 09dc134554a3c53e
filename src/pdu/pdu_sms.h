// Analysis object model of one received PDU (3GPP TS 23.040): the service-centre
// information followed by the TPDU, parsed at once into typed fields, each kept
// with the characters it was read from and, where useful, a description.
//
// Construction never fails, whatever the text: missing characters leave
// texts empty, numbers 0 and optional sub-objects null.
//
// Threads: no shared or global state. A TPDUSMS and everything it owns is used
// by one thread at a time, normally the thread that built it.
#pragma once

#include <cstdint>
#include <memory>

#include "common/types.h"
#include "pdu/field_decoders.h"

namespace vela {

// TP-MTI reading of the first octet.
enum TSMSKind : std::uint8_t { smsSubmit = 0, smsDeliver = 1, smsStatusReport = 2, smsUnknown = 3 };

// Type-of-address octet: bits 6..4 type of number, bits 3..0 numbering plan
// (bit 7 is always 1 and not kept).
class TTypeAddress {
 public:
  // `octet`: normally the two hex characters of the octet (either case).
  explicit TTypeAddress(const ByteString& octet);
  virtual ~TTypeAddress();

  // 0 unknown, 1 international, 2 national, 3 network specific, 4 subscriber,
  // 5 alphanumeric, 6 abbreviated, 7 reserved.
  std::uint8_t TypeOfNumber() const { return type_of_number_; }
  // 0 unknown (and every unassigned pattern), 1 ISDN/telephone, 2 data,
  // 3 telex, 4 national, 5 private, 6 ERMES, 7 reserved for extension.
  std::uint8_t NumberingPlan() const { return numbering_plan_; }

 private:
  std::uint8_t type_of_number_ = 0;
  std::uint8_t numbering_plan_ = 0;
};

// Message-kind object made from the first octet of the TPDU.
class TSMSType {
 public:
  virtual ~TSMSType();

  // A new kind object for the first-octet text, owned by the caller: MTI 00
  // DELIVER, 01 SUBMIT, 10 STATUS-REPORT; 11 or a text that is not two
  // characters long UNKNOWN. The MTI is read without a direction, so a
  // SUBMIT-REPORT reads as SUBMIT and a COMMAND as STATUS-REPORT.
  static std::unique_ptr<TSMSType> FromFirstOctet(const ByteString& first_octet);

  // The first-octet text; set by SUBMIT and DELIVER only.
  const ByteString& FirstOctet() const { return first_octet_; }
  // TP-RP, bit 7 (SUBMIT, DELIVER).
  bool ReplyPath() const { return reply_path_; }
  // TP-UDHI, bit 6 (SUBMIT, DELIVER).
  bool UserDataHeaderIndicator() const { return user_data_header_indicator_; }
  bool HasUserDataHeader() const { return user_data_header_indicator_; }
  TSMSKind Kind() const { return kind_; }

 protected:
  explicit TSMSType(TSMSKind kind) : kind_(kind) {}
  // Decodes what the kind takes from the first-octet text; each kind's
  // constructor runs its own.
  virtual void Initialize(const ByteString& first_octet) = 0;
  // Stores the text and decodes bits 7 and 6; returns the octet's bit text.
  ByteString SetCommonBits(const ByteString& first_octet);

 private:
  ByteString first_octet_;
  bool reply_path_ = false;
  bool user_data_header_indicator_ = false;
  TSMSKind kind_;
};

// SMS-SUBMIT (mobile to service centre).
class TSMSSubmit final : public TSMSType {
 public:
  explicit TSMSSubmit(const ByteString& first_octet);
  ~TSMSSubmit() override;

  // TP-VPF, bits 4..3: 0 none, 1 enhanced, 2 relative, 3 absolute.
  std::uint8_t ValidityPeriodFormat() const { return validity_period_format_; }
  // Description of a relative validity period; empty for the other formats.
  const ByteString& ValidityPeriod() const { return validity_period_; }
  // TP-RD, bit 2.
  bool RejectDuplicates() const { return reject_duplicates_; }
  // TP-SRR, bit 5.
  bool StatusReportRequest() const { return status_report_request_; }

  // Describes a relative TP-VP octet (hex text): "5 minutes" .. "63 weeks".
  void SetValidityPeriod(const ByteString& octet);

 protected:
  void Initialize(const ByteString& first_octet) override;

 private:
  std::uint8_t validity_period_format_ = 0;
  ByteString validity_period_;
  bool reject_duplicates_ = false;
  bool status_report_request_ = false;
};

// SMS-DELIVER (service centre to mobile).
class TSMSDeliver final : public TSMSType {
 public:
  explicit TSMSDeliver(const ByteString& first_octet);
  ~TSMSDeliver() override;

  // TP-MMS, bit 2 clear: the service centre has more messages waiting.
  bool MoreMessagesToSend() const { return more_messages_to_send_; }
  // TP-SRI, bit 5.
  bool StatusReportIndication() const { return status_report_indication_; }

 protected:
  void Initialize(const ByteString& first_octet) override;

 private:
  bool more_messages_to_send_ = false;
  bool status_report_indication_ = false;
};

// SMS-STATUS-REPORT. Decodes no first-octet bits; FirstOctet() stays empty.
class TSMSReport final : public TSMSType {
 public:
  explicit TSMSReport(const ByteString& first_octet);
  ~TSMSReport() override;

  const ByteString& ReportFirstOctet() const { return report_first_octet_; }
  // TP-ST as its two hex characters, as they stand; empty when absent.
  const ByteString& Status() const { return status_; }
  // TP-DT; null until SetDischargeTime.
  const TTimeStamp* DischargeTime() const { return discharge_time_.get(); }
  const TTimeStamp* GetDischargeTimeStamp() const { return discharge_time_.get(); }
  // True exactly when the status is "00" (short message received by the SME).
  bool IsDelivered() const;

  // `text`: the 14 time-stamp characters already swapped into reading order.
  void SetDischargeTime(const ByteString& text);
  void SetStatus(const ByteString& status);

 protected:
  void Initialize(const ByteString& first_octet) override;

 private:
  ByteString report_first_octet_;
  ByteString status_;
  std::unique_ptr<TTimeStamp> discharge_time_;
};

// MTI 11 (reserved) or a first octet cut short: nothing else is read.
class TSMSUnknown final : public TSMSType {
 public:
  explicit TSMSUnknown(const ByteString& first_octet);
  ~TSMSUnknown() override;

  // The first-octet text, possibly shorter than two characters.
  const ByteString& UnknownFirstOctet() const { return unknown_first_octet_; }

 protected:
  void Initialize(const ByteString& first_octet) override;

 private:
  ByteString unknown_first_octet_;
};

// One received PDU as the modem prints it: hex text, service-centre
// information first. Complete and unchanging after construction; every
// pointer handed out is borrowed and lives as long as this object.
class TPDUSMS {
 public:
  // Code units below 256 are taken as bytes, any other as '?'.
  explicit TPDUSMS(const WideString& pdu);
  virtual ~TPDUSMS();
  TPDUSMS(const TPDUSMS&) = delete;
  TPDUSMS& operator=(const TPDUSMS&) = delete;

  // TP-MR as its two hex characters (SUBMIT, STATUS-REPORT); empty otherwise.
  const ByteString& GetMessageReference() const { return message_reference_; }
  // Never null.
  const TSMSType* GetSMSType() const { return sms_type_.get(); }
  // TP-SCTS of DELIVER and STATUS-REPORT; null otherwise.
  const TTimeStamp* GetTimeStamp() const { return time_stamp_.get(); }

  // Octets of service-centre information (type octet and digits).
  int32_t ServiceCentreLength() const { return service_centre_length_; }
  const ByteString& ServiceCentreNumber() const { return service_centre_number_; }
  const TTypeAddress* ServiceCentreType() const { return service_centre_type_.get(); }
  const TSMSType* SMSType() const { return sms_type_.get(); }
  // Hex characters of the address digits: the digit count rounded up to even.
  int32_t AddressLength() const { return address_length_; }
  // Null for UNKNOWN.
  const TTypeAddress* AddressType() const { return address_type_.get(); }
  // Originator (DELIVER), destination (SUBMIT) or recipient (STATUS-REPORT),
  // semi-octets in reading order without "F" fill and without "+".
  const ByteString& Address() const { return address_; }
  // DELIVER and SUBMIT only; null otherwise.
  const TProtocolIdentifier* ProtocolIdentifier() const { return protocol_identifier_.get(); }
  const TDataCodingScheme* DataCodingScheme() const { return data_coding_scheme_.get(); }
  const TTimeStamp* TimeStamp() const { return time_stamp_.get(); }
  // TP-UDL (DELIVER, SUBMIT); 0 otherwise.
  int32_t UserDataLength() const { return user_data_length_; }
  // User data read as 7-bit text whatever the coding scheme (DELIVER,
  // SUBMIT), or "DELIVERY REPORT for <recipient>" (STATUS-REPORT).
  const ByteString& UserText() const { return user_text_; }
  // Never null: an empty header unless TP-UDHI is set.
  const TUserDataHeader* UserDataHeader() const { return user_data_header_.get(); }
  int32_t UserDataHeaderLength() const { return user_data_header_length_; }
  const ByteString& MessageReference() const { return message_reference_; }
  const WideString& PDU() const { return pdu_; }

  // Text rules shared by every parse step.
  // Exchanges the characters of each pair; a lone last character stays.
  static ByteString SwapSemiOctets(const ByteString& text);
  // Drops one trailing upper-case "F" (the fill of an odd digit count).
  static ByteString TrimFiller(const ByteString& text);
  // n rounded up to even.
  static int32_t EvenLength(int32_t n);

 private:
  void Parse();
  void ParseDeliver();
  void ParseSubmit();
  void ParseStatusReport();
  // Reads the address-length, type and digit fields at TPDU offset `offset`;
  // returns the offset just past the digits.
  size_t ParseAddress(size_t offset);
  // Reads the user data at TPDU offset `offset` (TP-UDL already read).
  void ParseUserData(size_t offset);
  // Up to `count` characters from TPDU offset `offset` (0 = first octet).
  ByteString Field(size_t offset, int64_t count) const;

  int32_t service_centre_length_ = 0;
  ByteString service_centre_number_;
  std::unique_ptr<TTypeAddress> service_centre_type_;
  std::unique_ptr<TSMSType> sms_type_;
  int32_t address_length_ = 0;
  std::unique_ptr<TTypeAddress> address_type_;
  ByteString address_;
  std::unique_ptr<TProtocolIdentifier> protocol_identifier_;
  std::unique_ptr<TDataCodingScheme> data_coding_scheme_;
  std::unique_ptr<TTimeStamp> time_stamp_;
  int32_t user_data_length_ = 0;
  ByteString user_text_;
  std::unique_ptr<TUserDataHeader> user_data_header_;
  int32_t user_data_header_length_ = 0;
  ByteString message_reference_;
  WideString pdu_;

  ByteString text_;             // the PDU narrowed to bytes
  size_t first_octet_pos_ = 3;  // 1-based position S of the TPDU's first octet
};

}  // namespace vela

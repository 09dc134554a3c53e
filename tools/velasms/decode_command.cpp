// velasms decode: a received PDU read the two ways the system reads it: the
// message as the driver reports it (originator, text, times, reference) and
// the analysis model's field-by-field tree with its description texts.
#include <ostream>

#include "args.h"
#include "common/utf8.h"
#include "common/hex.h"
#include "coding/sms.h"
#include "coding/text_coding.h"
#include "commands.h"
#include "json.h"
#include "pdu/pdu_sms.h"
#include "platform/codepage.h"
#include "text.h"
#include "at/line_framing.h"

namespace vela::tool {

const char* const kDecodeUsage =
    "Usage: velasms decode [--json] PDU...\n"
    "\n"
    "Analyses each PDU as the modem prints it on the line after +CMT: or +CDS:\n"
    "(hex digits, service-centre information first). Prints the message as it\n"
    "would be reported (originator, text, times, reference, delivered) and the\n"
    "analysis of every field with its description. Malformed PDUs are analysed\n"
    "as far as they go.\n"
    "\n"
    "Options:\n"
    "  --json        one JSON object per PDU per line, in the order given; besides\n"
    "                the fields above, \"unicode_text\" (the text in full Unicode,\n"
    "                read with the tables its header selects, header removed) and\n"
    "                \"udh\" (the header's elements: {\"iei\", \"data\"} and, for\n"
    "                concatenation, \"reference\", \"parts\", \"part\"; for national\n"
    "                language tables, \"language\")\n"
    "  -h, --help    show this help\n";

namespace {

// A kind's name in JSON and its title in the human output.
struct KindNames {
  const char* name;
  const char* title;
};

KindNames NamesOf(TSMSKind kind) {
  if (kind == smsSubmit) return {"submit", "SMS-SUBMIT"};
  if (kind == smsDeliver) return {"deliver", "SMS-DELIVER"};
  if (kind == smsStatusReport) return {"status-report", "SMS-STATUS-REPORT"};
  return {"unknown", "unknown (first octet not understood)"};
}

// 3GPP TS 23.040 9.1.2.5 names of the type-of-number and numbering-plan codes.
const char* TypeOfNumberName(int code) {
  static const char* const kNames[] = {"unknown",    "international", "national",    "network specific",
                                       "subscriber", "alphanumeric",  "abbreviated", "reserved"};
  return code >= 0 && code < 8 ? kNames[code] : "?";
}

const char* NumberingPlanName(int code) {
  static const char* const kNames[] = {"unknown",  "ISDN/telephone", "data",  "telex",
                                       "national", "private",        "ERMES", "reserved"};
  return code >= 0 && code < 8 ? kNames[code] : "?";
}

// Calls a decoder operation that raises for malformed data; 0 (no time) then.
template <typename F>
DateTime TimeOrZero(F&& read) {
  try {
    return read();
  } catch (const std::exception&) {
    return 0;
  }
}

// What the driver reports for the PDU (position-based decoder).
struct Message {
  std::string originator, text;  // UTF-8
  DateTime serviceCentreTime = 0, dischargeTime = 0;
};

Message ReadMessage(const ByteString& pdu) {
  Message m;
  TSMS sms;
  try {
    sms.ParsePDU(pdu);
  } catch (const std::exception&) {
    // ParsePDU does not raise; should it, the fields keep what it left.
  }
  // The driver's order: times, text (which blanks a header inside Pdu), originator.
  m.serviceCentreTime = TimeOrZero([&] { return sms.GetServiceCentreTime(); });
  m.dischargeTime = TimeOrZero([&] { return sms.GetDischargeTime(); });
  try {
    m.text = Utf8FromWide(sms.GetMessageText());
  } catch (const std::exception&) {
    m.text.clear();
  }
  try {
    m.originator = Utf8FromBytes(sms.GetOriginator());
  } catch (const std::exception&) {
    m.originator.clear();
  }
  return m;
}

const ByteString& FirstOctetText(const TSMSType& type) {
  if (auto* report = dynamic_cast<const TSMSReport*>(&type)) return report->ReportFirstOctet();
  if (auto* unknown = dynamic_cast<const TSMSUnknown*>(&type)) return unknown->UnknownFirstOctet();
  return type.FirstOctet();
}

Json LinesJson(const std::vector<ByteString>& lines) {
  Json array = Json::array();
  for (const auto& line : lines) array.push_back(Utf8FromBytes(line));
  return array;
}

Json TypeJson(const TTypeAddress* type) {
  Json object = Json::object();
  object["type_of_number"] = type ? Json(int(type->TypeOfNumber())) : Json();
  object["numbering_plan"] = type ? Json(int(type->NumberingPlan())) : Json();
  return object;
}

Json StampJson(const TTimeStamp* stamp) {
  if (!stamp) return Json();
  Json object = Json::object();
  object["date_time"] = TimeJson(stamp->GetDateTime());
  object["time_zone"] = Utf8FromBytes(stamp->TimeZone());
  return object;
}

Json AnalysisJson(const TPDUSMS& model) {
  const TSMSType& type = *model.GetSMSType();
  Json a = Json::object();
  Json serviceCentre = Json::object();
  serviceCentre["number"] = Utf8FromBytes(model.ServiceCentreNumber());
  serviceCentre["type_of_number"] =
      model.ServiceCentreType() ? Json(int(model.ServiceCentreType()->TypeOfNumber())) : Json();
  serviceCentre["numbering_plan"] =
      model.ServiceCentreType() ? Json(int(model.ServiceCentreType()->NumberingPlan())) : Json();
  a["service_centre"] = serviceCentre;
  a["first_octet"] = Utf8FromBytes(FirstOctetText(type));
  a["address"] = Utf8FromBytes(model.Address());
  a["address_type"] = model.AddressType() ? TypeJson(model.AddressType()) : Json();
  a["protocol_identifier"] =
      model.ProtocolIdentifier() ? Json(Utf8FromBytes(model.ProtocolIdentifier()->Description())) : Json();
  a["data_coding_scheme"] = model.DataCodingScheme() ? LinesJson(model.DataCodingScheme()->Description()) : Json();
  a["time_stamp"] = StampJson(model.GetTimeStamp());
  auto* report = dynamic_cast<const TSMSReport*>(&type);
  a["discharge_time"] = report ? StampJson(report->GetDischargeTimeStamp()) : Json();
  if (report) a["status"] = Utf8FromBytes(report->Status());
  if (auto* submit = dynamic_cast<const TSMSSubmit*>(&type)) {
    a["validity_period"] = Utf8FromBytes(submit->ValidityPeriod());
  }
  a["user_data_length"] = int(model.UserDataLength());
  a["user_text"] = Utf8FromBytes(model.UserText());
  a["user_data_header"] = LinesJson(model.UserDataHeader()->Description());
  return a;
}

Json UdhJson(const coding::UserDataHeader& header) {
  Json elements = Json::array();
  for (const coding::UdhElement& element : header.elements) {
    Json e = Json::object();
    e["iei"] = int(element.iei);
    e["data"] = hex::FromOctets(element.data);
    auto octet = [&](size_t i) { return int(static_cast<unsigned char>(element.data[i])); };
    // Concatenation (TS 23.040 9.2.3.24.1 / .8) and national language shift
    // elements (9.2.3.24.15 / .16) are spelled out when their length is right.
    if ((element.iei == 0x00 && element.data.size() == 3) || (element.iei == 0x08 && element.data.size() == 4)) {
      const size_t at = element.iei == 0x08 ? 2 : 1;
      e["reference"] = element.iei == 0x08 ? octet(0) << 8 | octet(1) : octet(0);
      e["parts"] = octet(at);
      e["part"] = octet(at + 1);
    } else if ((element.iei == 0x24 || element.iei == 0x25) && element.data.size() == 1) {
      e["language"] = octet(0);
    }
    elements.push_back(std::move(e));
  }
  return elements;
}

void WriteJson(std::ostream& out, const Message& m, const TPDUSMS& model, const ByteString& pdu) {
  const TSMSType& type = *model.GetSMSType();
  Json o = Json::object();
  o["kind"] = NamesOf(type.Kind()).name;
  o["originator"] = m.originator;
  o["text"] = m.text;
  o["service_centre_time"] = TimeJson(m.serviceCentreTime);
  o["discharge_time"] = TimeJson(m.dischargeTime);
  o["message_reference"] = Utf8FromBytes(model.GetMessageReference());
  if (auto* report = dynamic_cast<const TSMSReport*>(&type)) o["delivered"] = report->IsDelivered();
  o["analysis"] = AnalysisJson(model);
  const coding::DecodedUserData unicode = coding::DecodePdu(pdu);
  o["unicode_text"] = Utf8FromWide(unicode.text);
  o["udh"] = UdhJson(unicode.header);
  out << JsonLine(o) << "\n";
}

// Human output: one "label: value" row per field, continuation lines aligned.
class Rows {
 public:
  explicit Rows(std::ostream& out) : out_(out) {}
  void Row(const std::string& label, const std::string& value) {
    std::string head = "  " + label + ":";
    if (value.empty()) {
      out_ << head << "\n";
      return;
    }
    head.resize(kValueColumn, ' ');
    out_ << head << IndentedText(value, std::string(kValueColumn, ' ')) << "\n";
  }
  void Lines(const std::string& label, const std::vector<ByteString>& lines) {
    if (lines.empty()) return Row(label, "-");
    std::string value;
    for (size_t i = 0; i < lines.size(); ++i) value += (i ? "\n" : "") + Utf8FromBytes(lines[i]);
    Row(label, value);
  }

 private:
  static constexpr size_t kValueColumn = 24;
  std::ostream& out_;
};

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

std::string TypeText(const TTypeAddress* type) {
  if (!type) return "";
  return " (type of number " + std::to_string(type->TypeOfNumber()) + " " + TypeOfNumberName(type->TypeOfNumber()) +
         ", numbering plan " + std::to_string(type->NumberingPlan()) + " " + NumberingPlanName(type->NumberingPlan()) +
         ")";
}

std::string StampText(const TTimeStamp* stamp) {
  if (!stamp) return "-";
  return TimeText(stamp->GetDateTime()) + ", time zone " + Utf8FromBytes(stamp->TimeZone()) + " (raw " +
         Utf8FromBytes(stamp->RawText()) + ")";
}

void WriteHuman(std::ostream& out, const ByteString& pdu, const Message& m, const TPDUSMS& model) {
  const TSMSType& type = *model.GetSMSType();
  auto* report = dynamic_cast<const TSMSReport*>(&type);
  auto* submit = dynamic_cast<const TSMSSubmit*>(&type);
  out << "PDU " << Utf8FromBytes(pdu) << "\n";
  out << "Message\n";
  Rows rows(out);
  rows.Row("Kind", NamesOf(type.Kind()).title);
  rows.Row("Originator", OrDash(m.originator));
  rows.Row("Text", m.text);
  rows.Row("Service centre time", TimeText(m.serviceCentreTime));
  rows.Row("Discharge time", TimeText(m.dischargeTime));
  rows.Row("Message reference", OrDash(Utf8FromBytes(model.GetMessageReference())));
  if (report) rows.Row("Delivered", report->IsDelivered() ? "yes" : "no");

  out << "Analysis\n";
  rows.Row("Service centre", OrDash(Utf8FromBytes(model.ServiceCentreNumber())) + TypeText(model.ServiceCentreType()));
  rows.Row("First octet", OrDash(Utf8FromBytes(FirstOctetText(type))));
  if (model.AddressType()) rows.Row("Address", OrDash(Utf8FromBytes(model.Address())) + TypeText(model.AddressType()));
  if (model.ProtocolIdentifier())
    rows.Row("Protocol identifier", Utf8FromBytes(model.ProtocolIdentifier()->Description()));
  if (model.DataCodingScheme()) rows.Lines("Data coding scheme", model.DataCodingScheme()->Description());
  if (model.GetTimeStamp()) rows.Row("Time stamp", StampText(model.GetTimeStamp()));
  if (report) {
    rows.Row("Discharge time stamp", StampText(report->GetDischargeTimeStamp()));
    rows.Row("Status", OrDash(Utf8FromBytes(report->Status())));
  }
  if (submit) rows.Row("Validity period", OrDash(Utf8FromBytes(submit->ValidityPeriod())));
  if (type.Kind() != smsUnknown) {
    rows.Row("User data length", std::to_string(model.UserDataLength()));
    rows.Row("User text", Utf8FromBytes(model.UserText()));
    rows.Lines("User data header", model.UserDataHeader()->Description());
  }
}

int RunDecode(const ParsedArgs& a, std::ostream& out, std::ostream& err) {
  if (a.Positionals().empty()) throw UsageError("missing PDU");
  const bool json = a.Has("--json");
  bool first = true;
  for (const std::string& arg : a.Positionals()) {
    // The channel hands the driver trimmed lines; do the same with arguments.
    const ByteString pdu = TrimControl(BytesFromUtf8(arg));
    const Message message = ReadMessage(pdu);
    const TPDUSMS model(platform::WideFromNarrow(pdu));
    if (json) {
      WriteJson(out, message, model, pdu);
    } else {
      if (!first) out << "\n";
      WriteHuman(out, pdu, message, model);
    }
    first = false;
  }
  return 0;
}

}  // namespace

Command DecodeCommand() { return {"decode", kDecodeUsage, {{"--json", false}}, RunDecode}; }

}  // namespace vela::tool

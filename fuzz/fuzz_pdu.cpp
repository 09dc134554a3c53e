// libFuzzer target for the PDU analysis model: any byte sequence, widened one
// byte per code unit, must construct a TPDUSMS and every accessor must be
// readable. The only assertion is "a result, never a crash" (and, under the
// sanitizers, no invalid memory access).
#include <cstddef>
#include <cstdint>

#include "pdu/pdu_sms.h"

namespace {

volatile size_t g_sink;

void Touch(const vela::ByteString& text) {
  g_sink = g_sink + text.size() + (text.empty() ? 0 : static_cast<unsigned char>(text.back()));
}

void Touch(const vela::TTypeAddress* toa) {
  if (toa) g_sink = g_sink + toa->TypeOfNumber() + toa->NumberingPlan();
}

void Touch(const vela::TTimeStamp* stamp) {
  if (!stamp) return;
  g_sink = g_sink + static_cast<size_t>(stamp->GetDateTime() > 0);
  Touch(stamp->TimeZone());
  Touch(stamp->RawText());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vela::WideString wide;
  wide.reserve(size);
  for (size_t i = 0; i < size; ++i) wide.push_back(static_cast<char16_t>(data[i]));

  vela::TPDUSMS pdu(wide);
  g_sink = g_sink + static_cast<size_t>(pdu.ServiceCentreLength());
  Touch(pdu.ServiceCentreNumber());
  Touch(pdu.ServiceCentreType());
  g_sink = g_sink + static_cast<size_t>(pdu.AddressLength());
  Touch(pdu.AddressType());
  Touch(pdu.Address());
  if (const auto* pid = pdu.ProtocolIdentifier()) {
    Touch(pid->Bits());
    Touch(pid->Description());
  }
  if (const auto* dcs = pdu.DataCodingScheme()) {
    Touch(dcs->Bits());
    for (const auto& line : dcs->Description()) Touch(line);
  }
  Touch(pdu.TimeStamp());
  Touch(pdu.GetTimeStamp());
  g_sink = g_sink + static_cast<size_t>(pdu.UserDataLength()) + static_cast<size_t>(pdu.UserDataHeaderLength());
  Touch(pdu.UserText());
  const vela::TUserDataHeader* header = pdu.UserDataHeader();
  Touch(header->ElementIdentifier());
  Touch(header->ElementLength());
  Touch(header->ReferenceNumber());
  Touch(header->GetHeaderText());
  g_sink = g_sink + static_cast<size_t>(header->MaximumMessages()) + static_cast<size_t>(header->MessageSequence());
  for (const auto& line : header->Description()) Touch(line);
  Touch(pdu.GetMessageReference());
  g_sink = g_sink + pdu.PDU().size();

  const vela::TSMSType* kind = pdu.GetSMSType();
  Touch(kind->FirstOctet());
  g_sink = g_sink + kind->Kind() + kind->ReplyPath() + kind->HasUserDataHeader();
  if (const auto* submit = dynamic_cast<const vela::TSMSSubmit*>(kind)) {
    g_sink = g_sink + submit->ValidityPeriodFormat() + submit->RejectDuplicates() + submit->StatusReportRequest();
    Touch(submit->ValidityPeriod());
  } else if (const auto* deliver = dynamic_cast<const vela::TSMSDeliver*>(kind)) {
    g_sink = g_sink + deliver->MoreMessagesToSend() + deliver->StatusReportIndication();
  } else if (const auto* report = dynamic_cast<const vela::TSMSReport*>(kind)) {
    Touch(report->ReportFirstOctet());
    Touch(report->Status());
    Touch(report->GetDischargeTimeStamp());
    g_sink = g_sink + report->IsDelivered();
  } else if (const auto* unknown = dynamic_cast<const vela::TSMSUnknown*>(kind)) {
    Touch(unknown->UnknownFirstOctet());
  }
  return 0;
}

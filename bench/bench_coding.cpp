// Cost of the per-message coding work: one SMS-SUBMIT encode per SendSms,
// one DELIVER decode per received indication, and the full analysis model
// of a DELIVER and of a status report.
#include <benchmark/benchmark.h>

#include "coding/sms.h"
#include "pdu/pdu_sms.h"

namespace {

vela::WideString SevenBitText() {
  const char16_t pattern[] = u"The quick brown fox jumps over the lazy dog 0123456789 @$!?";
  vela::WideString text;
  while (text.size() < 160) text += pattern;
  return text.substr(0, 160);
}

void BM_EncodeSubmit160SevenBit(benchmark::State& state) {
  vela::TSMS sms;
  sms.Destination = "+12345678901";
  sms.Text = SevenBitText();
  sms.StatusReportRequest = true;
  for (auto _ : state) benchmark::DoNotOptimize(sms.EncodeSubmitPDU());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeSubmit160SevenBit);

void BM_EncodeSubmit70Ucs2(benchmark::State& state) {
  vela::TSMS sms;
  sms.Destination = "+12345678901";
  sms.Text = vela::WideString(70, u'\u0416');
  sms.CodingSelector = vela::TSMS::kCodingAuto;
  for (auto _ : state) benchmark::DoNotOptimize(sms.EncodeSubmitPDU());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeSubmit70Ucs2);

// A DELIVER carrying 160 septets, built once by turning an encoded SUBMIT's
// user data into a DELIVER as a modem would send it.
vela::ByteString Deliver160() {
  vela::TSMS sms;
  sms.Destination = "+12345678901";
  sms.Text = SevenBitText();
  const vela::ByteString submit = sms.EncodeSubmitPDU();
  const vela::ByteString user_data = submit.substr(2 + 2 + 2 + 16 + 6);  // "A0" + packed septets
  return "07912143658709F1"
         "04"
         "0B919178563412F0"
         "0000"
         "32108021436500" +
         user_data;
}

void BM_DecodeDeliver160(benchmark::State& state) {
  const vela::ByteString pdu = Deliver160();
  vela::TSMS check;
  check.ParsePDU(pdu);
  if (check.GetMessageText() != SevenBitText()) state.SkipWithError("the DELIVER does not decode to its text");
  for (auto _ : state) {
    vela::TSMS sms;
    sms.ParsePDU(pdu);
    benchmark::DoNotOptimize(sms.GetServiceCentreTime());
    benchmark::DoNotOptimize(sms.GetMessageText());
    benchmark::DoNotOptimize(sms.GetOriginator());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeDeliver160);

vela::WideString Widen(const vela::ByteString& text) { return vela::WideString(text.begin(), text.end()); }

void BM_AnalyseDeliver160(benchmark::State& state) {
  const vela::WideString pdu = Widen(Deliver160());
  {
    const vela::TPDUSMS check(pdu);
    if (check.UserText().size() != 160) state.SkipWithError("the DELIVER does not analyse to 160 characters");
  }
  for (auto _ : state) {
    vela::TPDUSMS analysis(pdu);
    benchmark::DoNotOptimize(analysis.UserText().data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AnalyseDeliver160);

void BM_AnalyseStatusReport(benchmark::State& state) {
  const vela::WideString pdu = Widen(
      "07912143658709F1"
      "06"
      "D6"
      "0B91"
      "1326880736F4"
      "11101171955140"
      "11101171957140"
      "00");
  {
    const vela::TPDUSMS check(pdu);
    if (check.GetSMSType()->Kind() != vela::smsStatusReport) state.SkipWithError("not read as a status report");
  }
  for (auto _ : state) {
    vela::TPDUSMS analysis(pdu);
    benchmark::DoNotOptimize(analysis.UserText().data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AnalyseStatusReport);

}  // namespace

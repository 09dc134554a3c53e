// Cost of planning, splitting and encoding a long text into the SUBMIT PDUs
// of one message: what SendText and `velasms encode --split` pay per message.
#include <benchmark/benchmark.h>

#include "coding/text_coding.h"

namespace {

vela::WideString Fill(const vela::WideString& pattern, size_t length) {
  vela::WideString text;
  while (text.size() < length) text += pattern;
  return text.substr(0, length);
}

// Default alphabet with some extension characters (escape pairs).
vela::WideString GsmText() {
  return Fill(u"The quick brown fox jumps over the lazy dog [0123456789] {@$!?} \u20AC ", 1000);
}
vela::WideString Ucs2Text() {
  return Fill(
      u"\u0421\u044A\u0435\u0448\u044C \u0436\u0435 \u0435\u0449\u0451 \u044D\u0442\u0438\u0445 "
      u"\u043C\u044F\u0433\u043A\u0438\u0445 ",
      1000);
}

void Encode(benchmark::State& state, const vela::WideString& text, const std::vector<int>& languages) {
  vela::coding::SubmitOptions options;
  options.destination = "+12345678901";
  options.languages = languages;
  options.maxParts = 20;
  size_t parts = 0;
  for (auto _ : state) {
    const vela::coding::SubmitMessage m = vela::coding::EncodeSubmitMessage(text, options);
    parts = m.parts.size();
    benchmark::DoNotOptimize(m.parts.data());
  }
  state.counters["parts"] = static_cast<double>(parts);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_EncodeGsm1000(benchmark::State& state) { Encode(state, GsmText(), {}); }
BENCHMARK(BM_EncodeGsm1000);

void BM_EncodeUcs21000(benchmark::State& state) { Encode(state, Ucs2Text(), {}); }
BENCHMARK(BM_EncodeUcs21000);

// Every national table allowed: the planner tries all 13 x 14 combinations.
void BM_EncodeGsm1000AllLanguages(benchmark::State& state) {
  Encode(state, GsmText(), vela::coding::ParseLanguageList("all"));
}
BENCHMARK(BM_EncodeGsm1000AllLanguages);

void BM_EncodeUcs21000AllLanguages(benchmark::State& state) {
  Encode(state, Ucs2Text(), vela::coding::ParseLanguageList("all"));
}
BENCHMARK(BM_EncodeUcs21000AllLanguages);

}  // namespace

// Reassembly throughput: 10 000 parts (3333 three-part messages from 50
// senders and one single message), fed in order and shuffled, with the
// text of full 7-bit parts (153 characters).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "coding/reassembly.h"

namespace {

using vela::coding::Concatenation;
using vela::coding::ReceivedPart;

std::vector<ReceivedPart> MakeParts(bool shuffled) {
  std::vector<ReceivedPart> parts;
  parts.reserve(10000);
  for (int m = 0; m < 3333; ++m) {
    for (int seq = 1; seq <= 3; ++seq) {
      ReceivedPart p;
      p.originator = "+1555" + std::to_string(1000000 + m % 50);
      p.concatenation = Concatenation{static_cast<uint16_t>(m / 50), 3, static_cast<uint8_t>(seq), true};
      p.text.assign(153, static_cast<char16_t>(u'a' + seq));
      p.smscTime = "2026-12-09 10:00:00";
      p.tag = parts.size();
      parts.push_back(std::move(p));
    }
  }
  ReceivedPart single;
  single.originator = "+15550000001";
  single.text = u"single";
  parts.push_back(single);
  if (shuffled) std::shuffle(parts.begin(), parts.end(), std::mt19937(42));
  return parts;
}

void Reassemble(benchmark::State& state, bool shuffled) {
  const std::vector<ReceivedPart> parts = MakeParts(shuffled);
  vela::coding::ReassemblyOptions options;
  options.maxPending = 10000;
  options.maxPendingBytes = 64 << 20;
  size_t messages = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<ReceivedPart> copy = parts;
    vela::coding::Reassembler r(options);
    state.ResumeTiming();
    uint64_t now = 0;
    for (ReceivedPart& p : copy) messages += r.Add(std::move(p), now++).size();
    benchmark::DoNotOptimize(messages);
  }
  if (messages != 3334 * static_cast<size_t>(state.iterations())) state.SkipWithError("messages lost");
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(parts.size()));
}

void BM_Reassemble10000PartsInOrder(benchmark::State& state) { Reassemble(state, false); }
void BM_Reassemble10000PartsShuffled(benchmark::State& state) { Reassemble(state, true); }

}  // namespace

BENCHMARK(BM_Reassemble10000PartsInOrder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reassemble10000PartsShuffled)->Unit(benchmark::kMillisecond);

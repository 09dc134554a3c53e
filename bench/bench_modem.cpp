// Modem driver throughput against the simulated modem on a pseudo-terminal:
// the opening script, messages sent, and indications received and
// acknowledged. The simulator answers at once, so the figures are the cost of
// the driver, the channel and the pty round trips; the wire time a real line
// would add at 9600 baud is reported alongside as a counter.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "modem/vuz_vela.h"
#include "platform/message_target.h"
#include "modem_sim.h"

namespace {

using vela::ByteString;
using vela::TVuZVela;
using vela::sim::ModemSim;

// Serial time of `bytes` bytes at 9600 baud, 8N1 (10 bits per byte), in ms.
double WireMs(size_t bytes) { return static_cast<double>(bytes) * 10.0 / 9600.0 * 1000.0; }

// A full Open (all 11 commands of the script) on a fresh driver, then Close.
void BM_OpenFullScript(benchmark::State& state) {
  ModemSim sim;
  sim.Start();
  constexpr int kCommands = 11;
  double openMs = 0;
  size_t wireBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto driver = std::make_unique<TVuZVela>();
    driver->Port = sim.DevicePath();
    sim.ClearLogs();
    state.ResumeTiming();
    const auto start = std::chrono::steady_clock::now();
    driver->Open();
    openMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    wireBytes += sim.WireLog().size() + sim.OutputLog().size();
    driver->Close();
    driver.reset();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ms_per_open"] = openMs / n;
  state.counters["ms_per_command"] = openMs / n / kCommands;
  state.counters["wire_ms_per_command_9600"] = WireMs(wireBytes) / n / kCommands;
}
BENCHMARK(BM_OpenFullScript)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

// Open on a driver whose message service is set already: steps 1-7.
void BM_ReopenSevenSteps(benchmark::State& state) {
  ModemSim sim;
  sim.Start();
  TVuZVela driver;
  driver.Port = sim.DevicePath();
  driver.Open();
  driver.Close();
  constexpr int kCommands = 7;
  double openMs = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    driver.Open();
    openMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    state.PauseTiming();
    driver.Close();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["ms_per_open"] = openMs / n;
  state.counters["ms_per_command"] = openMs / n / kCommands;
}
BENCHMARK(BM_ReopenSevenSteps)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(30);

// SubmitMessage: AT+CMGS, prompt, PDU, +CMGS answer.
void BM_SubmitMessage(benchmark::State& state) {
  ModemSim sim;
  sim.Start();
  TVuZVela driver;
  driver.Port = sim.DevicePath();
  driver.Open();
  const ByteString text = "The quick brown fox jumps over the lazy dog 0123456789";
  int refused = 0;
  for (auto _ : state) {
    ByteString reference;
    driver.SubmitMessage("+4917012345678", text, reference, false);
    if (reference.empty()) ++refused;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["refused"] = refused;
  state.counters["messages_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  driver.Close();
}
BENCHMARK(BM_SubmitMessage)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Incoming messages: +CMT lines decoded, acknowledged with AT+CNMA and reported.
void BM_ReceiveMessages(benchmark::State& state) {
  ModemSim sim;
  sim.Start();
  TVuZVela driver;
  driver.Port = sim.DevicePath();
  size_t received = 0;
  driver.OnReceiveMessage = [&](const ByteString&, const ByteString&, vela::DateTime) { ++received; };
  driver.Open();
  constexpr int kBatch = 50;
  for (auto _ : state) {
    received = 0;
    for (int i = 0; i < kBatch; ++i) sim.InjectDeliver("+4915112345678", "incoming " + std::to_string(i));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (received < kBatch && std::chrono::steady_clock::now() < deadline) {
      vela::platform::WaitForMessages(10);
      vela::platform::DispatchPendingMessages();
    }
    if (received < kBatch) state.SkipWithError("messages missing");
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["messages_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kBatch), benchmark::Counter::kIsRate);
  driver.Close();
}
BENCHMARK(BM_ReceiveMessages)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();

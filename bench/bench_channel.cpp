// Command round trip through TmyXComm::SendCommand against a modem that
// answers at once on a pseudo-terminal, with the port set to 115200 baud.
// A pty moves the bytes without line time, so the measured round trip is the
// channel's own cost: the time a real 115200-baud line adds on top of the
// bytes' wire time (10 bits per byte: start, eight data, stop).
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "pty_peer.h"
#include "transport/comm.h"

namespace {

constexpr double kBitsPerByte = 10.0;
constexpr double kBaud = 115200.0;

double WireMs(size_t bytes) { return static_cast<double>(bytes) * kBitsPerByte / kBaud * 1000.0; }

// Arg: length of an intermediate answer line before "OK" (0: echo and OK only).
void BM_CommandRoundTrip(benchmark::State& state) {
  const std::string payload(static_cast<size_t>(state.range(0)), 'x');
  const std::string command = "AT+CSQ\r";
  // Echo of the command, the optional information line, and the final OK.
  std::string answer = "AT+CSQ\r\r\n";
  if (!payload.empty()) answer += "+DATA: " + payload + "\r\n";
  answer += "\r\nOK\r\n";

  vela::test::PtyPeer peer;
  peer.Start([&answer](vela::test::PtyPeer& p, const std::string&) { p.Write(answer); });
  vela::TmyXComm channel;
  channel.Connect(peer.SlavePath(), "115200");
  const std::vector<vela::ByteString> expected = {"OK", "ERROR"};
  vela::ByteString response;

  double total_ms = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    channel.SendCommand(command, expected, response, 5000);
    total_ms += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (response.find("OK") == std::string::npos) {
      state.SkipWithError("no OK in the response");
      break;
    }
  }
  channel.Disconnect();

  // The command goes out with one more "\r".
  const double wire_ms = WireMs(command.size() + 1 + answer.size());
  const double round_trip_ms = state.iterations() ? total_ms / static_cast<double>(state.iterations()) : 0;
  state.counters["round_trip_ms"] = round_trip_ms;
  state.counters["wire_ms_115200"] = wire_ms;
  state.counters["overhead_ms"] = round_trip_ms;  // the pty itself adds no wire time
  state.counters["at_115200_ms"] = round_trip_ms + wire_ms;
}
BENCHMARK(BM_CommandRoundTrip)->Arg(0)->Arg(160)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

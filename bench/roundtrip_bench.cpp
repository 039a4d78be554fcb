// The host's own time per block: the update writes one large image to a device that answers
// every Write-block at once (an echo on a virtual bus of its own, no link time, no flash time),
// so everything measured is the host reacting: the send, the drivers' threads, the dispatcher
// and the worker. Per block:
//   block out -> ack dispatched   the frame handed to the driver until the dispatcher acted
//                                 on its Acknowledge
//   ack in -> next block out      the Acknowledge queued by the input port until the next
//                                 frame is handed to the driver
//   cycle                         one block out to the next block out
// The polled and the event-driven timing run in alternating rounds in the same process, so
// both see the same machine; the ratios compare their medians.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/block_round_trip.h"

namespace r9::bench {
namespace {

void BM_BlockRoundTrip(benchmark::State& state) {
  PreciseTimers();
  const int rounds = EnvCount("R9_BENCH_ROUNDS", 3);
  const std::vector<Configuration> configurations = BothConfigurations();
  std::vector<Samples> samples(configurations.size());
  for (auto _ : state) {
    for (int round = 0; round < rounds; ++round)
      for (size_t c = 0; c < configurations.size(); ++c)
        if (!WriteOnce(configurations[c].timings, &samples[c])) {
          state.SkipWithError("the image write against the echo failed");
          return;
        }
  }
  std::vector<double> medianCycle;
  for (size_t c = 0; c < configurations.size(); ++c) {
    const std::string p = configurations[c].name;
    const Samples& s = samples[c];
    state.counters[p + "_out_to_dispatched_median_us"] = Quantile(s.outToDispatched, 0.5);
    state.counters[p + "_out_to_dispatched_p99_us"] = Quantile(s.outToDispatched, 0.99);
    state.counters[p + "_ack_in_to_out_median_us"] = Quantile(s.ackInToOut, 0.5);
    state.counters[p + "_ack_in_to_out_p99_us"] = Quantile(s.ackInToOut, 0.99);
    state.counters[p + "_cycle_median_us"] = Quantile(s.cycle, 0.5);
    state.counters[p + "_cycle_p99_us"] = Quantile(s.cycle, 0.99);
    state.counters[p + "_blocks"] = double(s.cycle.size());
  }
  // Polled median over event-driven median, for each measure.
  const std::pair<const char*, std::vector<double> Samples::*> measures[] = {
      {"out_to_dispatched", &Samples::outToDispatched},
      {"ack_in_to_out", &Samples::ackInToOut},
      {"cycle", &Samples::cycle}};
  for (const auto& [name, member] : measures) {
    const double event = Quantile(samples[1].*member, 0.5);
    state.counters[std::string("ratio_") + name + "_median"] =
        event > 0 ? Quantile(samples[0].*member, 0.5) / event : 0;
  }
}
BENCHMARK(BM_BlockRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace r9::bench

// The host's own time per block, polled against event-driven, as a plain program: it runs where
// Google Benchmark does not (the Windows build under Wine). Rounds of one image written against
// the echo alternate between the two timings in one process; it prints the median and p99 of
// each measure and the ratio of the medians, polled over event-driven.
//   host_block_timing [rounds]        (default 3)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "bench/block_round_trip.h"

int main(int argc, char** argv) {
  using namespace r9::bench;
  PreciseTimers();
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : EnvCount("R9_BENCH_ROUNDS", 3);
  const std::vector<Configuration> configurations = BothConfigurations();
  std::vector<Samples> samples(configurations.size());
  for (int round = 0; round < rounds; ++round) {
    for (size_t c = 0; c < configurations.size(); ++c) {
      if (!WriteOnce(configurations[c].timings, &samples[c])) {
        std::fprintf(stderr, "host_block_timing: the image write against the echo failed (%s)\n",
                     configurations[c].name);
        return 1;
      }
    }
  }
  const std::pair<const char*, std::vector<double> Samples::*> measures[] = {
      {"block out -> ack dispatched", &Samples::outToDispatched},
      {"ack in -> next block out", &Samples::ackInToOut},
      {"cycle", &Samples::cycle}};
  std::printf("%d rounds, %zu blocks per timing\n", rounds, samples[0].cycle.size());
  std::printf("%-28s %14s %14s %14s %14s %8s\n", "per block (us)", "polled median", "polled p99", "event median",
              "event p99", "ratio");
  for (const auto& [name, member] : measures) {
    const double polled = Quantile(samples[0].*member, 0.5);
    const double event = Quantile(samples[1].*member, 0.5);
    std::printf("%-28s %14.1f %14.1f %14.1f %14.1f %8.2f\n", name, polled, Quantile(samples[0].*member, 0.99), event,
                Quantile(samples[1].*member, 0.99), event > 0 ? polled / event : 0.0);
  }
  return 0;
}

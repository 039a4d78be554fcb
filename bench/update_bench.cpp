// BM_WholeUpdate: a whole update without the read-back against the simulated device with its realistic timing model (scale=1: a
// 1,000,000 B/s link with 1 ms latency per frame, 40 ms per erased 4 KiB, 10 ms per written
// block), next to the model's own lower bound for the same exchange: every frame's wire time
// and latency both ways, the device's erase and write times, and the host's prescribed pauses.
// Nothing can finish sooner; what the wall time adds on top is the host's own time. Both timing
// configurations run in the same process, in alternating runs; each run takes about a minute
// (R9_UPDATE_RUNS sets the number of runs per configuration, 2 by default). A shared machine
// only ever adds to a wall time, so each configuration reports its best run.
// BM_ReadBackCost: the same update, event-driven, with the read-back that every update now runs
// before Finish-update and without it (--no-verify), alternating, best of R9_UPDATE_RUNS each.
#include <benchmark/benchmark.h>

#include <memory>
#include <thread>

#include "bench/bench_support.h"
#include "platform/link_timing.h"
#include "platform/virtual_bus.h"
#include "protocol/codec.h"
#include "protocol/frames.h"
#include "sim/r9_device.h"
#include "sim/sim_options.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"

namespace r9::bench {
namespace {

struct Outcome {
  bool ok = false;
  double wallSeconds = 0;
  double boundSeconds = 0;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The model's time for the exchange the device saw: each host frame crosses the link (wire
// time, then latency) and is worked on (erase, write); each answer crosses back.
double LowerBound(const R9Device& device, const SimOptions& options, const Timings& timings) {
  const LinkTiming link = SimLinkTiming(options);
  const double latency = double(link.latencyMicros) / 1e6;
  double seconds = double(timings.enterPauseMs) / 1000;  // after Enter-update, before the plan
  for (const ReceivedFrame& frame : device.Frames()) {
    seconds += Seconds(TransmissionTime(link, frame.bytes.size())) + latency;
    if (frame.kind == HostFrameKind::kWriteBlock) seconds += WriteMillis(options) / 1000;
    if (frame.kind == HostFrameKind::kErase && frame.bytes.size() >= 15)
      seconds += EraseMillis(options, Decode7To32(frame.bytes.data() + 10)) / 1000;
  }
  for (const std::vector<uint8_t>& answer : device.SentFrames())
    seconds += latency + Seconds(TransmissionTime(link, answer.size()));
  return seconds;
}

Outcome UpdateOnce(const Timings& timings, bool verify) {
  SimOptions options;
  std::string error;
  if (!ParseSimOptions("scale=1", &options, &error)) return {};
  auto bus = VirtualMidiBus::Create();
  R9Device device(options);
  if (!device.AttachToBus(*bus, "KORVEN R9")) return {};

  Outcome outcome;
  QuietView view;
  DialogConfig config;
  config.midi = bus.get();
  config.timings = timings;
  {
    CR9UpdaterDlg dialog(view, config);
    dialog.SetVerifyAfterUpdate(verify);
    dialog.OnInitDialog();  // preselects the device's ports by name
    const Clock::time_point start = Clock::now();
    dialog.OnExecute();
    while (dialog.GetBusy() == 1 || dialog.WorkerRunning()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    outcome.wallSeconds = Seconds(Clock::now() - start);
    dialog.JoinWorker();
  }
  device.Detach();
  outcome.ok =
      view.Boxes().empty() && view.StatusLine() == LoadString(IDS_UPDATE_COMPLETED) && device.Violations().empty();
  outcome.boundSeconds = LowerBound(device, options, timings);
  return outcome;
}

void BM_WholeUpdate(benchmark::State& state) {
  PreciseTimers();
  const int runs = EnvCount("R9_UPDATE_RUNS", 2);
  const std::vector<Configuration> configurations = BothConfigurations();
  std::vector<double> wall(configurations.size(), 0), bound(configurations.size(), 0);
  for (auto _ : state) {
    for (int run = 0; run < runs; ++run)
      for (size_t c = 0; c < configurations.size(); ++c) {
        const Outcome outcome = UpdateOnce(configurations[c].timings, false);
        if (!outcome.ok) {
          state.SkipWithError("the update against the simulated device failed");
          return;
        }
        if (wall[c] == 0 || outcome.wallSeconds < wall[c]) {
          wall[c] = outcome.wallSeconds;
          bound[c] = outcome.boundSeconds;
        }
      }
  }
  for (size_t c = 0; c < configurations.size(); ++c) {
    const std::string p = configurations[c].name;
    state.counters[p + "_wall_s"] = wall[c];
    state.counters[p + "_bound_s"] = bound[c];
    state.counters[p + "_ratio"] = bound[c] > 0 ? wall[c] / bound[c] : 0;
    state.counters[p + "_runs"] = runs;
  }
}
BENCHMARK(BM_WholeUpdate)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_ReadBackCost(benchmark::State& state) {
  PreciseTimers();
  const int runs = EnvCount("R9_UPDATE_RUNS", 2);
  double wall[2] = {0, 0};  // without, with the read-back
  for (auto _ : state) {
    for (int run = 0; run < runs; ++run)
      for (int verify = 0; verify < 2; ++verify) {
        const Outcome outcome = UpdateOnce(Timings(), verify == 1);
        if (!outcome.ok) {
          state.SkipWithError("the update against the simulated device failed");
          return;
        }
        if (wall[verify] == 0 || outcome.wallSeconds < wall[verify]) wall[verify] = outcome.wallSeconds;
      }
  }
  state.counters["without_wall_s"] = wall[0];
  state.counters["with_wall_s"] = wall[1];
  state.counters["added_percent"] = wall[0] > 0 ? 100 * (wall[1] - wall[0]) / wall[0] : 0;
  state.counters["runs"] = runs;
}
BENCHMARK(BM_ReadBackCost)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace r9::bench

// Listing the JACK ports on a machine where no server runs: every listing (the window's start,
// each "Rescan Device") asks the library whether a server answers, and the answer must come
// quickly. The server name is a private one that nothing serves. Run it through pw-jack as
// well, to time PipeWire's library:  pw-jack build/default/bench/r9_jack_list_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/jack/jack_transport.h"
#include "platform/midi_api.h"

namespace {

void BM_JackListingWithoutServer(benchmark::State& state) {
  setenv("JACK_DEFAULT_SERVER", ("r9-bench-none-" + std::to_string(getpid())).c_str(), 1);
  setenv("JACK_NO_START_SERVER", "1", 1);
  r9::MidiApi& api = r9::JackMidiApi();
  for (auto _ : state) {
    const uint32_t inputs = api.midiInGetNumDevs();
    const uint32_t outputs = api.midiOutGetNumDevs();
    if (inputs != 0 || outputs != 0) state.SkipWithError("a server answered");
    benchmark::DoNotOptimize(inputs + outputs);
  }
}
BENCHMARK(BM_JackListingWithoutServer)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

}  // namespace

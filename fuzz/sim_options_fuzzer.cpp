// The --simulate option parser on arbitrary text: it either accepts the string, or refuses it
// with a message and leaves the options as they were.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "sim/sim_options.h"

namespace {

bool SameOptions(const r9::SimOptions& a, const r9::SimOptions& b) {
  return a.boot == b.boot && a.system == b.system && a.preset == b.preset && a.submcu == b.submcu &&
         a.presetRead == b.presetRead && a.startInUpdateMode == b.startInUpdateMode && a.identity == b.identity &&
         a.revision == b.revision && a.portName == b.portName && a.flashFile == b.flashFile &&
         a.dropProbability == b.dropProbability && a.errorProbability == b.errorProbability &&
         a.lateProbability == b.lateProbability && a.duplicateProbability == b.duplicateProbability &&
         a.corruptProbability == b.corruptProbability && a.randomScope == b.randomScope && a.seed == b.seed &&
         a.faults.size() == b.faults.size() && a.silentAfter == b.silentAfter && a.lateMillis == b.lateMillis &&
         a.linkBytesPerSecond == b.linkBytesPerSecond && a.latencyMillis == b.latencyMillis &&
         a.eraseMillisPer4K == b.eraseMillisPer4K && a.writeMillisPerBlock == b.writeMillisPerBlock &&
         a.timeScale == b.timeScale;
}

bool Probability(double p) { return p >= 0 && p <= 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  r9::SimOptions options;
  std::string error;
  if (!r9::ParseSimOptions(text, &options, &error)) {
    R9_FUZZ_CHECK(!error.empty());
    R9_FUZZ_CHECK(SameOptions(options, r9::SimOptions()));
    return 0;
  }
  // What was accepted is in range.
  R9_FUZZ_CHECK(Probability(options.dropProbability) && Probability(options.errorProbability) &&
                Probability(options.lateProbability) && Probability(options.duplicateProbability) &&
                Probability(options.corruptProbability));
  R9_FUZZ_CHECK(options.lateMillis >= 0 && options.latencyMillis >= 0 && options.eraseMillisPer4K >= 0 &&
                options.writeMillisPerBlock >= 0 && options.timeScale >= 0 && options.linkBytesPerSecond >= 0);
  for (uint8_t b : options.identity) R9_FUZZ_CHECK(b < 0x80);
  for (uint8_t b : options.revision) R9_FUZZ_CHECK(b < 0x80);
  for (const r9::AimedFault& f : options.faults) R9_FUZZ_CHECK(f.first >= 1 && f.first <= f.last);
  // Parsing the same text again over the result gives the same options (keys are not additive,
  // except fault, whose items add up).
  r9::SimOptions again;
  std::string error2;
  R9_FUZZ_CHECK(r9::ParseSimOptions(text, &again, &error2));
  R9_FUZZ_CHECK(SameOptions(options, again));
  return 0;
}

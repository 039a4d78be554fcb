// The simulated device's frame parser on arbitrary host messages: classification, the checks
// of every frame kind, the Write-block and Erase decoders and the flash they touch.
//
// Input: one control byte, then messages, each ending with its F7 (the last may end with the
// input). Control bit 0 starts the device outside its update mode; bit 1 presets every version
// stamp to the carried one. Every message is handed over in a block of exactly its length.
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/frames.h"
#include "sim/r9_device.h"
#include "sim/sim_options.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every answer is one whole SysEx frame of 7-bit bytes, as the host's dispatcher expects.
void CheckAnswer(const uint8_t* m, size_t n) {
  R9_FUZZ_CHECK(n >= 6);
  R9_FUZZ_CHECK(m[0] == r9::kSysExStart && m[n - 1] == r9::kSysExEnd);
  R9_FUZZ_CHECK(m[1] == r9::kMakerId || m[1] == r9::kUniversalNonRealTime);
  for (size_t i = 1; i + 1 < n; ++i) R9_FUZZ_CHECK(m[i] < 0x80);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  r9::SimOptions options;
  options.startInUpdateMode = !(data[0] & 1);
  if (data[0] & 2) options.boot = options.system = options.preset = options.submcu = r9::StampPreset::kSame;
  ++data;
  --size;

  std::mutex mutex;
  size_t answers = 0;
  auto device = std::make_unique<r9::R9Device>(options);
  device->SetOutput([&](const uint8_t* m, size_t n) {
    CheckAnswer(m, n);
    std::lock_guard<std::mutex> lock(mutex);
    ++answers;
  });

  size_t messages = 0;
  size_t begin = 0;
  while (begin < size) {
    size_t end = begin;
    while (end < size && data[end] != r9::kSysExEnd) ++end;
    if (end < size) ++end;  // the F7 belongs to its message
    const size_t n = end - begin;
    std::unique_ptr<uint8_t[]> message(new uint8_t[n]);
    for (size_t i = 0; i < n; ++i) message[i] = data[begin + i];
    r9::ExpectedAnswerTo(message.get(), n);
    device->OnHostMessage(message.get(), n);
    ++messages;
    begin = end;
  }

  const r9::SimCounters counters = device->Counters();
  R9_FUZZ_CHECK(counters.framesReceived == messages);
  device.reset();  // joins the scheduler; no answer is sent after this
  std::lock_guard<std::mutex> lock(mutex);
  R9_FUZZ_CHECK(answers <= 2 * messages);
  return 0;
}

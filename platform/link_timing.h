// How fast a (virtual) MIDI link is: the driver emulation and the virtual bus use it to let
// messages take the time a cable would give them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace r9 {

struct LinkTiming {
  // 0 means unlimited. Bytes per second of the link in each direction.
  double bytesPerSecond = 0;
  // Delay before a message starts to arrive at the far side, in microseconds.
  uint32_t latencyMicros = 0;
};

// How long length bytes take on a link of the given speed.
inline std::chrono::steady_clock::duration TransmissionTime(const LinkTiming& timing, size_t length) {
  if (timing.bytesPerSecond <= 0) return std::chrono::steady_clock::duration::zero();
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(double(length) / timing.bytesPerSecond));
}

}  // namespace r9

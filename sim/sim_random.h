// The simulator's random numbers: splitmix64, so that a seed gives the same faults with every
// compiler and standard library (the std:: distributions are free to differ between them).
#pragma once

#include <cstdint>

namespace r9 {

class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t seed) : state_(seed) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Uniform in [0, 1), from the top 53 bits.
  double NextUnit() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); }

 private:
  uint64_t state_;
};

}  // namespace r9

#include "protocol/codec.h"

namespace r9 {

uint32_t CrcStep(uint32_t crc, uint8_t byte) { return (crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFFu]; }

uint32_t CrcBlock(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) crc = CrcStep(crc, data[i]);
  return crc;
}

size_t Pack7(uint8_t* out, const uint8_t* in, size_t n) {
  size_t written = 0;
  for (size_t g = 0; 7 * g < n; ++g) {
    const size_t k = n - 7 * g >= 7 ? 7 : n - 7 * g;
    uint8_t* group = out + 8 * g;
    group[0] = 0;
    uint8_t mask = 0x40;
    for (size_t j = 0; j < k; ++j) {
      const uint8_t b = in[7 * g + j];
      if (b & 0x80) group[0] |= mask;
      group[1 + j] = b & 0x7F;
      mask >>= 1;
    }
    written += k + 1;
  }
  return written;
}

size_t Unpack7(uint8_t* out, const uint8_t* in, size_t m) {
  size_t written = 0;
  for (size_t g = 0; 8 * g < m; ++g) {
    const size_t remaining = m - 8 * g;
    const size_t k = remaining >= 8 ? 7 : remaining - 1;
    const uint8_t high = in[8 * g];
    uint8_t mask = 0x40;
    for (size_t j = 0; j < k; ++j) {
      uint8_t b = in[8 * g + 1 + j];
      if (high & mask) b |= 0x80;
      out[7 * g + j] = b;
      mask >>= 1;
    }
    written += k;
  }
  return written;
}

void Encode32To7(uint32_t value, uint8_t out[5]) {
  out[0] = value & 0x7F;
  out[1] = (value >> 7) & 0x7F;
  out[2] = (value >> 14) & 0x7F;
  out[3] = (value >> 21) & 0x7F;
  out[4] = (value >> 28) & 0x0F;
}

uint32_t Decode7To32(const uint8_t in[5]) {
  return (uint32_t(in[0] & 0x7F)) | (uint32_t(in[1] & 0x7F) << 7) | (uint32_t(in[2] & 0x7F) << 14) |
         (uint32_t(in[3] & 0x7F) << 21) | (uint32_t(in[4] & 0x0F) << 28);
}

}  // namespace r9

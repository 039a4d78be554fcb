#include "protocol/codec.h"

#include <bit>
#include <cstring>

namespace r9 {

namespace {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// Eight bytes as a number whose lowest byte is the first in memory.
inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (!kLittleEndian) v = __builtin_bswap64(v);
  return v;
}
inline void StoreLe64(uint8_t* p, uint64_t v) {
  if constexpr (!kLittleEndian) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

constexpr uint64_t kHighBits7 = 0x0080808080808080ull;  // bit 7 of the first seven bytes
constexpr uint64_t kLowBits7 = 0x007F7F7F7F7F7F7Full;

// Gathers bit 7 of the seven low bytes of v into a high-bit byte: the first byte's bit goes to
// bit 6, the seventh's to bit 0. After the shift, byte j's bit sits at bit 8j; the multiplier
// moves it to bit 62 - j (shift 62 - 9j), and no two partial products meet, so nothing carries.
inline uint8_t GatherHighBits(uint64_t v) {
  constexpr uint64_t kGather =
      (1ull << 62) | (1ull << 53) | (1ull << 44) | (1ull << 35) | (1ull << 26) | (1ull << 17) | (1ull << 8);
  return uint8_t((((v & kHighBits7) >> 7) * kGather) >> 56) & 0x7F;
}

// For each high-bit byte, the bit 7 of each of the seven data bytes it stands for.
constexpr std::array<uint64_t, 128> MakeSpreadTable() {
  std::array<uint64_t, 128> table{};
  for (uint32_t h = 0; h < 128; ++h)
    for (uint32_t j = 0; j < 7; ++j)
      if (h & (0x40u >> j)) table[h] |= 0x80ull << (8 * j);
  return table;
}
constexpr std::array<uint64_t, 128> kSpread = MakeSpreadTable();

}  // namespace

uint32_t CrcStep(uint32_t crc, uint8_t byte) { return (crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFFu]; }

uint32_t CrcBlock(const uint8_t* data, size_t n) {
  const auto& t = kCrcSliceTables;
  uint32_t crc = 0xFFFFFFFFu;
  // Eight bytes per step: the register meets the first four, the other four enter unchanged.
  while (n >= 8) {
    const uint64_t v = LoadLe64(data) ^ crc;
    crc = t[7][v & 0xFF] ^ t[6][(v >> 8) & 0xFF] ^ t[5][(v >> 16) & 0xFF] ^ t[4][(v >> 24) & 0xFF] ^
          t[3][(v >> 32) & 0xFF] ^ t[2][(v >> 40) & 0xFF] ^ t[1][(v >> 48) & 0xFF] ^ t[0][v >> 56];
    data += 8;
    n -= 8;
  }
  while (n-- > 0) crc = CrcStep(crc, *data++);
  return crc;
}

size_t Pack7(uint8_t* out, const uint8_t* in, size_t n) {
  const size_t total = PackedLength(n);
  // Whole groups with at least one more input byte behind them: eight bytes can be read from
  // the group's start, and the eighth output byte, written too early, is the next group's
  // high-bit byte, which that group writes again.
  while (n >= 8) {
    const uint64_t v = LoadLe64(in);
    out[0] = GatherHighBits(v);
    StoreLe64(out + 1, v & kLowBits7);
    in += 7;
    out += 8;
    n -= 7;
  }
  // The last one or two groups, a byte at a time.
  while (n > 0) {
    const size_t k = n >= 7 ? 7 : n;
    uint8_t high = 0;
    uint8_t mask = 0x40;
    for (size_t j = 0; j < k; ++j) {
      if (in[j] & 0x80) high |= mask;
      out[1 + j] = in[j] & 0x7F;
      mask >>= 1;
    }
    out[0] = high;
    in += k;
    out += k + 1;
    n -= k;
  }
  return total;
}

size_t Unpack7(uint8_t* out, const uint8_t* in, size_t m) {
  size_t written = 0;
  // Whole groups followed by at least one more packed byte: nine bytes can be read from the
  // group's start, and the eighth output byte, written too early, is overwritten by the next
  // group (which writes at least its first byte when it holds one data byte or more; a last
  // group of one packed byte writes nothing, so it is excluded here).
  while (m >= 10) {
    const uint64_t data = LoadLe64(in + 1);
    StoreLe64(out, (data & ~(uint64_t(0xFF) << 56)) | kSpread[in[0] & 0x7F]);
    in += 8;
    out += 7;
    m -= 8;
    written += 7;
  }
  while (m > 0) {
    const size_t k = m >= 8 ? 7 : m - 1;
    const uint8_t high = in[0];
    uint8_t mask = 0x40;
    for (size_t j = 0; j < k; ++j) {
      uint8_t b = in[1 + j];
      if (high & mask) b |= 0x80;
      out[j] = b;
      mask >>= 1;
    }
    const size_t used = k == 7 ? 8 : m;
    in += used;
    out += k;
    m -= used;
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

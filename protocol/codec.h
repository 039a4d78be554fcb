// Seven-bit codecs and the block checksum of the update protocol.
//
// Inside a SysEx message every data byte must be below 0x80, so firmware data travels in
// packed groups of seven bytes (one high-bit byte, then the low seven bits of each byte) and
// 32-bit values travel as five 7-bit groups, least significant first. Every data block is
// guarded by a reflected CRC-32 (polynomial 0xEDB88320, initial 0xFFFFFFFF) without the final
// inversion, i.e. the complement of the common zlib CRC-32.
//
// These functions are stateless, allocate nothing and may run on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace r9 {

// Entry i is i run through eight reflected shift/XOR steps of the polynomial 0xEDB88320.
constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table[i] = c;
  }
  return table;
}
inline constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[128] == 0xEDB88320u);

// Tables for taking eight bytes per step: entry i of table k is the register contribution of
// byte value i followed by k zero bytes, so that eight lookups and XORs advance the register
// over eight bytes exactly as eight CrcSteps do. Table 0 is kCrcTable.
constexpr std::array<std::array<uint32_t, 256>, 8> MakeCrcSliceTables() {
  std::array<std::array<uint32_t, 256>, 8> tables{};
  tables[0] = MakeCrcTable();
  for (size_t k = 1; k < 8; ++k)
    for (size_t i = 0; i < 256; ++i) tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFFu];
  return tables;
}
inline constexpr std::array<std::array<uint32_t, 256>, 8> kCrcSliceTables = MakeCrcSliceTables();
static_assert(kCrcSliceTables[0][128] == 0xEDB88320u);

uint32_t CrcStep(uint32_t crc, uint8_t byte);
uint32_t CrcBlock(const uint8_t* data, size_t n);

// Packed length of n data bytes: 8 per full group of 7, plus k + 1 for a last group of k.
constexpr size_t PackedLength(size_t n) { return 8 * (n / 7) + (n % 7 ? n % 7 + 1 : 0); }

// Writes PackedLength(n) bytes to out and returns that count. Sizes are not checked.
size_t Pack7(uint8_t* out, const uint8_t* in, size_t n);
// Unpacks m packed bytes; never reads at or beyond in[m]. Returns the bytes written
// (7 per full group of 8, R - 1 for a last group of R bytes).
size_t Unpack7(uint8_t* out, const uint8_t* in, size_t m);

void Encode32To7(uint32_t value, uint8_t out[5]);
uint32_t Decode7To32(const uint8_t in[5]);

}  // namespace r9

// The seven-bit codecs, the block checksum and the frame builders, on arbitrary data.
//
// Every buffer is allocated at exactly the size the codec promises, so a write or read past it
// is caught by the address sanitizer; the properties below are the ones the device relies on.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/codec.h"
#include "protocol/frames.h"

namespace {

using r9::Decode7To32;
using r9::Encode32To7;

std::unique_ptr<uint8_t[]> Exact(size_t n) { return std::unique_ptr<uint8_t[]>(new uint8_t[n ? n : 1]); }

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool SevenBitBetween(const uint8_t* frame, size_t n) {
  if (n < 2 || frame[0] != r9::kSysExStart || frame[n - 1] != r9::kSysExEnd) return false;
  for (size_t i = 1; i + 1 < n; ++i)
    if (frame[i] >= 0x80) return false;
  return true;
}

// Pack7 then Unpack7 gives the data back; the packed bytes are all 7-bit.
void PackRoundTrip(const uint8_t* data, size_t n) {
  const size_t p = r9::PackedLength(n);
  auto packed = Exact(p);
  R9_FUZZ_CHECK(r9::Pack7(packed.get(), data, n) == p);
  for (size_t i = 0; i < p; ++i) R9_FUZZ_CHECK(packed[i] < 0x80);
  auto back = Exact(n);
  R9_FUZZ_CHECK(r9::Unpack7(back.get(), packed.get(), p) == n);
  R9_FUZZ_CHECK(n == 0 || std::memcmp(back.get(), data, n) == 0);
}

// Unpack7 of any m bytes (as a frame from the device may carry) writes exactly the bytes it
// reports: 7 per full group of 8, R - 1 for a last group of R.
void UnpackAnything(const uint8_t* data, size_t m) {
  const size_t expected = 7 * (m / 8) + (m % 8 ? m % 8 - 1 : 0);
  auto out = Exact(expected);
  R9_FUZZ_CHECK(r9::Unpack7(out.get(), data, m) == expected);
}

// Five 7-bit groups hold every 32-bit value; decoding ignores the bits no group carries.
void Values(const uint8_t* data, size_t n) {
  if (n < 5) return;
  const uint32_t v = Le32(data);
  uint8_t groups[5];
  Encode32To7(v, groups);
  for (uint8_t g : groups) R9_FUZZ_CHECK(g < 0x80);
  R9_FUZZ_CHECK(groups[4] < 0x10);
  R9_FUZZ_CHECK(Decode7To32(groups) == v);
  uint8_t again[5];
  Encode32To7(Decode7To32(data), again);
  for (int i = 0; i < 4; ++i) R9_FUZZ_CHECK(again[i] == (data[i] & 0x7F));
  R9_FUZZ_CHECK(again[4] == (data[4] & 0x0F));
}

// The checksum: byte-wise and block-wise agree, and (no final inversion) the block followed by
// its own checksum, least significant byte first, leaves a zero register.
void Checksum(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) crc = r9::CrcStep(crc, data[i]);
  R9_FUZZ_CHECK(crc == r9::CrcBlock(data, n));
  const uint32_t block = crc;
  for (int i = 0; i < 4; ++i) crc = r9::CrcStep(crc, uint8_t(block >> (8 * i)));
  R9_FUZZ_CHECK(crc == 0);
}

// Builders: the frame has the promised length, 7-bit bytes between F0 and F7, and carries the
// address, count, data and checksum so that the receiver gets them back.
void Builders(const uint8_t* data, size_t n) {
  if (n < 9) return;
  const uint8_t deviceId = data[0] & 0x7F;
  const uint32_t address = Le32(data + 1);
  const uint32_t size = Le32(data + 5);
  data += 9;
  n -= 9;

  {
    const size_t count = n > r9::kMaxBlockData ? r9::kMaxBlockData : n;
    const size_t length = r9::WriteBlockLength(count);
    auto frame = Exact(length);
    const size_t built = r9::BuildWriteBlock(frame.get(), deviceId, data, address, count);
    if (count == 0) {
      R9_FUZZ_CHECK(built == 0);
    } else {
      R9_FUZZ_CHECK(built == length);
      R9_FUZZ_CHECK(SevenBitBetween(frame.get(), built));
      R9_FUZZ_CHECK(frame[3] == deviceId && frame[4] == r9::kSubWriteBlock);
      R9_FUZZ_CHECK(Decode7To32(frame.get() + 5) == address);
      R9_FUZZ_CHECK(size_t(frame[10]) + 128 * size_t(frame[11]) == count);
      const size_t p = r9::PackedLength(count);
      auto back = Exact(count);
      R9_FUZZ_CHECK(r9::Unpack7(back.get(), frame.get() + 12, p) == count);
      R9_FUZZ_CHECK(std::memcmp(back.get(), data, count) == 0);
      R9_FUZZ_CHECK(Decode7To32(frame.get() + 12 + p) == r9::CrcBlock(data, count));
    }
  }
  {
    const size_t count = n > r9::kMaxBlockData ? r9::kMaxBlockData : n;
    const size_t length = r9::ReadReplyLength(count);
    auto frame = Exact(length);
    R9_FUZZ_CHECK(r9::BuildReadReply(frame.get(), deviceId, data, count) == length);
    R9_FUZZ_CHECK(SevenBitBetween(frame.get(), length));
    R9_FUZZ_CHECK(size_t(frame[9]) + 128 * size_t(frame[10]) == count);
    R9_FUZZ_CHECK(Decode7To32(frame.get() + 11 + r9::PackedLength(count)) == r9::CrcBlock(data, count));
  }
  {
    uint8_t frame[r9::kEraseLength];
    R9_FUZZ_CHECK(r9::BuildErase(frame, deviceId, address, size) == r9::kEraseLength);
    R9_FUZZ_CHECK(SevenBitBetween(frame, sizeof frame));
    R9_FUZZ_CHECK(Decode7To32(frame + 5) == address && Decode7To32(frame + 10) == size);
  }
  {
    uint8_t frame[r9::kReadRequestLength];
    R9_FUZZ_CHECK(r9::BuildReadRequest(frame, deviceId, address, size) == r9::kReadRequestLength);
    R9_FUZZ_CHECK(SevenBitBetween(frame, sizeof frame));
    R9_FUZZ_CHECK(Decode7To32(frame + 6) == address && Decode7To32(frame + 11) == size);
  }
  {
    uint8_t frame[r9::kStatusLength];
    R9_FUZZ_CHECK(r9::BuildStatus(frame, deviceId, uint8_t(size & 0x7F)) == r9::kStatusLength);
    R9_FUZZ_CHECK(SevenBitBetween(frame, sizeof frame));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each property sees the whole input, on exact-size copies where a length matters.
  std::vector<uint8_t> copy(data, data + size);
  PackRoundTrip(copy.data(), copy.size());
  UnpackAnything(copy.data(), copy.size());
  Values(copy.data(), copy.size());
  Checksum(copy.data(), copy.size());
  Builders(copy.data(), copy.size());
  return 0;
}

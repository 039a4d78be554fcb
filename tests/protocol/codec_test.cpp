#include "protocol/codec.h"

#include <gtest/gtest.h>
#if __has_include(<zlib.h>)
#include <zlib.h>
#define R9_HAVE_ZLIB 1
#endif

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace r9 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(Crc, KnownVectors) {
  EXPECT_EQ(CrcBlock(nullptr, 0), 0xFFFFFFFFu);
  const Bytes abc = Of("abc");
  EXPECT_EQ(CrcBlock(abc.data(), abc.size()), 0xCADBBE3Du);
  const Bytes digits = Of("123456789");
  EXPECT_EQ(CrcBlock(digits.data(), digits.size()), 0x340BC6D9u);
  EXPECT_EQ(kCrcTable[128], 0xEDB88320u);
  EXPECT_EQ(kCrcTable[0], 0u);
}

#ifdef R9_HAVE_ZLIB
// The device checks blocks with the complement of the common CRC-32; zlib's independent
// implementation must agree on every length and content. (The Windows build has no zlib.)
TEST(Crc, IsTheComplementOfZlibCrc32) {
  std::mt19937 rng(7);
  for (size_t n : {1u, 2u, 7u, 8u, 255u, 256u, 4095u, 4096u, 16383u}) {
    Bytes data(n);
    for (auto& b : data) b = uint8_t(rng());
    const uInt zlib = crc32(crc32(0, nullptr, 0), data.data(), uInt(n));
    EXPECT_EQ(CrcBlock(data.data(), n), ~uint32_t(zlib)) << "n=" << n;
  }
}
#endif

TEST(Crc, StepChainsLikeBlock) {
  const Bytes digits = Of("123456789");
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : digits) crc = CrcStep(crc, b);
  EXPECT_EQ(crc, 0x340BC6D9u);
}

struct PackCase {
  Bytes in;
  Bytes packed;
};

TEST(Pack7, Examples) {
  const PackCase cases[] = {
      {{0x80}, {0x40, 0x00}},
      {Bytes(7, 0xFF), Bytes(8, 0x7F)},
      {{0x80, 0x01, 0x02, 0x83, 0x04, 0x05, 0x86, 0xFF}, {0x49, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x40, 0x7F}},
      {{0x61, 0x62, 0x63}, {0x00, 0x61, 0x62, 0x63}},
  };
  for (const PackCase& c : cases) {
    Bytes out(c.packed.size() + 4, 0xEE);
    EXPECT_EQ(Pack7(out.data(), c.in.data(), c.in.size()), c.packed.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + c.packed.size()), c.packed);
    EXPECT_EQ(out[c.packed.size()], 0xEE) << "wrote past its length";
    Bytes back(c.in.size() + 4, 0xEE);
    EXPECT_EQ(Unpack7(back.data(), c.packed.data(), c.packed.size()), c.in.size());
    EXPECT_EQ(Bytes(back.begin(), back.begin() + c.in.size()), c.in);
  }
  Bytes none(1, 0xEE);
  EXPECT_EQ(Pack7(none.data(), nullptr, 0), 0u);
  EXPECT_EQ(none[0], 0xEE);
}

TEST(Pack7, LengthsFollowTheGroupRule) {
  Bytes in(4096, 0xA5), out(5000);
  EXPECT_EQ(Pack7(out.data(), in.data(), 4096), 4682u);
  EXPECT_EQ(PackedLength(4096), 4682u);
  EXPECT_EQ(PackedLength(3), 4u);
  EXPECT_EQ(PackedLength(7), 8u);
  EXPECT_EQ(PackedLength(8), 10u);
  EXPECT_EQ(PackedLength(16383), 18724u);
}

// Every length from 0 to 64 and some large ones: the round trip gives the input back, every
// packed byte is a valid SysEx data byte, and unpacking reads only the bytes it was given.
TEST(Pack7, RoundTripOverManyLengths) {
  std::mt19937 rng(42);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 64; ++n) lengths.push_back(n);
  for (size_t n : {4095u, 4096u, 4097u, 16383u}) lengths.push_back(n);
  for (size_t n : lengths) {
    Bytes in(n);
    for (auto& b : in) b = uint8_t(rng());
    const size_t p = PackedLength(n);
    // Exactly p bytes on the heap: a read at or beyond p is caught by the address sanitizer.
    std::unique_ptr<uint8_t[]> packed(new uint8_t[p ? p : 1]);
    ASSERT_EQ(Pack7(packed.get(), in.data(), n), p) << n;
    for (size_t i = 0; i < p; ++i) ASSERT_LT(packed[i], 0x80) << "n=" << n << " i=" << i;
    Bytes back(n + 1, 0xEE);
    ASSERT_EQ(Unpack7(back.data(), packed.get(), p), n);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + n), in) << n;
    EXPECT_EQ(back[n], 0xEE) << n;
  }
}

TEST(Unpack7, ShortGroups) {
  const uint8_t seven[7] = {0x7F, 1, 2, 3, 4, 5, 6};
  uint8_t out[8] = {};
  EXPECT_EQ(Unpack7(out, seven, 7), 6u);
  EXPECT_EQ(out[0], 0x81);
  EXPECT_EQ(out[5], 0x86);
  const uint8_t one[1] = {0x40};
  EXPECT_EQ(Unpack7(out, one, 1), 0u);
  EXPECT_EQ(Unpack7(out, one, 0), 0u);
}

TEST(SevenBitValues, EncodeAndDecode) {
  struct Case {
    uint32_t value;
    uint8_t groups[5];
  };
  const Case cases[] = {
      {0xFFFFFFFFu, {0x7F, 0x7F, 0x7F, 0x7F, 0x0F}}, {0x80, {0x00, 0x01, 0x00, 0x00, 0x00}},
      {0x1000, {0x00, 0x20, 0x00, 0x00, 0x00}},      {0x170FE0, {0x60, 0x1F, 0x5C, 0x00, 0x00}},
      {0xCADBBE3Du, {0x3D, 0x7C, 0x6E, 0x56, 0x0C}},
  };
  for (const Case& c : cases) {
    uint8_t out[5];
    Encode32To7(c.value, out);
    EXPECT_EQ(Bytes(out, out + 5), Bytes(c.groups, c.groups + 5)) << std::hex << c.value;
    EXPECT_EQ(Decode7To32(c.groups), c.value);
  }
  const uint8_t high[5] = {0x7F, 0x7F, 0x7F, 0x7F, 0x7F};
  EXPECT_EQ(Decode7To32(high), 0xFFFFFFFFu);
  std::mt19937 rng(3);
  for (int i = 0; i < 1000; ++i) {
    const uint32_t v = rng();
    uint8_t out[5];
    Encode32To7(v, out);
    EXPECT_LE(out[4], 0x0F);
    EXPECT_EQ(Decode7To32(out), v);
  }
}

// The fast paths (eight bytes per CRC step, a whole group per packing step) must give what the
// one-byte-at-a-time rules give, for every length, every start address and every bit pattern.
uint32_t ByteWiseCrc(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) crc = (crc >> 8) ^ kCrcTable[(crc ^ data[i]) & 0xFFu];
  return crc;
}

Bytes ByteWisePack(const Bytes& in) {
  Bytes out;
  for (size_t g = 0; 7 * g < in.size(); ++g) {
    const size_t k = std::min<size_t>(7, in.size() - 7 * g);
    uint8_t high = 0;
    for (size_t j = 0; j < k; ++j)
      if (in[7 * g + j] & 0x80) high |= uint8_t(0x40 >> j);
    out.push_back(high);
    for (size_t j = 0; j < k; ++j) out.push_back(in[7 * g + j] & 0x7F);
  }
  return out;
}

Bytes ByteWiseUnpack(const Bytes& in) {
  Bytes out;
  for (size_t g = 0; 8 * g < in.size(); ++g) {
    const size_t remaining = in.size() - 8 * g;
    const size_t k = remaining >= 8 ? 7 : remaining - 1;
    for (size_t j = 0; j < k; ++j) {
      uint8_t b = in[8 * g + 1 + j];
      if (in[8 * g] & (0x40 >> j)) b |= 0x80;
      out.push_back(b);
    }
  }
  return out;
}

TEST(Crc, EightBytesAtATimeEqualsOneAtATime) {
  std::mt19937 rng(11);
  Bytes data(4096 + 16);
  for (auto& b : data) b = uint8_t(rng());
  for (size_t offset = 0; offset < 8; ++offset)
    for (size_t n : {0u, 1u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 4095u, 4096u}) {
      EXPECT_EQ(CrcBlock(data.data() + offset, n), ByteWiseCrc(data.data() + offset, n))
          << "offset=" << offset << " n=" << n;
    }
  for (uint8_t fill : {0x00, 0x7F, 0x80, 0xFF}) {
    const Bytes same(100, fill);
    EXPECT_EQ(CrcBlock(same.data(), same.size()), ByteWiseCrc(same.data(), same.size())) << int(fill);
  }
}

TEST(Pack7, GroupAtATimeEqualsByteAtATime) {
  std::mt19937 rng(12);
  for (size_t n = 0; n <= 80; ++n)
    for (int pattern = 0; pattern < 4; ++pattern) {
      Bytes in(n);
      for (auto& b : in) b = pattern == 0 ? uint8_t(rng()) : pattern == 1 ? 0xFF : pattern == 2 ? 0x80 : 0x7F;
      const Bytes expected = ByteWisePack(in);
      // Exactly the packed length on the heap, so a write past it is caught by the sanitizer.
      std::unique_ptr<uint8_t[]> out(new uint8_t[expected.size() + 1]);
      ASSERT_EQ(Pack7(out.get(), in.data(), n), expected.size()) << n;
      EXPECT_EQ(Bytes(out.get(), out.get() + expected.size()), expected) << "n=" << n << " pattern=" << pattern;
    }
}

// Packed bytes that arrive with bit 7 set keep it (the rule takes them unchanged), and a last
// group of a single byte yields nothing.
TEST(Unpack7, GroupAtATimeEqualsByteAtATime) {
  std::mt19937 rng(13);
  for (size_t m = 0; m <= 90; ++m)
    for (int pattern = 0; pattern < 3; ++pattern) {
      Bytes in(m);
      for (auto& b : in) b = pattern == 0 ? uint8_t(rng() & 0x7F) : pattern == 1 ? uint8_t(rng()) : 0xFF;
      const Bytes expected = ByteWiseUnpack(in);
      std::unique_ptr<uint8_t[]> packed(new uint8_t[m + 1]);
      std::copy(in.begin(), in.end(), packed.get());
      std::unique_ptr<uint8_t[]> out(new uint8_t[expected.size() + 1]);
      ASSERT_EQ(Unpack7(out.get(), packed.get(), m), expected.size()) << m;
      EXPECT_EQ(Bytes(out.get(), out.get() + expected.size()), expected) << "m=" << m << " pattern=" << pattern;
    }
}

}  // namespace
}  // namespace r9

#include "platform/byte_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

namespace r9 {
namespace {

TEST(ByteRingTest, CapacityIsAPowerOfTwo) {
  EXPECT_EQ(ByteRing(1).Capacity(), 1u);
  EXPECT_EQ(ByteRing(5).Capacity(), 8u);
  EXPECT_EQ(ByteRing(4096).Capacity(), 4096u);
  EXPECT_EQ(ByteRing(4097).Capacity(), 8192u);
}

TEST(ByteRingTest, AWriteThatDoesNotFitStoresNothing) {
  ByteRing ring(8);
  const uint8_t five[5] = {1, 2, 3, 4, 5};
  EXPECT_TRUE(ring.Write(five, 5));
  EXPECT_EQ(ring.WriteSpace(), 3u);
  EXPECT_FALSE(ring.Write(five, 4));
  EXPECT_EQ(ring.ReadSpace(), 5u);
  EXPECT_TRUE(ring.Write(five, 3));
  EXPECT_EQ(ring.WriteSpace(), 0u);
  uint8_t out[8] = {};
  EXPECT_EQ(ring.Read(out, sizeof out), 8u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 1, 2, 3}));
}

TEST(ByteRingTest, BytesKeepTheirOrderAcrossTheEnd) {
  ByteRing ring(8);
  uint8_t out[8] = {};
  const uint8_t a[6] = {10, 11, 12, 13, 14, 15};
  ASSERT_TRUE(ring.Write(a, 6));
  ASSERT_EQ(ring.Read(out, 4), 4u);
  // Six more: four at the end of the storage and two wrapped to its start.
  const uint8_t b[6] = {20, 21, 22, 23, 24, 25};
  ASSERT_TRUE(ring.Write(b, 6));
  uint8_t peeked[3] = {};
  EXPECT_EQ(ring.Peek(peeked, 3), 3u);
  EXPECT_EQ(std::vector<uint8_t>(peeked, peeked + 3), (std::vector<uint8_t>{14, 15, 20}));
  EXPECT_EQ(ring.ReadSpace(), 8u);  // a peek consumes nothing
  ring.Consume(2);
  EXPECT_EQ(ring.Read(out, 8), 6u);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{20, 21, 22, 23, 24, 25}));
  EXPECT_EQ(ring.Read(out, 8), 0u);
  ring.Consume(5);  // more than there is: nothing happens
  EXPECT_EQ(ring.ReadSpace(), 0u);
  EXPECT_EQ(ring.WriteSpace(), 8u);
}

// One producer and one consumer at full speed, as the process callback and a program thread
// use it: every byte arrives once, in order, also when writes wrap and the ring runs full.
TEST(ByteRingTest, OneProducerOneConsumerLoseNothing) {
  ByteRing ring(64);
  constexpr uint32_t kCount = 200000;
  std::thread producer([&] {
    uint32_t next = 0;
    while (next < kCount) {
      uint8_t chunk[7];
      const uint32_t n = std::min<uint32_t>(1 + next % 7, kCount - next);
      for (uint32_t i = 0; i < n; ++i) chunk[i] = uint8_t((next + i) * 31);
      if (ring.Write(chunk, n)) {
        next += n;
      } else {
        std::this_thread::yield();
      }
    }
  });
  uint32_t received = 0;
  bool inOrder = true;
  while (received < kCount) {
    uint8_t chunk[13];
    const size_t n = ring.Read(chunk, 1 + received % 13);
    for (size_t i = 0; i < n; ++i) inOrder = inOrder && chunk[i] == uint8_t((received + i) * 31);
    received += uint32_t(n);
    if (n == 0) std::this_thread::yield();
  }
  producer.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(ring.ReadSpace(), 0u);
}

}  // namespace
}  // namespace r9

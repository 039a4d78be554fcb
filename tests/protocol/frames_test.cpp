#include "protocol/frames.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "protocol/codec.h"

namespace r9 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Build(size_t (*builder)(uint8_t*)) {
  Bytes out(64, 0xEE);
  out.resize(builder(out.data()));
  return out;
}

void ExpectSevenBitBody(const Bytes& frame) {
  ASSERT_GE(frame.size(), 2u);
  EXPECT_EQ(frame.front(), 0xF0);
  EXPECT_EQ(frame.back(), 0xF7);
  for (size_t i = 1; i + 1 < frame.size(); ++i) ASSERT_LT(frame[i], 0x80) << "offset " << i;
}

class FramesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDeviceIdentity({0, 0, 0, 0});
    SetHostIdentity({0, 0, 0, 0});
  }
  void TearDown() override { SetUp(); }
};

TEST_F(FramesTest, FixedFramesByteExact) {
  struct Case {
    const char* name;
    Bytes frame;
    Bytes expected;
  };
  Bytes buf(64);
  const Case cases[] = {
      {"identity request", Build(BuildIdentityRequest), {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}},
      {"status",
       Bytes(buf.begin(), buf.begin() + BuildStatus(buf.data(), 0x3A, 0x01)),
       {0xF0, 0x7D, 0x00, 0x3A, 0x00, 0x01, 0xF7}},
      {"enter update",
       Bytes(buf.begin(), buf.begin() + BuildEnterUpdate(buf.data(), 0x3A)),
       {0xF0, 0x7D, 0x00, 0x3A, 0x01, 0xF7}},
      {"finish update",
       Bytes(buf.begin(), buf.begin() + BuildFinishUpdate(buf.data(), 0x3A)),
       {0xF0, 0x7D, 0x00, 0x3A, 0x04, 0xF7}},
      {"erase",
       Bytes(buf.begin(), buf.begin() + BuildErase(buf.data(), 0x3A, 0x4B000, 0x1B000)),
       {0xF0, 0x7D, 0x00, 0x3A, 0x0A, 0x00, 0x60, 0x12, 0x00, 0x00, 0x00, 0x60, 0x06, 0x00, 0x00, 0xF7}},
      {"read request",
       Bytes(buf.begin(), buf.begin() + BuildReadRequest(buf.data(), 0x3A, 0x4AFFC, 4)),
       {0xF0, 0x7D, 0x00, 0x3A, 0x60, 0x30, 0x7C, 0x5F, 0x12, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0xF7}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.frame, c.expected) << c.name;
    ExpectSevenBitBody(c.frame);
  }
}

TEST_F(FramesTest, WriteBlockOfAbc) {
  const uint8_t abc[3] = {0x61, 0x62, 0x63};
  Bytes out(64);
  out.resize(BuildWriteBlock(out.data(), 0x3A, abc, 0, 3));
  const Bytes expected = {0xF0, 0x7D, 0x00, 0x3A, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03,
                          0x00, 0x00, 0x61, 0x62, 0x63, 0x3D, 0x7C, 0x6E, 0x56, 0x0C, 0xF7};
  EXPECT_EQ(out, expected);
}

// Frame lengths and layout for the block sizes the transfer uses and the largest one allowed.
TEST_F(FramesTest, WriteBlockLayout) {
  std::mt19937 rng(11);
  struct Case {
    size_t n;
    size_t length;
  };
  for (const Case c : {Case{1, 20}, Case{7, 26}, Case{8, 28}, Case{1588, 18 + PackedLength(1588)}, Case{4096, 4700},
                       Case{16383, 18742}}) {
    Bytes data(c.n);
    for (auto& b : data) b = uint8_t(rng());
    Bytes out(20000, 0xEE);
    ASSERT_EQ(BuildWriteBlock(out.data(), 0x3A, data.data(), 0x1CC000, c.n), c.length) << c.n;
    out.resize(c.length);
    ExpectSevenBitBody(out);
    EXPECT_EQ(Decode7To32(&out[5]), 0x1CC000u);
    EXPECT_EQ(size_t(out[10]) + 128 * out[11], c.n);
    Bytes back(c.n);
    ASSERT_EQ(Unpack7(back.data(), &out[12], c.length - 18), c.n);
    EXPECT_EQ(back, data);
    EXPECT_EQ(Decode7To32(&out[c.length - 6]), CrcBlock(data.data(), c.n));
  }
  uint8_t sink[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(BuildWriteBlock(sink, 0x3A, nullptr, 0, 0), 0u);
  EXPECT_EQ(BuildWriteBlock(sink, 0x3A, nullptr, 0, 16384), 0u);
  EXPECT_EQ(sink[0], 0xEE);
}

// A CRC with bit 31 set ends in a fifth group from 08 to 0F and never above.
TEST_F(FramesTest, CrcGroupsStaySevenBit) {
  std::mt19937 rng(5);
  int highSeen = 0;
  for (int i = 0; i < 200; ++i) {
    uint8_t data[16];
    for (auto& b : data) b = uint8_t(rng());
    Bytes out(64);
    const size_t len = BuildWriteBlock(out.data(), 0, data, 0, sizeof data);
    const uint8_t fifth = out[len - 2];
    EXPECT_LE(fifth, 0x0F);
    if (CrcBlock(data, sizeof data) & 0x80000000u) {
      ++highSeen;
      EXPECT_GE(fifth, 0x08);
    }
  }
  EXPECT_GT(highSeen, 0);
}

TEST_F(FramesTest, DeviceIdAndHostIdentity) {
  Bytes out(64);
  BuildEnterUpdate(out.data(), DeviceId());
  EXPECT_EQ(out[3], 0x00) << "before any identification every maker frame carries 00";
  out.resize(BuildHostIdentityReply(out.data()));
  EXPECT_EQ(out, (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0, 0, 0, 0, 0x31, 0x30, 0x30, 0x30, 0xF7}));

  SetDeviceIdentity({0x3A, 0x00, 0x05, 0x00});
  EXPECT_EQ(DeviceId(), 0x3A);
  EXPECT_EQ(GetDeviceIdentity(), (Identity{0x3A, 0x00, 0x05, 0x00}));
  out.assign(64, 0);
  BuildHostIdentityReply(out.data());
  EXPECT_EQ(out[6], 0x00) << "identification alone does not change the Host Identity Reply";

  SetHostIdentity({0x3A, 0x00, 0x04, 0x00});
  out.resize(BuildHostIdentityReply(out.data()));
  EXPECT_EQ(Bytes(out.begin() + 6, out.begin() + 14), (Bytes{0x3A, 0x00, 0x04, 0x00, 0x31, 0x30, 0x30, 0x30}));
}

TEST_F(FramesTest, DeviceFrames) {
  Bytes out(64);
  out.resize(BuildIdentityReply(out.data(), {0x3A, 0, 5, 0}, {0, 1, 0, 0}));
  EXPECT_EQ(out, (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3A, 0, 5, 0, 0, 1, 0, 0, 0xF7}));

  const uint8_t stamp[4] = {'1', '.', '1', '0'};
  out.assign(64, 0);
  out.resize(BuildReadReply(out.data(), 0x3A, stamp, 4));
  ASSERT_EQ(out.size(), ReadReplyLength(4));
  EXPECT_EQ(out[4], 0x60);
  EXPECT_EQ(out[5], 0x04);
  EXPECT_EQ(out[6], 0x30);
  EXPECT_EQ(out[9] + 128 * out[10], 4);
  uint8_t back[4];
  EXPECT_EQ(Unpack7(back, &out[11], 5), 4u);
  EXPECT_EQ(Bytes(back, back + 4), Bytes(stamp, stamp + 4));
  EXPECT_EQ(Decode7To32(&out[16]), CrcBlock(stamp, 4));
  ExpectSevenBitBody(out);
}

}  // namespace
}  // namespace r9

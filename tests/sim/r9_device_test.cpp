// The simulated device against scripted host exchanges: every answer byte for byte, and every
// protocol violation that it must notice.
#include "sim/r9_device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "firmware/image_set.h"
#include "protocol/codec.h"
#include "sim_test_util.h"

namespace r9 {
namespace {

using namespace simtest;

// A Read reply taken apart the way the host's dispatcher does.
struct ReadReply {
  bool wellFormed = false;
  Bytes data;
  bool crcMatches = false;
};

ReadReply TakeApart(const Bytes& m) {
  ReadReply r;
  if (m.size() < 17 || m[0] != 0xF0 || m[1] != 0x7D || m[2] != 0x00 || m[3] != kId || m[4] != 0x60 || m[5] != 0x04 ||
      m[6] != 0x30 || m.back() != 0xF7)
    return r;
  const size_t d = m[9] + 128 * m[10];
  const size_t p = PackedLength(d);
  if (m.size() != 17 + p) return r;
  r.data.resize(d);
  Unpack7(r.data.data(), m.data() + 11, p);
  r.crcMatches = CrcBlock(r.data.data(), d) == Decode7To32(m.data() + 11 + p);
  r.wellFormed = true;
  return r;
}

bool Mentions(const std::vector<std::string>& violations, const std::string& text) {
  for (const std::string& v : violations)
    if (v.find(text) != std::string::npos) return true;
  return false;
}

// --- Answers ---------------------------------------------------------------------------------

TEST(R9DeviceTest, AnswersTheIdentityRequestWithItsIdentityAndRevision) {
  struct Case {
    const char* options;
    Bytes reply;
  } cases[] = {
      {"", {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3A, 0x00, 0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0xF7}},
      {"identity=3A000400,revision=31303030",
       {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3A, 0x00, 0x04, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7}},
  };
  for (const Case& c : cases) {
    Rig rig(Parse(c.options));
    EXPECT_EQ(rig.One(IdentityRequestFrame()), c.reply) << c.options;
    EXPECT_TRUE(rig.device.Violations().empty()) << c.options;
  }
}

TEST(R9DeviceTest, IdentityAndReadRequestsAreValidOutsideTheUpdateMode) {
  Rig rig;
  ASSERT_FALSE(rig.device.InUpdateMode());
  EXPECT_EQ(rig.Send(IdentityRequestFrame()).size(), 1u);
  EXPECT_TRUE(TakeApart(rig.One(ReadFrame(kBootStampAddress, 4))).crcMatches);
  EXPECT_TRUE(rig.device.Violations().empty());
}

TEST(R9DeviceTest, EnterUpdateIsAcceptedOnlyWhenStartedInTheUpdateMode) {
  Rig update;
  EXPECT_EQ(update.One(EnterFrame()), DeviceStatus(0x00));
  EXPECT_TRUE(update.device.InUpdateMode());

  Rig normal(Parse("mode=normal"));
  EXPECT_EQ(normal.One(EnterFrame()), DeviceStatus(0x0B));
  EXPECT_FALSE(normal.device.InUpdateMode());
  EXPECT_TRUE(normal.device.Violations().empty());
}

TEST(R9DeviceTest, EraseSetsExactlyTheRegionToFF) {
  Rig rig;
  const Bytes content = Pattern(3 * 4096);
  rig.device.LoadFlash(0x10000, content.data(), content.size());
  rig.Send(EnterFrame());
  EXPECT_EQ(rig.One(EraseFrame(0x11000, 0x1000)), DeviceStatus(0x00));
  const Bytes after = rig.device.FlashBytes(0x10000, 3 * 4096);
  EXPECT_TRUE(std::equal(after.begin(), after.begin() + 4096, content.begin()));
  EXPECT_TRUE(std::all_of(after.begin() + 4096, after.begin() + 8192, [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(after.begin() + 8192, after.end(), content.begin() + 8192));
  EXPECT_EQ(rig.device.Counters().erasesDone, 1u);
  EXPECT_TRUE(rig.device.Violations().empty());
}

TEST(R9DeviceTest, EraseOfABadRegionGetsAnErrorStatusAndChangesNothing) {
  struct Case {
    uint32_t address, size;
  } cases[] = {
      {0x1800, 0x1000},      // address not on 4 KiB
      {0x1000, 0x800},       // size not on 4 KiB
      {0x1000, 0},           // empty
      {0x3FF000, 0x2000},    // runs past 4 MiB
      {0x400000, 0x1000},    // starts past the end
      {0xFFFFF000, 0x2000},  // wraps around 32 bits
  };
  for (const Case& c : cases) {
    Rig rig;
    const Bytes mark = {0x12, 0x34};
    rig.device.LoadFlash(0x1000, mark.data(), 2);
    rig.device.LoadFlash(0x3FF000, mark.data(), 2);
    rig.Send(EnterFrame());
    EXPECT_EQ(rig.One(EraseFrame(c.address, c.size)), DeviceStatus(kDeviceStatusBadRegion)) << c.address;
    EXPECT_EQ(rig.device.FlashBytes(0x1000, 2), mark);
    EXPECT_EQ(rig.device.FlashBytes(0x3FF000, 2), mark);
    EXPECT_EQ(rig.device.Violations().size(), 1u) << c.address;
  }
}

TEST(R9DeviceTest, WriteBlockIntoErasedFlashIsAcknowledgedAndStored) {
  for (size_t n : {size_t(1), size_t(6), size_t(7), size_t(8), size_t(4096), size_t(16383)}) {
    Rig rig;
    rig.Send(EnterFrame());
    rig.Send(EraseFrame(0x66000, 0x5000));
    const Bytes data = Pattern(n, uint8_t(n));
    EXPECT_EQ(rig.One(WriteFrame(0x66000 + 3, data)), DeviceAck()) << n;
    EXPECT_EQ(rig.device.FlashBytes(0x66000 + 3, uint32_t(n)), data) << n;
    EXPECT_EQ(rig.device.FlashBytes(0x66000 + 3 + uint32_t(n), 1), Bytes{0xFF}) << n;
    EXPECT_EQ(rig.device.Counters().acknowledgedWrites, 1u);
    EXPECT_TRUE(rig.device.Violations().empty()) << n << ": " << rig.device.Violations()[0];
  }
}

TEST(R9DeviceTest, ReadRequestGetsThePackedBytesAndTheirCrc) {
  Rig rig;
  const Bytes stamp = {'1', '.', '1', '0'};
  rig.device.LoadFlash(kSystemStampAddress, stamp.data(), 4);
  const Bytes reply = rig.One(ReadFrame(kSystemStampAddress, 4));
  // F0 7D 00 3A 60 04 30 00 00, d = 4, one group of four, the CRC, F7.
  ASSERT_EQ(reply.size(), 22u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 16),
            (Bytes{0xF0, 0x7D, 0x00, 0x3A, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00, 0x00, '1', '.', '1', '0'}));
  uint8_t crc[5];
  Encode32To7(CrcBlock(stamp.data(), 4), crc);
  EXPECT_EQ(Bytes(reply.begin() + 16, reply.begin() + 21), Bytes(crc, crc + 5));
  EXPECT_EQ(reply.back(), 0xF7);

  // Longer reads cross packed groups; bytes with bit 7 set travel in the high-bit byte.
  const Bytes data = Pattern(13, 0x80);
  rig.device.LoadFlash(0x200000, data.data(), data.size());
  const ReadReply r = TakeApart(rig.One(ReadFrame(0x200000, 13)));
  EXPECT_TRUE(r.wellFormed);
  EXPECT_TRUE(r.crcMatches);
  EXPECT_EQ(r.data, data);
}

TEST(R9DeviceTest, StampPresetsAreWhatTheStampAddressesRead) {
  uint8_t carriedBoot[4], carriedSystem[4], carriedPreset[4], carriedSubMcu[4];
  ASSERT_EQ(LoadImageBytes(kImageBoot, 307196, 4, carriedBoot), 0);
  ASSERT_EQ(LoadImageBytes(kImageSystem, 4064, 4, carriedSystem), 0);
  ASSERT_EQ(LoadImageBytes(kImagePreset, 110588, 4, carriedPreset), 0);
  ASSERT_EQ(LoadImageBytes(kImageSubMcu, 20448, 4, carriedSubMcu), 0);
  const Bytes erased = {0xFF, 0xFF, 0xFF, 0xFF};
  struct Case {
    const char* options;
    uint32_t address;
    Bytes expected;
  } cases[] = {
      {"", kBootStampAddress, erased},
      {"", kSystemStampAddress, erased},
      {"boot=same", kBootStampAddress, Bytes(carriedBoot, carriedBoot + 4)},
      {"boot=old", kBootStampAddress, Bytes{'0', '.', '9', '9'}},
      {"boot=erased", kBootStampAddress, erased},
      {"system=same", kSystemStampAddress, Bytes(carriedSystem, carriedSystem + 4)},
      {"system=old", kSystemStampAddress, Bytes{'1', '.', '0', '9'}},
      {"preset=same", kPresetStampAddress, Bytes(carriedPreset, carriedPreset + 4)},
      {"submcu=same", kSubMcuStampAddress, Bytes(carriedSubMcu, carriedSubMcu + 4)},
      {"submcu=old", kSubMcuStampAddress, Bytes{'1', '.', '0', '1'}},
  };
  for (const Case& c : cases) {
    Rig rig(Parse(c.options));
    const ReadReply r = TakeApart(rig.One(ReadFrame(c.address, 4)));
    EXPECT_TRUE(r.crcMatches) << c.options;
    EXPECT_EQ(r.data, c.expected) << c.options << " at " << c.address;
  }
}

TEST(R9DeviceTest, PresetReadFailuresCorruptOnlyThePresetStampCrc) {
  struct Case {
    const char* options;
    bool firstGood, secondGood;
  } cases[] = {
      {"preset-read=ok", true, true},
      {"preset-read=fail", false, false},
      {"preset-read=fail-once", false, true},
  };
  for (const Case& c : cases) {
    Rig rig(Parse(std::string("preset=same,") + c.options));
    EXPECT_TRUE(TakeApart(rig.One(ReadFrame(kSystemStampAddress, 4))).crcMatches) << c.options;
    const ReadReply first = TakeApart(rig.One(ReadFrame(kPresetStampAddress, 4)));
    const ReadReply second = TakeApart(rig.One(ReadFrame(kPresetStampAddress, 4)));
    EXPECT_TRUE(first.wellFormed && second.wellFormed) << c.options;
    EXPECT_EQ(first.crcMatches, c.firstGood) << c.options;
    EXPECT_EQ(second.crcMatches, c.secondGood) << c.options;
    EXPECT_TRUE(rig.device.Violations().empty()) << c.options;
  }
}

TEST(R9DeviceTest, FinishUpdateLeavesTheUpdateModeLikeAReboot) {
  Rig rig;
  rig.Send(EnterFrame());
  rig.Send(EraseFrame(0x0, 0x1000));
  EXPECT_EQ(rig.One(FinishFrame()), DeviceStatus(0x00));
  EXPECT_FALSE(rig.device.InUpdateMode());
  EXPECT_EQ(rig.device.Counters().reboots, 1u);
  EXPECT_TRUE(rig.device.Violations().empty());

  // A new session needs a new Enter-update, and its own erases.
  EXPECT_EQ(rig.One(EnterFrame()), DeviceStatus(0x00));
  EXPECT_EQ(rig.One(WriteFrame(0x0, Pattern(16))), DeviceAck());
  EXPECT_TRUE(Mentions(rig.device.Violations(), "outside the regions erased"));
}

TEST(R9DeviceTest, ResentBlockOverTheSameDataIsAcknowledgedWithoutAViolation) {
  Rig rig;
  rig.Send(EnterFrame());
  rig.Send(EraseFrame(0x4B000, 0x1B000));
  const Bytes block = WriteFrame(0x4B000, Pattern(4096));
  EXPECT_EQ(rig.One(block), DeviceAck());
  EXPECT_EQ(rig.One(block), DeviceAck());
  EXPECT_EQ(rig.device.Counters().identicalRewrites, 1u);
  EXPECT_EQ(rig.device.Counters().acknowledgedWrites, 2u);
  EXPECT_TRUE(rig.device.Violations().empty());
}

TEST(R9DeviceTest, CountsFramesByKind) {
  Rig rig;
  rig.Send(IdentityRequestFrame());
  rig.Send(EnterFrame());
  rig.Send(EraseFrame(0x1000, 0x2000));
  rig.Send(WriteFrame(0x1000, Pattern(100)));
  rig.Send(WriteFrame(0x2000, Pattern(100)));
  rig.Send(ReadFrame(0x1000, 4));
  rig.Send(FinishFrame());
  const SimCounters c = rig.device.Counters();
  EXPECT_EQ(c.framesReceived, 7u);
  EXPECT_EQ(c.Of(HostFrameKind::kIdentityRequest), 1u);
  EXPECT_EQ(c.Of(HostFrameKind::kEnterUpdate), 1u);
  EXPECT_EQ(c.Of(HostFrameKind::kErase), 1u);
  EXPECT_EQ(c.Of(HostFrameKind::kWriteBlock), 2u);
  EXPECT_EQ(c.Of(HostFrameKind::kReadRequest), 1u);
  EXPECT_EQ(c.Of(HostFrameKind::kFinishUpdate), 1u);
  EXPECT_EQ(c.framesSent, 7u);
  const std::vector<ReceivedFrame> frames = rig.device.Frames();
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[3].index, 4u);
  EXPECT_EQ(frames[3].kind, HostFrameKind::kWriteBlock);
  EXPECT_EQ(frames[3].bytes, WriteFrame(0x1000, Pattern(100)));
  EXPECT_TRUE(rig.device.Violations().empty());
}

TEST(R9DeviceTest, TheWholePlanLeavesTheImagesInFlashWithoutAViolation) {
  Rig rig(Parse("boot=old,system=old"));
  ASSERT_EQ(rig.One(IdentityRequestFrame()).size(), kIdentityReplyLength);
  ASSERT_EQ(rig.One(EnterFrame()), DeviceStatus(0));
  for (const UpdateStep& step : UpdatePlan) {
    if (step.kind == kStepErase) {
      ASSERT_EQ(rig.One(EraseFrame(step.address, step.size)), DeviceStatus(0)) << step.address;
      continue;
    }
    FirmwareImage image;
    ASSERT_TRUE(FindFirmwareImage(step.resourceId, &image));
    const uint32_t size = step.size ? step.size : image.size;
    for (uint32_t offset = 0; offset < size; offset += 4096) {
      const Bytes block(image.data + offset, image.data + std::min<uint32_t>(size, offset + 4096));
      ASSERT_EQ(rig.One(WriteFrame(step.address + offset, block)), DeviceAck()) << step.resourceId << "+" << offset;
    }
  }
  ASSERT_EQ(rig.One(FinishFrame()), DeviceStatus(0));
  EXPECT_TRUE(rig.device.Violations().empty()) << rig.device.Violations()[0];
  EXPECT_EQ(rig.device.Counters().acknowledgedWrites, 929u);

  for (const FirmwareImageInfo& info : kFirmwareImages) {
    FirmwareImage image;
    ASSERT_TRUE(FindFirmwareImage(info.id, &image));
    EXPECT_EQ(rig.device.FlashBytes(info.flashAddress, image.size), Bytes(image.data, image.data + image.size))
        << info.id;
  }
  // Image 129 is shorter than its region: the rest stays erased.
  EXPECT_EQ(rig.device.FlashBytes(0x66000 + 1050164, 4), Bytes(4, 0xFF));
  uint8_t carried[4];
  ASSERT_EQ(LoadImageBytes(kImageBoot, 307196, 4, carried), 0);
  EXPECT_EQ(TakeApart(rig.One(ReadFrame(kBootStampAddress, 4))).data, Bytes(carried, carried + 4));
}

// --- Violations ------------------------------------------------------------------------------

Bytes WithByte(Bytes b, size_t at, uint8_t value) {
  b.at(at) = value;
  return b;
}
Bytes Without(Bytes b, size_t at) {
  b.erase(b.begin() + at);
  return b;
}
Bytes With(Bytes b, uint8_t extra) {
  b.insert(b.end() - 1, extra);
  return b;
}

TEST(R9DeviceTest, ReportsEachMalformedFrame) {
  // A block whose last group is short: its high-bit byte may only use the bits of present bytes.
  Bytes badPacking = WriteFrame(0x1000, Bytes{0x01, 0x02, 0x03});
  badPacking[12] |= 0x01;
  Bytes badCrc = WriteFrame(0x1000, Pattern(64));
  badCrc[badCrc.size() - 2] ^= 0x01;
  Bytes badCount = WriteFrame(0x1000, Pattern(64));
  badCount[10] = 65;
  Bytes readWrongSelector = WithByte(ReadFrame(0x0, 4), 5, 0x31);
  struct Case {
    const char* what;
    Bytes frame;
    std::string violation;
    std::vector<Bytes> answers;
  } cases[] = {
      {"no F7", WithByte(EnterFrame(), 5, 0x00), "does not end with F7", {DeviceStatus(kDeviceStatusBadFrame)}},
      {"high byte",
       WithByte(EraseFrame(0x1000, 0x1000), 7, 0x81),
       "has byte 81 at offset 7",
       {DeviceStatus(kDeviceStatusBadFrame)}},
      {"long Enter",
       With(EnterFrame(), 0x00),
       "enter frame is 7 bytes, expected 6",
       {DeviceStatus(kDeviceStatusBadFrame)}},
      {"short Erase",
       Without(EraseFrame(0x1000, 0x1000), 14),
       "erase frame is 15 bytes, expected 16",
       {DeviceStatus(kDeviceStatusBadFrame)}},
      {"long Identity Request", With(IdentityRequestFrame(), 0x00), "identity frame is 7 bytes", {}},
      {"header byte 2", WithByte(EnterFrame(), 2, 0x01), "has 01 at offset 2, expected 00", {DeviceStatus(0x00)}},
      {"identity device ID",
       WithByte(IdentityRequestFrame(), 2, 0x10),
       "device ID 10",
       {{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3A, 0x00, 0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0xF7}}},
      {"not SysEx", Bytes{0x90, 0x40, 0x7F}, "not a SysEx message", {}},
      {"other maker", Bytes{0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7}, "unexpected frame starting F0 41", {}},
      {"unknown universal", Bytes{0xF0, 0x7E, 0x00, 0x09, 0x01, 0xF7}, "unexpected frame", {}},
      {"host sub-command 05",
       Bytes{0xF0, 0x7D, 0x00, kId, 0x05, 0xF7},
       "sub-command 05 is never sent",
       {DeviceStatus(0x01)}},
      {"write packing", badPacking, "high bits of missing bytes", {DeviceStatus(kDeviceStatusBadFrame)}},
      {"write CRC", badCrc, "does not match the data", {DeviceStatus(kDeviceStatusBadCrc)}},
      {"write count", badCount, "write frame of 65 data bytes", {DeviceStatus(kDeviceStatusBadFrame)}},
      {"write header only",
       Bytes{0xF0, 0x7D, 0x00, kId, 0x02, 0x00, 0xF7},
       "too short",
       {DeviceStatus(kDeviceStatusBadFrame)}},
      {"read selector", readWrongSelector, "selector 31", {DeviceStatus(kDeviceStatusBadFrame)}},
      {"read too long", ReadFrame(0x0, 16384), "larger than a reply", {DeviceStatus(kDeviceStatusBadRegion)}},
      {"read past the end", ReadFrame(0x3FFFFE, 4), "outside the flash", {DeviceStatus(kDeviceStatusBadRegion)}},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.Send(EnterFrame());
    rig.Send(EraseFrame(0x1000, 0x1000));
    ASSERT_TRUE(rig.device.Violations().empty());
    EXPECT_EQ(rig.Send(c.frame), c.answers) << c.what;
    const std::vector<std::string> v = rig.device.Violations();
    ASSERT_EQ(v.size(), 1u) << c.what;
    EXPECT_NE(v[0].find(c.violation), std::string::npos) << c.what << " gave: " << v[0];
    EXPECT_NE(v[0].find("host frame 3"), std::string::npos) << v[0];
    EXPECT_EQ(rig.device.FlashBytes(0x1000, 4), Bytes(4, 0xFF)) << c.what;
  }
}

TEST(R9DeviceTest, ReportsAWrongDeviceIdInEveryMakerFrame) {
  const uint8_t wrong = 0x00;  // what a host sends before it has identified the device
  struct Case {
    const char* what;
    Bytes frame;
  } cases[] = {
      {"enter", EnterFrame(wrong)},
      {"erase", EraseFrame(0x1000, 0x1000, wrong)},
      {"write", WriteFrame(0x1000, Pattern(8), wrong)},
      {"read", ReadFrame(0x0, 4, wrong)},
      {"finish", FinishFrame(wrong)},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.Send(IdentityRequestFrame());
    rig.Send(EnterFrame());
    rig.Send(EraseFrame(0x1000, 0x1000));
    rig.Send(c.frame);
    const std::vector<std::string> v = rig.device.Violations();
    ASSERT_EQ(v.size(), 1u) << c.what;
    EXPECT_NE(v[0].find("DeviceId 00, expected 3A"), std::string::npos) << v[0];
  }
}

TEST(R9DeviceTest, ReportsWritesIntoUnerasedFlashAndOutsideErasedRegions) {
  Rig rig;
  rig.Send(EnterFrame());
  rig.Send(EraseFrame(0x4B000, 0x1000));
  ASSERT_EQ(rig.One(WriteFrame(0x4B000, Pattern(4096, 1))), DeviceAck());

  // Different data over written bytes: refused, nothing changes.
  EXPECT_EQ(rig.One(WriteFrame(0x4B000, Pattern(4096, 2))), DeviceStatus(kDeviceStatusNotErased));
  EXPECT_EQ(rig.device.FlashBytes(0x4B000, 4096), Pattern(4096, 1));
  // Erased-looking flash that this session never erased: written, but the host broke the rule.
  EXPECT_EQ(rig.One(WriteFrame(0x4C000, Pattern(16))), DeviceAck());
  // A block that starts inside an erased region and runs out of it.
  rig.Send(EraseFrame(0x50000, 0x1000));
  EXPECT_EQ(rig.One(WriteFrame(0x50F00, Pattern(0x200))), DeviceAck());

  const std::vector<std::string> v = rig.device.Violations();
  ASSERT_EQ(v.size(), 3u);
  EXPECT_NE(v[0].find("host frame 4: write into unerased flash at 0x04B000..0x04BFFF"), std::string::npos) << v[0];
  EXPECT_NE(v[1].find("host frame 5: write at 0x04C000..0x04C00F outside the regions erased"), std::string::npos)
      << v[1];
  EXPECT_NE(v[2].find("host frame 7: write at 0x050F00..0x0510FF outside"), std::string::npos) << v[2];
}

TEST(R9DeviceTest, AdjacentErasesMakeOneRegionForWrites) {
  Rig rig;
  rig.Send(EnterFrame());
  rig.Send(EraseFrame(0x2000, 0x1000));
  rig.Send(EraseFrame(0x1000, 0x1000));
  EXPECT_EQ(rig.One(WriteFrame(0x1800, Pattern(0x1000))), DeviceAck());
  EXPECT_TRUE(rig.device.Violations().empty());
}

TEST(R9DeviceTest, ReportsEraseWriteAndFinishOutsideTheUpdateMode) {
  struct Case {
    const char* what;
    std::vector<Bytes> before;
    Bytes frame;
    std::string violation;
  } cases[] = {
      {"erase before Enter", {}, EraseFrame(0x1000, 0x1000), "Erase frame outside the update mode"},
      {"write before Enter", {}, WriteFrame(0x1000, Pattern(8)), "Write-block frame outside the update mode"},
      {"finish before Enter", {}, FinishFrame(), "Finish-update frame outside the update mode"},
      {"erase after Finish", {EnterFrame(), FinishFrame()}, EraseFrame(0x1000, 0x1000), "Erase frame outside"},
      {"write after Finish",
       {EnterFrame(), EraseFrame(0x1000, 0x1000), FinishFrame()},
       WriteFrame(0x1000, Pattern(8)),
       "Write-block frame outside"},
  };
  for (const Case& c : cases) {
    Rig rig;
    for (const Bytes& f : c.before) rig.Send(f);
    EXPECT_EQ(rig.One(c.frame), DeviceStatus(0x0B)) << c.what;
    const std::vector<std::string> v = rig.device.Violations();
    ASSERT_EQ(v.size(), 1u) << c.what;
    EXPECT_NE(v[0].find(c.violation), std::string::npos) << v[0];
    EXPECT_EQ(rig.device.FlashBytes(0x1000, 8), Bytes(8, 0xFF)) << c.what;
  }
}

// --- The device's own requests ---------------------------------------------------------------

TEST(R9DeviceTest, SendsItsOwnRequestsAndRecordsTheHostsAnswers) {
  struct Case {
    const char* what;
    std::function<void(R9Device&)> send;
    Bytes request;
    Bytes answer;  // empty: the host is not to answer
  } cases[] = {
      {"identity",
       [](R9Device& d) { d.SendIdentityRequest(); },
       {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7},
       HostIdentityReplyFrame()},
      {"01", [](R9Device& d) { d.SendMakerRequest(0x01); }, {0xF0, 0x7D, 0x00, kId, 0x01, 0xF7}, StatusFrame(0)},
      {"03", [](R9Device& d) { d.SendMakerRequest(0x03); }, {0xF0, 0x7D, 0x00, kId, 0x03, 0xF7}, {}},
      {"04", [](R9Device& d) { d.SendMakerRequest(0x04); }, {0xF0, 0x7D, 0x00, kId, 0x04, 0xF7}, StatusFrame(0)},
      {"05", [](R9Device& d) { d.SendMakerRequest(0x05); }, {0xF0, 0x7D, 0x00, kId, 0x05, 0xF7}, StatusFrame(0)},
      {"unknown 33",
       [](R9Device& d) { d.SendMakerRequest(0x33); },
       {0xF0, 0x7D, 0x00, kId, 0x33, 0xF7},
       StatusFrame(1)},
      {"universal 06 03",
       [](R9Device& d) {
         const uint8_t f[] = {0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7};
         d.SendDeviceFrame(f, sizeof f);
       },
       {0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7},
       StatusFrame(1)},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.Send(IdentityRequestFrame());
    c.send(rig.device);
    EXPECT_EQ(rig.capture.Take(), std::vector<Bytes>{c.request}) << c.what;
    if (!c.answer.empty()) {
      EXPECT_TRUE(rig.Send(c.answer).empty()) << c.what;
    }
    const std::vector<DeviceRequestRecord> records = rig.device.DeviceRequests();
    ASSERT_EQ(records.size(), 1u) << c.what;
    EXPECT_EQ(records[0].request, c.request) << c.what;
    EXPECT_EQ(records[0].answer, c.answer) << c.what;
    EXPECT_TRUE(rig.device.Violations().empty()) << c.what << ": " << rig.device.Violations()[0];
  }
}

TEST(R9DeviceTest, ReportsWrongAndUnsolicitedHostAnswers) {
  struct Case {
    const char* what;
    int request;  // maker sub-command, -1 identity request, -2 none
    Bytes answer;
    std::string violation;
  } cases[] = {
      {"status 01 to 05", 0x05, StatusFrame(1), "device request 05 answered with Status 01, expected Status 00"},
      {"status 00 to unknown", 0x33, StatusFrame(0), "answered with Status 00, expected Status 01"},
      {"status to identity", -1, StatusFrame(0), "expected a Host Identity Reply"},
      {"identity reply to 01", 0x01, HostIdentityReplyFrame(), "answered with a Host Identity Reply"},
      {"answer to 03", 0x03, StatusFrame(0), "unsolicited status frame"},
      {"answer to nothing", -2, StatusFrame(0), "unsolicited status frame"},
      {"identity reply to nothing", -2, HostIdentityReplyFrame(), "unsolicited host-identity frame"},
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.Send(IdentityRequestFrame());
    if (c.request == -1) rig.device.SendIdentityRequest();
    if (c.request >= 0) rig.device.SendMakerRequest(uint8_t(c.request));
    rig.capture.Take();
    EXPECT_TRUE(rig.Send(c.answer).empty()) << c.what;
    const std::vector<std::string> v = rig.device.Violations();
    ASSERT_EQ(v.size(), 1u) << c.what;
    EXPECT_NE(v[0].find(c.violation), std::string::npos) << c.what << " gave: " << v[0];
  }
}

TEST(R9DeviceTest, AcceptsDeviceId00InAnswersOnlyBeforeItWasIdentified) {
  Rig early;
  early.device.SendMakerRequest(0x05);
  early.Send(StatusFrame(0, 0x00));
  EXPECT_TRUE(early.device.Violations().empty());

  Rig late;
  late.Send(IdentityRequestFrame());
  late.device.SendMakerRequest(0x05);
  late.Send(StatusFrame(0, 0x00));
  EXPECT_TRUE(Mentions(late.device.Violations(), "DeviceId 00, expected 3A"));
}

TEST(R9DeviceTest, MatchesAnswersToRequestsOldestFirst) {
  Rig rig;
  rig.device.SendMakerRequest(0x01);
  rig.device.SendMakerRequest(0x33);
  rig.Send(StatusFrame(0, 0x00));
  rig.Send(StatusFrame(1, 0x00));
  const std::vector<DeviceRequestRecord> r = rig.device.DeviceRequests();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].answer, StatusFrame(0, 0x00));
  EXPECT_EQ(r[1].answer, StatusFrame(1, 0x00));
  EXPECT_TRUE(rig.device.Violations().empty());
}

}  // namespace
}  // namespace r9

namespace r9 {
namespace {

// A device given a flash file lives through several runs: what one writes, the next reads.
TEST(R9DeviceFlashFile, KeepsTheFlashAcrossDevices) {
  const std::string path = ::testing::TempDir() + "r9-flash-" + std::to_string(::getpid()) + ".bin";
  std::remove(path.c_str());
  SimOptions options;
  options.flashFile = path;
  options.boot = StampPreset::kOld;
  const uint8_t marker[4] = {'M', 'A', 'R', 'K'};
  {
    R9Device first(options);
    EXPECT_EQ(first.FlashBytes(0x4AFFC, 4), (std::vector<uint8_t>{'0', '.', '9', '9'})) << "no file yet: presets";
    first.LoadFlash(0x100000, marker, 4);
  }
  options.boot = StampPreset::kErased;
  {
    R9Device second(options);
    EXPECT_EQ(second.FlashBytes(0x100000, 4), std::vector<uint8_t>(marker, marker + 4));
    EXPECT_EQ(second.FlashBytes(0x4AFFC, 4), (std::vector<uint8_t>{'0', '.', '9', '9'})) << "the file wins";
  }
  // A file of another size is no flash image: the device starts from its presets.
  { std::ofstream(path, std::ios::binary | std::ios::trunc) << "short"; }
  std::vector<uint8_t> flash;
  EXPECT_FALSE(R9Device::LoadFlashFile(path, &flash));
  std::remove(path.c_str());
}

}  // namespace
}  // namespace r9

// The release-image check of the build: sizes the plan can write, printable version stamps.
#include "firmware/image_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/image_set.h"

namespace r9 {
namespace {

const FirmwareImageInfo& Info(uint32_t id) {
  for (const FirmwareImageInfo& info : kFirmwareImages)
    if (info.id == id) return info;
  ADD_FAILURE() << "no image " << id;
  return kFirmwareImages[0];
}

std::vector<uint8_t> Image(uint32_t id, size_t size, const char* stamp = "1.10") {
  std::vector<uint8_t> bytes(size, 0xA5);
  const FirmwareImageInfo& info = Info(id);
  if (info.stampOffset >= 0 && size_t(info.stampOffset) + kStampLength <= size)
    for (size_t j = 0; j < kStampLength; ++j) bytes[size_t(info.stampOffset) + j] = uint8_t(stamp[j]);
  return bytes;
}

TEST(ImageCheckTest, AcceptsAndRefuses) {
  struct Case {
    uint32_t id;
    size_t size;
    const char* stamp;
    std::string fault;  // empty: accepted
  };
  const Case cases[] = {
      {139, 4096, "1.10", ""},
      {133, 110592, "1.00", ""},
      {136, 2310144, "", ""},
      {129, 1050164, "", ""},
      {129, 1, "", ""},  // 129 may be shorter than its image size
      {129, 0x10A000, "", ""},
      {129, 0x10A001, "", "has 1089537 bytes; expected at most 1089536"},
      {139, 4095, "1.10", "has 4095 bytes; expected 4096"},
      {139, 4097, "1.10", "has 4097 bytes; expected 4096"},
      {147, 0, "1.02", "is empty"},
      {139, 4096,
       "1.\x7F"
       "0",
       "holds an unprintable SYSTEM stamp: byte 0x7F at offset 4066"},
      {142, 307200,
       "\x1F"
       "1.0",
       "holds an unprintable BOOT stamp: byte 0x1F at offset 307196"},
  };
  for (const Case& c : cases) {
    const std::vector<uint8_t> bytes = Image(c.id, c.size, c.stamp);
    EXPECT_EQ(CheckImage(Info(c.id), bytes.data(), bytes.size()), c.fault) << c.id << " " << c.size;
  }
}

TEST(ImageCheckTest, RegionOfEachImage) {
  EXPECT_EQ(ImageRegionSize(129), 0x10A000u);
  EXPECT_EQ(ImageRegionSize(139), 0x1000u);
  EXPECT_EQ(ImageRegionSize(136), 0x234000u);
  EXPECT_EQ(ImageRegionSize(1), 0u);
}

}  // namespace
}  // namespace r9

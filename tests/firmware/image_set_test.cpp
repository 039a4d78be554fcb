#include "firmware/image_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace r9 {
namespace {

const FirmwareImageInfo& Info(uint32_t id) {
  return *std::find_if(kFirmwareImages.begin(), kFirmwareImages.end(),
                       [id](const FirmwareImageInfo& i) { return i.id == id; });
}

TEST(ImageSet, CarriedImagesHaveTheTableSizes) {
  for (const FirmwareImageInfo& info : kFirmwareImages) {
    FirmwareImage image;
    ASSERT_TRUE(FindFirmwareImage(info.id, &image)) << info.id;
    EXPECT_EQ(image.size, info.size) << info.id;
    EXPECT_NE(image.data, nullptr);
  }
  FirmwareImage none;
  EXPECT_FALSE(FindFirmwareImage(130, &none));
}

TEST(ImageSet, LoadImageBytes) {
  struct Case {
    uint32_t id;
    uint32_t offset;
    uint32_t length;
    int result;
    std::string text;  // what the zero-filled 5-byte buffer reads afterwards
  };
  const Case cases[] = {
      {139, 4064, 4, 0, "1.10"}, {133, 110588, 4, 0, "1.00"}, {142, 307196, 4, 0, "1.00"}, {147, 20448, 4, 0, "1.02"},
      {131, 0, 4, -1, ""},       {0, 4064, 4, -1, ""},        {139, 4094, 4, -1, ""},      {139, 4096, 1, -1, ""},
  };
  for (const Case& c : cases) {
    char text[5] = {};
    const int result = LoadImageBytes(c.id, c.offset, c.length, text);
    EXPECT_EQ(result, c.result) << c.id << "@" << c.offset;
    EXPECT_EQ(std::string(text), c.text) << c.id << "@" << c.offset;
  }
}

TEST(ImageSet, SanitizeStamp) {
  struct Case {
    std::vector<uint8_t> in;
    std::string out;
  };
  const Case cases[] = {
      {{'1', '.', '1', '0'}, "1.10"},  {{'1', '.', '0', '0'}, "1.00"},  {{'A', 'B', 'C', 'D'}, "ABCD"},
      {{' ', ' ', ' ', ' '}, "    "},  {{'~', '!', ' ', '~'}, "~! ~"},  {{0xFF, 0xFF, 0xFF, 0xFF}, "*.**"},
      {{'1', '.', 0x00, '0'}, "*.**"}, {{'1', '.', '1', 0x7F}, "*.**"}, {{'1', 0x80, '1', '0'}, "*.**"},
      {{0x1F, '.', '1', '0'}, "*.**"}, {{0xC3, '.', '1', '0'}, "*.**"},
  };
  for (const Case& c : cases) {
    char text[5] = {};
    std::memcpy(text, c.in.data(), 4);
    EXPECT_EQ(SanitizeStamp(text), 0);
    EXPECT_EQ(std::string(text, 4), c.out.substr(0, 4));
    EXPECT_EQ(text[4], '\0');
  }
}

TEST(UpdatePlan, RegionsAndImages) {
  std::vector<std::pair<uint32_t, uint32_t>> regions;
  for (const UpdateStep& s : UpdatePlan)
    if (s.kind == kStepErase) regions.emplace_back(s.address, s.address + s.size);
  ASSERT_EQ(regions.size(), 6u);
  std::sort(regions.begin(), regions.end());
  for (size_t i = 1; i < regions.size(); ++i) EXPECT_LE(regions[i - 1].second, regions[i].first) << "overlap";
  EXPECT_EQ(regions.back().second, 0x400000u);

  // Each image fits the region that its own row erases, and is written after that erase.
  uint32_t blocks = 0;
  for (size_t row = 0; row < UpdatePlan.size(); ++row) {
    const UpdateStep& w = UpdatePlan[row];
    if (w.kind != kStepWrite) continue;
    FirmwareImage image;
    ASSERT_TRUE(FindFirmwareImage(w.resourceId, &image));
    const uint32_t bytes = w.size ? w.size : image.size;
    EXPECT_EQ(bytes, image.size) << "every byte of image " << w.resourceId << " is sent";
    EXPECT_EQ(w.address, Info(w.resourceId).flashAddress);
    auto erase = std::find_if(UpdatePlan.begin(), UpdatePlan.begin() + long(row),
                              [&](const UpdateStep& e) { return e.kind == kStepErase && e.address == w.address; });
    ASSERT_NE(erase, UpdatePlan.begin() + long(row)) << "image " << w.resourceId << " written before its erase";
    EXPECT_LE(bytes, erase->size);
    blocks += (bytes + 4095) / 4096;
  }
  EXPECT_EQ(blocks, 929u);

  // Rows 4 and 5 are the only rows at address 0; the SYSTEM region is erased first, written last.
  for (size_t row = 0; row < UpdatePlan.size(); ++row)
    EXPECT_EQ(UpdatePlan[row].address == 0, row == 3 || row == 4) << "row " << row + 1;
  EXPECT_EQ(UpdatePlan.front().address, 0x170000u);
  EXPECT_EQ(UpdatePlan.back().resourceId, 139u);
}

TEST(UpdatePlan, StampAddressesAreImageAddressPlusOffset) {
  const std::pair<uint32_t, uint32_t> stamps[] = {{kImageSystem, kSystemStampAddress},
                                                  {kImagePreset, kPresetStampAddress},
                                                  {kImageBoot, kBootStampAddress},
                                                  {kImageSubMcu, kSubMcuStampAddress}};
  for (auto [id, address] : stamps) EXPECT_EQ(Info(id).flashAddress + uint32_t(Info(id).stampOffset), address);
}

}  // namespace
}  // namespace r9

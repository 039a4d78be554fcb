// The carried firmware images and the fixed update plan.
//
// The six images travel inside the executable (blobs linked in on Linux, "BIN" resources on
// Windows). The updater sends their bytes unchanged; it looks inside only for the four
// version stamps, four ASCII characters at a fixed offset of four of the images.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace r9 {

// One carried image: what the build must provide and where it goes on the device.
struct FirmwareImageInfo {
  uint32_t id;            // resource id
  uint32_t size;          // exact size (129 may be shorter, never longer: its region is larger)
  uint32_t flashAddress;  // where the image's first byte is written
  int32_t stampOffset;    // offset of the version stamp in the image, -1 for none
  const char* label;      // name under which the version check reports the stamp, or nullptr
};

constexpr std::array<FirmwareImageInfo, 6> kFirmwareImages = {{
    {129, 1050164, 0x66000, -1, nullptr},
    {133, 110592, 0x4B000, 110588, "PRESET"},
    {136, 2310144, 0x1CC000, -1, nullptr},
    {139, 4096, 0x170000, 4064, "SYSTEM"},
    {142, 307200, 0x0, 307196, "BOOT"},
    {147, 20480, 0x1C7000, 20448, "SUBMCU"},
}};

constexpr uint32_t kImageSubMcu = 147;
constexpr uint32_t kImageBoot = 142;
constexpr uint32_t kImagePreset = 133;
constexpr uint32_t kImageSystem = 139;

// A carried image, read in place: the bytes stay valid for the whole run and are never freed.
struct FirmwareImage {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
};

// Looks an image up by resource id. Returns false when the build carries no such image.
bool FindFirmwareImage(uint32_t id, FirmwareImage* image);

// One row of the plan.
enum StepKind : uint32_t { kStepErase = 1, kStepWrite = 2 };
struct UpdateStep {
  uint32_t kind;
  uint32_t address;
  uint32_t size;        // erase: region length; write: bytes to send, 0 = the whole image
  uint32_t resourceId;  // write: the image; erase: 0
};

constexpr size_t kPlanRows = 12;
// The SYSTEM region is erased first and written last, so a device whose update breaks off
// never holds a SYSTEM stamp over half-written images. Rows 4 and 5 (address 0) are the BOOT
// region, skipped when the device already holds the carried BOOT stamp.
constexpr std::array<UpdateStep, kPlanRows> UpdatePlan = {{
    {kStepErase, 0x170000, 0x1000, 0},
    {kStepErase, 0x4B000, 0x1B000, 0},
    {kStepWrite, 0x4B000, 0, 133},
    {kStepErase, 0x0, 0x4B000, 0},
    {kStepWrite, 0x0, 0, 142},
    {kStepErase, 0x66000, 0x10A000, 0},
    {kStepWrite, 0x66000, 0, 129},
    {kStepErase, 0x1C7000, 0x5000, 0},
    {kStepWrite, 0x1C7000, 0x5000, 147},
    {kStepErase, 0x1CC000, 0x234000, 0},
    {kStepWrite, 0x1CC000, 0x234000, 136},
    {kStepWrite, 0x170000, 0, 139},
}};

// A version stamp as text: 4 bytes and a terminating zero.
using VersionStamp = std::array<char, 5>;
constexpr size_t kStampLength = 4;

// Where each stamp sits in its image.
constexpr uint32_t kSystemStampOffset = 4064;
constexpr uint32_t kPresetStampOffset = 110588;
constexpr uint32_t kBootStampOffset = 307196;
constexpr uint32_t kSubMcuStampOffset = 20448;

// Where the device holds each stamp (image flash address + stamp offset).
constexpr uint32_t kSystemStampAddress = 0x170FE0;
constexpr uint32_t kPresetStampAddress = 0x65FFC;
constexpr uint32_t kBootStampAddress = 0x4AFFC;
constexpr uint32_t kSubMcuStampAddress = 0x1CBFE0;

// Copies length bytes from offset of image id into destination and returns 0; returns -1 and
// leaves destination untouched when there is no such image. Reads beyond the image's end are
// refused with -1 as well.
int LoadImageBytes(uint32_t id, uint32_t offset, uint32_t length, void* destination);

// Replaces a stamp read from the device by "*.**" when any of its first four bytes is outside
// 0x20..0x7E; text is a 5-byte buffer. Always returns 0.
int SanitizeStamp(char* text);

}  // namespace r9

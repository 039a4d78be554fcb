// The checks a release's image must pass before the build carries it: the size the plan
// expects and a printable version stamp where the version check will read one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "firmware/image_set.h"

namespace r9 {

// The region that the plan erases for the image with this id (the largest size the image may
// have); 0 when the plan erases none at its address.
uint32_t ImageRegionSize(uint32_t id);

// Returns an empty string when the image is acceptable, else the fault, worded to follow the
// file's name ("is empty", "has 12 bytes; expected 4096", ...).
std::string CheckImage(const FirmwareImageInfo& info, const uint8_t* bytes, size_t size);

}  // namespace r9

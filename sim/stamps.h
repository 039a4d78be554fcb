// The four version stamps of the device's flash: where each sits, which carried image holds
// the current one, and the older text that the "old" preset writes.
#pragma once

#include <array>
#include <cstdint>

#include "firmware/image_set.h"

namespace r9 {

struct StampPlace {
  const char* key;  // option key
  uint32_t address;
  uint32_t image;
  uint32_t offset;  // in the image
  const char* old;
};

constexpr std::array<StampPlace, 4> kStampPlaces = {{
    {"boot", kBootStampAddress, kImageBoot, 307196, "0.99"},
    {"system", kSystemStampAddress, kImageSystem, 4064, "1.09"},
    {"preset", kPresetStampAddress, kImagePreset, 110588, "0.90"},
    {"submcu", kSubMcuStampAddress, kImageSubMcu, 20448, "1.01"},
}};

}  // namespace r9

#include "firmware/image_check.h"

#include <cstdio>

namespace r9 {

uint32_t ImageRegionSize(uint32_t id) {
  for (const UpdateStep& erase : UpdatePlan) {
    if (erase.kind != kStepErase) continue;
    for (const FirmwareImageInfo& info : kFirmwareImages)
      if (info.id == id && info.flashAddress == erase.address) return erase.size;
  }
  return 0;
}

std::string CheckImage(const FirmwareImageInfo& info, const uint8_t* bytes, size_t size) {
  // Image 129 may be shorter than its region; every other image has one exact size.
  const bool upTo = info.id == 129;
  const uint32_t limit = upTo ? ImageRegionSize(info.id) : info.size;
  if (size == 0) return "is empty";
  if (upTo ? size > limit : size != info.size)
    return "has " + std::to_string(size) + " bytes; expected " +
           (upTo ? "at most " + std::to_string(limit) : std::to_string(info.size));
  if (info.stampOffset >= 0) {
    if (size_t(info.stampOffset) + kStampLength > size)
      return "is too short for its " + std::string(info.label) + " stamp";
    for (size_t j = 0; j < kStampLength; ++j) {
      const uint8_t b = bytes[size_t(info.stampOffset) + j];
      if (b < 0x20 || b > 0x7E) {
        char what[96];
        std::snprintf(what, sizeof what, "holds an unprintable %s stamp: byte 0x%02X at offset %zu", info.label,
                      unsigned(b), size_t(info.stampOffset) + j);
        return what;
      }
    }
  }
  return {};
}

}  // namespace r9

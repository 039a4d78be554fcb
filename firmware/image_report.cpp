// Prints the image set that this build carries and the update plan that writes it.
#include <cstdio>
#include <cstring>

#include "firmware/image_set.h"

int main() {
  std::printf("Carried images\n");
  std::printf("  %-4s %10s  %-9s %-8s %-9s %-7s %s\n", "id", "size", "flash", "stamp@", "stamp at", "label", "stamp");
  for (const r9::FirmwareImageInfo& info : r9::kFirmwareImages) {
    r9::FirmwareImage image;
    if (!r9::FindFirmwareImage(info.id, &image)) {
      std::printf("  %-4u missing from this build\n", info.id);
      return 1;
    }
    if (info.stampOffset < 0) {
      std::printf("  %-4u %10u  0x%-7X %-8s %-9s %-7s %s\n", info.id, image.size, info.flashAddress, "-", "-", "-",
                  "-");
      continue;
    }
    r9::VersionStamp stamp{};
    r9::LoadImageBytes(info.id, uint32_t(info.stampOffset), r9::kStampLength, stamp.data());
    std::printf("  %-4u %10u  0x%-7X %-8d 0x%-7X %-7s \"%s\"\n", info.id, image.size, info.flashAddress,
                info.stampOffset, info.flashAddress + uint32_t(info.stampOffset), info.label, stamp.data());
  }

  std::printf("\nUpdate plan\n");
  std::printf("  %-3s %-5s %-9s %10s  %s\n", "row", "kind", "address", "size", "image");
  unsigned blocks = 0;
  for (size_t row = 0; row < r9::UpdatePlan.size(); ++row) {
    const r9::UpdateStep& step = r9::UpdatePlan[row];
    if (step.kind == r9::kStepErase) {
      std::printf("  %-3zu %-5s 0x%-7X %10u\n", row + 1, "erase", step.address, step.size);
      continue;
    }
    r9::FirmwareImage image;
    r9::FindFirmwareImage(step.resourceId, &image);
    const uint32_t bytes = step.size ? step.size : image.size;
    blocks += (bytes + 4095) / 4096;
    std::printf("  %-3zu %-5s 0x%-7X %10u  %u%s\n", row + 1, "write", step.address, bytes, step.resourceId,
                step.size ? "" : " (whole image)");
  }
  std::printf("\n%u blocks of at most 4096 bytes\n", blocks);
  return 0;
}

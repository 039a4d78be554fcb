// r9-flash-check FILE: compares a simulated device's flash file (the simulator's flash= key)
// with the carried images at the addresses the update plan writes them. Prints one line per
// image, "ok" or the first differing address and the number of differing 4 KiB blocks, and
// exits 0 when every image is in place, 1 when one differs, 2 when the file is unusable.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "firmware/image_set.h"
#include "sim/r9_device.h"

int main(int argc, char** argv) {
  using namespace r9;
  if (argc != 2) {
    std::fprintf(stderr, "usage: r9-flash-check FLASH_FILE\n");
    return 2;
  }
  std::vector<uint8_t> flash;
  if (!R9Device::LoadFlashFile(argv[1], &flash)) {
    std::fprintf(stderr, "r9-flash-check: %s is not a whole flash image\n", argv[1]);
    return 2;
  }
  bool allEqual = true;
  for (const UpdateStep& step : UpdatePlan) {
    if (step.kind != kStepWrite) continue;
    FirmwareImage image;
    if (!FindFirmwareImage(step.resourceId, &image)) return 2;
    const uint32_t size = step.size ? std::min(step.size, image.size) : image.size;
    uint32_t firstDiff = 0, blocks = 0;
    for (uint32_t at = 0; at < size; at += 4096) {
      const uint32_t n = std::min<uint32_t>(4096, size - at);
      const auto mismatch = std::mismatch(image.data + at, image.data + at + n, flash.begin() + step.address + at);
      if (mismatch.first == image.data + at + n) continue;
      if (blocks++ == 0) firstDiff = step.address + uint32_t(mismatch.first - image.data);
    }
    if (blocks == 0) {
      std::printf("image %u: ok\n", unsigned(step.resourceId));
    } else {
      allEqual = false;
      std::printf("image %u: differs from 0x%06X, %u blocks\n", unsigned(step.resourceId), unsigned(firstDiff),
                  unsigned(blocks));
    }
  }
  return allEqual ? 0 : 1;
}

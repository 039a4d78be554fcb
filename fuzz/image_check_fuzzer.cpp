// The image check that the build runs on a release's images (r9-mkimages check), on images of
// any size and content: it accepts exactly the images the update plan can write and whose
// version stamp the version check can show, and names the fault of every other.
//
// Input: byte 0 picks one of the six images; bytes 1 and 2 are a signed offset from the
// image's expected size (0: exactly that size; -32768: empty); the rest is the image's content,
// laid out so that its last bytes land on the version stamp. An image is allocated at exactly
// its size, so a look past its end is caught.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "firmware/image_check.h"
#include "firmware/image_set.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const r9::FirmwareImageInfo& info = r9::kFirmwareImages[data[0] % r9::kFirmwareImages.size()];
  const int32_t offset = int16_t(uint16_t(data[1] | data[2] << 8));
  const int64_t wanted = offset == -32768 ? 0 : int64_t(info.size) + offset;
  if (wanted < 0) return 0;
  const size_t length = size_t(wanted);
  data += 3;
  size -= 3;

  std::unique_ptr<uint8_t[]> image(new uint8_t[length ? length : 1]);
  std::memset(image.get(), 'A', length);
  // The content ends where the stamp ends (or, for an image without a stamp, at its end).
  const size_t end = info.stampOffset >= 0 ? size_t(info.stampOffset) + r9::kStampLength : length;
  const size_t n = size < end ? size : end;
  for (size_t i = 0; i < n; ++i) {
    const size_t at = end - n + i;
    if (at < length) image[at] = data[i];
  }

  const std::string fault = r9::CheckImage(info, image.get(), length);

  // What the plan and the version check need, worked out independently.
  const bool upTo = info.id == 129;
  const uint32_t limit = upTo ? r9::ImageRegionSize(info.id) : info.size;
  R9_FUZZ_CHECK(!upTo || limit >= info.size);
  bool acceptable = length > 0 && (upTo ? length <= limit : length == info.size);
  if (acceptable && info.stampOffset >= 0) {
    R9_FUZZ_CHECK(size_t(info.stampOffset) + r9::kStampLength <= length);
    for (size_t j = 0; j < r9::kStampLength; ++j) {
      const uint8_t b = image[size_t(info.stampOffset) + j];
      if (b < 0x20 || b > 0x7E) acceptable = false;
    }
  }
  R9_FUZZ_CHECK(fault.empty() == acceptable);
  return 0;
}

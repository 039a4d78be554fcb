#include "firmware/image_set.h"

#include <cstring>

#include "firmware/image_store.h"

namespace r9 {

bool FindFirmwareImage(uint32_t id, FirmwareImage* image) {
  const uint8_t* data = nullptr;
  uint32_t size = 0;
  if (!FindImageBlob(id, &data, &size)) return false;
  image->data = data;
  image->size = size;
  return true;
}

int LoadImageBytes(uint32_t id, uint32_t offset, uint32_t length, void* destination) {
  FirmwareImage image;
  if (!FindFirmwareImage(id, &image)) return -1;
  // A range outside the image would read past the carried bytes: refuse it like a missing image.
  if (offset > image.size || length > image.size - offset) return -1;
  std::memcpy(destination, image.data + offset, length);
  return 0;
}

int SanitizeStamp(char* text) {
  for (size_t i = 0; i < kStampLength; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c > 0x7E) {
      std::memcpy(text, "*.**", 5);
      break;
    }
  }
  return 0;
}

}  // namespace r9

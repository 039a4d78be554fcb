#include <cstddef>

#include "firmware/image_store.h"

// Symbols from the generated blobs.S: r9_image_<id> and r9_image_<id>_end.
#define R9_BLOB(id) extern "C" const uint8_t r9_image_##id[], r9_image_##id##_end[];
R9_BLOB(129)
R9_BLOB(133)
R9_BLOB(136)
R9_BLOB(139)
R9_BLOB(142)
R9_BLOB(147)
#undef R9_BLOB

namespace r9 {
namespace {

struct Blob {
  uint32_t id;
  const uint8_t* begin;
  const uint8_t* end;
};

#define R9_BLOB(id) \
  { id, r9_image_##id, r9_image_##id##_end }
const Blob kBlobs[] = {R9_BLOB(129), R9_BLOB(133), R9_BLOB(136), R9_BLOB(139), R9_BLOB(142), R9_BLOB(147)};
#undef R9_BLOB

}  // namespace

bool FindImageBlob(uint32_t id, const uint8_t** data, uint32_t* size) {
  for (const Blob& blob : kBlobs) {
    if (blob.id != id) continue;
    *data = blob.begin;
    *size = uint32_t(blob.end - blob.begin);
    return true;
  }
  return false;
}

}  // namespace r9

// Where the carried images live in this executable. One implementation per way of carrying
// them: linked-in blobs (image_store_blob.cpp) or executable resources on Windows.
#pragma once

#include <cstdint>

namespace r9 {

// Finds the image with this resource id; false when the executable carries none.
bool FindImageBlob(uint32_t id, const uint8_t** data, uint32_t* size);

}  // namespace r9

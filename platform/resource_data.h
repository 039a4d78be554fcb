// Data resources of the running executable (Windows): the bytes of a resource of type "BIN",
// read in place from the loaded image, never copied or freed.
#pragma once

#include <cstdint>

namespace r9 {

// Finds the "BIN" resource with this integer id; false when the executable carries none.
bool FindBinResource(uint32_t id, const uint8_t** data, uint32_t* size);

}  // namespace r9

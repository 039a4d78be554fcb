// The carried images as resources of type "BIN" under their ids (the Windows executables).
#include "firmware/image_store.h"
#include "platform/resource_data.h"

namespace r9 {

bool FindImageBlob(uint32_t id, const uint8_t** data, uint32_t* size) { return FindBinResource(id, data, size); }

}  // namespace r9

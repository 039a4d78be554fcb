// The "BIN" resources of the executable: found, loaded and locked in place. A loaded module's
// resources stay mapped for the life of the process, so the pointer never goes stale.
#include "platform/resource_data.h"

#include "platform/win32/windows_headers.h"

namespace r9 {

bool FindBinResource(uint32_t id, const uint8_t** data, uint32_t* size) {
  HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(id), "BIN");
  if (info == nullptr) return false;
  HGLOBAL loaded = LoadResource(nullptr, info);
  if (loaded == nullptr) return false;
  const void* bytes = LockResource(loaded);
  if (bytes == nullptr) return false;
  *data = static_cast<const uint8_t*>(bytes);
  *size = SizeofResource(nullptr, info);
  return true;
}

}  // namespace r9

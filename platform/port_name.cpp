#include "platform/port_name.h"

#include <cstring>

namespace r9 {

size_t Utf8PrefixLength(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text.size();
  size_t length = maxBytes;
  // A continuation byte (10xxxxxx) right after the cut belongs to a character the cut would
  // split: leave that character out whole.
  while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  return length;
}

void CopyPortName(std::string_view name, char* field, size_t capacity) {
  if (field == nullptr || capacity == 0) return;
  const size_t length = Utf8PrefixLength(name, capacity - 1);
  std::memcpy(field, name.data(), length);
  field[length] = 0;
}

}  // namespace r9

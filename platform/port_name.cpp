#include "platform/port_name.h"

#include <cstring>

namespace r9 {

std::string CutAtUtf8Boundary(const std::string& name, size_t maxBytes) {
  if (name.size() <= maxBytes) return name;
  size_t end = maxBytes;
  // name[end] is the first byte left out; while it continues a character (10xxxxxx), the
  // character it belongs to started before the cut and goes too.
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  return name.substr(0, end);
}

void CopyPortName(const std::string& name, char* field, size_t size) {
  if (field == nullptr || size == 0) return;
  const std::string cut = CutAtUtf8Boundary(name, size - 1);
  std::memcpy(field, cut.data(), cut.size());
  field[cut.size()] = '\0';
}

}  // namespace r9

#include "platform/lock_file_name.h"

namespace r9 {

std::string LockFileName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string file;
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    const bool plain =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || (c == '.' && i > 0);
    if (plain) {
      file += char(c);
    } else {
      file += '_';
      file += kHex[c >> 4];
      file += kHex[c & 0xF];
    }
  }
  return file + ".lock";
}

}  // namespace r9

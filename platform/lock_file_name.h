// Turns a lock name (any text, such as a window title) into a file name that is safe in any
// folder: letters, digits, '-' and '.' stay, every other byte becomes '_' and two hex digits,
// so different names never share a file. A leading '.' is escaped too, so the file is never
// hidden and never "." or "..".
#pragma once

#include <string>

namespace r9 {

std::string LockFileName(const std::string& name);

}  // namespace r9

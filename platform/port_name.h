// Port names as the lists show them.
#pragma once

#include <cstddef>
#include <string>

namespace r9 {

// The longest port name that a backend other than winmm reports, in bytes (the lists' buffers
// hold 256 with the terminating zero).
constexpr size_t kMaxPortNameBytes = 255;

// name cut to at most maxBytes bytes, never inside a UTF-8 character: a character that does
// not fit is left out whole.
std::string CutAtUtf8Boundary(const std::string& name, size_t maxBytes = kMaxPortNameBytes);

// Copies name, cut as above to size - 1 bytes, into field and terminates it.
void CopyPortName(const std::string& name, char* field, size_t size);

}  // namespace r9

// Port names as the device lists show them: UTF-8 text that must fit a caps record's name field.
#pragma once

#include <cstddef>
#include <string_view>

namespace r9 {

// The length of the longest prefix of text that has at most maxBytes bytes and does not end
// inside a UTF-8 character.
size_t Utf8PrefixLength(std::string_view text, size_t maxBytes);

// Copies name into a caps record's name field of capacity bytes (the terminating zero
// included), cut at a character boundary when it does not fit. Backends whose names can be
// longer than the field (ALSA, JACK) fill their records through this one function.
void CopyPortName(std::string_view name, char* field, size_t capacity);

}  // namespace r9

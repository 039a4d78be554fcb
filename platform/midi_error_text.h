// Texts of the MIDI result codes, for the backends that have no text service of their own.
#pragma once

#include <cstdint>

#include "platform/midi_api.h"

namespace r9 {

// Copies the text of code into text (size bytes, always terminated when size > 0). Returns
// MMSYSERR_NOERROR, MMSYSERR_INVALPARAM for a null or empty buffer, or
// MMSYSERR_ERROR for a code without a text (the buffer then holds a generic text).
MMRESULT MidiErrorText(MMRESULT code, char* text, uint32_t size);

}  // namespace r9

// The ALSA raw MIDI backend: the hardware MIDI ports of every sound card, for the composite
// that the process's MIDI driver is made of.
#pragma once

#include "platform/midi_api.h"

namespace r9 {

// The backend over the real alsa-lib, created on first use.
MidiApi& AlsaMidiApi();

}  // namespace r9

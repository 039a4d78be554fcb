// The MIDI driver interface passed through to the system's multimedia MIDI services (winmm).
//
// The port classes hand this backend the project's own long-message headers. Each one is
// shadowed by a system header over the same buffer: the system fills or sends the buffer, and
// what it reports (bytes recorded, MHDR_DONE) is copied to the project's header before the
// port's callback runs or the port's poll sees it. Output devices are opened with a callback of
// the backend's own, which marks a sent header done; the port itself still opens with no
// callback, as on the system.
#pragma once

#include "platform/midi_api.h"

namespace r9 {

class WinmmMidiApi final : public MidiApi {
 public:
  static WinmmMidiApi& Instance();

  R9_MIDI_API_CALLS(, override);
  // The system's done callback sets the sender's event (CALLBACK_EVENT).
  bool midiOutSignalsDone(uint32_t /*deviceId*/) override { return true; }
};

}  // namespace r9

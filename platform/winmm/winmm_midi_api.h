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

  uint32_t midiInGetNumDevs() override;
  MMRESULT midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size) override;
  MMRESULT midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance,
                      uint32_t flags) override;
  MMRESULT midiInClose(HMIDIIN handle) override;
  MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiInStart(HMIDIIN handle) override;
  MMRESULT midiInStop(HMIDIIN handle) override;
  MMRESULT midiInReset(HMIDIIN handle) override;
  MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, uint32_t size) override;

  uint32_t midiOutGetNumDevs() override;
  MMRESULT midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size) override;
  MMRESULT midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t instance,
                       uint32_t flags) override;
  MMRESULT midiOutClose(HMIDIOUT handle) override;
  // The system's done callback sets the sender's event (CALLBACK_EVENT).
  bool midiOutSignalsDone(uint32_t /*deviceId*/) override { return true; }
  MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiOutShortMsg(HMIDIOUT handle, uint32_t message) override;
  MMRESULT midiOutReset(HMIDIOUT handle) override;
  MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) override;
};

}  // namespace r9

// The process's MIDI driver. Real backends join the list ahead of the virtual bus as they are
// built for a platform.
#include "platform/composite_midi_api.h"
#include "platform/virtual_bus.h"
#ifdef _WIN32
#include "platform/winmm/winmm_midi_api.h"
#endif

namespace r9 {

MidiApi& DefaultMidiApi() {
#ifdef _WIN32
  static CompositeMidiApi api({&WinmmMidiApi::Instance(), &VirtualMidiBus::Instance()});
#else
  static CompositeMidiApi api({&VirtualMidiBus::Instance()});
#endif
  return api;
}

}  // namespace r9

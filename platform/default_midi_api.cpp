// The process's MIDI driver. Real backends join the list ahead of the virtual bus as they are
// built for a platform.
#include "platform/composite_midi_api.h"
#include "platform/virtual_bus.h"

namespace r9 {

MidiApi& DefaultMidiApi() {
  static CompositeMidiApi api({&VirtualMidiBus::Instance()});
  return api;
}

}  // namespace r9

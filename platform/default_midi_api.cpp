// The process's MIDI driver. Real backends join the list ahead of the virtual bus as they are
// built for a platform.
#include "platform/composite_midi_api.h"
#include "platform/virtual_bus.h"
#ifdef R9_HAVE_ALSA
#include "platform/alsa/alsa_midi_api.h"
#endif

namespace r9 {

MidiApi& DefaultMidiApi() {
  static CompositeMidiApi api({
#ifdef R9_HAVE_ALSA
      &AlsaMidiApi(),
#endif
      &VirtualMidiBus::Instance()});
  return api;
}

}  // namespace r9

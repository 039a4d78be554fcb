// The names a driver lists for its input or output devices, in list order, for comparing a
// whole list at once. A device whose name query is refused reads "<refused>".
#pragma once

#include <string>
#include <vector>

#include "platform/midi_api.h"

namespace r9::test {

inline std::vector<std::string> ListedNames(MidiApi& api, bool outputs) {
  std::vector<std::string> names;
  const uint32_t count = outputs ? api.midiOutGetNumDevs() : api.midiInGetNumDevs();
  for (uint32_t id = 0; id < count; ++id) {
    MIDIINCAPSA in;
    MIDIOUTCAPSA out;
    const MMRESULT result =
        outputs ? api.midiOutGetDevCapsA(id, &out, sizeof out) : api.midiInGetDevCapsA(id, &in, sizeof in);
    names.push_back(result != MMSYSERR_NOERROR ? "<refused>" : outputs ? out.szPname : in.szPname);
  }
  return names;
}

}  // namespace r9::test

// The MIDI backends built into this program and which of them DefaultMidiApi() lists: by
// default all of them, real ports first (ALSA, then JACK), then the in-process virtual bus
// where the built-in simulated device lives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace r9 {

// Names of the backends built in, in list order: "alsa", "jack" (each where its library was
// found at build time) and "sim" (the virtual bus, always).
std::vector<std::string> AvailableMidiBackends();

// Limits DefaultMidiApi() to the named backends; the list order stays the default one. To be
// called before the first use of DefaultMidiApi(). Returns false, with a message in *error,
// for a name that is not built in, for an empty selection, or when it comes too late.
bool SelectMidiBackends(const std::vector<std::string>& names, std::string* error);

// The backend that lists MIDI IN (or OUT) device deviceId of DefaultMidiApi(); "" when none does.
std::string MidiInBackendName(uint32_t deviceId);
std::string MidiOutBackendName(uint32_t deviceId);

// This copy's instance number (1 to 20). The backends on which the program shows itself by
// name (JACK) call it "R9 Updater", or "R9 Updater (n)" for copy n above 1.
void SetMidiClientInstance(int instanceNumber);

}  // namespace r9

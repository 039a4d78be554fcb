// The JACK transport: the MIDI ports of the other clients of a running JACK server. An output
// port of another client is a MIDI IN device, an input port a MIDI OUT device (named as
// jack_port_names.h says). The program is one client ("R9 Updater", " (n)" for copy n above 1)
// with one MIDI input and one MIDI output port of its own, made when a device is first opened;
// opening a device connects it to the program's port, closing disconnects it.
//
// No server: no devices and no error, quickly, and no server is started. The server going away
// while a device is open: no more input, and sends fail, as with a device unplugged.
#pragma once

#include <string>

#include "platform/midi_api.h"
#include "platform/midi_transport.h"

namespace r9 {

// The process's JACK transport.
MidiTransport& JackMidiTransport();
// A driver over the JACK transport alone.
MidiApi& JackMidiApi();
// The program's client name; takes effect when the transport next connects to a server.
void SetJackClientName(const std::string& name);

}  // namespace r9

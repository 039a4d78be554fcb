// The ALSA raw MIDI transport, over a table of alsa-lib calls (the real library, or a test's
// stand-in): the raw MIDI ports of every sound card, read again at every listing so that a
// rescan finds a device plugged in meanwhile, each opened by its hardware name. Every failure of
// the library becomes an error that names the port and the library's reason; alsa-lib's own
// messages are kept off the terminal.
#pragma once

#include <string>

#include "platform/alsa/alsa_lib.h"
#include "platform/emulated_midi_api.h"
#include "platform/midi_transport.h"

namespace r9 {

class AlsaTransport final : public MidiTransport {
 public:
  explicit AlsaTransport(const AlsaLib& lib);

  const char* Name() const override { return "alsa"; }
  std::vector<TransportPort> List(bool outputs, TransportError* problem) override;
  std::unique_ptr<TransportInput> OpenInput(const TransportPort& port, TransportSink sink,
                                            TransportError* error) override;
  std::unique_ptr<TransportOutput> OpenOutput(const TransportPort& port, TransportError* error) override;

 private:
  // Opens the stream of port, which must still be listed under its name.
  AlsaRawMidi* Open(const TransportPort& port, bool output, TransportError* error);

  const AlsaLib& lib_;
};

// The transport over the real alsa-lib, created on first use.
MidiTransport& AlsaMidiTransport();

// One ALSA transport under a driver of its own.
class AlsaMidiBackend final : public EmulatedMidiApi {
 public:
  explicit AlsaMidiBackend(const AlsaLib& lib) : EmulatedMidiApi({&transport_}), transport_(lib) {}

 private:
  AlsaTransport transport_;
};

}  // namespace r9

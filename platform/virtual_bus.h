// The in-process virtual MIDI bus: named port pairs that something in this process (the
// device simulator, a test) attaches to as the far end.
//
// A far end attached under a name N shows up as one MIDI IN port and one MIDI OUT port named
// N. It sees every message the host sends on OUT port N, and what it sends reaches the host
// on IN port N, delivered the way a driver does (see emulated_midi_api.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/emulated_midi_api.h"
#include "platform/link_timing.h"

namespace r9 {

class VirtualEndpoint {
 public:
  virtual ~VirtualEndpoint() = default;
  virtual const std::string& Name() const = 0;
  // Called on a bus thread of the endpoint (never the host sender's thread) with each whole
  // long message, or each short message (1 to 3 bytes), that the host sent on OUT port Name().
  // Messages are delivered one at a time, in send order.
  virtual void SetReceiver(std::function<void(const uint8_t* bytes, size_t length)> receiver) = 0;
  // Sends bytes to the host's IN port Name(): a whole SysEx message, short messages, or any
  // byte stream; the driver emulation splits and delivers it. Returns false when the host has
  // no open IN port of this name (the bytes are then lost, as on a cable with nobody listening).
  virtual bool SendToHost(const uint8_t* bytes, size_t length) = 0;
  virtual void SetTiming(const LinkTiming& timing) = 0;
  // Removes the endpoint's ports from the bus.
  virtual void Detach() = 0;
};

// The bus is a transport (MidiTransport), listed by DefaultMidiApi() after the real ones, and a
// driver of its own over that transport alone.
class VirtualMidiBus : public EmulatedMidiApi {
 public:
  // The one bus of the process; DefaultMidiApi() lists its ports after the real ones.
  static VirtualMidiBus& Instance();
  // A bus of its own, for tests that want no neighbours.
  static std::unique_ptr<VirtualMidiBus> Create();

  // Attaches a far end under name. Fails (returns null) when the name is taken.
  virtual std::shared_ptr<VirtualEndpoint> Attach(const std::string& name) = 0;
  virtual std::vector<std::string> PortNames() const = 0;
  virtual MidiTransport& Transport() = 0;

 protected:
  explicit VirtualMidiBus(MidiTransport* transport) : EmulatedMidiApi({transport}) {}
};

}  // namespace r9

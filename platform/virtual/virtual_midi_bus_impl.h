// The virtual bus as a MIDI driver: its ports in attach order, the host's open handles and the
// driver emulation behind each of them.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/driver_emulation.h"
#include "platform/output_emulation.h"
#include "platform/virtual/virtual_port.h"
#include "platform/virtual_bus.h"

namespace r9 {

class VirtualMidiBusImpl final : public VirtualMidiBus {
 public:
  VirtualMidiBusImpl() = default;
  // Closes the handles the host left open and detaches every port.
  ~VirtualMidiBusImpl() override;

  std::shared_ptr<VirtualEndpoint> Attach(const std::string& name) override;
  std::vector<std::string> PortNames() const override;

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
  MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override;
  MMRESULT midiOutShortMsg(HMIDIOUT handle, uint32_t message) override;
  MMRESULT midiOutReset(HMIDIOUT handle) override;
  MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) override;
  // Every port of the bus sets the done event of CALLBACK_EVENT.
  bool midiOutSignalsDone(uint32_t deviceId) override;

 private:
  struct InHandle {
    std::shared_ptr<VirtualPort> port;
    std::shared_ptr<MidiInputEmulation> driver;
  };
  struct OutHandle {
    std::shared_ptr<VirtualPort> port;
    std::shared_ptr<MidiOutputEmulation> driver;
  };

  // The attached ports, in attach order; drops the detached ones. Caller holds mutex_.
  const std::vector<std::shared_ptr<VirtualPort>>& LivePorts() const;
  // Takes the live ports as the lists' entries; returns their number. Caller holds mutex_.
  uint32_t List() const;
  // The port that the last listing showed at deviceId (the live ones before any listing); null
  // when out of range or detached since. Caller holds mutex_.
  std::shared_ptr<VirtualPort> ListedPort(uintptr_t deviceId) const;
  std::shared_ptr<MidiInputEmulation> FindIn(HMIDIIN handle) const;
  std::shared_ptr<MidiOutputEmulation> FindOut(HMIDIOUT handle) const;

  mutable std::mutex mutex_;
  mutable std::vector<std::shared_ptr<VirtualPort>> ports_;
  mutable std::vector<std::shared_ptr<VirtualPort>> listed_;
  mutable bool listedOnce_ = false;
  std::map<uintptr_t, InHandle> ins_;
  std::map<uintptr_t, OutHandle> outs_;
  // Handle values are never reused, so a stale handle is always recognised.
  uintptr_t nextHandle_ = 0x100;
};

}  // namespace r9

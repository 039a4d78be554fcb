// Several MIDI backends shown as one driver: their devices are listed one backend after the
// other (winmm's, then the emulated backends'), and each handle is routed to the backend that
// opened it. Input callbacks reach the host with the composite's own handle values.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/midi_api.h"

namespace r9 {

class CompositeMidiApi final : public MidiApi {
 public:
  // The backends, in the order their devices are listed. They must outlive the composite.
  explicit CompositeMidiApi(std::vector<MidiApi*> backends);
  ~CompositeMidiApi() override;

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
  bool midiOutSignalsDone(uint32_t deviceId) override;

  // The backend that listed device deviceId of a direction in the last listing, with deviceId
  // turned into its index there; null when out of range.
  MidiApi* FindDevice(bool outputs, uintptr_t& deviceId) const;

 private:
  // One open input: the backend's handle and what the host registered. It is the instance
  // value the backend's callbacks carry, so it lives until the backend has closed the handle.
  struct InRoute {
    MidiApi* backend = nullptr;
    HMIDIIN inner = nullptr;
    HMIDIIN outer = nullptr;
    MidiInProcType callback = nullptr;
    uintptr_t instance = 0;
  };
  struct OutRoute {
    MidiApi* backend = nullptr;
    HMIDIOUT inner = nullptr;
  };

  static void InputTrampoline(HMIDIIN inner, uint32_t message, uintptr_t route, uintptr_t param1, uintptr_t param2);
  // Lists every backend's ports of one direction and keeps the counts; returns their sum.
  uint32_t List(bool outputs) const;
  // The backend and its handle behind one of the composite's handles.
  bool Find(HMIDIIN handle, MidiApi** backend, HMIDIIN* inner) const;
  bool Find(HMIDIOUT handle, MidiApi** backend, HMIDIOUT* inner) const;
  // call on the backend that opened handle, with its own handle.
  template <typename Handle, typename... Params, typename... Args>
  MMRESULT Forward(MMRESULT (MidiApi::*call)(Handle, Params...), Handle handle, Args... args) const;

  const std::vector<MidiApi*> backends_;
  mutable std::mutex mutex_;
  std::map<uintptr_t, std::unique_ptr<InRoute>> ins_;
  std::map<uintptr_t, OutRoute> outs_;
  uintptr_t nextHandle_ = 0x10000;
  mutable std::vector<uint32_t> listed_[2];  // per backend, inputs [0] and outputs [1]
};

}  // namespace r9

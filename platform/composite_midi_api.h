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

  R9_MIDI_API_CALLS(, override);
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

#include "platform/composite_midi_api.h"

#include "platform/midi_error_text.h"

namespace r9 {

CompositeMidiApi::CompositeMidiApi(std::vector<MidiApi*> backends) : backends_(std::move(backends)) {}

CompositeMidiApi::~CompositeMidiApi() {
  // Inputs left open: close them in their backend, so no callback can reach a freed route.
  std::map<uintptr_t, std::unique_ptr<InRoute>> ins;
  {
    std::lock_guard lock(mutex_);
    ins.swap(ins_);
  }
  for (auto& [value, route] : ins) {
    route->backend->midiInReset(route->inner);
    route->backend->midiInClose(route->inner);
  }
}

void CompositeMidiApi::InputTrampoline(HMIDIIN, uint32_t message, uintptr_t route, uintptr_t param1, uintptr_t param2) {
  const auto* in = reinterpret_cast<const InRoute*>(route);
  if (in->callback != nullptr) in->callback(in->outer, message, in->instance, param1, param2);
}

uint32_t CompositeMidiApi::List(bool outputs) const {
  std::vector<uint32_t> counts;
  uint32_t total = 0;
  for (MidiApi* backend : backends_) {
    counts.push_back(outputs ? backend->midiOutGetNumDevs() : backend->midiInGetNumDevs());
    total += counts.back();
  }
  std::lock_guard lock(mutex_);
  listed_[outputs] = std::move(counts);
  return total;
}

MidiApi* CompositeMidiApi::FindDevice(bool outputs, uintptr_t& deviceId) const {
  std::vector<uint32_t> counts;
  {
    std::lock_guard lock(mutex_);
    counts = listed_[outputs];
  }
  if (counts.size() != backends_.size()) {
    List(outputs);  // nothing listed yet
    std::lock_guard lock(mutex_);
    counts = listed_[outputs];
  }
  // Against the counts of the last listing, not today's: a backend whose ports changed since
  // then must not shift the index onto another backend's port.
  for (size_t i = 0; i < backends_.size(); ++i) {
    if (deviceId < counts[i]) return backends_[i];
    deviceId -= counts[i];
  }
  return nullptr;
}

bool CompositeMidiApi::Find(HMIDIIN handle, MidiApi** backend, HMIDIIN* inner) const {
  std::lock_guard lock(mutex_);
  auto it = ins_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == ins_.end()) return false;
  *backend = it->second->backend;
  *inner = it->second->inner;
  return true;
}

bool CompositeMidiApi::Find(HMIDIOUT handle, MidiApi** backend, HMIDIOUT* inner) const {
  std::lock_guard lock(mutex_);
  auto it = outs_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == outs_.end()) return false;
  *backend = it->second.backend;
  *inner = it->second.inner;
  return true;
}

template <typename Handle, typename... Params, typename... Args>
MMRESULT CompositeMidiApi::Forward(MMRESULT (MidiApi::*call)(Handle, Params...), Handle handle, Args... args) const {
  MidiApi* backend = nullptr;
  Handle inner = nullptr;
  return Find(handle, &backend, &inner) ? (backend->*call)(inner, args...) : MMSYSERR_INVALHANDLE;
}

// --- Input ---

uint32_t CompositeMidiApi::midiInGetNumDevs() { return List(false); }

MMRESULT CompositeMidiApi::midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size) {
  MidiApi* backend = FindDevice(false, deviceId);
  return backend ? backend->midiInGetDevCapsA(deviceId, caps, size) : MMSYSERR_BADDEVICEID;
}

MMRESULT CompositeMidiApi::midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance,
                                      uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  uintptr_t local = deviceId;
  MidiApi* backend = FindDevice(false, local);
  if (backend == nullptr) return MMSYSERR_BADDEVICEID;
  auto route = std::make_unique<InRoute>();
  route->backend = backend;
  route->callback = flags == CALLBACK_FUNCTION ? callback : nullptr;
  route->instance = instance;
  {
    std::lock_guard lock(mutex_);
    route->outer = reinterpret_cast<HMIDIIN>(nextHandle_++);
  }
  // The route is complete before the backend may call back (it reports the open at once).
  HMIDIIN inner = nullptr;
  const MMRESULT result = backend->midiInOpen(&inner, uint32_t(local), &CompositeMidiApi::InputTrampoline,
                                              reinterpret_cast<uintptr_t>(route.get()), flags);
  if (result != MMSYSERR_NOERROR) return result;
  route->inner = inner;
  *handle = route->outer;
  std::lock_guard lock(mutex_);
  ins_[reinterpret_cast<uintptr_t>(route->outer)] = std::move(route);
  return MMSYSERR_NOERROR;
}

MMRESULT CompositeMidiApi::midiInClose(HMIDIIN handle) {
  const MMRESULT result = Forward(&MidiApi::midiInClose, handle);
  if (result != MMSYSERR_NOERROR) return result;
  // No callback arrives after the backend's close: the route can go.
  std::lock_guard lock(mutex_);
  ins_.erase(reinterpret_cast<uintptr_t>(handle));
  return MMSYSERR_NOERROR;
}

MMRESULT CompositeMidiApi::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  return Forward(&MidiApi::midiInPrepareHeader, handle, header, size);
}

MMRESULT CompositeMidiApi::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  return Forward(&MidiApi::midiInUnprepareHeader, handle, header, size);
}

MMRESULT CompositeMidiApi::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  return Forward(&MidiApi::midiInAddBuffer, handle, header, size);
}

MMRESULT CompositeMidiApi::midiInStart(HMIDIIN handle) {
  return Forward(&MidiApi::midiInStart, handle);
}

MMRESULT CompositeMidiApi::midiInStop(HMIDIIN handle) {
  return Forward(&MidiApi::midiInStop, handle);
}

MMRESULT CompositeMidiApi::midiInReset(HMIDIIN handle) {
  return Forward(&MidiApi::midiInReset, handle);
}

MMRESULT CompositeMidiApi::midiInGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return backends_.empty() ? MidiErrorText(code, text, size) : backends_.front()->midiInGetErrorTextA(code, text, size);
}

// --- Output ---

uint32_t CompositeMidiApi::midiOutGetNumDevs() { return List(true); }

MMRESULT CompositeMidiApi::midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size) {
  MidiApi* backend = FindDevice(true, deviceId);
  return backend ? backend->midiOutGetDevCapsA(deviceId, caps, size) : MMSYSERR_BADDEVICEID;
}

bool CompositeMidiApi::midiOutSignalsDone(uint32_t deviceId) {
  uintptr_t local = deviceId;
  MidiApi* backend = FindDevice(true, local);
  return backend != nullptr && backend->midiOutSignalsDone(uint32_t(local));
}

MMRESULT CompositeMidiApi::midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t instance,
                                       uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  uintptr_t local = deviceId;
  MidiApi* backend = FindDevice(true, local);
  if (backend == nullptr) return MMSYSERR_BADDEVICEID;
  HMIDIOUT inner = nullptr;
  const MMRESULT result = backend->midiOutOpen(&inner, uint32_t(local), callback, instance, flags);
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  const uintptr_t value = nextHandle_++;
  outs_[value] = OutRoute{backend, inner};
  *handle = reinterpret_cast<HMIDIOUT>(value);
  return MMSYSERR_NOERROR;
}

MMRESULT CompositeMidiApi::midiOutClose(HMIDIOUT handle) {
  const MMRESULT result = Forward(&MidiApi::midiOutClose, handle);
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  outs_.erase(reinterpret_cast<uintptr_t>(handle));
  return MMSYSERR_NOERROR;
}

MMRESULT CompositeMidiApi::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  return Forward(&MidiApi::midiOutPrepareHeader, handle, header, size);
}

MMRESULT CompositeMidiApi::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  return Forward(&MidiApi::midiOutUnprepareHeader, handle, header, size);
}

MMRESULT CompositeMidiApi::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  return Forward(&MidiApi::midiOutLongMsg, handle, header, size);
}

MMRESULT CompositeMidiApi::midiOutShortMsg(HMIDIOUT handle, uint32_t message) {
  return Forward(&MidiApi::midiOutShortMsg, handle, message);
}

MMRESULT CompositeMidiApi::midiOutReset(HMIDIOUT handle) {
  return Forward(&MidiApi::midiOutReset, handle);
}

MMRESULT CompositeMidiApi::midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return backends_.empty() ? MidiErrorText(code, text, size)
                           : backends_.front()->midiOutGetErrorTextA(code, text, size);
}

}  // namespace r9

#include "platform/emulated_midi_api.h"

#include <cstdio>

#include "platform/backend_log.h"
#include "platform/driver_emulation.h"
#include "platform/midi_error_text.h"
#include "platform/port_name.h"

namespace r9 {

struct EmulatedMidiApi::In {
  Entry entry;
  std::shared_ptr<MidiInputEmulation> driver;
  std::unique_ptr<TransportInput> port;
};

struct EmulatedMidiApi::Out {
  Entry entry;
  std::shared_ptr<TransportOutput> port;
  std::shared_ptr<MidiOutputEmulation> driver;
};

EmulatedMidiApi::EmulatedMidiApi(std::vector<MidiTransport*> transports) : transports_(std::move(transports)) {}

EmulatedMidiApi::~EmulatedMidiApi() {
  std::map<uintptr_t, std::shared_ptr<In>> ins;
  std::map<uintptr_t, std::shared_ptr<Out>> outs;
  {
    std::lock_guard lock(mutex_);
    ins.swap(ins_);
    outs.swap(outs_);
  }
  for (auto& [value, in] : ins) {
    in->driver->Reset();
    in->driver->Close();
    in->port.reset();
  }
  for (auto& [value, out] : outs) {
    out->port->Close();
    out->driver->Reset();
    out->driver->Close();
  }
}

std::string EmulatedMidiApi::LastProblem() const {
  std::lock_guard lock(mutex_);
  return problem_;
}

uint32_t EmulatedMidiApi::List(bool outputs) {
  std::vector<Entry> entries;
  // Outside the lock: a transport may take its time (a server round trip).
  for (MidiTransport* transport : transports_) {
    TransportError problem;
    for (TransportPort& port : transport->List(outputs, &problem)) entries.push_back(Entry{transport, std::move(port)});
    if (problem) Problem(Entry{transport, {}}, problem);
  }
  std::lock_guard lock(mutex_);
  listed_[outputs] = std::move(entries);
  listedOnce_[outputs] = true;
  return uint32_t(listed_[outputs].size());
}

bool EmulatedMidiApi::Listed(bool outputs, uintptr_t deviceId, Entry* entry) {
  bool listed;
  {
    std::lock_guard lock(mutex_);
    listed = listedOnce_[outputs];
  }
  if (!listed) List(outputs);
  std::lock_guard lock(mutex_);
  if (deviceId >= listed_[outputs].size()) return false;
  *entry = listed_[outputs][deviceId];
  return true;
}

MidiTransport* EmulatedMidiApi::Transport(bool outputs, uint32_t deviceId) const {
  std::lock_guard lock(mutex_);
  return deviceId < listed_[outputs].size() ? listed_[outputs][deviceId].transport : nullptr;
}

template <typename Caps>
MMRESULT EmulatedMidiApi::FillCaps(bool outputs, uintptr_t deviceId, Caps* caps, uint32_t size) {
  if (caps == nullptr || size < sizeof(Caps)) return MMSYSERR_INVALPARAM;
  Entry entry;
  if (!Listed(outputs, deviceId, &entry)) return MMSYSERR_BADDEVICEID;
  *caps = Caps{};
  CopyPortName(entry.port.name, caps->szPname, kMaxPnameLen);
  return MMSYSERR_NOERROR;
}

template <typename Port>
bool EmulatedMidiApi::Busy(const std::map<uintptr_t, std::shared_ptr<Port>>& open, const Entry& entry) {
  for (const auto& [value, port] : open)
    if (port->entry.transport == entry.transport && port->entry.port.id == entry.port.id) return true;
  return false;
}

MMRESULT EmulatedMidiApi::Problem(const Entry& entry, const TransportError& error) {
  const MMRESULT code = error.code != MMSYSERR_NOERROR ? error.code : MMSYSERR_ERROR;
  if (!error.text.empty()) LogBackendMessage(entry.transport->Name(), error.text.c_str());
  std::lock_guard lock(mutex_);
  problemCode_ = code;
  problem_ = error.text;
  return code;
}

MMRESULT EmulatedMidiApi::ErrorText(MMRESULT code, char* text, uint32_t size) const {
  const MMRESULT result = MidiErrorText(code, text, size);
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  if (code != MMSYSERR_NOERROR && code == problemCode_ && !problem_.empty()) {
    const std::string known = text;
    std::snprintf(text, size, "%s (%s)", known.c_str(), problem_.c_str());
  }
  return MMSYSERR_NOERROR;
}

template <typename Port, typename Handle>
std::shared_ptr<Port> EmulatedMidiApi::Find(const std::map<uintptr_t, std::shared_ptr<Port>>& open,
                                            Handle handle) const {
  std::lock_guard lock(mutex_);
  auto it = open.find(reinterpret_cast<uintptr_t>(handle));
  return it == open.end() ? nullptr : it->second;
}

template <typename Port, typename Handle, typename Call>
MMRESULT EmulatedMidiApi::With(const std::map<uintptr_t, std::shared_ptr<Port>>& open, Handle handle, Call call,
                               uint32_t headerSize) const {
  if (headerSize < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  std::shared_ptr<Port> port = Find(open, handle);
  return port ? call(*port) : MMSYSERR_INVALHANDLE;
}

template <typename Port, typename Handle, typename Close>
MMRESULT EmulatedMidiApi::Remove(std::map<uintptr_t, std::shared_ptr<Port>>& open, Handle handle, Close close) {
  std::shared_ptr<Port> port = Find(open, handle);
  if (!port) return MMSYSERR_INVALHANDLE;
  const MMRESULT result = close(*port);
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  open.erase(reinterpret_cast<uintptr_t>(handle));
  return MMSYSERR_NOERROR;
}

// --- Input ---

uint32_t EmulatedMidiApi::midiInGetNumDevs() { return List(false); }

MMRESULT EmulatedMidiApi::midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size) {
  return FillCaps(false, deviceId, caps, size);
}

MMRESULT EmulatedMidiApi::midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance,
                                     uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_NULL && flags != CALLBACK_FUNCTION) return MMSYSERR_INVALPARAM;
  if (flags == CALLBACK_NULL) callback = nullptr;
  auto in = std::make_shared<In>();
  if (!Listed(false, deviceId, &in->entry)) return MMSYSERR_BADDEVICEID;
  uintptr_t value;
  {
    std::lock_guard lock(mutex_);
    if (Busy(ins_, in->entry)) return MMSYSERR_ALLOCATED;
    value = nextHandle_++;
  }
  in->driver = std::make_shared<MidiInputEmulation>(reinterpret_cast<HMIDIIN>(value), callback, instance);
  TransportError error;
  std::shared_ptr<MidiInputEmulation> driver = in->driver;
  in->port = in->entry.transport->OpenInput(
      in->entry.port, [driver](const uint8_t* bytes, size_t length) { driver->Feed(bytes, length); }, &error);
  if (!in->port) {
    in->driver->Close();
    return Problem(in->entry, error);
  }
  std::lock_guard lock(mutex_);
  ins_[value] = in;
  *handle = reinterpret_cast<HMIDIIN>(value);
  return MMSYSERR_NOERROR;
}

MMRESULT EmulatedMidiApi::midiInClose(HMIDIIN handle) {
  return Remove(ins_, handle, [](In& in) {
    // The emulation first: it refuses while the host still has buffers queued. Bytes that the
    // transport delivers after it closed are dropped.
    const MMRESULT result = in.driver->Close();
    if (result == MMSYSERR_NOERROR) in.port.reset();
    return result;
  });
}

MMRESULT EmulatedMidiApi::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  return With(ins_, handle, [&](In& in) { return in.driver->PrepareHeader(header); }, size);
}

MMRESULT EmulatedMidiApi::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  return With(ins_, handle, [&](In& in) { return in.driver->UnprepareHeader(header); }, size);
}

MMRESULT EmulatedMidiApi::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  return With(ins_, handle, [&](In& in) { return in.driver->AddBuffer(header); }, size);
}

MMRESULT EmulatedMidiApi::midiInStart(HMIDIIN handle) {
  return With(ins_, handle, [this](In& in) {
    // A port whose device went away since it was opened delivers nothing any more: say so now.
    const TransportError failure = in.port->Failure();
    return failure ? Problem(in.entry, failure) : in.driver->Start();
  });
}

MMRESULT EmulatedMidiApi::midiInStop(HMIDIIN handle) {
  return With(ins_, handle, [](In& in) { return in.driver->Stop(); });
}

MMRESULT EmulatedMidiApi::midiInReset(HMIDIIN handle) {
  return With(ins_, handle, [](In& in) { return in.driver->Reset(); });
}

MMRESULT EmulatedMidiApi::midiInGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return ErrorText(code, text, size);
}

// --- Output ---

uint32_t EmulatedMidiApi::midiOutGetNumDevs() { return List(true); }

MMRESULT EmulatedMidiApi::midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size) {
  return FillCaps(true, deviceId, caps, size);
}

MMRESULT EmulatedMidiApi::midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t /*instance*/,
                                      uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  // An output port reports only the done event, for senders that wait on it.
  if (flags != CALLBACK_NULL && flags != CALLBACK_EVENT) return MMSYSERR_INVALPARAM;
  if (flags == CALLBACK_EVENT && callback == 0) return MMSYSERR_INVALPARAM;
  auto out = std::make_shared<Out>();
  if (!Listed(true, deviceId, &out->entry)) return MMSYSERR_BADDEVICEID;
  {
    std::lock_guard lock(mutex_);
    if (Busy(outs_, out->entry)) return MMSYSERR_ALLOCATED;
  }
  TransportError error;
  out->port = out->entry.transport->OpenOutput(out->entry.port, &error);
  if (!out->port) return Problem(out->entry, error);
  // The emulation's thread hands each message to the transport; a message that did not leave
  // comes back failed, and why goes to the log.
  std::shared_ptr<TransportOutput> port = out->port;
  const char* name = out->entry.transport->Name();
  out->driver = std::make_shared<MidiOutputEmulation>([port, name](std::vector<uint8_t> message) {
    const TransportError error = port->Send(message.data(), message.size(), kSendBound);
    if (error) LogBackendMessage(name, error.text.c_str());
    return !error;
  });
  if (flags == CALLBACK_EVENT) out->driver->SetDoneEvent(reinterpret_cast<ReplyEvent*>(callback));
  std::lock_guard lock(mutex_);
  const uintptr_t value = nextHandle_++;
  outs_[value] = out;
  *handle = reinterpret_cast<HMIDIOUT>(value);
  return MMSYSERR_NOERROR;
}

MMRESULT EmulatedMidiApi::midiOutClose(HMIDIOUT handle) {
  return Remove(outs_, handle, [](Out& out) {
    // A message still on its way is given up: the close never waits for a device.
    out.port->Close();
    const MMRESULT result = out.driver->Close();
    if (result != MIDIERR_STILLPLAYING) return result;
    out.driver->Reset();
    return out.driver->Close();
  });
}

MMRESULT EmulatedMidiApi::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  return With(outs_, handle, [&](Out& out) { return out.driver->PrepareHeader(header); }, size);
}

MMRESULT EmulatedMidiApi::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  return With(outs_, handle, [&](Out& out) { return out.driver->UnprepareHeader(header); }, size);
}

// A link known to have failed (the device unplugged, the server gone) fails a send at once.
MMRESULT EmulatedMidiApi::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  return With(outs_, handle, [&](Out& out) {
    const TransportError failure = out.port->Failure();
    return failure ? Problem(out.entry, failure) : out.driver->LongMsg(header);
  }, size);
}

MMRESULT EmulatedMidiApi::midiOutShortMsg(HMIDIOUT handle, uint32_t message) {
  return With(outs_, handle, [&](Out& out) {
    const TransportError failure = out.port->Failure();
    return failure ? Problem(out.entry, failure) : out.driver->ShortMsg(message);
  });
}

MMRESULT EmulatedMidiApi::midiOutReset(HMIDIOUT handle) {
  return With(outs_, handle, [](Out& out) {
    const MMRESULT result = out.driver->Reset();
    out.port->Interrupt();  // after the reset, so that the send it ends is not taken for sent
    return result;
  });
}

bool EmulatedMidiApi::midiOutSignalsDone(uint32_t deviceId) {
  Entry entry;
  return Listed(true, deviceId, &entry);
}

MMRESULT EmulatedMidiApi::midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return ErrorText(code, text, size);
}

}  // namespace r9

#include "platform/alsa/alsa_midi_backend.h"

#include <cerrno>
#include <cstdio>

#include "platform/alsa/alsa_midi_api.h"
#include "platform/midi_error_text.h"
#include "platform/port_name.h"

namespace r9 {

namespace {

// alsa-lib prints its complaints ("cannot find card ...") to the terminal unless told
// otherwise; every failure reaches the host as a result code and its text instead.
void QuietErrorHandler(const char*, int, const char*, int, const char*, ...) {}

template <typename Caps>
MMRESULT FillCaps(const AlsaPort& port, Caps* caps, uint32_t size) {
  if (caps == nullptr || size < sizeof(Caps)) return MMSYSERR_INVALPARAM;
  *caps = Caps{};
  CopyPortName(port.name, caps->szPname, kMaxPnameLen);
  return MMSYSERR_NOERROR;
}

bool SamePort(const AlsaPort& a, const AlsaPort& b) {
  return a.card == b.card && a.device == b.device && a.subdevice == b.subdevice;
}

std::string Describe(const AlsaPort& port) { return port.HardwareName() + " (" + port.name + ")"; }

}  // namespace

MMRESULT AlsaResult(int err) {
  switch (-err) {
    case 0:
      return MMSYSERR_NOERROR;
    case EBUSY:
      return MMSYSERR_ALLOCATED;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO:
    case ESHUTDOWN:
      return MMSYSERR_NODRIVER;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    default:  // EACCES, EPERM and whatever else the library reports
      return MMSYSERR_ERROR;
  }
}

MidiApi& AlsaMidiApi() {
  static AlsaMidiBackend backend(RealAlsaLib());
  return backend;
}

AlsaMidiBackend::AlsaMidiBackend(const AlsaLib& lib) : lib_(lib) { lib_.lib_error_set_handler(QuietErrorHandler); }

AlsaMidiBackend::~AlsaMidiBackend() {
  std::map<uintptr_t, InHandle> ins;
  std::map<uintptr_t, OutHandle> outs;
  {
    std::lock_guard lock(mutex_);
    ins.swap(ins_);
    outs.swap(outs_);
  }
  // The streams end their threads and close themselves as they go.
}

std::string AlsaMidiBackend::LastProblem() const {
  std::lock_guard lock(mutex_);
  return problem_;
}

void AlsaMidiBackend::Refresh() {
  ports_ = EnumerateAlsaPorts(lib_);
  listed_ = true;
  if (ports_.error != 0) Problem(ports_.error, ports_.problem);
}

MMRESULT AlsaMidiBackend::Problem(int err, const std::string& what) {
  problemCode_ = AlsaResult(err < 0 ? err : -EIO);
  problem_ = what;
  if (err == -EACCES || err == -EPERM) {
    problem_ += "; the user may need to be in the group that owns the sound devices (audio)";
  }
  return problemCode_;
}

MMRESULT AlsaMidiBackend::StreamProblem(MMRESULT result, const AlsaPort& port, int err) {
  if (result != MMSYSERR_NODRIVER || err == 0) return result;
  std::lock_guard lock(mutex_);
  problemCode_ = result;
  problem_ = Describe(port) + ": " + lib_.strerror(err);
  return result;
}

MMRESULT AlsaMidiBackend::ErrorText(MMRESULT code, char* text, uint32_t size) {
  const MMRESULT result = MidiErrorText(code, text, size);
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  if (code != MMSYSERR_NOERROR && code == problemCode_ && !problem_.empty()) {
    const std::string known = text;
    std::snprintf(text, size, "%s (%s)", known.c_str(), problem_.c_str());
  }
  return MMSYSERR_NOERROR;
}

bool AlsaMidiBackend::FindIn(HMIDIIN handle, InHandle& in) const {
  std::lock_guard lock(mutex_);
  auto it = ins_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == ins_.end()) return false;
  in = it->second;
  return true;
}

bool AlsaMidiBackend::FindOut(HMIDIOUT handle, OutHandle& out) const {
  std::lock_guard lock(mutex_);
  auto it = outs_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == outs_.end()) return false;
  out = it->second;
  return true;
}

// --- Input ---

uint32_t AlsaMidiBackend::midiInGetNumDevs() {
  std::lock_guard lock(mutex_);
  Refresh();
  return uint32_t(ports_.inputs.size());
}

MMRESULT AlsaMidiBackend::midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size) {
  std::lock_guard lock(mutex_);
  if (!listed_) Refresh();
  if (deviceId >= ports_.inputs.size()) return MMSYSERR_BADDEVICEID;
  return FillCaps(ports_.inputs[deviceId], caps, size);
}

MMRESULT AlsaMidiBackend::midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance,
                                     uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_NULL && flags != CALLBACK_FUNCTION) return MMSYSERR_INVALPARAM;
  if (flags == CALLBACK_NULL) callback = nullptr;
  std::lock_guard lock(mutex_);
  if (!listed_) Refresh();
  if (deviceId >= ports_.inputs.size()) return MMSYSERR_BADDEVICEID;
  const AlsaPort port = ports_.inputs[deviceId];
  for (const auto& [value, in] : ins_) {
    if (SamePort(in.port, port)) return MMSYSERR_ALLOCATED;
  }
  AlsaRawMidi* rawmidi = nullptr;
  const int err = lib_.rawmidi_open(&rawmidi, nullptr, port.HardwareName().c_str(), kAlsaRawMidiNonBlock);
  if (err < 0 || rawmidi == nullptr) {
    return Problem(err, "cannot open " + Describe(port) + ": " + lib_.strerror(err < 0 ? err : -EIO));
  }
  const uintptr_t value = nextHandle_++;
  auto stream = std::make_shared<AlsaInPort>(lib_, rawmidi, reinterpret_cast<HMIDIIN>(value), callback, instance);
  if (!stream->Ready()) {
    stream.reset();  // closes the stream again
    return Problem(-EMFILE, "cannot open " + Describe(port) + ": no file descriptor left");
  }
  ins_[value] = InHandle{port, std::move(stream)};
  *handle = reinterpret_cast<HMIDIIN>(value);
  return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiBackend::midiInClose(HMIDIIN handle) {
  InHandle in;
  if (!FindIn(handle, in)) return MMSYSERR_INVALHANDLE;
  const MMRESULT result = in.stream->Close();
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  ins_.erase(reinterpret_cast<uintptr_t>(handle));
  return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiBackend::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  InHandle in;
  return FindIn(handle, in) ? in.stream->Driver().PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidiBackend::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  InHandle in;
  return FindIn(handle, in) ? in.stream->Driver().UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidiBackend::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  InHandle in;
  return FindIn(handle, in) ? in.stream->Driver().AddBuffer(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidiBackend::midiInStart(HMIDIIN handle) {
  InHandle in;
  if (!FindIn(handle, in)) return MMSYSERR_INVALHANDLE;
  // A device unplugged since it was opened delivers nothing any more: say so now.
  if (in.stream->Error() != 0) return StreamProblem(MMSYSERR_NODRIVER, in.port, in.stream->Error());
  return in.stream->Driver().Start();
}

MMRESULT AlsaMidiBackend::midiInStop(HMIDIIN handle) {
  InHandle in;
  return FindIn(handle, in) ? in.stream->Driver().Stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidiBackend::midiInReset(HMIDIIN handle) {
  InHandle in;
  return FindIn(handle, in) ? in.stream->Driver().Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidiBackend::midiInGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return ErrorText(code, text, size);
}

// --- Output ---

uint32_t AlsaMidiBackend::midiOutGetNumDevs() {
  std::lock_guard lock(mutex_);
  Refresh();
  return uint32_t(ports_.outputs.size());
}

MMRESULT AlsaMidiBackend::midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size) {
  std::lock_guard lock(mutex_);
  if (!listed_) Refresh();
  if (deviceId >= ports_.outputs.size()) return MMSYSERR_BADDEVICEID;
  return FillCaps(ports_.outputs[deviceId], caps, size);
}

MMRESULT AlsaMidiBackend::midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t /*instance*/,
                                      uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  // An output port reports only the done event, for senders that wait on it.
  if (flags != CALLBACK_NULL && flags != CALLBACK_EVENT) return MMSYSERR_INVALPARAM;
  if (flags == CALLBACK_EVENT && callback == 0) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  if (!listed_) Refresh();
  if (deviceId >= ports_.outputs.size()) return MMSYSERR_BADDEVICEID;
  const AlsaPort port = ports_.outputs[deviceId];
  for (const auto& [value, out] : outs_) {
    if (SamePort(out.port, port)) return MMSYSERR_ALLOCATED;
  }
  AlsaRawMidi* rawmidi = nullptr;
  // Non-blocking, so that neither the open nor a write can hang on a device that stopped
  // taking bytes; the writer polls for room instead.
  const int err = lib_.rawmidi_open(nullptr, &rawmidi, port.HardwareName().c_str(), kAlsaRawMidiNonBlock);
  if (err < 0 || rawmidi == nullptr) {
    return Problem(err, "cannot open " + Describe(port) + ": " + lib_.strerror(err < 0 ? err : -EIO));
  }
  auto stream = std::make_shared<AlsaOutPort>(lib_, rawmidi);
  if (!stream->Ready()) {
    stream.reset();
    return Problem(-EMFILE, "cannot open " + Describe(port) + ": no file descriptor left");
  }
  if (flags == CALLBACK_EVENT) stream->SetDoneEvent(reinterpret_cast<ReplyEvent*>(callback));
  const uintptr_t value = nextHandle_++;
  outs_[value] = OutHandle{port, std::move(stream)};
  *handle = reinterpret_cast<HMIDIOUT>(value);
  return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiBackend::midiOutClose(HMIDIOUT handle) {
  OutHandle out;
  if (!FindOut(handle, out)) return MMSYSERR_INVALHANDLE;
  const MMRESULT result = out.stream->Close();
  if (result != MMSYSERR_NOERROR) return result;
  std::lock_guard lock(mutex_);
  outs_.erase(reinterpret_cast<uintptr_t>(handle));
  return MMSYSERR_NOERROR;
}

MMRESULT AlsaMidiBackend::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  OutHandle out;
  return FindOut(handle, out) ? out.stream->PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidiBackend::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  OutHandle out;
  return FindOut(handle, out) ? out.stream->UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidiBackend::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  OutHandle out;
  if (!FindOut(handle, out)) return MMSYSERR_INVALHANDLE;
  return StreamProblem(out.stream->LongMsg(header), out.port, out.stream->Error());
}

MMRESULT AlsaMidiBackend::midiOutShortMsg(HMIDIOUT handle, uint32_t message) {
  OutHandle out;
  if (!FindOut(handle, out)) return MMSYSERR_INVALHANDLE;
  return StreamProblem(out.stream->ShortMsg(message), out.port, out.stream->Error());
}

MMRESULT AlsaMidiBackend::midiOutReset(HMIDIOUT handle) {
  OutHandle out;
  return FindOut(handle, out) ? out.stream->Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT AlsaMidiBackend::midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return ErrorText(code, text, size);
}

}  // namespace r9

#include "platform/winmm/winmm_midi_api.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/kernel.h"

// After the project's headers: the system headers define the MMSYSERR_*, MIM_*, MHDR_* and
// CALLBACK_* names as macros, with the same values as the project's constants. The project's
// types are named unqualified here, the system's with "::".
#include "platform/win32/windows_headers.h"

namespace r9 {
namespace {

// One open device. Its address is the handle the port classes see.
struct WinPort {
  void* system = nullptr;  // the system's HMIDIIN or HMIDIOUT
  MidiInProcType callback = nullptr;
  uintptr_t instance = 0;
  ReplyEvent* doneEvent = nullptr;  // output: set after each header the system marks done
  std::mutex mutex;                 // guards shadows; never held across a system call
  std::map<MIDIHDR*, std::unique_ptr<::MIDIHDR>> shadows;

  ::MIDIHDR* Shadow(MIDIHDR* header) {
    std::lock_guard lock(mutex);
    auto it = shadows.find(header);
    return it == shadows.end() ? nullptr : it->second.get();
  }
  // The shadow of header, made over the same buffer when there is none yet.
  ::MIDIHDR* MakeShadow(MIDIHDR* header, bool* made) {
    std::lock_guard lock(mutex);
    auto& shadow = shadows[header];
    *made = shadow == nullptr;
    if (*made) {
      shadow = std::make_unique<::MIDIHDR>();
      std::memset(shadow.get(), 0, sizeof(::MIDIHDR));
      shadow->lpData = header->lpData;
      shadow->dwBufferLength = header->dwBufferLength;
      shadow->dwUser = reinterpret_cast<DWORD_PTR>(header);
    }
    return shadow.get();
  }
  void DropShadow(MIDIHDR* header) {
    std::lock_guard lock(mutex);
    shadows.erase(header);
  }
};

// Runs on the system's MIDI input thread. A returned buffer reaches the port through its own
// header, with what the system recorded.
void CALLBACK SystemInProc(::HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2) {
  auto* port = reinterpret_cast<WinPort*>(instance);
  if (port->callback == nullptr) return;
  uintptr_t first = param1;
  if ((message == MIM_LONGDATA || message == MIM_LONGERROR) && param1 != 0) {
    const auto* shadow = reinterpret_cast<const ::MIDIHDR*>(param1);
    auto* header = reinterpret_cast<MIDIHDR*>(shadow->dwUser);
    header->dwBytesRecorded = shadow->dwBytesRecorded;
    header->dwFlags.store(shadow->dwFlags);
    first = reinterpret_cast<uintptr_t>(header);
  }
  port->callback(reinterpret_cast<HMIDIIN>(port), message, port->instance, first, param2);
}

// Runs on the system's MIDI output thread: the system has finished with a long message. The
// done event comes after the flag, so that a sender woken by it finds its header done.
// (Wine offers no MIDI output device here, so this runs only on a machine that has one.)
void CALLBACK SystemOutProc(::HMIDIOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
  if (message != MOM_DONE || param1 == 0) return;
  const auto* shadow = reinterpret_cast<const ::MIDIHDR*>(param1);
  reinterpret_cast<MIDIHDR*>(shadow->dwUser)->dwFlags.fetch_or(MHDR_DONE);
  if (auto* port = reinterpret_cast<WinPort*>(instance); port != nullptr && port->doneEvent != nullptr)
    port->doneEvent->SetEvent();
}

// The input and output calls below differ only in the system function they call and in the
// system's handle type; System is HMIDIIN or HMIDIOUT.
template <typename System>
using SystemHeaderCall = ::MMRESULT(WINAPI*)(System, ::LPMIDIHDR, UINT);

template <typename System>
System SystemHandle(const WinPort* port) {
  return static_cast<System>(port->system);
}

// What both kinds of capabilities hold; the caller copies the rest.
template <typename Caps, typename SystemCaps>
void CopyCommonCaps(const SystemCaps& system, Caps* caps) {
  caps->wMid = system.wMid;
  caps->wPid = system.wPid;
  caps->vDriverVersion = system.vDriverVersion;
  static_assert(sizeof system.szPname <= sizeof caps->szPname);
  std::memcpy(caps->szPname, system.szPname, sizeof system.szPname);
  caps->szPname[sizeof system.szPname - 1] = '\0';
  caps->dwSupport = system.dwSupport;
}

// A call that needs only the device (start, stop, reset, a short message).
template <typename Handle, typename System, typename... Params, typename... Args>
MMRESULT CallDevice(Handle handle, ::MMRESULT(WINAPI* call)(System, Params...), Args... args) {
  return handle ? call(SystemHandle<System>(reinterpret_cast<WinPort*>(handle)), args...) : MMSYSERR_INVALHANDLE;
}

// Opens the device with the system reporting to proc, for port; *handle is then port.
template <typename Handle, typename System, typename Proc>
MMRESULT OpenDevice(Handle* handle, uint32_t deviceId, std::unique_ptr<WinPort> port,
                    ::MMRESULT(WINAPI* open)(System*, UINT, DWORD_PTR, DWORD_PTR, DWORD), Proc* proc) {
  System system = nullptr;
  const MMRESULT result = open(&system, deviceId, reinterpret_cast<DWORD_PTR>(proc),
                               reinterpret_cast<DWORD_PTR>(port.get()), CALLBACK_FUNCTION);
  if (result != MMSYSERR_NOERROR) {
    *handle = nullptr;
    return result;
  }
  port->system = system;
  *handle = reinterpret_cast<Handle>(port.release());
  return MMSYSERR_NOERROR;
}

template <typename Handle, typename System>
MMRESULT CloseDevice(Handle handle, ::MMRESULT(WINAPI* close)(System)) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  auto* port = reinterpret_cast<WinPort*>(handle);
  const MMRESULT result = close(SystemHandle<System>(port));
  // No notification arrives once the close has succeeded. A refused close leaves the device
  // open, and its callback may still come: the port then stays.
  if (result == MMSYSERR_NOERROR) delete port;
  return result;
}

template <typename Handle, typename System>
MMRESULT PrepareShadow(Handle handle, MIDIHDR* header, SystemHeaderCall<System> prepare) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  auto* port = reinterpret_cast<WinPort*>(handle);
  bool made = false;
  ::MIDIHDR* shadow = port->MakeShadow(header, &made);
  // A header prepared again over another buffer: the shadow follows it. Written only then, since
  // a prepared shadow may be in the system's hands (a receive buffer, a send on its way).
  if (shadow->lpData != header->lpData || shadow->dwBufferLength != header->dwBufferLength) {
    shadow->lpData = header->lpData;
    shadow->dwBufferLength = header->dwBufferLength;
  }
  const MMRESULT result = prepare(SystemHandle<System>(port), shadow, sizeof(::MIDIHDR));
  if (result == MMSYSERR_NOERROR)
    header->dwFlags.fetch_or(MHDR_PREPARED);
  else if (made)
    port->DropShadow(header);
  return result;
}

template <typename Handle, typename System>
MMRESULT UnprepareShadow(Handle handle, MIDIHDR* header, SystemHeaderCall<System> unprepare) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  auto* port = reinterpret_cast<WinPort*>(handle);
  ::MIDIHDR* shadow = port->Shadow(header);
  if (shadow == nullptr) return MMSYSERR_NOERROR;  // never prepared: nothing to undo
  const MMRESULT result = unprepare(SystemHandle<System>(port), shadow, sizeof(::MIDIHDR));
  if (result == MMSYSERR_NOERROR) {
    header->dwFlags.fetch_and(~MHDR_PREPARED);
    port->DropShadow(header);
  }
  return result;
}

// Hands a prepared header to the system: a receive buffer to fill, or a long message to send.
template <typename Handle, typename System>
MMRESULT SubmitShadow(Handle handle, MIDIHDR* header, SystemHeaderCall<System> submit) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  auto* port = reinterpret_cast<WinPort*>(handle);
  ::MIDIHDR* shadow = port->Shadow(header);
  if (shadow == nullptr) return MIDIERR_UNPREPARED;
  // Cleared before the system may mark it: its callback can run before this returns.
  header->dwFlags.fetch_and(~MHDR_DONE);
  header->dwBytesRecorded = 0;
  return submit(SystemHandle<System>(port), shadow, sizeof(::MIDIHDR));
}

}  // namespace

WinmmMidiApi& WinmmMidiApi::Instance() {
  static WinmmMidiApi api;
  return api;
}

// --- Input ---

uint32_t WinmmMidiApi::midiInGetNumDevs() { return ::midiInGetNumDevs(); }

MMRESULT WinmmMidiApi::midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t) {
  if (caps == nullptr) return MMSYSERR_INVALPARAM;
  ::MIDIINCAPSA system{};
  const MMRESULT result = ::midiInGetDevCapsA(deviceId, &system, sizeof system);
  if (result == MMSYSERR_NOERROR) CopyCommonCaps(system, caps);
  return result;
}

MMRESULT WinmmMidiApi::midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance,
                                  uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  auto port = std::make_unique<WinPort>();
  port->callback = flags == CALLBACK_FUNCTION ? callback : nullptr;
  port->instance = instance;
  return OpenDevice(handle, deviceId, std::move(port), &::midiInOpen, &SystemInProc);
}

MMRESULT WinmmMidiApi::midiInClose(HMIDIIN handle) { return CloseDevice(handle, &::midiInClose); }

MMRESULT WinmmMidiApi::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t) {
  return PrepareShadow(handle, header, &::midiInPrepareHeader);
}

MMRESULT WinmmMidiApi::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t) {
  return UnprepareShadow(handle, header, &::midiInUnprepareHeader);
}

MMRESULT WinmmMidiApi::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t) {
  return SubmitShadow(handle, header, &::midiInAddBuffer);
}

MMRESULT WinmmMidiApi::midiInStart(HMIDIIN handle) {
  return CallDevice(handle, &::midiInStart);
}

MMRESULT WinmmMidiApi::midiInStop(HMIDIIN handle) {
  return CallDevice(handle, &::midiInStop);
}

MMRESULT WinmmMidiApi::midiInReset(HMIDIIN handle) {
  return CallDevice(handle, &::midiInReset);
}

MMRESULT WinmmMidiApi::midiInGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return ::midiInGetErrorTextA(code, text, size);
}

// --- Output ---

uint32_t WinmmMidiApi::midiOutGetNumDevs() { return ::midiOutGetNumDevs(); }

MMRESULT WinmmMidiApi::midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t) {
  if (caps == nullptr) return MMSYSERR_INVALPARAM;
  ::MIDIOUTCAPSA system{};
  const MMRESULT result = ::midiOutGetDevCapsA(deviceId, &system, sizeof system);
  if (result != MMSYSERR_NOERROR) return result;
  CopyCommonCaps(system, caps);
  caps->wTechnology = system.wTechnology;
  caps->wVoices = system.wVoices;
  caps->wNotes = system.wNotes;
  caps->wChannelMask = system.wChannelMask;
  return MMSYSERR_NOERROR;
}

MMRESULT WinmmMidiApi::midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t, uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_NULL && flags != CALLBACK_EVENT) return MMSYSERR_INVALPARAM;
  if (flags == CALLBACK_EVENT && callback == 0) return MMSYSERR_INVALPARAM;
  auto port = std::make_unique<WinPort>();
  // The system always reports to SystemOutProc; the event is this program's own.
  if (flags == CALLBACK_EVENT) port->doneEvent = reinterpret_cast<ReplyEvent*>(callback);
  return OpenDevice(handle, deviceId, std::move(port), &::midiOutOpen, &SystemOutProc);
}

MMRESULT WinmmMidiApi::midiOutClose(HMIDIOUT handle) { return CloseDevice(handle, &::midiOutClose); }

MMRESULT WinmmMidiApi::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t) {
  return PrepareShadow(handle, header, &::midiOutPrepareHeader);
}

MMRESULT WinmmMidiApi::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t) {
  return UnprepareShadow(handle, header, &::midiOutUnprepareHeader);
}

MMRESULT WinmmMidiApi::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t) {
  return SubmitShadow(handle, header, &::midiOutLongMsg);
}

MMRESULT WinmmMidiApi::midiOutShortMsg(HMIDIOUT handle, uint32_t message) {
  return CallDevice(handle, &::midiOutShortMsg, message);
}

MMRESULT WinmmMidiApi::midiOutReset(HMIDIOUT handle) {
  return CallDevice(handle, &::midiOutReset);
}

MMRESULT WinmmMidiApi::midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return ::midiOutGetErrorTextA(code, text, size);
}

}  // namespace r9

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

WinPort* InPort(HMIDIIN handle) { return reinterpret_cast<WinPort*>(handle); }
WinPort* OutPort(HMIDIOUT handle) { return reinterpret_cast<WinPort*>(handle); }
::HMIDIIN SystemIn(WinPort* port) { return static_cast<::HMIDIIN>(port->system); }
::HMIDIOUT SystemOut(WinPort* port) { return static_cast<::HMIDIOUT>(port->system); }

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
  if (result != MMSYSERR_NOERROR) return result;
  caps->wMid = system.wMid;
  caps->wPid = system.wPid;
  caps->vDriverVersion = system.vDriverVersion;
  static_assert(sizeof system.szPname <= sizeof caps->szPname);
  std::memcpy(caps->szPname, system.szPname, sizeof system.szPname);
  caps->szPname[sizeof system.szPname - 1] = '\0';
  caps->dwSupport = system.dwSupport;
  return MMSYSERR_NOERROR;
}

MMRESULT WinmmMidiApi::midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance,
                                  uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  auto port = std::make_unique<WinPort>();
  port->callback = flags == CALLBACK_FUNCTION ? callback : nullptr;
  port->instance = instance;
  ::HMIDIIN system = nullptr;
  const MMRESULT result = ::midiInOpen(&system, deviceId, reinterpret_cast<DWORD_PTR>(&SystemInProc),
                                       reinterpret_cast<DWORD_PTR>(port.get()), CALLBACK_FUNCTION);
  if (result != MMSYSERR_NOERROR) {
    *handle = nullptr;
    return result;
  }
  port->system = system;
  *handle = reinterpret_cast<HMIDIIN>(port.release());
  return MMSYSERR_NOERROR;
}

MMRESULT WinmmMidiApi::midiInClose(HMIDIIN handle) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  WinPort* port = InPort(handle);
  const MMRESULT result = ::midiInClose(SystemIn(port));
  // No notification arrives once the close has succeeded. A refused close leaves the device
  // open, and its callback may still come: the port then stays.
  if (result == MMSYSERR_NOERROR) delete port;
  return result;
}

MMRESULT WinmmMidiApi::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  WinPort* port = InPort(handle);
  bool made = false;
  ::MIDIHDR* shadow = port->MakeShadow(header, &made);
  const MMRESULT result = ::midiInPrepareHeader(SystemIn(port), shadow, sizeof(::MIDIHDR));
  if (result == MMSYSERR_NOERROR)
    header->dwFlags.fetch_or(MHDR_PREPARED);
  else if (made)
    port->DropShadow(header);
  return result;
}

MMRESULT WinmmMidiApi::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  WinPort* port = InPort(handle);
  ::MIDIHDR* shadow = port->Shadow(header);
  if (shadow == nullptr) return MMSYSERR_NOERROR;  // never prepared: nothing to undo
  const MMRESULT result = ::midiInUnprepareHeader(SystemIn(port), shadow, sizeof(::MIDIHDR));
  if (result == MMSYSERR_NOERROR) {
    header->dwFlags.fetch_and(~MHDR_PREPARED);
    port->DropShadow(header);
  }
  return result;
}

MMRESULT WinmmMidiApi::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  WinPort* port = InPort(handle);
  ::MIDIHDR* shadow = port->Shadow(header);
  if (shadow == nullptr) return MIDIERR_UNPREPARED;
  header->dwFlags.fetch_and(~MHDR_DONE);
  header->dwBytesRecorded = 0;
  return ::midiInAddBuffer(SystemIn(port), shadow, sizeof(::MIDIHDR));
}

MMRESULT WinmmMidiApi::midiInStart(HMIDIIN handle) {
  return handle ? ::midiInStart(SystemIn(InPort(handle))) : MMSYSERR_INVALHANDLE;
}

MMRESULT WinmmMidiApi::midiInStop(HMIDIIN handle) {
  return handle ? ::midiInStop(SystemIn(InPort(handle))) : MMSYSERR_INVALHANDLE;
}

MMRESULT WinmmMidiApi::midiInReset(HMIDIIN handle) {
  return handle ? ::midiInReset(SystemIn(InPort(handle))) : MMSYSERR_INVALHANDLE;
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
  caps->wMid = system.wMid;
  caps->wPid = system.wPid;
  caps->vDriverVersion = system.vDriverVersion;
  static_assert(sizeof system.szPname <= sizeof caps->szPname);
  std::memcpy(caps->szPname, system.szPname, sizeof system.szPname);
  caps->szPname[sizeof system.szPname - 1] = '\0';
  caps->wTechnology = system.wTechnology;
  caps->wVoices = system.wVoices;
  caps->wNotes = system.wNotes;
  caps->wChannelMask = system.wChannelMask;
  caps->dwSupport = system.dwSupport;
  return MMSYSERR_NOERROR;
}

MMRESULT WinmmMidiApi::midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t, uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_NULL && flags != CALLBACK_EVENT) return MMSYSERR_INVALPARAM;
  if (flags == CALLBACK_EVENT && callback == 0) return MMSYSERR_INVALPARAM;
  auto port = std::make_unique<WinPort>();
  // The system always reports to SystemOutProc; the event is this program's own.
  if (flags == CALLBACK_EVENT) port->doneEvent = reinterpret_cast<ReplyEvent*>(callback);
  ::HMIDIOUT system = nullptr;
  const MMRESULT result = ::midiOutOpen(&system, deviceId, reinterpret_cast<DWORD_PTR>(&SystemOutProc),
                                        reinterpret_cast<DWORD_PTR>(port.get()), CALLBACK_FUNCTION);
  if (result != MMSYSERR_NOERROR) {
    *handle = nullptr;
    return result;
  }
  port->system = system;
  *handle = reinterpret_cast<HMIDIOUT>(port.release());
  return MMSYSERR_NOERROR;
}

MMRESULT WinmmMidiApi::midiOutClose(HMIDIOUT handle) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  WinPort* port = OutPort(handle);
  const MMRESULT result = ::midiOutClose(SystemOut(port));
  if (result == MMSYSERR_NOERROR) delete port;
  return result;
}

MMRESULT WinmmMidiApi::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || header->lpData == nullptr) return MMSYSERR_INVALPARAM;
  WinPort* port = OutPort(handle);
  bool made = false;
  ::MIDIHDR* shadow = port->MakeShadow(header, &made);
  shadow->lpData = header->lpData;
  shadow->dwBufferLength = header->dwBufferLength;
  const MMRESULT result = ::midiOutPrepareHeader(SystemOut(port), shadow, sizeof(::MIDIHDR));
  if (result == MMSYSERR_NOERROR)
    header->dwFlags.fetch_or(MHDR_PREPARED);
  else if (made)
    port->DropShadow(header);
  return result;
}

MMRESULT WinmmMidiApi::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  WinPort* port = OutPort(handle);
  ::MIDIHDR* shadow = port->Shadow(header);
  if (shadow == nullptr) return MMSYSERR_NOERROR;
  const MMRESULT result = ::midiOutUnprepareHeader(SystemOut(port), shadow, sizeof(::MIDIHDR));
  if (result == MMSYSERR_NOERROR) {
    header->dwFlags.fetch_and(~MHDR_PREPARED);
    port->DropShadow(header);
  }
  return result;
}

MMRESULT WinmmMidiApi::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t) {
  if (handle == nullptr) return MMSYSERR_INVALHANDLE;
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  WinPort* port = OutPort(handle);
  ::MIDIHDR* shadow = port->Shadow(header);
  if (shadow == nullptr) return MIDIERR_UNPREPARED;
  // Cleared before the system may mark it: the done callback can run before this returns.
  header->dwFlags.fetch_and(~MHDR_DONE);
  return ::midiOutLongMsg(SystemOut(port), shadow, sizeof(::MIDIHDR));
}

MMRESULT WinmmMidiApi::midiOutShortMsg(HMIDIOUT handle, uint32_t message) {
  return handle ? ::midiOutShortMsg(SystemOut(OutPort(handle)), message) : MMSYSERR_INVALHANDLE;
}

MMRESULT WinmmMidiApi::midiOutReset(HMIDIOUT handle) {
  return handle ? ::midiOutReset(SystemOut(OutPort(handle))) : MMSYSERR_INVALHANDLE;
}

MMRESULT WinmmMidiApi::midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return ::midiOutGetErrorTextA(code, text, size);
}

}  // namespace r9

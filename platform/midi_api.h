// The MIDI driver interface that the port classes (midi/) are written against.
//
// It is shaped after the multimedia MIDI services: device counts and names, open with a
// callback and an instance value, long-message headers that are prepared, queued and handed
// back with MHDR_DONE, start/stop/reset/close, short and long sends and error texts. winmm's
// pass-through, the driver emulation over the transports (ALSA, JACK, the in-process virtual
// bus), the composite of both and the tests' recording fake implement it, so the port classes
// run unchanged on each of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace r9 {

class ReplyEvent;

using MMRESULT = uint32_t;
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MIDIERR_UNPREPARED = 64;
constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
constexpr MMRESULT MIDIERR_NOTREADY = 67;

// Notifications delivered to a MIDI input callback.
constexpr uint32_t MIM_OPEN = 0x3C1;
constexpr uint32_t MIM_CLOSE = 0x3C2;
constexpr uint32_t MIM_DATA = 0x3C3;
constexpr uint32_t MIM_LONGDATA = 0x3C4;
constexpr uint32_t MIM_ERROR = 0x3C5;
constexpr uint32_t MIM_LONGERROR = 0x3C6;

constexpr uint32_t CALLBACK_NULL = 0x00000;
constexpr uint32_t CALLBACK_FUNCTION = 0x30000;
// Output only: callback is the address of a ReplyEvent (platform/kernel.h) that the driver sets
// each time it marks a long-message header of the port done, so that a sender can sleep until
// then instead of polling MHDR_DONE. Offered only where midiOutSignalsDone says so.
constexpr uint32_t CALLBACK_EVENT = 0x50000;

// Header flags.
constexpr uint32_t MHDR_DONE = 0x1;
constexpr uint32_t MHDR_PREPARED = 0x2;
constexpr uint32_t MHDR_INQUEUE = 0x4;
// Set with MHDR_DONE by the emulated drivers when the message could not be delivered (the link
// failed, timed out or was closed): the header is given back, the bytes did not leave. winmm
// never sets it.
constexpr uint32_t MHDR_FAILED = 0x80000000;

// A long-message header. The owner sets lpData, dwBufferLength and dwFlags = 0; the driver
// sets dwBytesRecorded on input and MHDR_DONE when it has finished with the buffer. dwFlags is
// written by a driver thread while its owner polls it, hence atomic.
struct MIDIHDR {
  char* lpData = nullptr;
  uint32_t dwBufferLength = 0;
  uint32_t dwBytesRecorded = 0;
  uintptr_t dwUser = 0;
  std::atomic<uint32_t> dwFlags{0};
  MIDIHDR* lpNext = nullptr;
  uintptr_t reserved = 0;
};

// 31 characters and a zero on winmm; the other backends report longer UTF-8 names, up to 255
// bytes, cut at a character boundary (platform/port_name.h).
constexpr size_t kMaxPnameLen = 256;
struct MIDIINCAPSA {
  uint16_t wMid = 0;
  uint16_t wPid = 0;
  uint32_t vDriverVersion = 0;
  char szPname[kMaxPnameLen] = {};
  uint32_t dwSupport = 0;
};
struct MIDIOUTCAPSA {
  uint16_t wMid = 0;
  uint16_t wPid = 0;
  uint32_t vDriverVersion = 0;
  char szPname[kMaxPnameLen] = {};
  uint16_t wTechnology = 0;
  uint16_t wVoices = 0;
  uint16_t wNotes = 0;
  uint16_t wChannelMask = 0;
  uint32_t dwSupport = 0;
};

// Opaque handles; a backend gives them meaning.
struct MidiInHandleTag;
struct MidiOutHandleTag;
using HMIDIIN = MidiInHandleTag*;
using HMIDIOUT = MidiOutHandleTag*;

// Input callback: handle, message, instance value, first and second parameter.
using MidiInProcType = void (*)(HMIDIIN, uint32_t, uintptr_t, uintptr_t, uintptr_t);

// The calls of the interface, declared once for the interface and for each implementation:
// R9_MIDI_API_CALLS(virtual, = 0) in the interface, R9_MIDI_API_CALLS(, override) in a backend.
//
// midiOutOpen: callback and instance are always 0 and flags CALLBACK_NULL (or CALLBACK_EVENT,
// where midiOutSignalsDone says so) for this program.
// midiOutReset ends the sends in progress: every queued long-message header comes back marked
// done, and the driver touches none of them afterwards. The output port calls it to abandon a
// send whose header did not come back in time, or when the port is closed during a send.
#define R9_MIDI_API_CALLS(prefix, suffix)                                                                     \
  prefix uint32_t midiInGetNumDevs() suffix;                                                                  \
  prefix MMRESULT midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size) suffix;             \
  prefix MMRESULT midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance, \
                             uint32_t flags) suffix;                                                          \
  prefix MMRESULT midiInClose(HMIDIIN handle) suffix;                                                         \
  prefix MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) suffix;                 \
  prefix MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) suffix;               \
  prefix MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t size) suffix;                     \
  prefix MMRESULT midiInStart(HMIDIIN handle) suffix;                                                         \
  prefix MMRESULT midiInStop(HMIDIIN handle) suffix;                                                          \
  prefix MMRESULT midiInReset(HMIDIIN handle) suffix;                                                         \
  prefix MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, uint32_t size) suffix;                       \
  prefix uint32_t midiOutGetNumDevs() suffix;                                                                 \
  prefix MMRESULT midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size) suffix;           \
  prefix MMRESULT midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t instance,    \
                              uint32_t flags) suffix;                                                         \
  prefix MMRESULT midiOutClose(HMIDIOUT handle) suffix;                                                       \
  prefix MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) suffix;               \
  prefix MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) suffix;             \
  prefix MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t size) suffix;                     \
  prefix MMRESULT midiOutShortMsg(HMIDIOUT handle, uint32_t message) suffix;                                  \
  prefix MMRESULT midiOutReset(HMIDIOUT handle) suffix;                                                       \
  prefix MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) suffix

class MidiApi {
 public:
  virtual ~MidiApi() = default;
  R9_MIDI_API_CALLS(virtual, = 0);
  // Whether midiOutOpen of this device accepts CALLBACK_EVENT with a ReplyEvent. A backend that
  // does not override this is opened with CALLBACK_NULL, and its senders poll MHDR_DONE.
  virtual bool midiOutSignalsDone(uint32_t /*deviceId*/) { return false; }
};

// The process's MIDI driver: the composite of the real backends built into this program and
// the in-process virtual bus (real ports first). Tests pass their own MidiApi instead.
MidiApi& DefaultMidiApi();

}  // namespace r9

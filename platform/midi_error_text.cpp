#include "platform/midi_error_text.h"

#include <cstdio>

namespace r9 {

namespace {

const char* KnownText(MMRESULT code) {
  switch (code) {
    case MMSYSERR_NOERROR:
      return "The operation succeeded.";
    case MMSYSERR_ERROR:
      return "Unspecified error.";
    case MMSYSERR_BADDEVICEID:
      return "The device identifier is out of range.";
    case MMSYSERR_ALLOCATED:
      return "The device is already in use.";
    case MMSYSERR_INVALHANDLE:
      return "The device handle is invalid.";
    case MMSYSERR_NODRIVER:
      return "No driver is installed for the device.";
    case MMSYSERR_NOMEM:
      return "Not enough memory.";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was passed.";
    case MIDIERR_UNPREPARED:
      return "The header has not been prepared.";
    case MIDIERR_STILLPLAYING:
      return "Buffers are still queued.";
    case MIDIERR_NOTREADY:
      return "The device is not ready.";
    default:
      return nullptr;
  }
}

}  // namespace

MMRESULT MidiErrorText(MMRESULT code, char* text, uint32_t size) {
  if (text == nullptr || size == 0) return MMSYSERR_INVALPARAM;
  const char* known = KnownText(code);
  if (known == nullptr) {
    std::snprintf(text, size, "MIDI error %u.", unsigned(code));
    return MMSYSERR_ERROR;
  }
  std::snprintf(text, size, "%s", known);
  return MMSYSERR_NOERROR;
}

}  // namespace r9

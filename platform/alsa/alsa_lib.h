// The few alsa-lib calls the raw MIDI backend makes, as one table of function pointers.
//
// Production fills it with the library's own functions (RealAlsaLib); the tests fill it with a
// scripted stand-in, since a build machine has no sound card. The library's types stay opaque
// here, so nothing but alsa_lib.cpp includes the library's headers. Each entry has the shape
// of the call it stands for: negative errno values on failure, as alsa-lib returns them.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

namespace r9 {

struct AlsaCtl;
struct AlsaRawMidi;
struct AlsaRawMidiInfo;

// The library's stream directions and open mode, with the library's values.
constexpr int kAlsaStreamOutput = 0;
constexpr int kAlsaStreamInput = 1;
constexpr int kAlsaRawMidiNonBlock = 0x0002;

// The library's error handler: file, line, function, errno, format and its arguments.
using AlsaErrorHandler = void (*)(const char* file, int line, const char* function, int err, const char* fmt, ...);

struct AlsaLib {
  // Cards.
  int (*card_next)(int* card);
  int (*ctl_open)(AlsaCtl** ctl, const char* name, int mode);
  int (*ctl_close)(AlsaCtl* ctl);
  int (*ctl_rawmidi_next_device)(AlsaCtl* ctl, int* device);
  int (*ctl_rawmidi_info)(AlsaCtl* ctl, AlsaRawMidiInfo* info);

  // The info record of one raw MIDI device, subdevice and direction.
  int (*rawmidi_info_malloc)(AlsaRawMidiInfo** info);
  void (*rawmidi_info_free)(AlsaRawMidiInfo* info);
  void (*rawmidi_info_set_device)(AlsaRawMidiInfo* info, unsigned device);
  void (*rawmidi_info_set_subdevice)(AlsaRawMidiInfo* info, unsigned subdevice);
  void (*rawmidi_info_set_stream)(AlsaRawMidiInfo* info, int stream);
  unsigned (*rawmidi_info_get_subdevices_count)(const AlsaRawMidiInfo* info);
  const char* (*rawmidi_info_get_name)(const AlsaRawMidiInfo* info);
  const char* (*rawmidi_info_get_subdevice_name)(const AlsaRawMidiInfo* info);

  // An open raw MIDI stream.
  int (*rawmidi_open)(AlsaRawMidi** in, AlsaRawMidi** out, const char* name, int mode);
  int (*rawmidi_close)(AlsaRawMidi* rawmidi);
  int (*rawmidi_nonblock)(AlsaRawMidi* rawmidi, int nonblock);
  ssize_t (*rawmidi_read)(AlsaRawMidi* rawmidi, void* buffer, size_t size);
  ssize_t (*rawmidi_write)(AlsaRawMidi* rawmidi, const void* buffer, size_t size);
  int (*rawmidi_drain)(AlsaRawMidi* rawmidi);
  int (*rawmidi_drop)(AlsaRawMidi* rawmidi);
  int (*rawmidi_poll_descriptors_count)(AlsaRawMidi* rawmidi);
  int (*rawmidi_poll_descriptors)(AlsaRawMidi* rawmidi, pollfd* fds, unsigned space);
  int (*rawmidi_poll_descriptors_revents)(AlsaRawMidi* rawmidi, pollfd* fds, unsigned count, unsigned short* revents);

  // Diagnostics.
  int (*lib_error_set_handler)(AlsaErrorHandler handler);
  const char* (*strerror)(int err);
};

// The table of the real library.
const AlsaLib& RealAlsaLib();

}  // namespace r9

#include "platform/alsa/alsa_lib.h"

#include <alsa/asoundlib.h>

#include <type_traits>

namespace r9 {

static_assert(kAlsaStreamOutput == SND_RAWMIDI_STREAM_OUTPUT);
static_assert(kAlsaStreamInput == SND_RAWMIDI_STREAM_INPUT);
static_assert(kAlsaRawMidiNonBlock == SND_RAWMIDI_NONBLOCK);
static_assert(std::is_same_v<AlsaErrorHandler, snd_lib_error_handler_t>);

namespace {

snd_ctl_t* Ctl(AlsaCtl* ctl) { return reinterpret_cast<snd_ctl_t*>(ctl); }
snd_rawmidi_t* Raw(AlsaRawMidi* rawmidi) { return reinterpret_cast<snd_rawmidi_t*>(rawmidi); }
snd_rawmidi_info_t* Info(AlsaRawMidiInfo* info) { return reinterpret_cast<snd_rawmidi_info_t*>(info); }
const snd_rawmidi_info_t* Info(const AlsaRawMidiInfo* info) {
  return reinterpret_cast<const snd_rawmidi_info_t*>(info);
}

const AlsaLib kReal = {
    .card_next = [](int* card) { return snd_card_next(card); },
    .ctl_open = [](AlsaCtl** ctl, const char* name,
                   int mode) { return snd_ctl_open(reinterpret_cast<snd_ctl_t**>(ctl), name, mode); },
    .ctl_close = [](AlsaCtl* ctl) { return snd_ctl_close(Ctl(ctl)); },
    .ctl_rawmidi_next_device = [](AlsaCtl* ctl, int* device) { return snd_ctl_rawmidi_next_device(Ctl(ctl), device); },
    .ctl_rawmidi_info = [](AlsaCtl* ctl, AlsaRawMidiInfo* info) { return snd_ctl_rawmidi_info(Ctl(ctl), Info(info)); },
    .rawmidi_info_malloc =
        [](AlsaRawMidiInfo** info) { return snd_rawmidi_info_malloc(reinterpret_cast<snd_rawmidi_info_t**>(info)); },
    .rawmidi_info_free = [](AlsaRawMidiInfo* info) { snd_rawmidi_info_free(Info(info)); },
    .rawmidi_info_set_device = [](AlsaRawMidiInfo* info,
                                  unsigned device) { snd_rawmidi_info_set_device(Info(info), device); },
    .rawmidi_info_set_subdevice = [](AlsaRawMidiInfo* info,
                                     unsigned subdevice) { snd_rawmidi_info_set_subdevice(Info(info), subdevice); },
    .rawmidi_info_set_stream =
        [](AlsaRawMidiInfo* info, int stream) {
          snd_rawmidi_info_set_stream(Info(info), static_cast<snd_rawmidi_stream_t>(stream));
        },
    .rawmidi_info_get_subdevices_count =
        [](const AlsaRawMidiInfo* info) { return snd_rawmidi_info_get_subdevices_count(Info(info)); },
    .rawmidi_info_get_name = [](const AlsaRawMidiInfo* info) { return snd_rawmidi_info_get_name(Info(info)); },
    .rawmidi_info_get_subdevice_name =
        [](const AlsaRawMidiInfo* info) { return snd_rawmidi_info_get_subdevice_name(Info(info)); },
    .rawmidi_open =
        [](AlsaRawMidi** in, AlsaRawMidi** out, const char* name, int mode) {
          return snd_rawmidi_open(reinterpret_cast<snd_rawmidi_t**>(in), reinterpret_cast<snd_rawmidi_t**>(out), name,
                                  mode);
        },
    .rawmidi_close = [](AlsaRawMidi* rawmidi) { return snd_rawmidi_close(Raw(rawmidi)); },
    .rawmidi_nonblock = [](AlsaRawMidi* rawmidi, int nonblock) { return snd_rawmidi_nonblock(Raw(rawmidi), nonblock); },
    .rawmidi_read = [](AlsaRawMidi* rawmidi, void* buffer,
                       size_t size) { return snd_rawmidi_read(Raw(rawmidi), buffer, size); },
    .rawmidi_write = [](AlsaRawMidi* rawmidi, const void* buffer,
                        size_t size) { return snd_rawmidi_write(Raw(rawmidi), buffer, size); },
    .rawmidi_drain = [](AlsaRawMidi* rawmidi) { return snd_rawmidi_drain(Raw(rawmidi)); },
    .rawmidi_drop = [](AlsaRawMidi* rawmidi) { return snd_rawmidi_drop(Raw(rawmidi)); },
    .rawmidi_poll_descriptors_count =
        [](AlsaRawMidi* rawmidi) { return snd_rawmidi_poll_descriptors_count(Raw(rawmidi)); },
    .rawmidi_poll_descriptors = [](AlsaRawMidi* rawmidi, pollfd* fds,
                                   unsigned space) { return snd_rawmidi_poll_descriptors(Raw(rawmidi), fds, space); },
    .rawmidi_poll_descriptors_revents =
        [](AlsaRawMidi* rawmidi, pollfd* fds, unsigned count, unsigned short* revents) {
          return snd_rawmidi_poll_descriptors_revents(Raw(rawmidi), fds, count, revents);
        },
    .lib_error_set_handler = [](AlsaErrorHandler handler) { return snd_lib_error_set_handler(handler); },
    .strerror = [](int err) { return snd_strerror(err); },
};

}  // namespace

const AlsaLib& RealAlsaLib() { return kReal; }

}  // namespace r9

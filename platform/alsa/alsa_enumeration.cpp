#include "platform/alsa/alsa_enumeration.h"

#include <cstdio>

namespace r9 {

std::string AlsaPort::HardwareName() const {
  char text[48];
  std::snprintf(text, sizeof text, "hw:%d,%d,%d", card, device, subdevice);
  return text;
}

namespace {

std::string Text(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

void NoteProblem(const AlsaLib& lib, AlsaPortList& list, int err, const std::string& what) {
  if (!list.problem.empty()) return;  // the first one says enough
  list.error = err;
  list.problem = what + ": " + Text(lib.strerror(err));
}

// The subdevices of one device in one direction, appended to ports.
void AddStream(const AlsaLib& lib, AlsaCtl* ctl, AlsaRawMidiInfo* info, int card, int device, int stream,
               std::vector<AlsaPort>& ports) {
  lib.rawmidi_info_set_device(info, unsigned(device));
  lib.rawmidi_info_set_subdevice(info, 0);
  lib.rawmidi_info_set_stream(info, stream);
  // A device without this direction answers with an error: it simply has no such port.
  if (lib.ctl_rawmidi_info(ctl, info) < 0) return;
  const unsigned count = lib.rawmidi_info_get_subdevices_count(info);
  std::string deviceName = Text(lib.rawmidi_info_get_name(info));
  if (deviceName.empty()) deviceName = "hw:" + std::to_string(card) + "," + std::to_string(device);
  if (count == 1) {
    ports.push_back({card, device, 0, deviceName});
    return;
  }
  for (unsigned sub = 0; sub < count; ++sub) {
    lib.rawmidi_info_set_subdevice(info, sub);
    if (lib.ctl_rawmidi_info(ctl, info) < 0) continue;
    std::string name = Text(lib.rawmidi_info_get_subdevice_name(info));
    if (name.empty()) name = deviceName + " " + std::to_string(sub + 1);
    ports.push_back({card, device, int(sub), name});
  }
}

}  // namespace

AlsaPortList EnumerateAlsaPorts(const AlsaLib& lib) {
  AlsaPortList list;
  AlsaRawMidiInfo* info = nullptr;
  if (int err = lib.rawmidi_info_malloc(&info); err < 0 || info == nullptr) {
    NoteProblem(lib, list, err < 0 ? err : -12, "raw MIDI info");
    return list;
  }
  int card = -1;
  // snd_card_next leaves -1 behind the last card, and fails without any /dev/snd at all.
  while (lib.card_next(&card) >= 0 && card >= 0) {
    const std::string ctlName = "hw:" + std::to_string(card);
    AlsaCtl* ctl = nullptr;
    if (int err = lib.ctl_open(&ctl, ctlName.c_str(), 0); err < 0) {
      NoteProblem(lib, list, err, "cannot open " + ctlName);
      continue;
    }
    int device = -1;
    while (lib.ctl_rawmidi_next_device(ctl, &device) >= 0 && device >= 0) {
      AddStream(lib, ctl, info, card, device, kAlsaStreamInput, list.inputs);
      AddStream(lib, ctl, info, card, device, kAlsaStreamOutput, list.outputs);
    }
    lib.ctl_close(ctl);
  }
  lib.rawmidi_info_free(info);
  return list;
}

}  // namespace r9

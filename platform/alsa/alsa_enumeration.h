// The raw MIDI ports of every sound card, found the way `amidi -l` walks them: cards in
// ascending number, each card's devices in ascending number, each device's subdevices; inputs
// and outputs apart.
#pragma once

#include <string>
#include <vector>

#include "platform/alsa/alsa_lib.h"

namespace r9 {

struct AlsaPort {
  int card = 0;
  int device = 0;
  int subdevice = 0;
  // A device with one subdevice in a direction is named by the device's name (a USB device by
  // its product string); the subdevices of a device with several are named by their own names.
  std::string name;

  // The name alsa-lib opens the subdevice by.
  std::string HardwareName() const;
};

struct AlsaPortList {
  std::vector<AlsaPort> inputs;
  std::vector<AlsaPort> outputs;
  // Why a card was left out (a card whose control device may not be opened, for instance); empty
  // when every card could be read. No card at all is not a problem: the lists are just empty.
  std::string problem;
  int error = 0;  // the negative errno behind problem
};

AlsaPortList EnumerateAlsaPorts(const AlsaLib& lib);

}  // namespace r9

// The device side of the command line, shared by the front-ends: which MIDI backends the port
// lists show (--backend) and the built-in simulated device (--simulate). No toolkit here.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/midi_api.h"

namespace r9 {

class R9Device;

struct DeviceOptions {
  std::optional<std::string> simulate;  // the option string of --simulate[=OPTIONS]
  std::vector<std::string> backends;    // --backend NAME[,NAME...]; empty: every backend
};

// The help lines of the options below, for a front-end's usage text.
const std::string& DeviceOptionsHelp();

// Takes argv[*i] (and the value after it) when it is a device option, advancing *i past what it
// took. Returns 1 when it took it, 0 when argv[*i] is no device option, -1 on a bad value
// (*error says why).
int TakeDeviceOption(int argc, char** argv, int* i, DeviceOptions* options, std::string* error);

// The simulated device when --simulate was given, attached to the process's virtual bus as the
// port pair "KORVEN R9" (" (n)" for instance n above 1, so the preselection finds it; name=
// overrides it). Returns false with *error set on a bad option string or a taken name; true and
// no device without --simulate.
bool StartSimulatedDevice(const DeviceOptions& options, int instanceNumber, std::unique_ptr<R9Device>* device,
                          std::string* error);

// The end of a run with the simulated device: its protocol violations (a write into a region not
// erased since Enter-update, a malformed frame, ...) go to the trace as "# sim: " lines, and to
// stderr when there are any. Nothing without a device.
void ReportSimulatedViolations(const R9Device* device);

// Limits the process's MIDI driver (DefaultMidiApi) to the backends that --backend named; every
// backend without it. Call it before the ports are first listed. Returns false with *error set
// when the selection cannot be made.
bool ApplyMidiBackends(const DeviceOptions& options, std::string* error);

}  // namespace r9

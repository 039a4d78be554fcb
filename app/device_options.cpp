#include "app/device_options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/backend_log.h"
#include "platform/midi_backends.h"
#include "platform/virtual_bus.h"
#include "sim/r9_device.h"
#include "sim/sim_options.h"
#include "updater/r9_updater_dlg.h"

namespace r9 {
namespace {

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

std::string BackendHelp() {
  std::string help =
      "  --simulate[=OPTIONS] attach the built-in device simulator as the port pair \"KORVEN R9\"\n"
      "                       (OPTIONS: see r9-updater-cli(1), e.g. boot=same,drop=0.05,seed=7)\n"
      "  --backend NAMES      list only the ports of these MIDI backends (comma-separated,\n"
      "                       repeatable):";
  for (const std::string& name : AvailableMidiBackends()) help += " " + name;
  return help + "\n";
}

}  // namespace

const std::string& DeviceOptionsHelp() {
  static const std::string help = BackendHelp();
  return help;
}

int TakeDeviceOption(int argc, char** argv, int* i, DeviceOptions* options, std::string* error) {
  const std::string a = argv[*i];
  if (a == "--simulate") {
    options->simulate = "";
    return 1;
  }
  if (a.rfind("--simulate=", 0) == 0) {
    options->simulate = a.substr(std::strlen("--simulate="));
    return 1;
  }
  std::string value;
  if (a == "--backend") {
    if (*i + 1 >= argc) {
      *error = "--backend needs a NAME";
      return -1;
    }
    value = argv[++*i];
  } else if (a.rfind("--backend=", 0) == 0) {
    value = a.substr(std::strlen("--backend="));
  } else {
    return 0;
  }
  const std::vector<std::string> available = AvailableMidiBackends();
  for (const std::string& name : SplitList(value)) {
    if (std::find(available.begin(), available.end(), name) == available.end()) {
      *error = "--backend: unknown backend '" + name + "'";
      return -1;
    }
    options->backends.push_back(name);
  }
  return 1;
}

bool StartSimulatedDevice(const DeviceOptions& options, int instanceNumber, std::unique_ptr<R9Device>* device,
                          std::string* error) {
  if (!options.simulate) return true;
  SimOptions sim;
  sim.portName =
      instanceNumber == 1 ? DefaultPortNames[2] : DefaultPortNames[2] + " (" + std::to_string(instanceNumber) + ")";
  if (!ParseSimOptions(*options.simulate, &sim, error)) {
    *error = "--simulate: " + *error;
    return false;
  }
  auto made = std::make_unique<R9Device>(sim);
  if (!made->AttachToBus(VirtualMidiBus::Instance(), sim.portName)) {
    *error = "--simulate: the port name '" + sim.portName + "' is taken";
    return false;
  }
  *device = std::move(made);
  return true;
}

void ReportSimulatedViolations(const R9Device* device) {
  if (!device) return;
  const std::vector<std::string> violations = device->Violations();
  LogBackendMessage("sim", (std::to_string(violations.size()) + " protocol violations").c_str());
  for (const std::string& v : violations) LogBackendMessage("sim", ("violation: " + v).c_str());
  if (violations.empty()) return;
  std::fprintf(stderr, "The simulated device recorded %zu protocol violations:\n", violations.size());
  for (const std::string& v : violations) std::fprintf(stderr, "  %s\n", v.c_str());
}

bool ApplyMidiBackends(const DeviceOptions& options, std::string* error) {
  if (options.backends.empty()) return true;
  if (SelectMidiBackends(options.backends, error)) return true;
  *error = "--backend: " + *error;
  return false;
}

}  // namespace r9

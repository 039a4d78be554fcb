// The device side of the command line, as both front-ends take it.
#include "app/device_options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/midi_backends.h"
#include "platform/virtual_bus.h"
#include "sim/r9_device.h"

namespace r9 {
namespace {

struct Parsed {
  int result;  // of the last TakeDeviceOption
  int next;    // index after it
  DeviceOptions options;
  std::string error;
};

Parsed Take(std::vector<std::string> args) {
  std::vector<char*> argv;
  args.insert(args.begin(), "prog");
  for (std::string& a : args) argv.push_back(a.data());
  Parsed p{0, 1, {}, {}};
  int i = 1;
  for (; i < int(argv.size()); ++i) {
    p.result = TakeDeviceOption(int(argv.size()), argv.data(), &i, &p.options, &p.error);
    if (p.result != 1) break;
  }
  p.next = i;
  return p;
}

TEST(DeviceOptions, Table) {
  struct Case {
    std::vector<std::string> args;
    int result;
    bool simulate;
    std::string simOptions;
    std::vector<std::string> backends;
    std::string error;
  };
  const Case cases[] = {
      {{"--simulate"}, 1, true, "", {}, ""},
      {{"--simulate=boot=same,seed=7"}, 1, true, "boot=same,seed=7", {}, ""},
      {{"--backend", "sim"}, 1, false, "", {"sim"}, ""},
      {{"--backend=sim,sim", "--simulate"}, 1, true, "", {"sim", "sim"}, ""},
      {{"--backend"}, -1, false, "", {}, "--backend needs a NAME"},
      {{"--backend", "carrier-pigeon"}, -1, false, "", {}, "--backend: unknown backend 'carrier-pigeon'"},
      {{"--backend=sim,"}, -1, false, "", {"sim"}, "--backend: unknown backend ''"},
      {{"--in", "3"}, 0, false, "", {}, ""},
      {{"--simulates"}, 0, false, "", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const Parsed p = Take(c.args);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(p.options.simulate.has_value(), c.simulate);
    if (c.simulate) {
      EXPECT_EQ(*p.options.simulate, c.simOptions);
    }
    EXPECT_EQ(p.options.backends, c.backends);
    EXPECT_EQ(p.error, c.error);
  }
}

TEST(DeviceOptions, BackendTakesItsValue) {
  const Parsed p = Take({"--backend", "sim", "--in"});
  EXPECT_EQ(p.result, 0);
  EXPECT_EQ(p.next, 3);  // "--in" is left for the front-end
}

TEST(DeviceOptions, SimulatedDeviceCarriesTheInstanceSuffix) {
  for (int instance : {1, 2, 7}) {
    DeviceOptions options;
    options.simulate = "boot=same";
    std::unique_ptr<R9Device> device;
    std::string error;
    ASSERT_TRUE(StartSimulatedDevice(options, instance, &device, &error)) << error;
    ASSERT_TRUE(device);
    const std::string want = instance == 1 ? "KORVEN R9" : "KORVEN R9 (" + std::to_string(instance) + ")";
    const std::vector<std::string> names = VirtualMidiBus::Instance().PortNames();
    EXPECT_NE(std::find(names.begin(), names.end(), want), names.end()) << want;
    // A second device under the same name is refused.
    std::unique_ptr<R9Device> second;
    EXPECT_FALSE(StartSimulatedDevice(options, instance, &second, &error));
    EXPECT_EQ(error, "--simulate: the port name '" + want + "' is taken");
  }
}

TEST(DeviceOptions, NoSimulationNoDevice) {
  std::unique_ptr<R9Device> device;
  std::string error;
  EXPECT_TRUE(StartSimulatedDevice(DeviceOptions{}, 1, &device, &error));
  EXPECT_FALSE(device);
}

TEST(DeviceOptions, BadSimulationOptionIsNamed) {
  DeviceOptions options;
  options.simulate = "colour=blue";
  std::unique_ptr<R9Device> device;
  std::string error;
  EXPECT_FALSE(StartSimulatedDevice(options, 1, &device, &error));
  EXPECT_EQ(error.rfind("--simulate: ", 0), 0u) << error;
  EXPECT_NE(error.find("colour"), std::string::npos) << error;
}

TEST(DeviceOptions, BackendSelection) {
  std::string error;
  ASSERT_TRUE(ApplyMidiBackends(DeviceOptions{}, &error));  // every backend: nothing to choose

  DeviceOptions sim;
  sim.backends = {"sim"};
  ASSERT_TRUE(ApplyMidiBackends(sim, &error)) << error;
  DeviceOptions options;
  options.simulate = "";
  std::unique_ptr<R9Device> device;
  ASSERT_TRUE(StartSimulatedDevice(options, 9, &device, &error)) << error;
  // The process's driver now lists the simulated device's ports, and only the virtual bus's.
  MidiApi& api = DefaultMidiApi();
  bool found = false;
  for (uint32_t i = 0; i < api.midiOutGetNumDevs(); ++i) {
    MIDIOUTCAPSA caps{};
    if (api.midiOutGetDevCapsA(i, &caps, sizeof caps) == 0 && std::string(caps.szPname) == "KORVEN R9 (9)")
      found = true;
    EXPECT_EQ(MidiOutBackendName(i), "sim");
  }
  EXPECT_TRUE(found);
  // Once the ports have been listed the choice is made.
  EXPECT_FALSE(ApplyMidiBackends(sim, &error));
  EXPECT_EQ(error.rfind("--backend: ", 0), 0u) << error;
}

}  // namespace
}  // namespace r9

#include "platform/jack/jack_port_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace r9 {
namespace {

struct NamingCase {
  const char* what;
  std::vector<JackPortEntry> ports;
  std::vector<std::string> expected;
};

TEST(JackPortNamesTest, AClientWithOnePortIsListedByItsOwnName) {
  const NamingCase cases[] = {
      {"the device", {{"KORVEN R9:in", "KORVEN R9"}}, {"KORVEN R9"}},
      {"nothing", {}, {}},
      {"two ports of one client",
       {{"system:midi_capture_1", "system"}, {"system:midi_capture_2", "system"}},
       {"system:midi_capture_1", "system:midi_capture_2"}},
      {"clients side by side, order kept",
       {{"synth:midi out", "synth"}, {"KORVEN R9:out", "KORVEN R9"}, {"a2j:port 1", "a2j"}, {"a2j:port 2", "a2j"}},
       {"synth", "KORVEN R9", "a2j:port 1", "a2j:port 2"}},
      {"a port name with a colon of its own", {{"KORVEN R9:midi:1", "KORVEN R9"}}, {"KORVEN R9"}},
      {"a renamed second device",
       {{"KORVEN R9:out", "KORVEN R9"}, {"KORVEN R9-01:out", "KORVEN R9-01"}},
       {"KORVEN R9", "KORVEN R9-01"}},
  };
  for (const NamingCase& c : cases) EXPECT_EQ(JackListNames(c.ports), c.expected) << c.what;
}

}  // namespace
}  // namespace r9

// How the ports of the other JACK clients are named in the port lists.
#pragma once

#include <string>
#include <vector>

namespace r9 {

struct JackPortEntry {
  std::string fullName;    // "client:port", what connections are made with
  std::string clientName;  // "client"
};

// The list names of ports, all of one direction: a client with exactly one MIDI port in that
// direction is listed by its client name (a device "KORVEN R9" with ports "in" and "out" is
// "KORVEN R9" in both lists); a client with several is listed port by port, by full name.
std::vector<std::string> JackListNames(const std::vector<JackPortEntry>& ports);

}  // namespace r9

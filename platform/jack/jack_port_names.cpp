#include "platform/jack/jack_port_names.h"

#include <map>

namespace r9 {

std::vector<std::string> JackListNames(const std::vector<JackPortEntry>& ports) {
  std::map<std::string, int> perClient;
  for (const JackPortEntry& port : ports) ++perClient[port.clientName];
  std::vector<std::string> names;
  names.reserve(ports.size());
  for (const JackPortEntry& port : ports)
    names.push_back(perClient[port.clientName] == 1 ? port.clientName : port.fullName);
  return names;
}

}  // namespace r9

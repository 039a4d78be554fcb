// The record of platform calls that the recording fakes keep, and the results scripted for them.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace r9 {

struct PlatformCall {
  std::string name;
  // The call's arguments in order, as integers (handles and pointers by value). Out-parameters
  // (the address the handle is written to, capability records, text buffers) are left out.
  std::vector<uintptr_t> args;
  bool operator==(const PlatformCall&) const = default;
};

std::ostream& operator<<(std::ostream& out, const PlatformCall& call);

// Thread-safe: the fakes are called from the port's callers and from driver or timer threads.
class CallLog {
 public:
  void Record(const std::string& name, std::vector<uintptr_t> args);
  std::vector<PlatformCall> Calls() const;
  std::vector<std::string> Names() const;
  size_t Count(const std::string& name) const;
  void Clear();

  // The next calls of name return these results, one per call, in order.
  void Script(const std::string& name, std::vector<uint32_t> results);
  // Takes the next scripted result of name; nullopt when its script is used up (the fake then
  // returns its own default).
  std::optional<uint32_t> TakeResult(const std::string& name);

 private:
  mutable std::mutex mutex_;
  std::vector<PlatformCall> calls_;
  std::map<std::string, std::deque<uint32_t>> scripts_;
};

}  // namespace r9

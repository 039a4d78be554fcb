#include "tests/fakes/call_log.h"

#include <algorithm>

namespace r9 {

std::ostream& operator<<(std::ostream& out, const PlatformCall& call) {
  out << call.name << "(";
  for (size_t i = 0; i < call.args.size(); ++i) out << (i ? ", " : "") << "0x" << std::hex << call.args[i] << std::dec;
  return out << ")";
}

void CallLog::Record(const std::string& name, std::vector<uintptr_t> args) {
  std::lock_guard lock(mutex_);
  calls_.push_back({name, std::move(args)});
}

std::vector<PlatformCall> CallLog::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<std::string> CallLog::Names() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& call : calls_) names.push_back(call.name);
  return names;
}

size_t CallLog::Count(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return size_t(std::count_if(calls_.begin(), calls_.end(), [&](const auto& call) { return call.name == name; }));
}

void CallLog::Clear() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

void CallLog::Script(const std::string& name, std::vector<uint32_t> results) {
  std::lock_guard lock(mutex_);
  auto& script = scripts_[name];
  script.insert(script.end(), results.begin(), results.end());
}

std::optional<uint32_t> CallLog::TakeResult(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto script = scripts_.find(name);
  if (script != scripts_.end() && !script->second.empty()) {
    const uint32_t result = script->second.front();
    script->second.pop_front();
    return result;
  }
  return std::nullopt;
}

}  // namespace r9

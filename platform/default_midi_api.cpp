// The process's MIDI driver: the composite of the backends built in, real ports first.
#include <mutex>

#include "platform/composite_midi_api.h"
#include "platform/midi_backends.h"
#include "platform/virtual_bus.h"
#ifdef R9_HAVE_ALSA
#include "platform/alsa/alsa_midi_api.h"
#endif
#ifdef R9_HAVE_JACK
#include "platform/jack/jack_midi_api.h"
#endif

namespace r9 {
namespace {

struct Backend {
  const char* name;
  MidiApi* (*api)();
};

const Backend kBackends[] = {
#ifdef R9_HAVE_ALSA
    {"alsa", [] { return &AlsaMidiApi(); }},
#endif
#ifdef R9_HAVE_JACK
    {"jack", [] { return &JackMidiApi(); }},
#endif
    {"sim", [] { return static_cast<MidiApi*>(&VirtualMidiBus::Instance()); }},
};
constexpr size_t kBackendCount = sizeof kBackends / sizeof kBackends[0];

struct Selection {
  std::mutex mutex;
  bool chosen[kBackendCount];
  bool frozen = false;  // DefaultMidiApi() has been built
  Selection() {
    for (bool& c : chosen) c = true;
  }
};

Selection& TheSelection() {
  static Selection selection;
  return selection;
}

struct Composite {
  std::vector<const Backend*> backends;
  CompositeMidiApi api;
  explicit Composite(std::vector<const Backend*> chosen) : backends(chosen), api(Apis(chosen)) {}
  static std::vector<MidiApi*> Apis(const std::vector<const Backend*>& chosen) {
    std::vector<MidiApi*> apis;
    for (const Backend* backend : chosen) apis.push_back(backend->api());
    return apis;
  }
};

Composite& TheComposite() {
  static Composite composite([] {
    Selection& selection = TheSelection();
    std::lock_guard lock(selection.mutex);
    selection.frozen = true;
    std::vector<const Backend*> chosen;
    for (size_t i = 0; i < kBackendCount; ++i)
      if (selection.chosen[i]) chosen.push_back(&kBackends[i]);
    return chosen;
  }());
  return composite;
}

}  // namespace

MidiApi& DefaultMidiApi() { return TheComposite().api; }

std::vector<std::string> AvailableMidiBackends() {
  std::vector<std::string> names;
  for (const Backend& backend : kBackends) names.emplace_back(backend.name);
  return names;
}

bool SelectMidiBackends(const std::vector<std::string>& names, std::string* error) {
  bool chosen[kBackendCount] = {};
  for (const std::string& name : names) {
    bool known = false;
    for (size_t i = 0; i < kBackendCount; ++i) {
      if (name == kBackends[i].name) chosen[i] = known = true;
    }
    if (!known) {
      if (error) {
        *error = "unknown backend '" + name + "' (built in:";
        for (const Backend& backend : kBackends) *error += std::string(" ") + backend.name;
        *error += ")";
      }
      return false;
    }
  }
  if (names.empty()) {
    if (error) *error = "no backend named";
    return false;
  }
  Selection& selection = TheSelection();
  std::lock_guard lock(selection.mutex);
  if (selection.frozen) {
    if (error) *error = "the backends are chosen before the ports are first listed";
    return false;
  }
  for (size_t i = 0; i < kBackendCount; ++i) selection.chosen[i] = chosen[i];
  return true;
}

std::string MidiInBackendName(uint32_t deviceId) {
  Composite& composite = TheComposite();
  const size_t index = composite.api.InBackendIndex(deviceId);
  return index < composite.backends.size() ? composite.backends[index]->name : "";
}

std::string MidiOutBackendName(uint32_t deviceId) {
  Composite& composite = TheComposite();
  const size_t index = composite.api.OutBackendIndex(deviceId);
  return index < composite.backends.size() ? composite.backends[index]->name : "";
}

void SetMidiClientInstance(int instanceNumber) {
#ifdef R9_HAVE_JACK
  SetJackClientName(instanceNumber > 1 ? "R9 Updater (" + std::to_string(instanceNumber) + ")" : "R9 Updater");
#else
  (void)instanceNumber;
#endif
}

}  // namespace r9

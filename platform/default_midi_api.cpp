// The process's MIDI driver: the transports built in under one driver emulation, real ports
// first; on Windows the multimedia services' own driver before it.
#include <memory>
#include <mutex>

#include "platform/composite_midi_api.h"
#include "platform/emulated_midi_api.h"
#include "platform/midi_backends.h"
#include "platform/virtual_bus.h"
#ifdef R9_HAVE_ALSA
#include "platform/alsa/alsa_transport.h"
#endif
#ifdef R9_HAVE_JACK
#include "platform/jack/jack_transport.h"
#endif
#ifdef _WIN32
#include "platform/winmm/winmm_midi_api.h"
#endif

namespace r9 {
namespace {

// A backend is a transport, or (winmm) a driver of its own that is passed through.
struct Backend {
  const char* name;
  MidiTransport* (*transport)();
  MidiApi* (*native)();
};

const Backend kBackends[] = {
#ifdef R9_HAVE_ALSA
    {"alsa", [] { return &AlsaMidiTransport(); }, nullptr},
#endif
#ifdef R9_HAVE_JACK
    {"jack", [] { return &JackMidiTransport(); }, nullptr},
#endif
#ifdef _WIN32
    {"winmm", nullptr, [] { return static_cast<MidiApi*>(&WinmmMidiApi::Instance()); }},
#endif
    {"sim", [] { return &VirtualMidiBus::Instance().Transport(); }, nullptr},
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

struct Driver {
  const Backend* native = nullptr;
  std::unique_ptr<EmulatedMidiApi> emulated;
  std::unique_ptr<CompositeMidiApi> composite;  // with a native driver only
  MidiApi& Api() { return composite ? static_cast<MidiApi&>(*composite) : *emulated; }

  std::string BackendName(bool outputs, uint32_t deviceId) const {
    uintptr_t local = deviceId;
    if (composite) {
      const MidiApi* backend = composite->FindDevice(outputs, local);
      if (backend == nullptr) return "";
      if (backend != emulated.get()) return native->name;
    }
    const MidiTransport* transport = emulated->Transport(outputs, uint32_t(local));
    return transport ? transport->Name() : "";
  }
};

Driver& TheDriver() {
  static Driver driver = [] {
    Selection& selection = TheSelection();
    std::lock_guard lock(selection.mutex);
    selection.frozen = true;
    Driver d;
    std::vector<MidiTransport*> transports;
    for (size_t i = 0; i < kBackendCount; ++i) {
      if (!selection.chosen[i]) continue;
      if (kBackends[i].native) d.native = &kBackends[i];
      if (kBackends[i].transport) transports.push_back(kBackends[i].transport());
    }
    d.emulated = std::make_unique<EmulatedMidiApi>(transports);
    if (d.native)
      d.composite = std::make_unique<CompositeMidiApi>(std::vector<MidiApi*>{d.native->native(), d.emulated.get()});
    return d;
  }();
  return driver;
}

}  // namespace

MidiApi& DefaultMidiApi() { return TheDriver().Api(); }

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

std::string MidiInBackendName(uint32_t deviceId) { return TheDriver().BackendName(false, deviceId); }

std::string MidiOutBackendName(uint32_t deviceId) { return TheDriver().BackendName(true, deviceId); }

void SetMidiClientInstance(int instanceNumber) {
#ifdef R9_HAVE_JACK
  SetJackClientName(instanceNumber > 1 ? "R9 Updater (" + std::to_string(instanceNumber) + ")" : "R9 Updater");
#else
  (void)instanceNumber;
#endif
}

}  // namespace r9

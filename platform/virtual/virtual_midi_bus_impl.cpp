#include "platform/virtual/virtual_midi_bus_impl.h"

#include <algorithm>
#include <cstring>

#include "platform/midi_error_text.h"
#include "platform/port_name.h"
#include "platform/virtual/virtual_endpoint.h"

namespace r9 {

VirtualMidiBus& VirtualMidiBus::Instance() {
  static VirtualMidiBusImpl bus;
  return bus;
}

std::unique_ptr<VirtualMidiBus> VirtualMidiBus::Create() { return std::make_unique<VirtualMidiBusImpl>(); }

VirtualMidiBusImpl::~VirtualMidiBusImpl() {
  std::map<uintptr_t, InHandle> ins;
  std::map<uintptr_t, OutHandle> outs;
  std::vector<std::shared_ptr<VirtualPort>> ports;
  {
    std::lock_guard lock(mutex_);
    ins.swap(ins_);
    outs.swap(outs_);
    ports.swap(ports_);
  }
  for (auto& [value, in] : ins) in.port->DisconnectInput(in.driver.get());
  for (auto& [value, out] : outs) out.port->DisconnectOutput(out.driver.get());
  ins.clear();  // the emulations end their threads here
  outs.clear();
  for (auto& port : ports) port->Detach();
}

std::shared_ptr<VirtualEndpoint> VirtualMidiBusImpl::Attach(const std::string& name) {
  if (name.empty()) return nullptr;
  std::lock_guard lock(mutex_);
  for (const auto& port : LivePorts()) {
    if (port->Name() == name) return nullptr;
  }
  auto port = VirtualPort::Create(name);
  ports_.push_back(port);
  return std::make_shared<VirtualEndpointImpl>(port);
}

std::vector<std::string> VirtualMidiBusImpl::PortNames() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& port : LivePorts()) names.push_back(port->Name());
  return names;
}

const std::vector<std::shared_ptr<VirtualPort>>& VirtualMidiBusImpl::LivePorts() const {
  std::erase_if(ports_, [](const auto& port) { return port->Detached(); });
  return ports_;
}

uint32_t VirtualMidiBusImpl::List() const {
  listed_ = LivePorts();
  listedOnce_ = true;
  return uint32_t(listed_.size());
}

std::shared_ptr<VirtualPort> VirtualMidiBusImpl::ListedPort(uintptr_t deviceId) const {
  const auto& ports = listedOnce_ ? listed_ : LivePorts();
  if (deviceId >= ports.size() || ports[deviceId]->Detached()) return nullptr;
  return ports[deviceId];
}

std::shared_ptr<MidiInputEmulation> VirtualMidiBusImpl::FindIn(HMIDIIN handle) const {
  std::lock_guard lock(mutex_);
  auto it = ins_.find(reinterpret_cast<uintptr_t>(handle));
  return it == ins_.end() ? nullptr : it->second.driver;
}

std::shared_ptr<MidiOutputEmulation> VirtualMidiBusImpl::FindOut(HMIDIOUT handle) const {
  std::lock_guard lock(mutex_);
  auto it = outs_.find(reinterpret_cast<uintptr_t>(handle));
  return it == outs_.end() ? nullptr : it->second.driver;
}

namespace {

template <typename Caps>
MMRESULT FillCaps(const std::string& name, Caps* caps, uint32_t size) {
  if (caps == nullptr || size < sizeof(Caps)) return MMSYSERR_INVALPARAM;
  *caps = Caps{};
  CopyPortName(name, caps->szPname, kMaxPnameLen);
  return MMSYSERR_NOERROR;
}

}  // namespace

// --- Input ---

uint32_t VirtualMidiBusImpl::midiInGetNumDevs() {
  std::lock_guard lock(mutex_);
  return List();
}

MMRESULT VirtualMidiBusImpl::midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size) {
  std::lock_guard lock(mutex_);
  const auto port = ListedPort(deviceId);
  if (!port) return MMSYSERR_BADDEVICEID;
  return FillCaps(port->Name(), caps, size);
}

MMRESULT VirtualMidiBusImpl::midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance,
                                        uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != CALLBACK_NULL && flags != CALLBACK_FUNCTION) return MMSYSERR_INVALPARAM;
  if (flags == CALLBACK_NULL) callback = nullptr;
  std::lock_guard lock(mutex_);
  // The port the lists showed at this index, or none when it has gone since: never another.
  const auto port = ListedPort(deviceId);
  if (!port) return MMSYSERR_BADDEVICEID;
  for (const auto& [value, in] : ins_) {
    if (in.port == port) return MMSYSERR_ALLOCATED;
  }
  const uintptr_t value = nextHandle_++;
  auto driver = std::make_shared<MidiInputEmulation>(reinterpret_cast<HMIDIIN>(value), callback, instance);
  port->ConnectInput(driver);
  ins_[value] = InHandle{port, driver};
  *handle = reinterpret_cast<HMIDIIN>(value);
  return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidiBusImpl::midiInClose(HMIDIIN handle) {
  InHandle in;
  {
    std::lock_guard lock(mutex_);
    auto it = ins_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == ins_.end()) return MMSYSERR_INVALHANDLE;
    in = it->second;
  }
  const MMRESULT result = in.driver->Close();
  if (result != MMSYSERR_NOERROR) return result;
  in.port->DisconnectInput(in.driver.get());
  std::lock_guard lock(mutex_);
  ins_.erase(reinterpret_cast<uintptr_t>(handle));
  return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidiBusImpl::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  auto driver = FindIn(handle);
  return driver ? driver->PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  auto driver = FindIn(handle);
  return driver ? driver->UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  auto driver = FindIn(handle);
  return driver ? driver->AddBuffer(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiInStart(HMIDIIN handle) {
  auto driver = FindIn(handle);
  return driver ? driver->Start() : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiInStop(HMIDIIN handle) {
  auto driver = FindIn(handle);
  return driver ? driver->Stop() : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiInReset(HMIDIIN handle) {
  auto driver = FindIn(handle);
  return driver ? driver->Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiInGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return MidiErrorText(code, text, size);
}

// --- Output ---

uint32_t VirtualMidiBusImpl::midiOutGetNumDevs() {
  std::lock_guard lock(mutex_);
  return List();
}

MMRESULT VirtualMidiBusImpl::midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size) {
  std::lock_guard lock(mutex_);
  const auto port = ListedPort(deviceId);
  if (!port) return MMSYSERR_BADDEVICEID;
  return FillCaps(port->Name(), caps, size);
}

MMRESULT VirtualMidiBusImpl::midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback,
                                         uintptr_t /*instance*/, uint32_t flags) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  // The only report back on output ports: the done event.
  if (flags != CALLBACK_NULL && flags != CALLBACK_EVENT) return MMSYSERR_INVALPARAM;
  if (flags == CALLBACK_EVENT && callback == 0) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(mutex_);
  // The port the lists showed at this index, or none when it has gone since: never another.
  const auto port = ListedPort(deviceId);
  if (!port) return MMSYSERR_BADDEVICEID;
  for (const auto& [value, out] : outs_) {
    if (out.port == port) return MMSYSERR_ALLOCATED;
  }
  const uintptr_t value = nextHandle_++;
  std::weak_ptr<VirtualPort> weakPort = port;
  auto driver = std::make_shared<MidiOutputEmulation>([weakPort](std::vector<uint8_t> message) {
    auto target = weakPort.lock();
    return target && target->FromHost(std::move(message));  // false: the device went away
  });
  if (flags == CALLBACK_EVENT) driver->SetDoneEvent(reinterpret_cast<ReplyEvent*>(callback));
  port->ConnectOutput(driver);
  outs_[value] = OutHandle{port, driver};
  *handle = reinterpret_cast<HMIDIOUT>(value);
  return MMSYSERR_NOERROR;
}

bool VirtualMidiBusImpl::midiOutSignalsDone(uint32_t deviceId) {
  std::lock_guard lock(mutex_);
  return ListedPort(deviceId) != nullptr;
}

MMRESULT VirtualMidiBusImpl::midiOutClose(HMIDIOUT handle) {
  OutHandle out;
  {
    std::lock_guard lock(mutex_);
    auto it = outs_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == outs_.end()) return MMSYSERR_INVALHANDLE;
    out = it->second;
  }
  const MMRESULT result = out.driver->Close();
  if (result != MMSYSERR_NOERROR) return result;
  out.port->DisconnectOutput(out.driver.get());
  std::lock_guard lock(mutex_);
  outs_.erase(reinterpret_cast<uintptr_t>(handle));
  return MMSYSERR_NOERROR;
}

MMRESULT VirtualMidiBusImpl::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  auto driver = FindOut(handle);
  return driver ? driver->PrepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  auto driver = FindOut(handle);
  return driver ? driver->UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t size) {
  if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
  auto driver = FindOut(handle);
  return driver ? driver->LongMsg(header) : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiOutShortMsg(HMIDIOUT handle, uint32_t message) {
  auto driver = FindOut(handle);
  return driver ? driver->ShortMsg(message) : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiOutReset(HMIDIOUT handle) {
  auto driver = FindOut(handle);
  return driver ? driver->Reset() : MMSYSERR_INVALHANDLE;
}

MMRESULT VirtualMidiBusImpl::midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) {
  return MidiErrorText(code, text, size);
}

}  // namespace r9

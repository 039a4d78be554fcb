#include "platform/virtual/virtual_midi_bus_impl.h"

#include <algorithm>
#include <condition_variable>

namespace r9 {

namespace {

class VirtualInput final : public TransportInput {
 public:
  explicit VirtualInput(std::shared_ptr<VirtualPort> port) : port_(std::move(port)) {}
  ~VirtualInput() override { port_->DisconnectHostInput(); }

 private:
  const std::shared_ptr<VirtualPort> port_;
};

// A message takes its transmission time on the link, then the far end gets it after the
// link's latency.
class VirtualOutput final : public TransportOutput {
 public:
  explicit VirtualOutput(std::shared_ptr<VirtualPort> port) : port_(std::move(port)) {}
  ~VirtualOutput() override {
    Close();
    port_->DisconnectHostOutput();
  }

  TransportError Send(const uint8_t* bytes, size_t length, std::chrono::milliseconds bound) override {
    std::unique_lock lock(mutex_);
    const uint64_t interrupts = interrupts_;
    const auto transmission = TransmissionTime(port_->Timing(), length);
    // A timed wait, even for no time at all, costs the timer's slack: an ideal link skips it.
    if (transmission > std::chrono::steady_clock::duration::zero()) {
      const auto now = std::chrono::steady_clock::now();
      const auto until = now + std::min<std::chrono::steady_clock::duration>(transmission, bound);
      wake_.wait_until(lock, until, [&] { return closed_ || interrupts_ != interrupts; });
      if (closed_ || interrupts_ != interrupts) return {MMSYSERR_ERROR, "send abandoned"};
      if (transmission > bound) return {MMSYSERR_ERROR, "send timed out"};
    }
    if (closed_) return {MMSYSERR_ERROR, "send abandoned"};
    lock.unlock();
    if (!port_->FromHost(std::vector<uint8_t>(bytes, bytes + length)))
      return {MMSYSERR_NODRIVER, port_->Name() + ": the device has gone"};
    return {};
  }
  void Interrupt() override {
    std::lock_guard lock(mutex_);
    ++interrupts_;
    wake_.notify_all();
  }
  void Close() override {
    std::lock_guard lock(mutex_);
    closed_ = true;
    wake_.notify_all();
  }

 private:
  const std::shared_ptr<VirtualPort> port_;
  std::mutex mutex_;
  std::condition_variable wake_;
  uint64_t interrupts_ = 0;
  bool closed_ = false;
};

}  // namespace

VirtualMidiBus& VirtualMidiBus::Instance() {
  static VirtualMidiBusImpl bus;
  return bus;
}

std::unique_ptr<VirtualMidiBus> VirtualMidiBus::Create() { return std::make_unique<VirtualMidiBusImpl>(); }

VirtualMidiBusImpl::~VirtualMidiBusImpl() {
  std::vector<std::shared_ptr<VirtualPort>> ports;
  {
    std::lock_guard lock(mutex_);
    ports.swap(ports_);
  }
  for (auto& port : ports) port->Detach();
}

std::shared_ptr<VirtualEndpoint> VirtualMidiBusImpl::Attach(const std::string& name) {
  if (name.empty()) return nullptr;
  std::lock_guard lock(mutex_);
  for (const auto& port : LivePorts()) {
    if (port->Name() == name) return nullptr;
  }
  auto port = VirtualPort::Create(name, ++serial_);
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

std::vector<TransportPort> VirtualMidiBusImpl::List(bool /*outputs*/, TransportError* /*problem*/) {
  std::lock_guard lock(mutex_);
  std::vector<TransportPort> list;
  for (const auto& port : LivePorts()) list.push_back({port->Id(), port->Name()});
  return list;
}

std::shared_ptr<VirtualPort> VirtualMidiBusImpl::Find(const TransportPort& wanted, TransportError* error) const {
  std::lock_guard lock(mutex_);
  for (const auto& port : LivePorts()) {
    if (port->Id() == wanted.id) return port;
  }
  *error = {MMSYSERR_BADDEVICEID, "cannot open " + wanted.name + ": the port has gone"};
  return nullptr;
}

std::unique_ptr<TransportInput> VirtualMidiBusImpl::OpenInput(const TransportPort& wanted, TransportSink sink,
                                                              TransportError* error) {
  auto port = Find(wanted, error);
  if (!port) return nullptr;
  if (!port->ConnectHostInput(std::move(sink))) {
    *error = {MMSYSERR_ALLOCATED, "cannot open " + wanted.name + ": the port is in use"};
    return nullptr;
  }
  return std::make_unique<VirtualInput>(port);
}

std::unique_ptr<TransportOutput> VirtualMidiBusImpl::OpenOutput(const TransportPort& wanted, TransportError* error) {
  auto port = Find(wanted, error);
  if (!port) return nullptr;
  if (!port->ConnectHostOutput()) {
    *error = {MMSYSERR_ALLOCATED, "cannot open " + wanted.name + ": the port is in use"};
    return nullptr;
  }
  return std::make_unique<VirtualOutput>(port);
}

}  // namespace r9

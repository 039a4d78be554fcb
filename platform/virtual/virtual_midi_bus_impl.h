// The virtual bus: its ports in attach order, as a transport and as a driver of its own.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/virtual/virtual_port.h"
#include "platform/virtual_bus.h"

namespace r9 {

// The transport comes first, so that it is there before the driver over it.
class VirtualMidiBusImpl final : private MidiTransport, public VirtualMidiBus {
 public:
  VirtualMidiBusImpl() : VirtualMidiBus(this) {}
  // Detaches every port; the driver closes the host's ports after that.
  ~VirtualMidiBusImpl() override;

  std::shared_ptr<VirtualEndpoint> Attach(const std::string& name) override;
  std::vector<std::string> PortNames() const override;
  MidiTransport& Transport() override { return *this; }

 private:
  const char* Name() const override { return "sim"; }
  std::vector<TransportPort> List(bool outputs, TransportError* problem) override;
  std::unique_ptr<TransportInput> OpenInput(const TransportPort& port, TransportSink sink,
                                            TransportError* error) override;
  std::unique_ptr<TransportOutput> OpenOutput(const TransportPort& port, TransportError* error) override;

  // The attached ports, in attach order; drops the detached ones. Caller holds mutex_.
  const std::vector<std::shared_ptr<VirtualPort>>& LivePorts() const;
  // The live port of this identity; null when it has gone, with *error saying so.
  std::shared_ptr<VirtualPort> Find(const TransportPort& port, TransportError* error) const;

  mutable std::mutex mutex_;
  mutable std::vector<std::shared_ptr<VirtualPort>> ports_;
  uint64_t serial_ = 0;
};

}  // namespace r9

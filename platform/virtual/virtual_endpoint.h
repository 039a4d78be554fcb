// The far end's handle on one port pair of the virtual bus.
#pragma once

#include <memory>
#include <string>

#include "platform/virtual/virtual_port.h"
#include "platform/virtual_bus.h"

namespace r9 {

class VirtualEndpointImpl final : public VirtualEndpoint {
 public:
  explicit VirtualEndpointImpl(std::shared_ptr<VirtualPort> port) : port_(std::move(port)) {}
  // The ports leave the bus when their far end lets go of them.
  ~VirtualEndpointImpl() override { port_->Detach(); }

  const std::string& Name() const override { return port_->Name(); }
  void SetReceiver(std::function<void(const uint8_t* bytes, size_t length)> receiver) override {
    port_->SetReceiver(std::move(receiver));
  }
  bool SendToHost(const uint8_t* bytes, size_t length) override { return port_->SendToHost(bytes, length); }
  void SetTiming(const LinkTiming& timing) override { port_->SetTiming(timing); }
  void Detach() override { port_->Detach(); }

 private:
  const std::shared_ptr<VirtualPort> port_;
};

}  // namespace r9

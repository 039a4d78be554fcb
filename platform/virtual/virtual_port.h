// One named port pair of the virtual bus: what the host writes on the OUT port of this name
// reaches the far end's receiver, and what the far end sends reaches the host's IN port of this
// name. Both directions take the time the link's timing gives them, and both are delivered on
// the port's own thread, one piece at a time and in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/link_timing.h"
#include "platform/midi_transport.h"
#include "platform/virtual_bus.h"

namespace r9 {

class VirtualPort {
 public:
  using Receiver = std::function<void(const uint8_t* bytes, size_t length)>;

  // The port and its delivery thread, which keeps the port alive until Detach.
  static std::shared_ptr<VirtualPort> Create(std::string name, uint64_t serial);
  ~VirtualPort();
  VirtualPort(const VirtualPort&) = delete;
  VirtualPort& operator=(const VirtualPort&) = delete;

  const std::string& Name() const { return name_; }
  // Unique on the bus, never reused: a port attached again under the same name is another port.
  const std::string& Id() const { return id_; }
  bool Detached() const;

  // --- Far end ---
  void SetReceiver(Receiver receiver);
  bool SendToHost(const uint8_t* bytes, size_t length);
  void SetTiming(const LinkTiming& timing);
  // Stops delivering; the host's open ports of this name stay open but lead nowhere.
  void Detach();

  // --- Host side, for the bus as a transport ---
  // One host input and one host output at a time; false when taken or detached.
  bool ConnectHostInput(TransportSink sink);
  // No call of the sink starts after this; one in progress has ended when it returns.
  void DisconnectHostInput();
  bool ConnectHostOutput();
  void DisconnectHostOutput();
  LinkTiming Timing() const;
  // A whole message the host sent is out of the host's port; false when the far end has gone.
  bool FromHost(std::vector<uint8_t> message);

 private:
  VirtualPort(std::string name, uint64_t serial);
  void Run(std::shared_ptr<VirtualPort> self);

  struct Delivery {
    std::vector<uint8_t> bytes;
    std::chrono::steady_clock::time_point at;
  };

  const std::string name_;
  const std::string id_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Delivery> toFarEnd_;
  std::deque<Delivery> toHost_;
  size_t hostPending_ = 0;  // queued for the host or being handed over
  std::chrono::steady_clock::time_point linkFreeAt_;
  Receiver receiver_;
  LinkTiming timing_;
  bool hostOutput_ = false;
  bool detached_ = false;
  std::thread thread_;
  // Held while the host's sink runs, and to change it; taken before mutex_, never after.
  std::mutex sinkMutex_;
  TransportSink hostSink_;
};

// The far end's handle on one port pair of the bus.
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

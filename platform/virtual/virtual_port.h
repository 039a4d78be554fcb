// One named port pair of the virtual bus, seen from its far end: the host's OUT port of this
// name leads to the receiver, and SendToHost leads to the host's IN port of this name.
//
// Messages from the host are handed to the receiver on the port's delivery thread, one at a
// time and in order, each after the link's latency.
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

#include "platform/driver_emulation.h"
#include "platform/link_timing.h"
#include "platform/output_emulation.h"

namespace r9 {

class VirtualPort : public std::enable_shared_from_this<VirtualPort> {
 public:
  using Receiver = std::function<void(const uint8_t* bytes, size_t length)>;

  // The port and its delivery thread, which keeps the port alive until Detach.
  static std::shared_ptr<VirtualPort> Create(std::string name);
  ~VirtualPort();
  VirtualPort(const VirtualPort&) = delete;
  VirtualPort& operator=(const VirtualPort&) = delete;

  const std::string& Name() const { return name_; }
  bool Detached() const;

  // --- Far end ---
  void SetReceiver(Receiver receiver);
  bool SendToHost(const uint8_t* bytes, size_t length);
  void SetTiming(const LinkTiming& timing);
  // Stops delivering; the host's open ports of this name stay open but lead nowhere.
  void Detach();

  // --- Host side, for the bus ---
  void ConnectInput(std::shared_ptr<MidiInputEmulation> input);
  void DisconnectInput(const MidiInputEmulation* input);
  void ConnectOutput(std::shared_ptr<MidiOutputEmulation> output);
  void DisconnectOutput(const MidiOutputEmulation* output);
  // A whole message the host sent is out of the host's port; false when the far end has gone.
  bool FromHost(std::vector<uint8_t> message);

 private:
  explicit VirtualPort(std::string name);
  void Run(std::shared_ptr<VirtualPort> self);

  struct Delivery {
    std::vector<uint8_t> bytes;
    std::chrono::steady_clock::time_point deliverAt;
  };

  const std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Delivery> deliveries_;
  Receiver receiver_;
  LinkTiming timing_;
  std::shared_ptr<MidiInputEmulation> input_;
  std::shared_ptr<MidiOutputEmulation> output_;
  bool detached_ = false;
  std::thread thread_;
};

}  // namespace r9

#include "platform/virtual/virtual_port.h"

namespace r9 {

std::shared_ptr<VirtualPort> VirtualPort::Create(std::string name) {
  std::shared_ptr<VirtualPort> port(new VirtualPort(std::move(name)));
  std::lock_guard lock(port->mutex_);
  port->thread_ = std::thread(&VirtualPort::Run, port.get(), port);
  return port;
}

VirtualPort::VirtualPort(std::string name) : name_(std::move(name)) {}

VirtualPort::~VirtualPort() {
  // Reached only once the delivery thread has let go of the port, i.e. after Detach.
  if (thread_.joinable()) thread_.detach();
}

bool VirtualPort::Detached() const {
  std::lock_guard lock(mutex_);
  return detached_;
}

void VirtualPort::SetReceiver(Receiver receiver) {
  std::lock_guard lock(mutex_);
  receiver_ = std::move(receiver);
}

bool VirtualPort::SendToHost(const uint8_t* bytes, size_t length) {
  std::shared_ptr<MidiInputEmulation> input;
  {
    std::lock_guard lock(mutex_);
    if (detached_) return false;
    input = input_;
  }
  return input != nullptr && input->Feed(bytes, length);
}

void VirtualPort::SetTiming(const LinkTiming& timing) {
  std::lock_guard lock(mutex_);
  timing_ = timing;
  if (input_) input_->SetTiming(timing);
  if (output_) output_->SetTiming(timing);
}

void VirtualPort::Detach() {
  std::unique_lock lock(mutex_);
  if (detached_) return;
  detached_ = true;
  deliveries_.clear();
  receiver_ = nullptr;
  input_.reset();
  output_.reset();
  wake_.notify_all();
  std::thread thread = std::move(thread_);
  lock.unlock();
  // A receiver may detach its own port; its thread then ends on its own.
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else if (thread.joinable()) {
    thread.join();
  }
}

void VirtualPort::ConnectInput(std::shared_ptr<MidiInputEmulation> input) {
  std::lock_guard lock(mutex_);
  input->SetTiming(timing_);
  if (!detached_) input_ = std::move(input);
}

void VirtualPort::DisconnectInput(const MidiInputEmulation* input) {
  std::lock_guard lock(mutex_);
  if (input_.get() == input) input_.reset();
}

void VirtualPort::ConnectOutput(std::shared_ptr<MidiOutputEmulation> output) {
  std::lock_guard lock(mutex_);
  output->SetTiming(timing_);
  if (!detached_) output_ = std::move(output);
}

void VirtualPort::DisconnectOutput(const MidiOutputEmulation* output) {
  std::lock_guard lock(mutex_);
  if (output_.get() == output) output_.reset();
}

bool VirtualPort::FromHost(std::vector<uint8_t> message) {
  std::lock_guard lock(mutex_);
  if (detached_) return false;
  deliveries_.push_back(
      {std::move(message), std::chrono::steady_clock::now() + std::chrono::microseconds(timing_.latencyMicros)});
  wake_.notify_all();
  return true;
}

void VirtualPort::Run(std::shared_ptr<VirtualPort> self) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (detached_) break;
    if (deliveries_.empty()) {
      wake_.wait(lock);
      continue;
    }
    if (std::chrono::steady_clock::now() < deliveries_.front().deliverAt) {
      wake_.wait_until(lock, deliveries_.front().deliverAt);
      continue;
    }
    Delivery delivery = std::move(deliveries_.front());
    deliveries_.pop_front();
    Receiver receiver = receiver_;
    lock.unlock();
    if (receiver) receiver(delivery.bytes.data(), delivery.bytes.size());
    receiver = nullptr;
    lock.lock();
  }
  lock.unlock();
  self.reset();  // may destroy the port, on this thread, when nobody else holds it
}

}  // namespace r9

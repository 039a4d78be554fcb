#include "platform/virtual/virtual_port.h"

#include <algorithm>

namespace r9 {

using Clock = std::chrono::steady_clock;

std::shared_ptr<VirtualPort> VirtualPort::Create(std::string name, uint64_t serial) {
  std::shared_ptr<VirtualPort> port(new VirtualPort(std::move(name), serial));
  std::lock_guard lock(port->mutex_);
  port->thread_ = std::thread(&VirtualPort::Run, port.get(), port);
  return port;
}

VirtualPort::VirtualPort(std::string name, uint64_t serial)
    : name_(std::move(name)), id_(std::to_string(serial) + ":" + name_) {}

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
  bool direct;
  {
    std::lock_guard lock(mutex_);
    if (detached_) return false;
    // An ideal link with nothing on it: the bytes are there at once.
    direct = timing_.latencyMicros == 0 && timing_.bytesPerSecond <= 0 && hostPending_ == 0;
  }
  std::lock_guard sinkLock(sinkMutex_);
  if (!hostSink_) return false;  // nobody listens: the bytes are lost
  if (direct) {
    hostSink_(bytes, length);
    return true;
  }
  std::lock_guard lock(mutex_);
  // The bytes arrive whole once the link has carried them, after what it still carries.
  const Clock::time_point start = std::max(Clock::now() + std::chrono::microseconds(timing_.latencyMicros), linkFreeAt_);
  linkFreeAt_ = start + TransmissionTime(timing_, length);
  toHost_.push_back({std::vector<uint8_t>(bytes, bytes + length), linkFreeAt_});
  ++hostPending_;
  wake_.notify_all();
  return true;
}

void VirtualPort::SetTiming(const LinkTiming& timing) {
  std::lock_guard lock(mutex_);
  timing_ = timing;
}

LinkTiming VirtualPort::Timing() const {
  std::lock_guard lock(mutex_);
  return timing_;
}

void VirtualPort::Detach() {
  std::unique_lock lock(mutex_);
  if (detached_) return;
  detached_ = true;
  toFarEnd_.clear();
  hostPending_ -= toHost_.size();
  toHost_.clear();
  receiver_ = nullptr;
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

bool VirtualPort::ConnectHostInput(TransportSink sink) {
  std::lock_guard sinkLock(sinkMutex_);
  if (hostSink_ || Detached()) return false;
  hostSink_ = std::move(sink);
  return true;
}

void VirtualPort::DisconnectHostInput() {
  std::lock_guard sinkLock(sinkMutex_);
  hostSink_ = nullptr;
  std::lock_guard lock(mutex_);
  hostPending_ -= toHost_.size();
  toHost_.clear();
}

bool VirtualPort::ConnectHostOutput() {
  std::lock_guard lock(mutex_);
  if (hostOutput_ || detached_) return false;
  hostOutput_ = true;
  return true;
}

void VirtualPort::DisconnectHostOutput() {
  std::lock_guard lock(mutex_);
  hostOutput_ = false;
}

bool VirtualPort::FromHost(std::vector<uint8_t> message) {
  std::lock_guard lock(mutex_);
  if (detached_) return false;
  toFarEnd_.push_back({std::move(message), Clock::now() + std::chrono::microseconds(timing_.latencyMicros)});
  wake_.notify_all();
  return true;
}

void VirtualPort::Run(std::shared_ptr<VirtualPort> self) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (detached_) break;
    // The earlier of the two directions' next deliveries.
    std::deque<Delivery>* next = nullptr;
    if (!toFarEnd_.empty()) next = &toFarEnd_;
    if (!toHost_.empty() && (next == nullptr || toHost_.front().at < next->front().at)) next = &toHost_;
    if (next == nullptr) {
      wake_.wait(lock);
      continue;
    }
    if (Clock::now() < next->front().at) {
      wake_.wait_until(lock, next->front().at);
      continue;
    }
    Delivery delivery = std::move(next->front());
    next->pop_front();
    if (next == &toHost_) {
      lock.unlock();
      {
        std::lock_guard sinkLock(sinkMutex_);
        if (hostSink_) hostSink_(delivery.bytes.data(), delivery.bytes.size());
      }
      lock.lock();
      --hostPending_;
      continue;
    }
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

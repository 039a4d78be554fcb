// Scripted host side for the simulator tests: host frames made with the protocol builders and
// a sink that captures what the device sends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frames.h"
#include "sim/r9_device.h"

namespace r9::simtest {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kId = 0x3A;  // DeviceId of the default identity 3A 00 05 00

inline Bytes IdentityRequestFrame() {
  Bytes b(kIdentityRequestLength);
  BuildIdentityRequest(b.data());
  return b;
}
inline Bytes EnterFrame(uint8_t id = kId) {
  Bytes b(kEnterUpdateLength);
  BuildEnterUpdate(b.data(), id);
  return b;
}
inline Bytes FinishFrame(uint8_t id = kId) {
  Bytes b(kFinishUpdateLength);
  BuildFinishUpdate(b.data(), id);
  return b;
}
inline Bytes EraseFrame(uint32_t address, uint32_t size, uint8_t id = kId) {
  Bytes b(kEraseLength);
  BuildErase(b.data(), id, address, size);
  return b;
}
inline Bytes WriteFrame(uint32_t address, const Bytes& data, uint8_t id = kId) {
  Bytes b(WriteBlockLength(data.size()));
  b.resize(BuildWriteBlock(b.data(), id, data.data(), address, data.size()));
  return b;
}
inline Bytes ReadFrame(uint32_t address, uint32_t length, uint8_t id = kId) {
  Bytes b(kReadRequestLength);
  BuildReadRequest(b.data(), id, address, length);
  return b;
}
inline Bytes StatusFrame(uint8_t status, uint8_t id = kId) {
  Bytes b(kStatusLength);
  BuildStatus(b.data(), id, status);
  return b;
}
inline Bytes HostIdentityReplyFrame() {
  Bytes b(kHostIdentityReplyLength);
  BuildHostIdentityReply(b.data());
  return b;
}

// What the device answers, literally.
inline Bytes DeviceStatus(uint8_t status) { return {0xF0, 0x7D, 0x00, kId, 0x00, status, 0xF7}; }
inline Bytes DeviceAck() { return {0xF0, 0x7D, 0x00, kId, 0x02, 0xF7}; }

// A block of n bytes that is neither all FF nor constant.
inline Bytes Pattern(size_t n, uint8_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 37 + (i >> 8));
  return b;
}

class Capture {
 public:
  SimOutput Sink() {
    return [this](const uint8_t* bytes, size_t length) {
      std::lock_guard<std::mutex> lock(mutex_);
      frames_.emplace_back(bytes, bytes + length);
      threads_.push_back(std::this_thread::get_id());
      cv_.notify_all();
    };
  }
  // Everything captured since the last Take.
  std::vector<Bytes> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Bytes> out;
    out.swap(frames_);
    threads_.clear();
    return out;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Bytes> frames_;
  std::vector<std::thread::id> threads_;
};

// A device with a capturing sink, driven frame by frame.
struct Rig {
  explicit Rig(const SimOptions& options = SimOptions()) : device(options) { device.SetOutput(capture.Sink()); }
  std::vector<Bytes> Send(const Bytes& frame) {
    device.OnHostMessage(frame.data(), frame.size());
    return capture.Take();
  }
  // Answer of a frame that must get exactly one answer at once.
  Bytes One(const Bytes& frame) {
    std::vector<Bytes> got = Send(frame);
    return got.size() == 1 ? got[0] : Bytes{};
  }
  Capture capture;
  R9Device device;
};

inline SimOptions Parse(const std::string& text) {
  SimOptions o;
  std::string error;
  if (!ParseSimOptions(text, &o, &error)) throw std::runtime_error(error);
  return o;
}

}  // namespace r9::simtest

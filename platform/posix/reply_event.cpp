// The auto-reset event: a flag under a mutex, waited for on the monotonic clock so that a
// change of the wall clock neither shortens nor stretches a time-out.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/kernel.h"

namespace r9 {

struct ReplyEvent::Impl {
  std::mutex mutex;
  std::condition_variable signalled;
  bool set = false;
};

ReplyEvent::ReplyEvent() : impl_(std::make_unique<Impl>()) {}
ReplyEvent::~ReplyEvent() = default;

void ReplyEvent::SetEvent() {
  std::lock_guard lock(impl_->mutex);
  impl_->set = true;
  impl_->signalled.notify_one();
}

void ReplyEvent::ResetEvent() {
  std::lock_guard lock(impl_->mutex);
  impl_->set = false;
}

uint32_t ReplyEvent::Wait(uint32_t timeoutMs) {
  std::unique_lock lock(impl_->mutex);
  if (timeoutMs == INFINITE) {
    impl_->signalled.wait(lock, [this] { return impl_->set; });
  } else {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!impl_->signalled.wait_until(lock, deadline, [this] { return impl_->set; })) return WAIT_TIMEOUT;
  }
  impl_->set = false;  // auto-reset: this wait consumes the signal
  return WAIT_OBJECT_0;
}

}  // namespace r9

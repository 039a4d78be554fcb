#include "app/ui_marshal.h"

#include <utility>

namespace r9 {

UiMarshal::UiMarshal(Call wake) : uiThread_(std::this_thread::get_id()), wake_(std::move(wake)) {}

void UiMarshal::Post(Call call) {
  if (OnUiThread()) {
    if (!Closing()) call();
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return;
  queue_.push_back(std::move(call));
  // One wake-up at a time: RunPending takes everything queued until then.
  if (!wakePending_) {
    wakePending_ = true;
    wake_();
  }
}

bool UiMarshal::Request(BoxCall show) {
  if (OnUiThread()) {
    if (Closing()) return false;
    auto answered = std::make_shared<bool>(false);
    show([answered] { *answered = true; });
    return *answered && !Closing();
  }
  // The state outlives this call: the box may be answered after the window closed and the
  // worker has gone on.
  auto state = std::make_shared<BoxState>();
  Call done = [this, state] {
    std::lock_guard<std::mutex> lock(mutex_);
    state->done = true;
    answered_.notify_all();
  };
  std::unique_lock<std::mutex> lock(mutex_);
  if (closing_) return false;
  queue_.push_back([show = std::move(show), done = std::move(done)] { show(done); });
  if (!wakePending_) {
    wakePending_ = true;
    wake_();
  }
  answered_.wait(lock, [&] { return state->done || closing_; });
  return state->done && !closing_;
}

void UiMarshal::RunPending() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wakePending_ = false;
  }
  // One call at a time, without the lock: a call may run a modal loop that comes back here.
  for (;;) {
    Call call;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (closing_ || queue_.empty()) return;
      call = std::move(queue_.front());
      queue_.pop_front();
      // The call may run a modal loop: a wake-up of its own lets that loop run the rest.
      if (!queue_.empty() && !wakePending_) {
        wakePending_ = true;
        wake_();
      }
    }
    call();
  }
}

void UiMarshal::Close() {
  std::deque<Call> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    dropped.swap(queue_);
    answered_.notify_all();
  }
  // Dropped calls are destroyed outside the lock: they may own what a done() would lock.
}

bool UiMarshal::Closing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closing_;
}

}  // namespace r9

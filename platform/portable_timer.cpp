#include "platform/portable_timer.h"

#include <chrono>
#include <vector>

#include "platform/midi_api.h"

namespace r9 {

namespace {
constexpr uint32_t kPeriodMin = 1;
constexpr uint32_t kPeriodMax = 1000000;
}  // namespace

struct PortableTimer::Event {
  uint32_t id = 0;
  std::chrono::milliseconds period{1};
  bool periodic = true;
  TimerProcType callback = nullptr;
  uintptr_t user = 0;
  std::mutex mutex;
  std::condition_variable wake;
  bool killed = false;
  bool triggered = false;  // a call brought forward, not yet made
  std::thread thread;
};

PortableTimer::~PortableTimer() {
  std::vector<uint32_t> ids;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, event] : events_) ids.push_back(id);
  }
  for (uint32_t id : ids) timeKillEvent(id);
}

uint32_t PortableTimer::timeGetDevCaps(TIMECAPS* caps, uint32_t size) {
  if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
  caps->wPeriodMin = kPeriodMin;
  caps->wPeriodMax = kPeriodMax;
  return TIMERR_NOERROR;
}

uint32_t PortableTimer::timeBeginPeriod(uint32_t period) {
  return period >= kPeriodMin && period <= kPeriodMax ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

uint32_t PortableTimer::timeEndPeriod(uint32_t period) {
  return period >= kPeriodMin && period <= kPeriodMax ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

uint32_t PortableTimer::timeSetEvent(uint32_t delay, uint32_t /*resolution*/, TimerProcType callback, uintptr_t user,
                                     uint32_t flags) {
  if (callback == nullptr || delay < kPeriodMin || delay > kPeriodMax) return 0;
  auto event = std::make_shared<Event>();
  event->period = std::chrono::milliseconds(delay);
  event->periodic = (flags & TIME_PERIODIC) != 0;
  event->callback = callback;
  event->user = user;
  std::lock_guard lock(mutex_);
  event->id = nextId_++;
  if (nextId_ == 0) nextId_ = 1;
  {
    // The thread's first look at the event waits for its thread member to be set.
    std::lock_guard eventLock(event->mutex);
    event->thread = std::thread(&PortableTimer::Run, event);
  }
  events_[event->id] = event;
  return event->id;
}

uint32_t PortableTimer::timeKillEvent(uint32_t id) {
  std::shared_ptr<Event> event;
  {
    std::lock_guard lock(mutex_);
    auto it = events_.find(id);
    if (it == events_.end()) return MMSYSERR_INVALPARAM;
    event = std::move(it->second);
    events_.erase(it);
  }
  std::thread thread;
  {
    std::lock_guard lock(event->mutex);
    event->killed = true;
    event->wake.notify_all();
    thread = std::move(event->thread);
  }
  if (thread.get_id() == std::this_thread::get_id()) {
    // Killed from its own tick: the tick ends when the caller returns, and no other follows.
    thread.detach();
  } else if (thread.joinable()) {
    thread.join();
  }
  return TIMERR_NOERROR;
}

uint32_t PortableTimer::timeTriggerEvent(uint32_t id) {
  std::shared_ptr<Event> event;
  {
    std::lock_guard lock(mutex_);
    auto it = events_.find(id);
    if (it == events_.end()) return TIMERR_NOCANDO;
    event = it->second;
  }
  std::lock_guard lock(event->mutex);
  event->triggered = true;
  event->wake.notify_all();
  return TIMERR_NOERROR;
}

void PortableTimer::Run(std::shared_ptr<Event> event) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point next = Clock::now() + event->period;
  std::unique_lock lock(event->mutex);
  for (;;) {
    event->wake.wait_until(lock, next, [&] { return event->killed || event->triggered; });
    if (event->killed) return;
    // A call brought forward leaves the periodic schedule as it was; a trigger that comes while
    // the callback runs makes one more call right after it.
    const bool early = event->triggered && Clock::now() < next;
    event->triggered = false;
    lock.unlock();
    event->callback(event->id, 0, event->user, 0, 0);
    lock.lock();
    if (!event->periodic || event->killed) return;
    if (early) continue;
    next += event->period;
    // After a long tick, start counting again from now rather than firing a burst.
    const Clock::time_point now = Clock::now();
    if (next < now) next = now + event->period;
  }
}

}  // namespace r9

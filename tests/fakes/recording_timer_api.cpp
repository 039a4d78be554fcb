#include "tests/fakes/recording_timer_api.h"

namespace r9 {

void RecordingTimerApi::SetCaps(uint32_t periodMin, uint32_t periodMax) {
  std::lock_guard lock(mutex_);
  caps_ = {periodMin, periodMax};
}

bool RecordingTimerApi::Tick(uint32_t id) {
  Event event;
  {
    std::lock_guard lock(mutex_);
    auto it = events_.find(id);
    if (it == events_.end()) return false;
    event = it->second;
  }
  event.callback(id, 0, event.user, 0, 0);
  return true;
}

size_t RecordingTimerApi::LiveEvents() const {
  std::lock_guard lock(mutex_);
  return events_.size();
}

uint32_t RecordingTimerApi::timeGetDevCaps(TIMECAPS* caps, uint32_t size) {
  log_.Record("timeGetDevCaps", {size});
  const uint32_t result = log_.TakeResult("timeGetDevCaps").value_or(TIMERR_NOERROR);
  std::lock_guard lock(mutex_);
  if (result == TIMERR_NOERROR && caps != nullptr) *caps = caps_;
  return result;
}

uint32_t RecordingTimerApi::timeBeginPeriod(uint32_t period) {
  log_.Record("timeBeginPeriod", {period});
  return log_.TakeResult("timeBeginPeriod").value_or(TIMERR_NOERROR);
}

uint32_t RecordingTimerApi::timeEndPeriod(uint32_t period) {
  log_.Record("timeEndPeriod", {period});
  return log_.TakeResult("timeEndPeriod").value_or(TIMERR_NOERROR);
}

uint32_t RecordingTimerApi::timeSetEvent(uint32_t delay, uint32_t resolution, TimerProcType callback, uintptr_t user,
                                         uint32_t flags) {
  log_.Record("timeSetEvent", {delay, resolution, reinterpret_cast<uintptr_t>(callback), user, flags});
  std::lock_guard lock(mutex_);
  const uint32_t id = log_.TakeResult("timeSetEvent").value_or(nextId_++);
  if (id != 0 && callback != nullptr) events_[id] = Event{callback, user};
  return id;
}

uint32_t RecordingTimerApi::timeTriggerEvent(uint32_t id) {
  log_.Record("timeTriggerEvent", {id});
  return log_.TakeResult("timeTriggerEvent").value_or(TIMERR_NOCANDO);
}

uint32_t RecordingTimerApi::timeKillEvent(uint32_t id) {
  log_.Record("timeKillEvent", {id});
  const uint32_t result = log_.TakeResult("timeKillEvent").value_or(TIMERR_NOERROR);
  std::lock_guard lock(mutex_);
  events_.erase(id);
  return result;
}

}  // namespace r9

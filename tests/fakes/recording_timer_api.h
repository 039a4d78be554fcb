// A TimerApi for unit tests: it logs every call with its arguments, returns scripted results
// and runs no thread; a test fires an event's ticks itself with Tick.
//
// By default every call succeeds, timeGetDevCaps reports 1 to 1,000,000 ms, and timeSetEvent
// hands out the ids 1, 2, 3, ...; script "timeSetEvent" with 0 to refuse an event.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/timer_api.h"
#include "tests/fakes/call_log.h"

namespace r9 {

class RecordingTimerApi final : public TimerApi {
 public:
  CallLog& Log() { return log_; }
  std::vector<PlatformCall> Calls() const { return log_.Calls(); }
  std::vector<std::string> CallNames() const { return log_.Names(); }

  void SetCaps(uint32_t periodMin, uint32_t periodMax);
  // Calls the callback of a live event once, on the calling thread. False for an unknown id.
  bool Tick(uint32_t id);
  // Events created and not yet killed.
  size_t LiveEvents() const;

  uint32_t timeGetDevCaps(TIMECAPS* caps, uint32_t size) override;
  uint32_t timeBeginPeriod(uint32_t period) override;
  uint32_t timeEndPeriod(uint32_t period) override;
  uint32_t timeSetEvent(uint32_t delay, uint32_t resolution, TimerProcType callback, uintptr_t user,
                        uint32_t flags) override;
  uint32_t timeKillEvent(uint32_t id) override;
  // Logged; returns the scripted result, else TIMERR_NOCANDO, as the multimedia timer would.
  uint32_t timeTriggerEvent(uint32_t id) override;

 private:
  struct Event {
    TimerProcType callback;
    uintptr_t user;
  };

  CallLog log_;
  mutable std::mutex mutex_;
  TIMECAPS caps_{1, 1000000};
  uint32_t nextId_ = 1;
  std::map<uint32_t, Event> events_;
};

}  // namespace r9

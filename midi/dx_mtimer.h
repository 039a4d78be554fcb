// A periodic timer on the platform's timer thread, with the timer resolution raised to its
// finest while the event exists. The dialog runs its reply dispatcher on it every millisecond.
//
// Start and Stop are called from the owner's thread only. Stop returns when no tick runs any
// more, so what the ticks use may be freed right after it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/timer_api.h"

namespace r9 {

class CDxMTimer {
 public:
  explicit CDxMTimer(TimerApi& api = DefaultTimerApi());
  // A derived class that overrides OnTick must Stop in its own destructor: ticks still running
  // here would reach a half-destroyed object.
  virtual ~CDxMTimer();
  CDxMTimer(const CDxMTimer&) = delete;
  CDxMTimer& operator=(const CDxMTimer&) = delete;

  // The new event's id, 0 when the platform refused it. Without a callback the ticks go to
  // OnTick and user is not used.
  uint32_t Start(uint32_t periodMs, TimerProcType callback, uintptr_t user);
  bool Stop();
  // Asks for one more tick as soon as the timer's thread is free, between the periodic ones.
  // Any thread may call it. False when no event runs or the platform's timer cannot be woken
  // early; the next periodic tick then comes at its time.
  bool Trigger();
  virtual void OnTick();

  static void DefaultTimeProc(uint32_t id, uint32_t message, uintptr_t user, uintptr_t dw1, uintptr_t dw2);

 private:
  TimerApi& api_;
  std::atomic<uint32_t> eventId_{0};  // read by Trigger on any thread
  TIMECAPS caps_{};
};

}  // namespace r9

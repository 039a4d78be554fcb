// The periodic timer services that CDxMTimer is written against, shaped after the multimedia
// timer: device capabilities, raising and lowering the timer resolution, and periodic events
// whose callback runs on a timer thread of the backend.
#pragma once

#include <cstdint>

namespace r9 {

struct TIMECAPS {
  uint32_t wPeriodMin = 0;
  uint32_t wPeriodMax = 0;
};

constexpr uint32_t TIMERR_NOERROR = 0;
constexpr uint32_t TIMERR_NOCANDO = 97;
constexpr uint32_t TIME_ONESHOT = 0;
constexpr uint32_t TIME_PERIODIC = 1;

// Timer callback: event id, message, user value, two further values.
using TimerProcType = void (*)(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t);

class TimerApi {
 public:
  virtual ~TimerApi() = default;
  virtual uint32_t timeGetDevCaps(TIMECAPS* caps, uint32_t size) = 0;
  virtual uint32_t timeBeginPeriod(uint32_t period) = 0;
  virtual uint32_t timeEndPeriod(uint32_t period) = 0;
  // Returns a non-zero event id, or 0 when refused. Ticks of one event never overlap.
  virtual uint32_t timeSetEvent(uint32_t delay, uint32_t resolution, TimerProcType callback, uintptr_t user,
                                uint32_t flags) = 0;
  // Returns only when no tick of the event runs any more (unless called from that tick itself).
  virtual uint32_t timeKillEvent(uint32_t id) = 0;
  // Brings the event's next call forward: the callback runs once more as soon as its thread is
  // free, on that thread, never overlapping a tick; the periodic ticks go on as before. May be
  // called from any thread. TIMERR_NOCANDO where the timer cannot be woken early (the
  // multimedia timer's shortest delay is its resolution) or the event does not exist.
  virtual uint32_t timeTriggerEvent(uint32_t /*id*/) { return TIMERR_NOCANDO; }
};

// The process's timer: the portable 1 ms timer thread on POSIX, the multimedia timer on Windows.
TimerApi& DefaultTimerApi();

}  // namespace r9

// The timer interface on the system's multimedia timer: capabilities, the resolution raised
// and lowered, periodic events whose callback runs on the system's timer thread.
//
// timeTriggerEvent wakes a periodic event at once (a reply has arrived): its callback then runs
// on the event's own thread, never beside a tick of the system's.
//
// timeKillEvent returns only when no tick of the event runs any more (unless it is called from
// that tick): the event is created with TIME_KILL_SYNCHRONOUS, and the backend also waits for a
// tick that has begun, whatever the system does.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/timer_api.h"

namespace r9 {

class WinmmTimerApi final : public TimerApi {
 public:
  static WinmmTimerApi& Instance();

  uint32_t timeGetDevCaps(TIMECAPS* caps, uint32_t size) override;
  uint32_t timeBeginPeriod(uint32_t period) override;
  uint32_t timeEndPeriod(uint32_t period) override;
  uint32_t timeSetEvent(uint32_t delay, uint32_t resolution, TimerProcType callback, uintptr_t user,
                        uint32_t flags) override;
  uint32_t timeKillEvent(uint32_t id) override;
  // An early tick of a periodic event, on a thread of the event's own; the system's ticks go on.
  uint32_t timeTriggerEvent(uint32_t id) override;

  // The system's timer thread calls this for each tick of an event created here.
  void Tick(uint32_t systemId, uintptr_t key);

 private:
  struct Event;

  std::mutex mutex_;
  std::condition_variable tickEnded_;
  std::map<uintptr_t, std::shared_ptr<Event>> events_;  // by key, the user value of the system event
  uintptr_t nextKey_ = 1;
};

}  // namespace r9

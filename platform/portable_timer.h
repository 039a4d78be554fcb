// The periodic timer on any platform with threads: each event has a thread of its own that
// waits on the monotonic clock and calls the callback once a period. A tick that runs late
// delays the next one instead of stacking them, so ticks of one event never overlap.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/timer_api.h"

namespace r9 {

class PortableTimer final : public TimerApi {
 public:
  PortableTimer() = default;
  // Kills the events still running.
  ~PortableTimer() override;

  // 1 ms to 1,000,000 ms.
  uint32_t timeGetDevCaps(TIMECAPS* caps, uint32_t size) override;
  // The clock here always runs at its finest; these only check the period.
  uint32_t timeBeginPeriod(uint32_t period) override;
  uint32_t timeEndPeriod(uint32_t period) override;
  uint32_t timeSetEvent(uint32_t delay, uint32_t resolution, TimerProcType callback, uintptr_t user,
                        uint32_t flags) override;
  uint32_t timeKillEvent(uint32_t id) override;
  uint32_t timeTriggerEvent(uint32_t id) override;

 private:
  struct Event;
  static void Run(std::shared_ptr<Event> event);

  std::mutex mutex_;
  std::map<uint32_t, std::shared_ptr<Event>> events_;
  uint32_t nextId_ = 1;
};

}  // namespace r9

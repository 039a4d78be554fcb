#include "midi/dx_mtimer.h"

namespace r9 {

CDxMTimer::CDxMTimer(TimerApi& api) : api_(api) { api_.timeGetDevCaps(&caps_, sizeof caps_); }

CDxMTimer::~CDxMTimer() { Stop(); }

uint32_t CDxMTimer::Start(uint32_t periodMs, TimerProcType callback, uintptr_t user) {
  Stop();
  api_.timeBeginPeriod(caps_.wPeriodMin);
  if (callback == nullptr) {
    callback = &CDxMTimer::DefaultTimeProc;
    user = reinterpret_cast<uintptr_t>(this);
  }
  eventId_ = api_.timeSetEvent(periodMs, caps_.wPeriodMin, callback, user, TIME_PERIODIC);
  // No event, so nothing would lower the resolution again: lower it now.
  if (eventId_ == 0) api_.timeEndPeriod(caps_.wPeriodMin);
  return eventId_;
}

bool CDxMTimer::Stop() {
  if (eventId_ != 0) {
    // The platform returns from the kill only once no tick of the event runs any more.
    api_.timeKillEvent(eventId_);
    api_.timeEndPeriod(caps_.wPeriodMin);
  }
  eventId_ = 0;
  return true;
}

void CDxMTimer::OnTick() {}

void CDxMTimer::DefaultTimeProc(uint32_t, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
  reinterpret_cast<CDxMTimer*>(user)->OnTick();
}

}  // namespace r9

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
  const uint32_t id = api_.timeSetEvent(periodMs, caps_.wPeriodMin, callback, user, TIME_PERIODIC);
  eventId_.store(id);
  // No event, so nothing would lower the resolution again: lower it now.
  if (id == 0) api_.timeEndPeriod(caps_.wPeriodMin);
  return id;
}

bool CDxMTimer::Stop() {
  // The id goes first, so that a Trigger from another thread finds no event to wake.
  const uint32_t id = eventId_.exchange(0);
  if (id != 0) {
    // The platform returns from the kill only once no tick of the event runs any more.
    api_.timeKillEvent(id);
    api_.timeEndPeriod(caps_.wPeriodMin);
  }
  return true;
}

bool CDxMTimer::Trigger() {
  const uint32_t id = eventId_.load();
  return id != 0 && api_.timeTriggerEvent(id) == TIMERR_NOERROR;
}

void CDxMTimer::OnTick() {}

void CDxMTimer::DefaultTimeProc(uint32_t, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
  reinterpret_cast<CDxMTimer*>(user)->OnTick();
}

}  // namespace r9

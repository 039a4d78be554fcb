#include "platform/winmm/winmm_timer_api.h"

#include <thread>
#include <utility>

// After the project's headers: TIME_PERIODIC and TIMERR_NOERROR are system macros too, with the
// same values.
#include "platform/win32/windows_headers.h"

namespace r9 {

struct WinmmTimerApi::Event {
  TimerProcType callback = nullptr;
  uintptr_t user = 0;
  uint32_t systemId = 0;
  bool killed = false;
  int running = 0;  // callbacks in progress: 0 or 1, since callback serialises them
  std::thread::id tickThread;
  // The system's ticks and the early ticks of timeTriggerEvent run the callback one at a time.
  std::mutex serial;
  // A periodic event's early ticks: an auto-reset kernel event, set by timeTriggerEvent (from
  // an input callback, where SetEvent is allowed) and waited for by a thread of the event's own.
  HANDLE wake = nullptr;
  std::thread waker;
  ~Event();
};

namespace {

void CALLBACK SystemTimeProc(UINT id, UINT, DWORD_PTR key, DWORD_PTR, DWORD_PTR) {
  WinmmTimerApi::Instance().Tick(id, key);
}

}  // namespace

WinmmTimerApi& WinmmTimerApi::Instance() {
  static WinmmTimerApi api;
  return api;
}

uint32_t WinmmTimerApi::timeGetDevCaps(TIMECAPS* caps, uint32_t) {
  if (caps == nullptr) return TIMERR_NOCANDO;
  ::TIMECAPS system{};
  const MMRESULT result = ::timeGetDevCaps(&system, sizeof system);
  caps->wPeriodMin = system.wPeriodMin;
  caps->wPeriodMax = system.wPeriodMax;
  return result;
}

uint32_t WinmmTimerApi::timeBeginPeriod(uint32_t period) { return ::timeBeginPeriod(period); }

uint32_t WinmmTimerApi::timeEndPeriod(uint32_t period) { return ::timeEndPeriod(period); }

uint32_t WinmmTimerApi::timeSetEvent(uint32_t delay, uint32_t resolution, TimerProcType callback, uintptr_t user,
                                     uint32_t flags) {
  if (callback == nullptr) return 0;
  auto event = std::make_shared<Event>();
  event->callback = callback;
  event->user = user;
  uintptr_t key;
  {
    std::lock_guard lock(mutex_);
    key = nextKey_++;
    events_[key] = event;
  }
  // The event's first tick may come before timeSetEvent returns; it finds its entry by key and
  // takes the id the system passes it.
  const UINT id = ::timeSetEvent(delay, resolution, &SystemTimeProc, key,
                                 (flags & TIME_PERIODIC) | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
  std::lock_guard lock(mutex_);
  if (id == 0) {
    events_.erase(key);
    return 0;
  }
  event->systemId = id;
  if (flags & TIME_PERIODIC) {
    event->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event->wake != nullptr) {
      event->waker = std::thread([this, event, key] {
        for (;;) {
          WaitForSingleObject(event->wake, INFINITE);
          {
            std::lock_guard lock(mutex_);
            if (event->killed) return;
          }
          Tick(event->systemId, key);
        }
      });
    }
  }
  return id;
}

uint32_t WinmmTimerApi::timeTriggerEvent(uint32_t id) {
  std::lock_guard lock(mutex_);
  for (const auto& [key, event] : events_) {
    if (event->systemId != id || event->killed) continue;
    if (event->wake == nullptr) return TIMERR_NOCANDO;
    SetEvent(event->wake);
    return TIMERR_NOERROR;
  }
  return TIMERR_NOCANDO;
}

uint32_t WinmmTimerApi::timeKillEvent(uint32_t id) {
  std::shared_ptr<Event> event;
  {
    std::lock_guard lock(mutex_);
    for (auto it = events_.begin(); it != events_.end(); ++it) {
      if (it->second->systemId == id) {
        event = it->second;
        event->killed = true;  // a tick that has not begun yet does nothing
        events_.erase(it);
        break;
      }
    }
  }
  if (!event) return TIMERR_NOCANDO;
  const MMRESULT result = ::timeKillEvent(id);
  // The waker sees the event killed and ends. Called from a tick, it is let go instead: it
  // may be that tick, or wait for that tick's end to see the kill.
  if (event->wake != nullptr) {
    SetEvent(event->wake);
    bool fromTick;
    {
      std::lock_guard lock(mutex_);
      fromTick = event->tickThread == std::this_thread::get_id();
    }
    if (fromTick || event->waker.get_id() == std::this_thread::get_id()) {
      event->waker.detach();
    } else if (event->waker.joinable()) {
      event->waker.join();
    }
  }
  {
    // A tick that is running finishes before this returns, unless this is that tick.
    std::unique_lock lock(mutex_);
    if (event->tickThread != std::this_thread::get_id()) tickEnded_.wait(lock, [&] { return event->running == 0; });
  }
  return result;
}

WinmmTimerApi::Event::~Event() {
  if (waker.joinable()) waker.detach();  // not reached: the kill joins or detaches it
  if (wake != nullptr) CloseHandle(wake);
}

void WinmmTimerApi::Tick(uint32_t systemId, uintptr_t key) {
  std::shared_ptr<Event> event;
  {
    std::lock_guard lock(mutex_);
    auto it = events_.find(key);
    if (it == events_.end() || it->second->killed) return;
    event = it->second;
  }
  // Counted as running only once it holds the callback: a tick waiting here for another one
  // that kills the event must not hold that kill up.
  std::lock_guard serialLock(event->serial);
  {
    std::lock_guard lock(mutex_);
    if (event->killed) return;
    ++event->running;
    event->tickThread = std::this_thread::get_id();
  }
  event->callback(systemId, 0, event->user, 0, 0);
  {
    std::lock_guard lock(mutex_);
    --event->running;
    event->tickThread = {};
  }
  tickEnded_.notify_all();
}

}  // namespace r9

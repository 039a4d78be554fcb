// The process's timer: the multimedia timer on Windows, the portable timer thread elsewhere.
#ifdef _WIN32
#include "platform/winmm/winmm_timer_api.h"
#else
#include "platform/portable_timer.h"
#endif

namespace r9 {

TimerApi& DefaultTimerApi() {
#ifdef _WIN32
  return WinmmTimerApi::Instance();
#else
  static PortableTimer timer;
  return timer;
#endif
}

}  // namespace r9

// The process's timer. The multimedia timer takes this place in the Windows build.
#include "platform/portable_timer.h"

namespace r9 {

TimerApi& DefaultTimerApi() {
  static PortableTimer timer;
  return timer;
}

}  // namespace r9

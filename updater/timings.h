// Every wait, pause and period of the update, in milliseconds. The defaults are the device's
// protocol constants; only tests shrink them.
#pragma once

#include <cstdint>

namespace r9 {

struct Timings {
  uint32_t identifyWaitMs = 30000;  // Identity Request, Enter-update and Finish-update replies
  uint32_t eraseWaitMs = 60000;     // one Erase frame
  uint32_t readWaitMs = 60000;      // one Read request
  uint32_t blockWaitMs = 1000;      // one Write-block frame
  uint32_t resendPauseMs = 100;     // before an Erase or Write-block frame is sent again
  uint32_t enterPauseMs = 500;      // after the device has entered its update mode
  // After an erase's answer, and after a refused or cut-short read, before the next frame: a
  // doubled copy of that answer (a cable or a JACK cycle that repeats itself) arrives within
  // this and is then dropped as stale, instead of passing for the next request's answer (and
  // leaving a region unerased under its writes, or a readable flash taken for unreadable).
  uint32_t settleMs = 50;
  uint32_t timerPeriodMs = 1;       // the reply dispatcher's tick

  // How soon the host reacts; what goes over the wire and every bound above stay the same.
  // true: a send sleeps until the driver sets its done event, and the input port's callback
  // wakes the dispatcher as soon as a message is queued (the tick still runs). false (the
  // polled timing): a send tests MHDR_DONE every millisecond, and a reply waits for the next
  // tick. The timer of Windows cannot be woken early: there replies always wait for the tick.
  bool eventDriven = true;
};

// The polled timing, for comparison in tests and benchmarks.
inline Timings PolledTimings(Timings timings = Timings()) {
  timings.eventDriven = false;
  return timings;
}

}  // namespace r9

#include "platform/portable_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel.h"
#include "platform/midi_api.h"
#include "tests/platform/wait_until.h"

namespace r9 {
namespace {

using test::WaitUntil;

struct TickState {
  std::atomic<int> ticks{0};
  std::atomic<int> inTick{0};
  std::atomic<int> mostAtOnce{0};
  std::atomic<bool> onCallerThread{false};
  std::thread::id caller = std::this_thread::get_id();
  uint32_t sleepMs = 0;
  PortableTimer* timer = nullptr;
  std::atomic<uint32_t> killFromTick{0};
};

void CountTick(uint32_t id, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
  auto* state = reinterpret_cast<TickState*>(user);
  const int now = ++state->inTick;
  int most = state->mostAtOnce.load();
  while (now > most && !state->mostAtOnce.compare_exchange_weak(most, now)) {
  }
  if (std::this_thread::get_id() == state->caller) state->onCallerThread = true;
  if (state->sleepMs) Sleep(state->sleepMs);
  if (state->killFromTick.load() == id) state->timer->timeKillEvent(id);
  ++state->ticks;
  --state->inTick;
}

TEST(PortableTimerTest, TicksOnATimerThreadWithoutOverlapping) {
  PortableTimer timer;
  TickState state;
  state.sleepMs = 3;  // each tick outlasts the 1 ms period
  const uint32_t id = timer.timeSetEvent(1, 1, &CountTick, reinterpret_cast<uintptr_t>(&state), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(WaitUntil([&] { return state.ticks.load() >= 5; }));
  EXPECT_EQ(timer.timeKillEvent(id), TIMERR_NOERROR);
  EXPECT_EQ(state.mostAtOnce.load(), 1);
  EXPECT_FALSE(state.onCallerThread.load());
}

TEST(PortableTimerTest, NoTickRunsOnceKillReturns) {
  PortableTimer timer;
  TickState state;
  state.sleepMs = 2;
  const uint32_t id = timer.timeSetEvent(1, 1, &CountTick, reinterpret_cast<uintptr_t>(&state), TIME_PERIODIC);
  ASSERT_TRUE(WaitUntil([&] { return state.inTick.load() == 1; }));  // kill in the middle of a tick
  ASSERT_EQ(timer.timeKillEvent(id), TIMERR_NOERROR);
  EXPECT_EQ(state.inTick.load(), 0);
  const int ticks = state.ticks.load();
  Sleep(10);
  EXPECT_EQ(state.ticks.load(), ticks);
  EXPECT_EQ(timer.timeKillEvent(id), MMSYSERR_INVALPARAM);
}

TEST(PortableTimerTest, AnEventMayKillItselfFromItsTick) {
  PortableTimer timer;
  TickState state;
  state.timer = &timer;
  const uint32_t id = timer.timeSetEvent(1, 1, &CountTick, reinterpret_cast<uintptr_t>(&state), TIME_PERIODIC);
  state.killFromTick = id;
  ASSERT_TRUE(WaitUntil([&] { return state.ticks.load() >= 1; }));
  ASSERT_TRUE(WaitUntil([&] { return state.inTick.load() == 0; }));
  const int ticks = state.ticks.load();
  Sleep(10);
  EXPECT_EQ(state.ticks.load(), ticks);
}

TEST(PortableTimerTest, OneShotTicksOnce) {
  PortableTimer timer;
  TickState state;
  const uint32_t id = timer.timeSetEvent(1, 1, &CountTick, reinterpret_cast<uintptr_t>(&state), TIME_ONESHOT);
  ASSERT_TRUE(WaitUntil([&] { return state.ticks.load() == 1; }));
  Sleep(10);
  EXPECT_EQ(state.ticks.load(), 1);
  EXPECT_EQ(timer.timeKillEvent(id), TIMERR_NOERROR);
}

TEST(PortableTimerTest, RefusesWhatItCannotDo) {
  PortableTimer timer;
  TickState state;
  const auto user = reinterpret_cast<uintptr_t>(&state);
  EXPECT_EQ(timer.timeSetEvent(0, 1, &CountTick, user, TIME_PERIODIC), 0u);
  EXPECT_EQ(timer.timeSetEvent(1, 1, nullptr, user, TIME_PERIODIC), 0u);
  EXPECT_EQ(timer.timeKillEvent(12345), MMSYSERR_INVALPARAM);
  EXPECT_EQ(timer.timeBeginPeriod(0), TIMERR_NOCANDO);
  EXPECT_EQ(timer.timeBeginPeriod(1), TIMERR_NOERROR);
  EXPECT_EQ(timer.timeEndPeriod(1), TIMERR_NOERROR);
  TIMECAPS caps;
  ASSERT_EQ(timer.timeGetDevCaps(&caps, sizeof caps), TIMERR_NOERROR);
  EXPECT_EQ(caps.wPeriodMin, 1u);
  EXPECT_GE(caps.wPeriodMax, 1000u);
  EXPECT_EQ(timer.timeGetDevCaps(nullptr, sizeof caps), TIMERR_NOCANDO);
}

TEST(PortableTimerTest, DestructionEndsTheEventsStillRunning) {
  TickState state;
  {
    PortableTimer timer;
    ASSERT_NE(timer.timeSetEvent(1, 1, &CountTick, reinterpret_cast<uintptr_t>(&state), TIME_PERIODIC), 0u);
    ASSERT_TRUE(WaitUntil([&] { return state.ticks.load() >= 1; }));
  }
  EXPECT_EQ(state.inTick.load(), 0);
}

// A trigger brings one call forward, on the timer's thread, without overlapping a tick, and
// leaves the periodic ticks as they were.
TEST(PortableTimerTest, ATriggerBringsOneCallForward) {
  PortableTimer timer;
  TickState state;
  // A period far beyond the test: every call seen here was brought forward.
  const uint32_t id = timer.timeSetEvent(1000000, 1, &CountTick, reinterpret_cast<uintptr_t>(&state), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  for (int i = 1; i <= 3; ++i) {
    ASSERT_EQ(timer.timeTriggerEvent(id), TIMERR_NOERROR);
    ASSERT_TRUE(WaitUntil([&] { return state.ticks.load() >= i; }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(state.ticks.load(), 3);
  EXPECT_FALSE(state.onCallerThread.load());
  ASSERT_EQ(timer.timeKillEvent(id), TIMERR_NOERROR);
  // No event, no trigger.
  EXPECT_EQ(timer.timeTriggerEvent(id), TIMERR_NOCANDO);
  EXPECT_EQ(timer.timeTriggerEvent(0), TIMERR_NOCANDO);
  EXPECT_EQ(state.ticks.load(), 3);
}

TEST(PortableTimerTest, TriggersAndTicksNeverOverlap) {
  PortableTimer timer;
  TickState state;
  state.sleepMs = 2;
  const uint32_t id = timer.timeSetEvent(1, 1, &CountTick, reinterpret_cast<uintptr_t>(&state), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  std::thread trigger([&] {
    for (int i = 0; i < 50; ++i) {
      timer.timeTriggerEvent(id);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  trigger.join();
  ASSERT_TRUE(WaitUntil([&] { return state.ticks.load() >= 5; }));
  EXPECT_EQ(timer.timeKillEvent(id), TIMERR_NOERROR);
  EXPECT_EQ(state.mostAtOnce.load(), 1);
  EXPECT_EQ(state.inTick.load(), 0);
}
}  // namespace
}  // namespace r9

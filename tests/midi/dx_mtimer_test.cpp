#include "midi/dx_mtimer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/recording_timer_api.h"

namespace r9 {
namespace {

using Names = std::vector<std::string>;

void NoTick(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

class CountingTimer : public CDxMTimer {
 public:
  using CDxMTimer::CDxMTimer;
  ~CountingTimer() override { Stop(); }
  void OnTick() override { ++ticks; }
  int ticks = 0;
};

TEST(DxMTimerTest, ReadsTheCapabilitiesOnceAndRaisesNothingWithoutStart) {
  RecordingTimerApi api;
  { CDxMTimer timer(api); }
  EXPECT_EQ(api.Calls(), (std::vector<PlatformCall>{{"timeGetDevCaps", {sizeof(TIMECAPS)}}}));
}

TEST(DxMTimerTest, StartRaisesTheResolutionThenCreatesTheEvent) {
  RecordingTimerApi api;
  api.SetCaps(2, 500);
  CDxMTimer timer(api);
  api.Log().Clear();
  EXPECT_EQ(timer.Start(1, &NoTick, 0xABC), 1u);
  const std::vector<PlatformCall> expected = {
      {"timeBeginPeriod", {2}}, {"timeSetEvent", {1, 2, reinterpret_cast<uintptr_t>(&NoTick), 0xABC, TIME_PERIODIC}}};
  EXPECT_EQ(api.Calls(), expected);
  api.Log().Clear();
  EXPECT_TRUE(timer.Stop());
  EXPECT_EQ(api.Calls(), (std::vector<PlatformCall>{{"timeKillEvent", {1}}, {"timeEndPeriod", {2}}}));
}

TEST(DxMTimerTest, StopOnAnIdleTimerCallsNothing) {
  RecordingTimerApi api;
  CDxMTimer timer(api);
  api.Log().Clear();
  EXPECT_TRUE(timer.Stop());
  EXPECT_TRUE(api.Calls().empty());
}

// Raise and lower counts over a timer's life, destruction included.
struct LifeCase {
  const char* what;
  std::vector<uint32_t> setEventResults;  // scripted results of timeSetEvent
  int starts;
  Names calls;
};

class TimerLifeTest : public testing::TestWithParam<LifeCase> {};

TEST_P(TimerLifeTest, RaisesAndLowersTheResolutionInPairs) {
  const LifeCase& c = GetParam();
  RecordingTimerApi api;
  api.Log().Script("timeSetEvent", c.setEventResults);
  {
    CDxMTimer timer(api);
    for (int i = 0; i < c.starts; ++i) timer.Start(1, &NoTick, 0);
  }
  Names names = api.CallNames();
  names.erase(names.begin());  // timeGetDevCaps
  EXPECT_EQ(names, c.calls);
  EXPECT_EQ(api.Log().Count("timeBeginPeriod"), api.Log().Count("timeEndPeriod"));
  EXPECT_EQ(api.LiveEvents(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimerLifeTest,
    testing::Values(LifeCase{"never_started", {}, 0, {}},
                    LifeCase{
                        "started_once", {7}, 1, {"timeBeginPeriod", "timeSetEvent", "timeKillEvent", "timeEndPeriod"}},
                    LifeCase{"started_twice",
                             {7, 8},
                             2,
                             {"timeBeginPeriod", "timeSetEvent", "timeKillEvent", "timeEndPeriod", "timeBeginPeriod",
                              "timeSetEvent", "timeKillEvent", "timeEndPeriod"}},
                    LifeCase{"refused", {0}, 1, {"timeBeginPeriod", "timeSetEvent", "timeEndPeriod"}},
                    LifeCase{"refused_then_started",
                             {0, 9},
                             2,
                             {"timeBeginPeriod", "timeSetEvent", "timeEndPeriod", "timeBeginPeriod", "timeSetEvent",
                              "timeKillEvent", "timeEndPeriod"}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(DxMTimerTest, ARefusedStartReturnsZeroAndLeavesTheTimerIdle) {
  RecordingTimerApi api;
  api.Log().Script("timeSetEvent", {0});
  CDxMTimer timer(api);
  EXPECT_EQ(timer.Start(1, &NoTick, 0), 0u);
  api.Log().Clear();
  timer.Stop();
  EXPECT_TRUE(api.Calls().empty());
}

TEST(DxMTimerTest, WithoutACallbackTicksGoToOnTick) {
  RecordingTimerApi api;
  CountingTimer timer(api);
  const uint32_t id = timer.Start(5, nullptr, 0xDEAD);
  ASSERT_NE(id, 0u);
  const PlatformCall set = api.Calls().back();
  EXPECT_EQ(set.args[2], reinterpret_cast<uintptr_t>(&CDxMTimer::DefaultTimeProc));
  EXPECT_EQ(set.args[3], reinterpret_cast<uintptr_t>(&timer));  // the timer, not the user value
  ASSERT_TRUE(api.Tick(id));
  ASSERT_TRUE(api.Tick(id));
  EXPECT_EQ(timer.ticks, 2);
}

// Trigger asks the platform to bring the running event's next tick forward; an idle timer asks
// nothing, and a platform that cannot (the multimedia timer) makes it false.
TEST(DxMTimerTest, TriggerAsksForTheRunningEventOnly) {
  RecordingTimerApi api;
  CDxMTimer timer(api);
  EXPECT_FALSE(timer.Trigger());
  const uint32_t id = timer.Start(1, &NoTick, 0);
  ASSERT_NE(id, 0u);
  api.Log().Clear();
  EXPECT_FALSE(timer.Trigger());  // the recording timer answers as the multimedia timer does
  api.Log().Script("timeTriggerEvent", {TIMERR_NOERROR});
  EXPECT_TRUE(timer.Trigger());
  EXPECT_EQ(api.Log().Names(), (Names{"timeTriggerEvent", "timeTriggerEvent"}));
  EXPECT_EQ(api.Log().Calls()[0].args, (std::vector<uintptr_t>{id}));
  timer.Stop();
  api.Log().Clear();
  EXPECT_FALSE(timer.Trigger());
  EXPECT_TRUE(api.Log().Calls().empty());
}
}  // namespace
}  // namespace r9

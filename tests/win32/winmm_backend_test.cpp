// The winmm backend on the running system. Under Wine without a sound driver there is no MIDI
// device at all; the tests hold for any number of devices: they use the indices past the last.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "midi/dx_midi_in.h"
#include "midi/dx_midi_out.h"
#include "midi/dx_mtimer.h"
#include "platform/kernel.h"
#include "platform/winmm/winmm_midi_api.h"
#include "platform/winmm/winmm_timer_api.h"
#include "tests/platform/wait_until.h"

namespace r9 {
namespace {

WinmmMidiApi& Api() { return WinmmMidiApi::Instance(); }

TEST(WinmmMidiTest, EnumeratesWithoutErrorAndNamesEveryDevice) {
  const uint32_t ins = Api().midiInGetNumDevs();
  const uint32_t outs = Api().midiOutGetNumDevs();
  for (uint32_t i = 0; i < ins; ++i) {
    MIDIINCAPSA caps;
    EXPECT_EQ(Api().midiInGetDevCapsA(i, &caps, sizeof caps), MMSYSERR_NOERROR) << i;
    EXPECT_LT(std::strlen(caps.szPname), 32u);
  }
  for (uint32_t i = 0; i < outs; ++i) {
    MIDIOUTCAPSA caps;
    EXPECT_EQ(Api().midiOutGetDevCapsA(i, &caps, sizeof caps), MMSYSERR_NOERROR) << i;
    EXPECT_LT(std::strlen(caps.szPname), 32u);
  }
  // The port classes list what the backend lists.
  CDxMidiIn in(Api());
  CDxMidiOut out(Api());
  EXPECT_EQ(in.GetDeviceCount(), ins);
  EXPECT_EQ(out.GetDeviceCount(), outs);
}

TEST(WinmmMidiTest, ANameQueryPastTheLastDeviceIsRefused) {
  MIDIINCAPSA inCaps;
  std::strcpy(inCaps.szPname, "untouched");
  EXPECT_EQ(Api().midiInGetDevCapsA(Api().midiInGetNumDevs(), &inCaps, sizeof inCaps), MMSYSERR_BADDEVICEID);
  EXPECT_STREQ(inCaps.szPname, "untouched");
  MIDIOUTCAPSA outCaps;
  EXPECT_EQ(Api().midiOutGetDevCapsA(Api().midiOutGetNumDevs(), &outCaps, sizeof outCaps), MMSYSERR_BADDEVICEID);
}

TEST(WinmmMidiTest, OpeningADeviceThatDoesNotExistFailsCleanly) {
  HMIDIIN in = reinterpret_cast<HMIDIIN>(uintptr_t(1));
  EXPECT_EQ(Api().midiInOpen(&in, Api().midiInGetNumDevs(), nullptr, 0, CALLBACK_FUNCTION), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(in, nullptr);
  HMIDIOUT out = reinterpret_cast<HMIDIOUT>(uintptr_t(1));
  EXPECT_EQ(Api().midiOutOpen(&out, Api().midiOutGetNumDevs(), 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(out, nullptr);
}

TEST(WinmmMidiTest, PortsOnADeviceThatDoesNotExistStayClosed) {
  CDxMidiIn in(Api());
  EXPECT_FALSE(in.Open(int(in.GetDeviceCount())));
  EXPECT_FALSE(in.IsStarted());
  in.Close();  // nothing to close
  EXPECT_EQ(in.PeekSysEx(), nullptr);

  CDxMidiOut out(Api());
  EXPECT_FALSE(out.Open(int(out.GetDeviceCount())));
  EXPECT_FALSE(out.IsOpen());
  char bytes[] = {char(0xF0), 0x7E, 0x7F, 0x06, 0x01, char(0xF7)};
  MIDIHDR header;
  header.lpData = bytes;
  header.dwBufferLength = sizeof bytes;
  EXPECT_FALSE(out.SendLongMessage(&header));
  EXPECT_FALSE(out.Close());
}

// The done callback of the system sets the sender's event; Wine has no MIDI output device here,
// so only the open's checks can run: an event open without an event, or with an unknown kind of
// callback, is refused before the system is asked.
TEST(WinmmMidiTest, OutputsOfferTheDoneEventAndCheckItsOpen) {
  EXPECT_TRUE(Api().midiOutSignalsDone(0));
  HMIDIOUT out = nullptr;
  EXPECT_EQ(Api().midiOutOpen(&out, 0, 0, 0, CALLBACK_EVENT), MMSYSERR_INVALPARAM);
  EXPECT_EQ(Api().midiOutOpen(&out, 0, 0, 0, CALLBACK_FUNCTION), MMSYSERR_INVALPARAM);
  EXPECT_EQ(out, nullptr);
  ReplyEvent done;
  EXPECT_EQ(Api().midiOutOpen(&out, Api().midiOutGetNumDevs(), reinterpret_cast<uintptr_t>(&done), 0, CALLBACK_EVENT),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(out, nullptr);
}

TEST(WinmmMidiTest, ErrorTextsComeFromTheSystem) {
  char text[1024] = {};
  EXPECT_EQ(Api().midiInGetErrorTextA(MMSYSERR_BADDEVICEID, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_GT(std::strlen(text), 0u);
  char outText[1024] = {};
  EXPECT_EQ(Api().midiOutGetErrorTextA(MMSYSERR_BADDEVICEID, outText, sizeof outText), MMSYSERR_NOERROR);
  EXPECT_GT(std::strlen(outText), 0u);
}

TEST(WinmmMidiTest, CallsOnNoHandleAreRefused) {
  MIDIHDR header;
  EXPECT_EQ(Api().midiInPrepareHeader(nullptr, &header, sizeof header), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(Api().midiInStart(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(Api().midiInClose(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(Api().midiOutLongMsg(nullptr, &header, sizeof header), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(Api().midiOutClose(nullptr), MMSYSERR_INVALHANDLE);
}

// --- Timer ---

struct TickLog {
  std::atomic<int> ticks{0};
  std::atomic<bool> inside{false};
  std::atomic<uint32_t> lastId{0};
  int sleepMs = 0;
};

void CountTick(uint32_t id, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
  auto* log = reinterpret_cast<TickLog*>(user);
  log->inside = true;
  log->lastId = id;
  if (log->sleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(log->sleepMs));
  ++log->ticks;
  log->inside = false;
}

TEST(WinmmTimerTest, CapabilitiesGiveAUsablePeriod) {
  TIMECAPS caps;
  EXPECT_EQ(WinmmTimerApi::Instance().timeGetDevCaps(&caps, sizeof caps), TIMERR_NOERROR);
  EXPECT_GE(caps.wPeriodMin, 1u);
  EXPECT_GE(caps.wPeriodMax, caps.wPeriodMin);
}

TEST(WinmmTimerTest, APeriodicEventTicksUntilKilledAndNotAfter) {
  WinmmTimerApi& timer = WinmmTimerApi::Instance();
  TIMECAPS caps;
  timer.timeGetDevCaps(&caps, sizeof caps);
  TickLog log;
  EXPECT_EQ(timer.timeBeginPeriod(caps.wPeriodMin), TIMERR_NOERROR);
  const uint32_t id = timer.timeSetEvent(1, caps.wPeriodMin, CountTick, uintptr_t(&log), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  // Periodic: it keeps ticking (no assertion on the period; timing is for the benchmarks).
  EXPECT_TRUE(test::WaitUntil([&] { return log.ticks.load() >= 5; }));
  EXPECT_EQ(log.lastId.load(), id);
  EXPECT_EQ(timer.timeKillEvent(id), TIMERR_NOERROR);
  const int atKill = log.ticks.load();
  EXPECT_FALSE(log.inside.load());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(log.ticks.load(), atKill) << "a tick after timeKillEvent returned";
  EXPECT_EQ(timer.timeEndPeriod(caps.wPeriodMin), TIMERR_NOERROR);
  EXPECT_NE(timer.timeKillEvent(id), TIMERR_NOERROR) << "killed twice";
}

TEST(WinmmTimerTest, KillWaitsForTheTickThatRuns) {
  WinmmTimerApi& timer = WinmmTimerApi::Instance();
  TickLog log;
  log.sleepMs = 30;
  const uint32_t id = timer.timeSetEvent(1, 1, CountTick, uintptr_t(&log), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(test::WaitUntil([&] { return log.inside.load(); }));
  timer.timeKillEvent(id);
  EXPECT_FALSE(log.inside.load()) << "timeKillEvent returned while a tick ran";
  const int atKill = log.ticks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(80));
  EXPECT_EQ(log.ticks.load(), atKill);
}

void KillFromTick(uint32_t id, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
  auto* log = reinterpret_cast<TickLog*>(user);
  if (log->ticks.fetch_add(1) == 0) WinmmTimerApi::Instance().timeKillEvent(id);
}

TEST(WinmmTimerTest, ATickMayKillItsOwnEvent) {
  TickLog log;
  const uint32_t id = WinmmTimerApi::Instance().timeSetEvent(1, 1, KillFromTick, uintptr_t(&log), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(test::WaitUntil([&] { return log.ticks.load() >= 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(log.ticks.load(), 1);
}

// A reply that arrives wakes the dispatcher at once: a trigger runs a tick of a periodic event
// whose own period is far away, never beside another tick, and none after the kill.
TEST(WinmmTimerTest, ATriggerTicksAtOnceBetweenTheSystemsTicks) {
  WinmmTimerApi& timer = WinmmTimerApi::Instance();
  TIMECAPS caps;
  timer.timeGetDevCaps(&caps, sizeof caps);
  TickLog log;
  const uint32_t id = timer.timeSetEvent(caps.wPeriodMax, 1, CountTick, uintptr_t(&log), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(timer.timeTriggerEvent(id), TIMERR_NOERROR);
    ASSERT_TRUE(test::WaitUntil([&] { return log.ticks.load() >= n; })) << n;
    EXPECT_EQ(log.lastId.load(), id);
  }
  EXPECT_EQ(timer.timeKillEvent(id), TIMERR_NOERROR);
  EXPECT_FALSE(log.inside.load());
  EXPECT_NE(timer.timeTriggerEvent(id), TIMERR_NOERROR) << "a trigger after the kill";
}

TEST(WinmmTimerTest, ATriggeredTickMayKillItsOwnEvent) {
  WinmmTimerApi& timer = WinmmTimerApi::Instance();
  TIMECAPS caps;
  timer.timeGetDevCaps(&caps, sizeof caps);
  TickLog log;
  const uint32_t id = timer.timeSetEvent(caps.wPeriodMax, 1, KillFromTick, uintptr_t(&log), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(timer.timeTriggerEvent(id), TIMERR_NOERROR);
  ASSERT_TRUE(test::WaitUntil([&] { return log.ticks.load() >= 1; }));
  // Killed by its tick: from then on a trigger is refused, and no tick follows.
  EXPECT_TRUE(test::WaitUntil([&] { return timer.timeTriggerEvent(id) != TIMERR_NOERROR; }));
  EXPECT_EQ(log.ticks.load(), 1);
}

TEST(WinmmTimerTest, TheDispatcherTimerRunsOnTheMultimediaTimer) {
  TickLog log;
  {
    CDxMTimer timer(WinmmTimerApi::Instance());
    EXPECT_NE(timer.Start(1, CountTick, uintptr_t(&log)), 0u);
    EXPECT_TRUE(test::WaitUntil([&] { return log.ticks.load() >= 3; }));
    EXPECT_TRUE(timer.Stop());
    const int atStop = log.ticks.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(log.ticks.load(), atStop);
    // Started again, and destroyed while running: the destructor stops it.
    EXPECT_NE(timer.Start(1, CountTick, uintptr_t(&log)), 0u);
    EXPECT_TRUE(test::WaitUntil([&] { return log.ticks.load() >= atStop + 3; }));
  }
  const int atDestruction = log.ticks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(log.ticks.load(), atDestruction);
}

}  // namespace
}  // namespace r9

#include "midi/dx_midi_out.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/fakes/recording_midi_api.h"
#include "tests/platform/wait_until.h"

namespace r9 {
namespace {

using Names = std::vector<std::string>;
using test::WaitUntil;

const uintptr_t kSize = sizeof(MIDIHDR);

uintptr_t U(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

class MidiOutTest : public testing::Test {
 protected:
  MidiOutTest() {
    header_.lpData = frame_;
    header_.dwBufferLength = sizeof frame_;
  }

  RecordingMidiApi api_;
  CDxMidiOut port_{api_};
  char frame_[5] = {'\xF0', 0x7D, 0x01, 0x02, '\xF7'};
  MIDIHDR header_;
};

TEST_F(MidiOutTest, ConstructionAndDestructionOfAClosedPortCallNothing) {
  { CDxMidiOut unused(api_); }
  EXPECT_TRUE(api_.Calls().empty());
}

TEST_F(MidiOutTest, ListsDevicesByName) {
  api_.SetOutputNames({"Out A", "Out B"});
  EXPECT_EQ(port_.GetDeviceCount(), 2u);
  char name[kMaxPnameLen];
  port_.GetDeviceName(1, name);
  EXPECT_STREQ(name, "Out B");
  api_.Log().Script("midiOutGetDevCapsA", {MMSYSERR_NODRIVER});
  port_.GetDeviceName(1, name);
  EXPECT_STREQ(name, "");
}

TEST_F(MidiOutTest, OpenAndClose) {
  ASSERT_TRUE(port_.Open(2));
  EXPECT_TRUE(port_.IsOpen());
  EXPECT_TRUE(port_.Open(2));  // same index: nothing happens
  ASSERT_TRUE(port_.Open(4));  // another index: the first device is closed before
  EXPECT_TRUE(port_.Close());
  EXPECT_FALSE(port_.IsOpen());
  const std::vector<PlatformCall> expected = {{"midiOutOpen", {2, 0, 0, CALLBACK_NULL}},
                                              {"midiOutClose", {U(RecordingMidiApi::OutputHandle(1))}},
                                              {"midiOutOpen", {4, 0, 0, CALLBACK_NULL}},
                                              {"midiOutClose", {U(RecordingMidiApi::OutputHandle(2))}}};
  EXPECT_EQ(api_.Calls(), expected);
}

TEST_F(MidiOutTest, AFailedOpenLeavesThePortClosed) {
  api_.Log().Script("midiOutOpen", {MMSYSERR_ALLOCATED});
  EXPECT_FALSE(port_.Open(0));
  EXPECT_FALSE(port_.IsOpen());
  api_.Log().Clear();
  EXPECT_FALSE(port_.Close());
  EXPECT_FALSE(port_.SendLongMessage(&header_));
  EXPECT_TRUE(api_.Calls().empty());
}

TEST_F(MidiOutTest, ClosingAfterAFailingCloseCallStillCloses) {
  ASSERT_TRUE(port_.Open(0));
  api_.Log().Script("midiOutClose", {MMSYSERR_ERROR});
  EXPECT_TRUE(port_.Close());
  EXPECT_FALSE(port_.IsOpen());
}

TEST_F(MidiOutTest, SendingOnAClosedPortTouchesNothing) {
  header_.dwUser = 0x5A5A;
  EXPECT_FALSE(port_.SendLongMessage(&header_));
  EXPECT_FALSE(port_.SendShortMessage(0x7F3C90));
  EXPECT_FALSE(port_.SendShortMessage(0x90, 0x3C, 0x7F));
  EXPECT_TRUE(api_.Calls().empty());
  EXPECT_EQ(header_.dwFlags.load(), 0u);
  EXPECT_EQ(header_.dwUser, 0x5A5Au);
  EXPECT_EQ(header_.dwBytesRecorded, 0u);
}

TEST_F(MidiOutTest, ALongMessageIsPreparedSentAndUnprepared) {
  std::vector<std::vector<uint8_t>> observed;
  port_.SetSendObserver([&](const uint8_t* data, size_t length) { observed.emplace_back(data, data + length); });
  ASSERT_TRUE(port_.Open(0));
  api_.Log().Clear();
  EXPECT_TRUE(port_.SendLongMessage(&header_));
  const uintptr_t h = U(RecordingMidiApi::OutputHandle(1));
  const std::vector<PlatformCall> expected = {{"midiOutPrepareHeader", {h, U(&header_), kSize}},
                                              {"midiOutLongMsg", {h, U(&header_), kSize}},
                                              {"midiOutUnprepareHeader", {h, U(&header_), kSize}}};
  EXPECT_EQ(api_.Calls(), expected);
  EXPECT_EQ(observed, (std::vector<std::vector<uint8_t>>{{0xF0, 0x7D, 0x01, 0x02, 0xF7}}));
}

TEST_F(MidiOutTest, ARefusedStepFailsTheSend) {
  const struct {
    const char* step;
    Names calls;
  } cases[] = {{"midiOutPrepareHeader", {"midiOutPrepareHeader"}},
               {"midiOutLongMsg", {"midiOutPrepareHeader", "midiOutLongMsg", "midiOutUnprepareHeader"}}};
  int observed = 0;
  port_.SetSendObserver([&](const uint8_t*, size_t) { ++observed; });
  ASSERT_TRUE(port_.Open(0));
  for (const auto& c : cases) {
    api_.Log().Clear();
    api_.Log().Script(c.step, {MMSYSERR_NOMEM});
    EXPECT_FALSE(port_.SendLongMessage(&header_)) << c.step;
    EXPECT_EQ(api_.CallNames(), c.calls) << c.step;
  }
  // The watcher sees what is handed to the driver: not the unprepared message, but the one
  // whose long send the driver refused.
  EXPECT_EQ(observed, 1);
}

TEST_F(MidiOutTest, AFrameThatDoesNotLeaveInTimeFailsAndIsTakenBack) {
  ASSERT_TRUE(port_.Open(0));
  api_.SetCompleteLongMessages(false);
  port_.SetSendTimeout(20);
  api_.Log().Clear();
  EXPECT_FALSE(port_.SendLongMessage(&header_));
  EXPECT_EQ(api_.CallNames(),
            (Names{"midiOutPrepareHeader", "midiOutLongMsg", "midiOutReset", "midiOutUnprepareHeader"}));
  EXPECT_EQ(api_.PendingLongMessages(), 0u);
  // The port stays usable.
  api_.SetCompleteLongMessages(true);
  EXPECT_TRUE(port_.SendLongMessage(&header_));
}

TEST_F(MidiOutTest, ClosingDuringASendEndsItAndLaterSendsFail) {
  ASSERT_TRUE(port_.Open(0));
  api_.SetCompleteLongMessages(false);
  std::atomic<int> result{-1};
  std::thread sender([&] { result = port_.SendLongMessage(&header_) ? 1 : 0; });
  ASSERT_TRUE(WaitUntil([&] { return api_.PendingLongMessages() == 1; }));
  EXPECT_TRUE(port_.Close());
  sender.join();
  EXPECT_EQ(result.load(), 0);
  const Names names = api_.CallNames();
  // The handle is released only after the send has given the header back.
  EXPECT_EQ(Names(names.end() - 3, names.end()), (Names{"midiOutReset", "midiOutUnprepareHeader", "midiOutClose"}));
  api_.Log().Clear();
  EXPECT_FALSE(port_.SendLongMessage(&header_));
  EXPECT_FALSE(port_.SendShortMessage(0xF8));
  EXPECT_TRUE(api_.Calls().empty());
}

TEST_F(MidiOutTest, ShortMessagesArePackedLowByteFirst) {
  ASSERT_TRUE(port_.Open(0));
  const uintptr_t h = U(RecordingMidiApi::OutputHandle(1));
  api_.Log().Clear();
  EXPECT_TRUE(port_.SendShortMessage(0x90, 0x3C, 0x7F));
  EXPECT_TRUE(port_.SendShortMessage(0xC0, 0x05, 0x00));
  EXPECT_TRUE(port_.SendShortMessage(0x12345678u));  // the packed form passes unchanged
  api_.Log().Script("midiOutShortMsg", {MIDIERR_NOTREADY});
  EXPECT_FALSE(port_.SendShortMessage(0xF8));
  const std::vector<PlatformCall> expected = {{"midiOutShortMsg", {h, 0x007F3C90}},
                                              {"midiOutShortMsg", {h, 0x000005C0}},
                                              {"midiOutShortMsg", {h, 0x12345678}},
                                              {"midiOutShortMsg", {h, 0xF8}}};
  EXPECT_EQ(api_.Calls(), expected);
}

// Waiting on the driver's done event instead of polling: the port asks for the event only where
// the driver offers one, and every rule of the send stays as it is.
TEST_F(MidiOutTest, TheEventWaitIsAskedForOnlyWhereTheDriverSetsIt) {
  const struct {
    const char* what;
    SendWait wait;
    bool driverSignals;
    uint32_t flags;
  } cases[] = {{"polled, driver with event", SendWait::kPoll, true, CALLBACK_NULL},
               {"event, driver without", SendWait::kEvent, false, CALLBACK_NULL},
               {"event, driver with event", SendWait::kEvent, true, CALLBACK_EVENT}};
  for (const auto& c : cases) {
    RecordingMidiApi api;
    api.SetSignalsDone(c.driverSignals);
    CDxMidiOut port(api);
    port.SetSendWait(c.wait);
    ASSERT_TRUE(port.Open(3)) << c.what;
    const std::vector<PlatformCall> calls = api.Calls();
    ASSERT_EQ(calls.size(), 1u) << c.what;
    EXPECT_EQ(calls[0].name, "midiOutOpen");
    EXPECT_EQ(calls[0].args[0], 3u) << c.what;
    EXPECT_EQ(calls[0].args[3], c.flags) << c.what;
    // The event's address travels as the callback value; without the event it is 0.
    EXPECT_EQ(calls[0].args[1] != 0, c.flags == CALLBACK_EVENT) << c.what;
    EXPECT_EQ(port.WaitsOnDoneEvent(), c.flags == CALLBACK_EVENT) << c.what;
    EXPECT_TRUE(port.SendLongMessage(&header_)) << c.what;
    EXPECT_NE(header_.dwFlags.load() & MHDR_DONE, 0u) << c.what;
  }
}

class MidiOutEventTest : public MidiOutTest {
 protected:
  void SetUp() override {
    api_.SetSignalsDone(true);
    port_.SetSendWait(SendWait::kEvent);
    ASSERT_TRUE(port_.Open(0));
    ASSERT_TRUE(port_.WaitsOnDoneEvent());
  }
};

TEST_F(MidiOutEventTest, ASendReturnsOnceTheDriverMarksItDone) {
  api_.SetCompleteLongMessages(false);
  std::atomic<int> result{-1};
  std::thread sender([&] { result = port_.SendLongMessage(&header_) ? 1 : 0; });
  ASSERT_TRUE(WaitUntil([&] { return api_.PendingLongMessages() == 1; }));
  EXPECT_EQ(result.load(), -1);  // still waiting: the header is not done
  api_.CompleteLongMessages();
  sender.join();
  EXPECT_EQ(result.load(), 1);
  EXPECT_EQ(api_.CallNames(),
            (Names{"midiOutOpen", "midiOutPrepareHeader", "midiOutLongMsg", "midiOutUnprepareHeader"}));
}

TEST_F(MidiOutEventTest, AFrameThatDoesNotLeaveInTimeFailsAndIsTakenBack) {
  api_.SetCompleteLongMessages(false);
  port_.SetSendTimeout(20);
  api_.Log().Clear();
  EXPECT_FALSE(port_.SendLongMessage(&header_));
  EXPECT_EQ(api_.CallNames(),
            (Names{"midiOutPrepareHeader", "midiOutLongMsg", "midiOutReset", "midiOutUnprepareHeader"}));
  EXPECT_EQ(api_.PendingLongMessages(), 0u);
  api_.SetCompleteLongMessages(true);
  EXPECT_TRUE(port_.SendLongMessage(&header_));
}

TEST_F(MidiOutEventTest, ClosingDuringASendEndsItAndLaterSendsFail) {
  api_.SetCompleteLongMessages(false);
  std::atomic<int> result{-1};
  std::thread sender([&] { result = port_.SendLongMessage(&header_) ? 1 : 0; });
  ASSERT_TRUE(WaitUntil([&] { return api_.PendingLongMessages() == 1; }));
  EXPECT_TRUE(port_.Close());
  sender.join();
  EXPECT_EQ(result.load(), 0);
  const Names names = api_.CallNames();
  EXPECT_EQ(Names(names.end() - 3, names.end()), (Names{"midiOutReset", "midiOutUnprepareHeader", "midiOutClose"}));
  EXPECT_FALSE(port_.WaitsOnDoneEvent());
  api_.Log().Clear();
  EXPECT_FALSE(port_.SendLongMessage(&header_));
  EXPECT_TRUE(api_.Calls().empty());
}

// A signal left over from an earlier message ends no later wait: the flag is looked at again.
TEST_F(MidiOutEventTest, AStaleSignalDoesNotEndTheNextSend) {
  EXPECT_TRUE(port_.SendLongMessage(&header_));  // leaves its signal unconsumed or consumed
  api_.SetCompleteLongMessages(false);
  std::atomic<int> result{-1};
  MIDIHDR second;
  second.lpData = frame_;
  second.dwBufferLength = sizeof frame_;
  std::thread sender([&] { result = port_.SendLongMessage(&second) ? 1 : 0; });
  ASSERT_TRUE(WaitUntil([&] { return api_.PendingLongMessages() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(result.load(), -1);
  api_.CompleteLongMessages();
  sender.join();
  EXPECT_EQ(result.load(), 1);
}
}  // namespace
}  // namespace r9

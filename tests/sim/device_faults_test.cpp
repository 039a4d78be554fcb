// Faults and timing of the simulated device: each fault kind observed on a scripted exchange,
// the same seed giving the same faults, and delayed answers leaving in order from the device's
// own thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <thread>

#include "protocol/codec.h"
#include "sim/r9_device.h"
#include "sim_test_util.h"

namespace r9 {
namespace {

using namespace simtest;

Bytes ReadReplyOf(const Bytes& data, bool goodCrc = true) {
  Bytes b(ReadReplyLength(data.size()));
  const uint32_t crc = CrcBlock(data.data(), data.size());
  BuildReadReply(b.data(), kId, data.data(), data.size(), goodCrc ? crc : ~crc);
  return b;
}

// Enter, erase two 4 KiB units, write one block into each, read the first stamp, finish.
struct Script {
  Bytes a = Pattern(64, 1), b = Pattern(64, 2);
  std::vector<Bytes> frames = {EnterFrame(),          EraseFrame(0x1000, 0x2000), WriteFrame(0x1000, a),
                               WriteFrame(0x2000, b), ReadFrame(0x1000, 4),       FinishFrame()};
  std::vector<std::vector<Bytes>> answers = {{DeviceStatus(0)},
                                             {DeviceStatus(0)},
                                             {DeviceAck()},
                                             {DeviceAck()},
                                             {ReadReplyOf(Bytes(a.begin(), a.begin() + 4))},
                                             {DeviceStatus(0)}};
};

TEST(DeviceFaultsTest, AimedFaultsHitTheirFrame) {
  const Script s;
  const Bytes injected = DeviceStatus(kDeviceStatusInjected);
  const Bytes badRead = ReadReplyOf(Bytes(s.a.begin(), s.a.begin() + 4), false);
  struct Case {
    const char* options;
    std::vector<std::vector<Bytes>> answers;  // per scripted frame
    std::function<bool(const SimCounters&)> counted;
    Bytes at0x2000;  // first 4 bytes of the second block afterwards
  } cases[] = {
      {"fault=drop@write:2",
       {{DeviceStatus(0)}, {DeviceStatus(0)}, {DeviceAck()}, {}, s.answers[4], {DeviceStatus(0)}},
       [](const SimCounters& c) { return c.droppedReplies == 1 && c.acknowledgedWrites == 2; },
       Bytes(s.b.begin(), s.b.begin() + 4)},
      {"fault=drop@5",
       {{DeviceStatus(0)}, {DeviceStatus(0)}, {DeviceAck()}, {DeviceAck()}, {}, {DeviceStatus(0)}},
       [](const SimCounters& c) { return c.droppedReplies == 1 && c.readsAnswered == 1; },
       Bytes(s.b.begin(), s.b.begin() + 4)},
      {"fault=error@write:2",
       {{DeviceStatus(0)}, {DeviceStatus(0)}, {DeviceAck()}, {injected}, s.answers[4], {DeviceStatus(0)}},
       [](const SimCounters& c) { return c.injectedErrors == 1 && c.acknowledgedWrites == 1; },
       Bytes(4, 0xFF)},
      {"fault=error@write:1-2",
       {{DeviceStatus(0)}, {DeviceStatus(0)}, {injected}, {injected}, {ReadReplyOf(Bytes(4, 0xFF))}, {DeviceStatus(0)}},
       [](const SimCounters& c) { return c.injectedErrors == 2 && c.acknowledgedWrites == 0; },
       Bytes(4, 0xFF)},
      {"fault=dup@enter:1",
       {{DeviceStatus(0), DeviceStatus(0)},
        {DeviceStatus(0)},
        {DeviceAck()},
        {DeviceAck()},
        s.answers[4],
        {DeviceStatus(0)}},
       [](const SimCounters& c) { return c.duplicatedReplies == 1 && c.framesSent == 7; },
       Bytes(s.b.begin(), s.b.begin() + 4)},
      {"fault=corrupt@read:1",
       {{DeviceStatus(0)}, {DeviceStatus(0)}, {DeviceAck()}, {DeviceAck()}, {badRead}, {DeviceStatus(0)}},
       [](const SimCounters& c) { return c.corruptedReadReplies == 1; },
       Bytes(s.b.begin(), s.b.begin() + 4)},
      {"fault=silent@write:2",
       {{DeviceStatus(0)}, {DeviceStatus(0)}, {DeviceAck()}, {}, {}, {}},
       [](const SimCounters& c) { return c.silencedFrames == 3 && c.reboots == 0; },
       Bytes(4, 0xFF)},
      {"silent-after=3",
       {{DeviceStatus(0)}, {DeviceStatus(0)}, {}, {}, {}, {}},
       [](const SimCounters& c) { return c.silencedFrames == 4 && c.acknowledgedWrites == 0; },
       Bytes(4, 0xFF)},
  };
  for (const Case& c : cases) {
    Rig rig(Parse(c.options));
    for (size_t i = 0; i < s.frames.size(); ++i)
      EXPECT_EQ(rig.Send(s.frames[i]), c.answers[i]) << c.options << " #" << i;
    EXPECT_TRUE(c.counted(rig.device.Counters())) << c.options;
    EXPECT_EQ(rig.device.FlashBytes(0x2000, 4), c.at0x2000) << c.options;
    EXPECT_EQ(rig.device.Frames().size(), s.frames.size()) << c.options;  // recorded even when hung
    EXPECT_TRUE(rig.device.Violations().empty()) << c.options << ": " << rig.device.Violations()[0];
  }
}

TEST(DeviceFaultsTest, ErrorsOnTheFirstSixErasesThenSuccess) {
  Rig rig(Parse("fault=error@erase:1-6"));
  rig.Send(EnterFrame());
  for (int i = 0; i < 6; ++i) EXPECT_EQ(rig.One(EraseFrame(0x0, 0x1000)), DeviceStatus(kDeviceStatusInjected)) << i;
  EXPECT_EQ(rig.device.Counters().erasesDone, 0u);
  EXPECT_EQ(rig.One(EraseFrame(0x0, 0x1000)), DeviceStatus(0));
  EXPECT_EQ(rig.device.Counters().erasesDone, 1u);
}

// One device, one cable: a late answer leaves from the device's thread and holds back every
// answer after it, so answers never overtake each other.
TEST(DeviceFaultsTest, LateAnswerHoldsBackTheAnswersAfterIt) {
  Rig rig(Parse("fault=late@identity:1,late-ms=20"));
  const auto begin = std::chrono::steady_clock::now();
  rig.device.OnHostMessage(IdentityRequestFrame().data(), kIdentityRequestLength);
  const Bytes enter = EnterFrame();
  rig.device.OnHostMessage(enter.data(), enter.size());
  ASSERT_TRUE(rig.capture.WaitFor(2));
  ASSERT_TRUE(rig.device.WaitIdle(std::chrono::seconds(10)));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(20));
  const std::vector<std::thread::id> threads = rig.capture.Threads();
  const std::vector<Bytes> got = rig.capture.Take();
  ASSERT_EQ(got.size(), 2u);
  const Bytes identityReply = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3A, 0x00,
                               0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0xF7};
  EXPECT_EQ(got[0], identityReply);
  EXPECT_EQ(got[1], DeviceStatus(0)) << "the answer behind the late one waits for it";
  EXPECT_NE(threads[0], std::this_thread::get_id());
  EXPECT_NE(threads[1], std::this_thread::get_id());
  EXPECT_EQ(rig.device.Counters().lateReplies, 1u);
  EXPECT_EQ(rig.device.PendingReplies(), 0u);
}

// A reject refuses the frame after the time the device would have spent on it, and leaves the
// flash as it was; an error refuses at once.
TEST(DeviceFaultsTest, RejectRefusesAfterTheProcessingTime) {
  struct Case {
    const char* options;
    bool block;  // else the erase is hit
    uint32_t minMillis;
  } cases[] = {
      {"fault=reject@write:1,scale=1,write-ms=40,link=ideal,latency=0", true, 40},
      {"fault=reject@erase:1,scale=1,erase-ms=30,link=ideal,latency=0", false, 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Rig rig(Parse(c.options));
    // Answers that take the device's time leave from its own thread.
    auto answer = [&](const Bytes& frame) {
      rig.device.OnHostMessage(frame.data(), frame.size());
      if (!rig.capture.WaitFor(1)) return Bytes{};
      const std::vector<Bytes> got = rig.capture.Take();
      return got.size() == 1 ? got[0] : Bytes{};
    };
    EXPECT_EQ(rig.One(EnterFrame()), DeviceStatus(0));
    const auto begin = std::chrono::steady_clock::now();
    if (c.block) {
      EXPECT_EQ(answer(EraseFrame(0x1000, 0x2000)), DeviceStatus(0));
      const auto blockBegin = std::chrono::steady_clock::now();
      EXPECT_EQ(answer(WriteFrame(0x1000, Pattern(64, 1))), DeviceStatus(kDeviceStatusRejected));
      EXPECT_GE(std::chrono::steady_clock::now() - blockBegin, std::chrono::milliseconds(c.minMillis));
      EXPECT_EQ(rig.device.FlashBytes(0x1000, 4), Bytes(4, 0xFF)) << "nothing written";
      EXPECT_EQ(rig.device.Counters().acknowledgedWrites, 0u);
    } else {
      const Bytes held = Pattern(16, 3);
      rig.device.LoadFlash(0x1000, held.data(), held.size());
      EXPECT_EQ(answer(EraseFrame(0x1000, 0x2000)), DeviceStatus(kDeviceStatusRejected));
      EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(c.minMillis));
      EXPECT_EQ(rig.device.FlashBytes(0x1000, 16), held) << "nothing erased";
      EXPECT_EQ(rig.device.Counters().erasesDone, 0u);
    }
    EXPECT_EQ(rig.device.Counters().rejectedFrames, 1u);
  }
}

TEST(DeviceFaultsTest, RandomFaultsHitOnlyTheirScopeButCorruptHitsEveryRead) {
  struct Case {
    const char* options;
    bool identityAnswered, writeAnswered, readGood;
  } cases[] = {
      {"drop=1", true, false, true},
      {"errors=1", true, false, true},
      {"drop=1,scope=identity", false, true, true},
      {"drop=1,scope=all", false, false, false},
      {"corrupt=1,scope=identity", true, true, false},
  };
  for (const Case& c : cases) {
    Rig rig(Parse(c.options));
    rig.device.LoadFlash(0x1000, Pattern(4096).data(), 4096);
    const std::vector<Bytes> identity = rig.Send(IdentityRequestFrame());
    rig.Send(EnterFrame());
    rig.Send(EraseFrame(0x1000, 0x1000));
    const std::vector<Bytes> write = rig.Send(WriteFrame(0x1000, Pattern(8)));
    const std::vector<Bytes> read = rig.Send(ReadFrame(0x1000, 4));
    EXPECT_EQ(identity.size() == 1 && identity[0].size() == kIdentityReplyLength, c.identityAnswered) << c.options;
    EXPECT_EQ(write == std::vector<Bytes>{DeviceAck()}, c.writeAnswered) << c.options;
    EXPECT_EQ(read == std::vector<Bytes>{ReadReplyOf(rig.device.FlashBytes(0x1000, 4))}, c.readGood) << c.options;
  }
}

// Enter, one large erase, then 200 writes each followed by a read of its first bytes.
std::vector<Bytes> RandomScript() {
  std::vector<Bytes> frames = {EnterFrame(), EraseFrame(0x0, 0x100000)};
  for (uint32_t i = 0; i < 200; ++i) {
    frames.push_back(WriteFrame(i * 64, Pattern(64, uint8_t(i))));
    frames.push_back(ReadFrame(i * 64, 4));
  }
  return frames;
}

struct RandomRun {
  std::vector<Bytes> sent;
  SimCounters counters;
};

RandomRun RunScript(const std::string& options) {
  Rig rig(Parse(options));
  for (const Bytes& f : RandomScript()) rig.device.OnHostMessage(f.data(), f.size());
  rig.device.WaitIdle(std::chrono::seconds(10));
  return {rig.device.SentFrames(), rig.device.Counters()};
}

TEST(DeviceFaultsTest, TheSameSeedGivesTheSameFaults) {
  const std::string faults = "drop=0.2,errors=0.2,dup=0.2,corrupt=0.3,scope=write+read,";
  const RandomRun a = RunScript(faults + "seed=7");
  const RandomRun b = RunScript(faults + "seed=7");
  const RandomRun other = RunScript(faults + "seed=8");
  EXPECT_EQ(a.sent, b.sent);
  EXPECT_NE(a.sent, other.sent);
  // Every kind of fault showed up.
  EXPECT_GT(a.counters.droppedReplies, 0u);
  EXPECT_GT(a.counters.injectedErrors, 0u);
  EXPECT_GT(a.counters.duplicatedReplies, 0u);
  EXPECT_GT(a.counters.corruptedReadReplies, 0u);
  EXPECT_LT(a.counters.droppedReplies, 400u);

  // Late answers leave from another thread, so compare what happened rather than the order.
  const RandomRun lateA = RunScript("late=0.25,late-ms=0,scope=write+read,seed=3");
  const RandomRun lateB = RunScript("late=0.25,late-ms=0,scope=write+read,seed=3");
  EXPECT_GT(lateA.counters.lateReplies, 0u);
  EXPECT_EQ(lateA.counters.lateReplies, lateB.counters.lateReplies);
  std::vector<Bytes> sortedA = lateA.sent, sortedB = lateB.sent;
  std::sort(sortedA.begin(), sortedA.end());
  std::sort(sortedB.begin(), sortedB.end());
  EXPECT_EQ(sortedA, sortedB);
}

TEST(DeviceFaultsTest, EachFaultKindDrawsItsOwnNumbers) {
  // Adding duplicates to a seed's drops leaves the drops where they were.
  const RandomRun dropsOnly = RunScript("drop=0.3,scope=write+read,seed=11");
  const RandomRun dropsAndDups = RunScript("drop=0.3,dup=0.5,scope=write+read,seed=11");
  EXPECT_GT(dropsOnly.counters.droppedReplies, 0u);
  EXPECT_EQ(dropsOnly.counters.droppedReplies, dropsAndDups.counters.droppedReplies);
  EXPECT_GT(dropsAndDups.counters.duplicatedReplies, 0u);
}

TEST(DeviceFaultsTest, TimingModelFigures) {
  struct Case {
    const char* options;
    double bytesPerSecond;
    uint32_t latencyMicros;
    double eraseMillis;  // for a 0x234000-byte region
    double writeMillis;
  } cases[] = {
      {"", 0, 0, 0, 0},  // full speed: nothing waits
      {"scale=1,link=din,latency=1,erase-ms=40,write-ms=10", 3125, 1000, 564 * 40, 10},
      {"scale=1,link=usb,latency=0", 1000000, 0, 564 * 40, 10},
      {"scale=2,link=din,latency=1.5", 1562.5, 3000, 564 * 80, 20},
      {"scale=0.5,link=ideal,erase-ms=10,write-ms=4", 0, 500, 564 * 5, 2},
  };
  for (const Case& c : cases) {
    const SimOptions o = Parse(c.options);
    const LinkTiming t = SimLinkTiming(o);
    EXPECT_DOUBLE_EQ(t.bytesPerSecond, c.bytesPerSecond) << c.options;
    EXPECT_EQ(t.latencyMicros, c.latencyMicros) << c.options;
    EXPECT_DOUBLE_EQ(EraseMillis(o, 0x234000), c.eraseMillis) << c.options;
    EXPECT_DOUBLE_EQ(WriteMillis(o), c.writeMillis) << c.options;
  }
  // A partial 4 KiB unit costs a whole one.
  EXPECT_DOUBLE_EQ(EraseMillis(Parse("scale=1,erase-ms=40"), 0x1001), 80);
}

TEST(DeviceFaultsTest, PacedAnswersKeepTheirOrderAndLeaveFromTheDevicesThread) {
  Rig rig(Parse("scale=1,erase-ms=2,write-ms=1"));
  const Bytes data = Pattern(64);
  const std::vector<Bytes> frames = {EnterFrame(), EraseFrame(0x1000, 0x2000), WriteFrame(0x1000, data),
                                     ReadFrame(0x1000, 4)};
  for (const Bytes& f : frames) rig.device.OnHostMessage(f.data(), f.size());
  ASSERT_TRUE(rig.capture.WaitFor(4));
  ASSERT_TRUE(rig.device.WaitIdle(std::chrono::seconds(10)));
  const std::vector<std::thread::id> threads = rig.capture.Threads();
  EXPECT_EQ(rig.capture.Take(), (std::vector<Bytes>{DeviceStatus(0), DeviceStatus(0), DeviceAck(),
                                                    ReadReplyOf(Bytes(data.begin(), data.begin() + 4))}));
  ASSERT_EQ(threads.size(), 4u);
  EXPECT_EQ(threads[0], std::this_thread::get_id());  // no flash work: at once
  EXPECT_NE(threads[1], std::this_thread::get_id());  // the erase takes its time
  EXPECT_NE(threads[2], std::this_thread::get_id());
}

}  // namespace
}  // namespace r9

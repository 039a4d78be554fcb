// The ports over the virtual bus, with a test standing in for the device at the far end.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/dx_midi_in.h"
#include "midi/dx_midi_out.h"
#include "midi/dx_mtimer.h"
#include "platform/kernel.h"
#include "platform/portable_timer.h"
#include "platform/virtual_bus.h"
#include "tests/platform/wait_until.h"

namespace r9 {
namespace {

using Bytes = std::vector<uint8_t>;
using test::WaitUntil;

// A SysEx message of length bytes whose body follows from seed.
Bytes Frame(size_t length, uint8_t seed = 0) {
  Bytes bytes(length);
  for (size_t i = 1; i + 1 < length; ++i) bytes[i] = uint8_t((i * 31 + seed * 17) & 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

class TransportTest : public testing::Test {
 protected:
  void SetUp() override {
    device_ = bus_->Attach("R9 test device");
    ASSERT_NE(device_, nullptr);
    device_->SetReceiver([this](const uint8_t* bytes, size_t length) {
      std::lock_guard lock(mutex_);
      atDevice_.emplace_back(bytes, bytes + length);
    });
    ASSERT_TRUE(in_.Open(0));
    ASSERT_TRUE(out_.Open(0));
  }

  std::vector<Bytes> AtDevice() {
    std::lock_guard lock(mutex_);
    return atDevice_;
  }
  bool SendFrame(const Bytes& frame) {
    Bytes copy = frame;
    MIDIHDR header;
    header.lpData = reinterpret_cast<char*>(copy.data());
    header.dwBufferLength = uint32_t(copy.size());
    return out_.SendLongMessage(&header);
  }
  // Waits for count entries, then takes them out of the queue.
  std::vector<Bytes> TakeEntries(size_t count) {
    std::vector<Bytes> entries;
    EXPECT_TRUE(WaitUntil([&] {
      size_t length = 0;
      while (const uint8_t* data = in_.PeekSysEx(&length)) {
        entries.emplace_back(data, data + length);
        in_.PopSysEx();
      }
      return entries.size() >= count;
    }));
    return entries;
  }

  std::unique_ptr<VirtualMidiBus> bus_ = VirtualMidiBus::Create();
  std::shared_ptr<VirtualEndpoint> device_;
  std::mutex mutex_;
  std::vector<Bytes> atDevice_;
  CDxMidiIn in_{*bus_};
  CDxMidiOut out_{*bus_};
};

struct SizeCase {
  size_t length;
  std::vector<size_t> entries;  // how the host's queue receives it
};

class LongMessageTest : public TransportTest, public testing::WithParamInterface<SizeCase> {};

TEST_P(LongMessageTest, ReachesTheDeviceByteExact) {
  const Bytes frame = Frame(GetParam().length, 1);
  ASSERT_TRUE(SendFrame(frame));
  // The send returned once the bytes were out; the device has them whole, in one piece.
  ASSERT_TRUE(WaitUntil([&] { return AtDevice().size() == 1; }));
  EXPECT_EQ(AtDevice()[0], frame);
}

TEST_P(LongMessageTest, ReachesTheHostByteExactInBufferSizedEntries) {
  const Bytes frame = Frame(GetParam().length, 2);
  ASSERT_TRUE(device_->SendToHost(frame.data(), frame.size()));
  const std::vector<Bytes> entries = TakeEntries(GetParam().entries.size());
  std::vector<size_t> sizes;
  Bytes joined;
  for (const Bytes& entry : entries) {
    sizes.push_back(entry.size());
    joined.insert(joined.end(), entry.begin(), entry.end());
  }
  EXPECT_EQ(sizes, GetParam().entries);
  EXPECT_EQ(joined, frame);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LongMessageTest,
                         testing::Values(SizeCase{6, {6}}, SizeCase{4700, {4700}}, SizeCase{8192, {8192}},
                                         SizeCase{8193, {8192, 1}}, SizeCase{18742, {8192, 8192, 2358}}),
                         [](const auto& info) { return std::to_string(info.param.length); });

TEST_F(TransportTest, TheReceiveObserverSeesEachEntry) {
  std::atomic<size_t> observedBytes{0};
  in_.Close();
  in_.SetReceiveObserver([&](const uint8_t*, size_t length) { observedBytes += length; });
  ASSERT_TRUE(in_.Open(0));
  const Bytes frame = Frame(8193);
  ASSERT_TRUE(device_->SendToHost(frame.data(), frame.size()));
  TakeEntries(2);
  EXPECT_EQ(observedBytes.load(), frame.size());
}

TEST_F(TransportTest, EntriesReceivedBeforeCloseArePoppedAfterIt) {
  std::atomic<int> observed{0};
  in_.SetReceiveObserver([&](const uint8_t*, size_t) { ++observed; });
  const Bytes first = Frame(10, 1), second = Frame(20, 2);
  ASSERT_TRUE(device_->SendToHost(first.data(), first.size()));
  ASSERT_TRUE(device_->SendToHost(second.data(), second.size()));
  ASSERT_TRUE(WaitUntil([&] { return observed.load() == 2; }));
  in_.Close();  // returns only once the driver has finished handing over what it received
  EXPECT_EQ(TakeEntries(2), (std::vector<Bytes>{first, second}));
}

TEST_F(TransportTest, ShortMessagesBothWays) {
  ASSERT_TRUE(out_.SendShortMessage(0x90, 0x3C, 0x7F));
  ASSERT_TRUE(WaitUntil([&] { return AtDevice().size() == 1; }));
  EXPECT_EQ(AtDevice()[0], (Bytes{0x90, 0x3C, 0x7F}));

  const uint8_t note[] = {0x80, 0x3C, 0x00};
  ASSERT_TRUE(device_->SendToHost(note, sizeof note));
  uint8_t bytes[3] = {};
  ASSERT_TRUE(WaitUntil([&] { return in_.ReadShortMessage(bytes, 3) == 3; }));
  EXPECT_EQ(Bytes(bytes, bytes + 3), (Bytes{0x80, 0x3C, 0x00}));
}

TEST_F(TransportTest, TwoSendersNeverInterleaveTheirFrames) {
  device_->SetTiming({2000000.0, 0});  // a fast link that still takes time, so the senders meet
  constexpr int kFramesEach = 20;
  auto sender = [&](uint8_t seed) {
    for (int i = 0; i < kFramesEach; ++i) EXPECT_TRUE(SendFrame(Frame(4700, seed)));
  };
  std::thread a(sender, 1), b(sender, 2);
  a.join();
  b.join();
  ASSERT_TRUE(WaitUntil([&] { return AtDevice().size() == 2 * kFramesEach; }));
  int fromA = 0, fromB = 0;
  for (const Bytes& frame : AtDevice()) {
    if (frame == Frame(4700, 1)) {
      ++fromA;
    } else if (frame == Frame(4700, 2)) {
      ++fromB;
    } else {
      ADD_FAILURE() << "a frame of " << frame.size() << " bytes mixes both senders";
    }
  }
  EXPECT_EQ(fromA, kFramesEach);
  EXPECT_EQ(fromB, kFramesEach);
}

TEST_F(TransportTest, CloseDuringASendEndsItAndLaterSendsFail) {
  device_->SetTiming({1000.0, 0});  // 4700 bytes would take almost five seconds
  std::atomic<int> result{-1};
  std::thread sender([&] { result = SendFrame(Frame(4700)) ? 1 : 0; });
  Sleep(20);  // most likely under way by now; closing before it starts must fail it all the same
  EXPECT_TRUE(out_.Close());
  sender.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_FALSE(SendFrame(Frame(6)));
  EXPECT_TRUE(AtDevice().empty());  // an abandoned frame never reaches the device
}

TEST_F(TransportTest, AFrameThatTakesTooLongFailsAndThePortCarriesOn) {
  device_->SetTiming({1000.0, 0});
  out_.SetSendTimeout(30);
  EXPECT_FALSE(SendFrame(Frame(4700)));
  device_->SetTiming({});
  out_.SetSendTimeout(CDxMidiOut::kDefaultSendTimeoutMs);
  const Bytes next = Frame(6, 3);
  EXPECT_TRUE(SendFrame(next));
  ASSERT_TRUE(WaitUntil([&] { return !AtDevice().empty(); }));
  EXPECT_EQ(AtDevice(), std::vector<Bytes>{next});
}

TEST_F(TransportTest, ReopeningGivesAWorkingPort) {
  in_.Close();
  out_.Close();
  ASSERT_TRUE(in_.Open(0));
  ASSERT_TRUE(out_.Open(0));
  const Bytes frame = Frame(100);
  ASSERT_TRUE(device_->SendToHost(frame.data(), frame.size()));
  EXPECT_EQ(TakeEntries(1), std::vector<Bytes>{frame});
  ASSERT_TRUE(SendFrame(frame));
  ASSERT_TRUE(WaitUntil([&] { return AtDevice().size() == 1; }));
}

// The device sends while the dispatcher's timer drains the queue: nothing lost, nothing out of
// order, and (under the thread sanitizer) no race between the driver thread and the consumer.
TEST_F(TransportTest, ProducerAndConsumerHammerTheQueue) {
  constexpr int kMessages = 3000;
  struct Consumer {
    CDxMidiIn* in;
    std::mutex mutex;
    std::vector<int> numbers;
    std::atomic<int> count{0};
  } consumer{&in_, {}, {}, {}};
  auto drain = [](uint32_t, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
    auto* c = reinterpret_cast<Consumer*>(user);
    size_t length = 0;
    while (const uint8_t* data = c->in->PeekSysEx(&length)) {
      if (length == 5) {
        std::lock_guard lock(c->mutex);
        c->numbers.push_back(data[1] | data[2] << 7 | data[3] << 14);
      }
      c->in->PopSysEx();
      ++c->count;
    }
  };
  PortableTimer timerApi;
  CDxMTimer timer(timerApi);
  ASSERT_NE(timer.Start(1, drain, reinterpret_cast<uintptr_t>(&consumer)), 0u);
  std::thread producer([&] {
    for (int i = 0; i < kMessages; ++i) {
      const uint8_t message[] = {0xF0, uint8_t(i & 0x7F), uint8_t((i >> 7) & 0x7F), uint8_t(i >> 14), 0xF7};
      ASSERT_TRUE(device_->SendToHost(message, sizeof message));
    }
  });
  producer.join();
  ASSERT_TRUE(WaitUntil([&] { return consumer.count.load() == kMessages; }));
  timer.Stop();
  std::vector<int> expected(kMessages);
  for (int i = 0; i < kMessages; ++i) expected[i] = i;
  std::lock_guard lock(consumer.mutex);
  EXPECT_EQ(consumer.numbers, expected);
}

TEST_F(TransportTest, NoTickRunsAfterStopReturns) {
  struct State {
    std::atomic<int> ticks{0};
    std::atomic<bool> inTick{false};
  } state;
  auto tick = [](uint32_t, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
    auto* s = reinterpret_cast<State*>(user);
    s->inTick = true;
    Sleep(2);
    ++s->ticks;
    s->inTick = false;
  };
  PortableTimer timerApi;
  CDxMTimer timer(timerApi);
  ASSERT_NE(timer.Start(1, tick, reinterpret_cast<uintptr_t>(&state)), 0u);
  ASSERT_TRUE(WaitUntil([&] { return state.ticks.load() >= 3 && state.inTick.load(); }));
  timer.Stop();
  EXPECT_FALSE(state.inTick.load());
}

}  // namespace
}  // namespace r9

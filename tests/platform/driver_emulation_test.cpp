#include "platform/driver_emulation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/platform/wait_until.h"

namespace r9 {
namespace {

using test::WaitUntil;

// What the host's callback saw: the notification, and for long data the bytes and flags at that
// moment.
struct Seen {
  uint32_t message;
  uintptr_t param1;
  std::vector<uint8_t> bytes;
  bool done = false;
  std::thread::id thread;
};

// A host that owns a few receive buffers and, like the input port, hands a buffer back as soon
// as it has copied what it brought (when reAdd is on).
class InputDriverTest : public testing::Test {
 protected:
  static constexpr uintptr_t kHandle = 0x77;

  void SetUp() override {
    driver_ = std::make_unique<MidiInputEmulation>(reinterpret_cast<HMIDIIN>(kHandle), &Callback,
                                                   reinterpret_cast<uintptr_t>(this));
  }
  void TearDown() override {
    if (driver_) {
      driver_->Reset();
      EXPECT_EQ(driver_->Close(), MMSYSERR_NOERROR);
    }
  }

  MIDIHDR* NewBuffer(uint32_t size) {
    storage_.push_back(std::make_unique<char[]>(size));
    headers_.push_back(std::make_unique<MIDIHDR>());
    MIDIHDR* header = headers_.back().get();
    header->lpData = storage_.back().get();
    header->dwBufferLength = size;
    return header;
  }
  // Prepared and queued.
  MIDIHDR* QueueBuffer(uint32_t size) {
    MIDIHDR* header = NewBuffer(size);
    EXPECT_EQ(driver_->PrepareHeader(header), MMSYSERR_NOERROR);
    EXPECT_EQ(driver_->AddBuffer(header), MMSYSERR_NOERROR);
    return header;
  }
  void Feed(const std::vector<uint8_t>& bytes) { ASSERT_TRUE(driver_->Feed(bytes.data(), bytes.size())); }

  static void Callback(HMIDIIN handle, uint32_t message, uintptr_t instance, uintptr_t param1, uintptr_t) {
    auto* self = reinterpret_cast<InputDriverTest*>(instance);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(handle), kHandle);
    Seen seen{message, param1, {}, false, std::this_thread::get_id()};
    auto* header = reinterpret_cast<MIDIHDR*>(param1);
    if (message == MIM_LONGDATA) {
      seen.bytes.assign(header->lpData, header->lpData + header->dwBytesRecorded);
      seen.done = (header->dwFlags.load() & MHDR_DONE) != 0;
      EXPECT_FALSE(header->dwFlags.load() & MHDR_INQUEUE);
    }
    {
      std::lock_guard lock(self->mutex_);
      self->seen_.push_back(seen);
    }
    if (message == MIM_LONGDATA && self->reAdd_ && header->dwBytesRecorded > 0) self->driver_->AddBuffer(header);
    if (message == MIM_DATA && self->closeInCallback_) self->closeFromCallback_.store(self->driver_->Close());
  }

  std::vector<Seen> SeenOf(uint32_t message) {
    std::lock_guard lock(mutex_);
    std::vector<Seen> out;
    for (const auto& seen : seen_) {
      if (seen.message == message) out.push_back(seen);
    }
    return out;
  }
  size_t Count(uint32_t message) { return SeenOf(message).size(); }

  std::unique_ptr<MidiInputEmulation> driver_;
  std::vector<std::unique_ptr<char[]>> storage_;
  std::vector<std::unique_ptr<MIDIHDR>> headers_;
  std::mutex mutex_;
  std::vector<Seen> seen_;
  bool reAdd_ = true;
  // On: the callback tries to close the port when a short message arrives, and keeps the result.
  bool closeInCallback_ = false;
  std::atomic<MMRESULT> closeFromCallback_{~MMRESULT(0)};
};

std::vector<uint8_t> SysEx(size_t length) {
  std::vector<uint8_t> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t((i * 7 + 3) & 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

struct SplitCase {
  uint32_t bufferSize;
  size_t messageLength;
  std::vector<size_t> pieces;
};

class SysExSplitTest : public InputDriverTest, public testing::WithParamInterface<SplitCase> {};

TEST_P(SysExSplitTest, FillsBuffersInTurnOnTheDriverThread) {
  const SplitCase& c = GetParam();
  QueueBuffer(c.bufferSize);
  ASSERT_EQ(driver_->Start(), MMSYSERR_NOERROR);
  const std::vector<uint8_t> message = SysEx(c.messageLength);
  Feed(message);
  ASSERT_TRUE(WaitUntil([&] { return Count(MIM_LONGDATA) == c.pieces.size(); }));

  std::vector<uint8_t> joined;
  std::vector<size_t> pieces;
  for (const Seen& seen : SeenOf(MIM_LONGDATA)) {
    EXPECT_TRUE(seen.done);
    EXPECT_NE(seen.thread, std::this_thread::get_id());
    pieces.push_back(seen.bytes.size());
    joined.insert(joined.end(), seen.bytes.begin(), seen.bytes.end());
  }
  EXPECT_EQ(pieces, c.pieces);
  EXPECT_EQ(joined, message);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SysExSplitTest,
                         testing::Values(SplitCase{16, 6, {6}}, SplitCase{16, 16, {16}}, SplitCase{16, 17, {16, 1}},
                                         SplitCase{16, 40, {16, 16, 8}}, SplitCase{8192, 18742, {8192, 8192, 2358}}));

TEST_F(InputDriverTest, ShortAndRealTimeMessagesArriveApartFromTheSysEx) {
  QueueBuffer(64);
  driver_->Start();
  Feed({0xF0, 0x01, 0xF8, 0x02, 0xF7, 0x90, 0x3C, 0x7F});
  ASSERT_TRUE(WaitUntil([&] { return Count(MIM_DATA) == 2; }));
  std::lock_guard lock(mutex_);
  std::vector<std::pair<uint32_t, uintptr_t>> order;
  for (const Seen& seen : seen_) {
    if (seen.message == MIM_DATA || seen.message == MIM_LONGDATA)
      order.emplace_back(seen.message, seen.message == MIM_DATA ? seen.param1 : seen.bytes.size());
  }
  const std::vector<std::pair<uint32_t, uintptr_t>> expected = {
      {MIM_DATA, 0xF8}, {MIM_LONGDATA, 4}, {MIM_DATA, 0x7F3C90}};
  EXPECT_EQ(order, expected);
}

TEST_F(InputDriverTest, BytesWaitForABufferAndKeepTheirOrder) {
  driver_->Start();
  Feed({0xF0, 0x05, 0xF7, 0x90, 0x3C, 0x7F});
  QueueBuffer(64);
  ASSERT_TRUE(WaitUntil([&] { return Count(MIM_DATA) == 1; }));
  const auto seen = SeenOf(MIM_LONGDATA);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].bytes, (std::vector<uint8_t>{0xF0, 0x05, 0xF7}));
}

TEST_F(InputDriverTest, BytesArrivingWhileStoppedAreLost) {
  QueueBuffer(64);
  Feed({0xF0, 0x01, 0xF7});  // before the start
  driver_->Start();
  driver_->Stop();
  Feed({0xF0, 0x02, 0xF7});  // after a stop
  driver_->Start();
  Feed({0xF0, 0x03, 0xF7});
  ASSERT_TRUE(WaitUntil([&] { return Count(MIM_LONGDATA) == 1; }));
  EXPECT_EQ(SeenOf(MIM_LONGDATA)[0].bytes, (std::vector<uint8_t>{0xF0, 0x03, 0xF7}));
}

TEST_F(InputDriverTest, ResetHandsBackEveryBufferBeforeItReturns) {
  reAdd_ = false;
  MIDIHDR* first = QueueBuffer(64);
  MIDIHDR* second = QueueBuffer(64);
  driver_->Start();
  // A SysEx still under way; the real-time byte behind it shows when its bytes are in the buffer.
  Feed({0xF0, 0x01, 0x02, 0xF8});
  ASSERT_TRUE(WaitUntil([&] { return Count(MIM_DATA) == 1; }));
  ASSERT_EQ(driver_->Reset(), MMSYSERR_NOERROR);
  const auto seen = SeenOf(MIM_LONGDATA);  // no waiting: Reset returned after the callbacks
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].param1, reinterpret_cast<uintptr_t>(first));
  EXPECT_EQ(seen[0].bytes, (std::vector<uint8_t>{0xF0, 0x01, 0x02}));
  EXPECT_EQ(seen[1].param1, reinterpret_cast<uintptr_t>(second));
  EXPECT_TRUE(seen[1].bytes.empty());
  for (const Seen& s : seen) EXPECT_TRUE(s.done);
  EXPECT_EQ(driver_->UnprepareHeader(first), MMSYSERR_NOERROR);
}

TEST_F(InputDriverTest, StopHandsBackOnlyAPartlyFilledBuffer) {
  reAdd_ = false;
  MIDIHDR* first = QueueBuffer(64);
  MIDIHDR* second = QueueBuffer(64);
  driver_->Start();
  Feed({0xF0, 0x01, 0xF8});
  ASSERT_TRUE(WaitUntil([&] { return Count(MIM_DATA) == 1; }));
  driver_->Stop();
  const auto seen = SeenOf(MIM_LONGDATA);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].param1, reinterpret_cast<uintptr_t>(first));
  EXPECT_TRUE(second->dwFlags.load() & MHDR_INQUEUE);
  EXPECT_EQ(driver_->Close(), MIDIERR_STILLPLAYING);  // the empty one is still queued
}

TEST_F(InputDriverTest, CloseIsTheLastNotification) {
  driver_->Start();
  ASSERT_EQ(driver_->Close(), MMSYSERR_NOERROR);
  std::lock_guard lock(mutex_);
  ASSERT_FALSE(seen_.empty());
  EXPECT_EQ(seen_.front().message, MIM_OPEN);
  EXPECT_EQ(seen_.back().message, MIM_CLOSE);
  EXPECT_FALSE(driver_->Feed(reinterpret_cast<const uint8_t*>("\xF0\xF7"), 2));
  EXPECT_EQ(driver_->Start(), MMSYSERR_INVALHANDLE);
  driver_.reset();
}

TEST_F(InputDriverTest, ACloseFromItsOwnCallbackIsRefusedAndThePortGoesOn) {
  // The driver thread runs the callback and cannot wait for itself to end.
  closeInCallback_ = true;
  driver_->Start();
  Feed({0x90, 0x40, 0x7F});
  ASSERT_TRUE(WaitUntil([&] { return closeFromCallback_.load() != ~MMRESULT(0); }));
  EXPECT_EQ(closeFromCallback_.load(), MMSYSERR_ERROR);
  closeInCallback_ = false;
  Feed({0x80, 0x40, 0x00});
  EXPECT_TRUE(WaitUntil([&] { return Count(MIM_DATA) == 2; }));
}

TEST_F(InputDriverTest, RefusesHeadersItCannotUse) {
  MIDIHDR* unprepared = NewBuffer(16);
  EXPECT_EQ(driver_->AddBuffer(unprepared), MIDIERR_UNPREPARED);
  EXPECT_EQ(driver_->AddBuffer(nullptr), MMSYSERR_INVALPARAM);
  MIDIHDR* empty = NewBuffer(16);
  empty->dwBufferLength = 0;
  EXPECT_EQ(driver_->PrepareHeader(empty), MMSYSERR_INVALPARAM);
  MIDIHDR* queued = QueueBuffer(16);
  EXPECT_EQ(driver_->AddBuffer(queued), MIDIERR_STILLPLAYING);
  EXPECT_EQ(driver_->UnprepareHeader(queued), MIDIERR_STILLPLAYING);
}

}  // namespace
}  // namespace r9

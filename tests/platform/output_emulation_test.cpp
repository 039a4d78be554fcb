#include "platform/driver_emulation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/platform/wait_until.h"

namespace r9 {
namespace {

using test::WaitUntil;

class OutputDriverTest : public testing::Test {
 protected:
  OutputDriverTest()
      : driver_([this](std::vector<uint8_t> message) {
          std::unique_lock lock(mutex_);
          sunk_.push_back(std::move(message));
          sinkThreads_.push_back(std::this_thread::get_id());
          released_.wait(lock, [this] { return !hold_; });
          if (closeInSink_) closeFromSink_.store(driver_.Close());
          return !refuse_;
        }) {}

  void Prepare(MIDIHDR& header, std::vector<char>& bytes) {
    header.lpData = bytes.data();
    header.dwBufferLength = uint32_t(bytes.size());
    ASSERT_EQ(driver_.PrepareHeader(&header), MMSYSERR_NOERROR);
  }
  std::vector<std::vector<uint8_t>> Sunk() {
    std::lock_guard lock(mutex_);
    return sunk_;
  }
  static bool Done(const MIDIHDR& header) { return (header.dwFlags.load() & MHDR_DONE) != 0; }

  std::mutex mutex_;
  std::vector<std::vector<uint8_t>> sunk_;
  std::vector<std::thread::id> sinkThreads_;
  bool refuse_ = false;  // under mutex_: the link refuses what it is given
  bool hold_ = false;    // under mutex_: the link takes nothing until released_
  std::condition_variable released_;
  bool closeInSink_ = false;  // under mutex_: the link tries to close the port, from the driver thread
  std::atomic<MMRESULT> closeFromSink_{~MMRESULT(0)};
  MidiOutputEmulation driver_;
};

// A message the link could not deliver comes back done and marked failed, so the sender learns
// it did not leave; the flag goes with the next message on the same header.
TEST_F(OutputDriverTest, AMessageTheLinkRefusedComesBackFailed) {
  std::vector<char> bytes = {'\xF0', 1, 2, 3, '\xF7'};
  MIDIHDR header;
  Prepare(header, bytes);
  {
    std::lock_guard lock(mutex_);
    refuse_ = true;
  }
  ASSERT_EQ(driver_.LongMsg(&header), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return Done(header); }));
  EXPECT_TRUE(header.dwFlags.load() & MHDR_FAILED);
  EXPECT_FALSE(header.dwFlags.load() & MHDR_INQUEUE);
  {
    std::lock_guard lock(mutex_);
    refuse_ = false;
  }
  ASSERT_EQ(driver_.LongMsg(&header), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return Done(header); }));
  EXPECT_FALSE(header.dwFlags.load() & MHDR_FAILED);
  EXPECT_EQ(Sunk().size(), 2u);
  EXPECT_EQ(driver_.UnprepareHeader(&header), MMSYSERR_NOERROR);
  EXPECT_EQ(driver_.Close(), MMSYSERR_NOERROR);
}

TEST_F(OutputDriverTest, SendsACopyAndMarksTheHeaderDoneAfterwards) {
  std::vector<char> bytes = {'\xF0', 1, 2, 3, '\xF7'};
  MIDIHDR header;
  Prepare(header, bytes);
  ASSERT_EQ(driver_.LongMsg(&header), MMSYSERR_NOERROR);
  bytes[1] = 0x55;  // the driver took its copy in LongMsg
  ASSERT_TRUE(WaitUntil([&] { return Done(header); }));
  // Done comes after the hand-over, so the message is already with the far end.
  ASSERT_EQ(Sunk().size(), 1u);
  EXPECT_EQ(Sunk()[0], (std::vector<uint8_t>{0xF0, 1, 2, 3, 0xF7}));
  EXPECT_NE(sinkThreads_[0], std::this_thread::get_id());
  EXPECT_FALSE(header.dwFlags.load() & MHDR_INQUEUE);
  EXPECT_EQ(driver_.UnprepareHeader(&header), MMSYSERR_NOERROR);
  EXPECT_EQ(driver_.Close(), MMSYSERR_NOERROR);
}

TEST_F(OutputDriverTest, KeepsLongAndShortMessagesInOrder) {
  std::vector<char> first = {'\xF0', 1, '\xF7'};
  std::vector<char> second = {'\xF0', 2, '\xF7'};
  MIDIHDR a, b;
  Prepare(a, first);
  Prepare(b, second);
  ASSERT_EQ(driver_.LongMsg(&a), MMSYSERR_NOERROR);
  ASSERT_EQ(driver_.ShortMsg(0x7F3C90), MMSYSERR_NOERROR);
  ASSERT_EQ(driver_.LongMsg(&b), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return Done(b); }));
  const std::vector<std::vector<uint8_t>> expected = {{0xF0, 1, 0xF7}, {0x90, 0x3C, 0x7F}, {0xF0, 2, 0xF7}};
  EXPECT_EQ(Sunk(), expected);
}

TEST_F(OutputDriverTest, ShortMessagesTakeTheLengthOfTheirStatus) {
  const struct {
    uint32_t message;
    MMRESULT result;
    std::vector<uint8_t> bytes;
  } cases[] = {{0x7F3C90, MMSYSERR_NOERROR, {0x90, 0x3C, 0x7F}},
               {0x0010C5, MMSYSERR_NOERROR, {0xC5, 0x10}},
               {0x0000F8, MMSYSERR_NOERROR, {0xF8}},
               {0x00003C, MMSYSERR_INVALPARAM, {}},
               {0x0000F0, MMSYSERR_INVALPARAM, {}}};
  size_t expectedCount = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(driver_.ShortMsg(c.message), c.result) << std::hex << c.message;
    if (c.result != MMSYSERR_NOERROR) continue;
    ++expectedCount;
    ASSERT_TRUE(WaitUntil([&] { return Sunk().size() == expectedCount; }));
    EXPECT_EQ(Sunk().back(), c.bytes) << std::hex << c.message;
  }
}

// The link holds a message: a reset gives its header back at once, failed, and the link's
// late success does not mark it sent.
TEST_F(OutputDriverTest, ResetAbandonsWhatIsStillOnItsWay) {
  {
    std::lock_guard lock(mutex_);
    hold_ = true;
  }
  std::vector<char> bytes(1000, 0x11);
  bytes.front() = char(0xF0);
  bytes.back() = char(0xF7);
  MIDIHDR header;
  Prepare(header, bytes);
  ASSERT_EQ(driver_.LongMsg(&header), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return Sunk().size() == 1; }));
  EXPECT_EQ(driver_.Close(), MIDIERR_STILLPLAYING);
  ASSERT_EQ(driver_.Reset(), MMSYSERR_NOERROR);
  EXPECT_TRUE(Done(header));  // at once, while the link still holds it
  EXPECT_TRUE(header.dwFlags.load() & MHDR_FAILED);
  EXPECT_FALSE(header.dwFlags.load() & MHDR_INQUEUE);
  EXPECT_EQ(driver_.UnprepareHeader(&header), MMSYSERR_NOERROR);
  {
    std::lock_guard lock(mutex_);
    hold_ = false;
  }
  released_.notify_all();
  ASSERT_EQ(driver_.Close(), MMSYSERR_NOERROR);
  EXPECT_TRUE(header.dwFlags.load() & MHDR_FAILED);
}

TEST_F(OutputDriverTest, ACloseFromTheDriverThreadIsRefusedAndThePortGoesOn) {
  // The driver thread hands messages to the link and cannot wait for itself to end.
  {
    std::lock_guard lock(mutex_);
    closeInSink_ = true;
  }
  ASSERT_EQ(driver_.ShortMsg(0x407F90), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return closeFromSink_.load() != ~MMRESULT(0); }));
  EXPECT_EQ(closeFromSink_.load(), MMSYSERR_ERROR);
  {
    std::lock_guard lock(mutex_);
    closeInSink_ = false;
  }
  ASSERT_EQ(driver_.ShortMsg(0x004080), MMSYSERR_NOERROR);
  EXPECT_TRUE(WaitUntil([&] { return Sunk().size() == 2; }));
  EXPECT_EQ(driver_.Close(), MMSYSERR_NOERROR);
}

TEST_F(OutputDriverTest, RefusesHeadersItCannotSend) {
  std::vector<char> bytes = {'\xF0', '\xF7'};
  MIDIHDR unprepared;
  unprepared.lpData = bytes.data();
  unprepared.dwBufferLength = 2;
  EXPECT_EQ(driver_.LongMsg(&unprepared), MIDIERR_UNPREPARED);
  EXPECT_EQ(driver_.LongMsg(nullptr), MMSYSERR_INVALPARAM);
  MIDIHDR empty;
  empty.lpData = bytes.data();
  EXPECT_EQ(driver_.LongMsg(&empty), MMSYSERR_INVALPARAM);
  ASSERT_EQ(driver_.Close(), MMSYSERR_NOERROR);
  EXPECT_EQ(driver_.PrepareHeader(&unprepared), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(driver_.ShortMsg(0x90), MMSYSERR_INVALHANDLE);
}

}  // namespace
}  // namespace r9

// The reply dispatcher, fed through the simulated device's own frames with no worker running.
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>

#include "protocol/codec.h"
#include "tests/updater/dialog_fixture.h"

namespace r9::test {
namespace {

using Bytes = std::vector<uint8_t>;

class DispatcherTest : public DialogFixture {
 protected:
  void SetUp() override {
    SetDeviceIdentity({0, 0, 0, 0});
    SetHostIdentity({0, 0, 0, 0});
    Start();
    // Set while no message arrives: counts what the dispatcher hands on, so a test waits for
    // that, never for a time.
    dialog->SetDispatchObserver([this](const uint8_t*, size_t) { ++dispatched_; });
    ASSERT_EQ(dialog->OpenPorts(), 0);
  }
  void TearDown() override {
    DialogFixture::TearDown();
    SetDeviceIdentity({0, 0, 0, 0});
    SetHostIdentity({0, 0, 0, 0});
  }

  // Sends a frame from the device and waits until the dispatcher has handed on messages more
  // of it and the input queue is empty: the dispatcher has acted on it.
  void Settle(const Bytes& frame, int messages = 1) {
    const int before = dispatched_.load();
    device->SendDeviceFrame(frame.data(), frame.size());
    ASSERT_TRUE(view.PumpUntil(
        *dialog,
        [&] { return dispatched_.load() >= before + messages && dialog->MidiInPort().PeekSysEx() == nullptr; },
        std::chrono::seconds(30)));
  }
  // Feeds a frame: true when the dispatcher signalled for it.
  bool Feed(const Bytes& frame) {
    Settle(frame);
    return dialog->WaitForReply(0) == WAIT_OBJECT_0;
  }
  std::atomic<int> dispatched_{0};
  bool Signalled() { return dialog->WaitForReply(50) == WAIT_OBJECT_0; }

  // The host's answers the device has received so far.
  std::vector<Bytes> HostAnswers() {
    std::vector<Bytes> answers;
    for (const ReceivedFrame& f : device->Frames())
      if (f.kind == HostFrameKind::kStatus || f.kind == HostFrameKind::kHostIdentityReply) answers.push_back(f.bytes);
    return answers;
  }
  // The host's answers to a frame of the device, once the dispatcher has acted on it and the
  // expected number of answers (sent before the message left the queue) has reached the device.
  std::vector<Bytes> AnswersAfter(const Bytes& frame, size_t expected = 0, int messages = 1) {
    const size_t before = HostAnswers().size();
    Settle(frame, messages);
    view.PumpUntil(
        *dialog, [&] { return HostAnswers().size() >= before + expected; }, std::chrono::seconds(30));
    std::vector<Bytes> all = HostAnswers();
    return std::vector<Bytes>(all.begin() + long(before), all.end());
  }

  static Bytes ReadReply(const Bytes& data, bool goodCrc = true) {
    Bytes out(ReadReplyLength(data.size()));
    const uint32_t crc = CrcBlock(data.data(), data.size());
    BuildReadReply(out.data(), 0x3A, data.data(), data.size(), goodCrc ? crc : crc ^ 1);
    return out;
  }
};

TEST_F(DispatcherTest, StatusFrames) {
  struct Case {
    Bytes frame;
    int32_t status;
  };
  const Case cases[] = {
      {{0xF0, 0x7D, 0x00, 0x3A, 0x00, 0x00, 0xF7}, 0},
      {{0xF0, 0x7D, 0x00, 0x3A, 0x00, 0x0B, 0xF7}, 11},
      {{0xF0, 0x7D, 0x00, 0x3A, 0x00, 0x7F, 0xF7}, 127},
      {{0xF0, 0x7D, 0x12, 0x34, 0x02, 0xF7}, 0},  // Acknowledge; bytes 2 and 3 are not examined
      {{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3A, 0x00, 0x05, 0x00, 0, 1, 0, 0, 0xF7}, 0},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(Feed(c.frame));
    EXPECT_EQ(dialog->GetReplyStatus(), c.status);
    EXPECT_FALSE(Signalled()) << "one signal per reply";
  }
  EXPECT_EQ(dialog->GetReplyIdentity(), (Identity{0x3A, 0x00, 0x05, 0x00}));
}

// Two replies before anyone waits leave one signal and the second status.
TEST_F(DispatcherTest, TwoRepliesLeaveOneSignal) {
  const Bytes both = {0xF0, 0x7D, 0x00, 0x3A, 0x00, 0x05, 0xF7, 0xF0, 0x7D, 0x00, 0x3A, 0x00, 0x00, 0xF7};
  Settle(both, 2);
  EXPECT_TRUE(Signalled());
  EXPECT_EQ(dialog->GetReplyStatus(), 0);
  EXPECT_FALSE(Signalled());
}

TEST_F(DispatcherTest, ReadReplies) {
  const Bytes stamp = {'1', '.', '1', '0'};
  ASSERT_TRUE(Feed(ReadReply(stamp)));
  EXPECT_EQ(dialog->GetReplyStatus(), 0);
  EXPECT_EQ(dialog->GetReadPosition(), 4);
  EXPECT_EQ(dialog->ReadBufferBytes(4), stamp);

  // Replies land behind each other until a request sets ReadPosition back to 0.
  for (size_t d : {6u, 13u}) {
    Bytes data(d);
    std::iota(data.begin(), data.end(), uint8_t(0x81));
    const int32_t at = dialog->GetReadPosition();
    ASSERT_TRUE(Feed(ReadReply(data)));
    EXPECT_EQ(dialog->GetReadPosition(), at + int32_t(d));
    const Bytes buffer = dialog->ReadBufferBytes(size_t(at) + d + 1);
    EXPECT_EQ(Bytes(buffer.begin() + at, buffer.begin() + at + long(d)), data);
    EXPECT_EQ(buffer.back(), 0) << "exactly " << d << " bytes stored";
  }

  const int32_t at = dialog->GetReadPosition();
  struct Bad {
    const char* what;
    Bytes frame;
  };
  Bytes wrongSelector = ReadReply(stamp);
  wrongSelector[6] = 0x31;
  Bytes cut = ReadReply(stamp);
  cut.resize(14);  // the CRC is missing
  cut.back() = 0xF7;
  const Bad bad[] = {
      {"bad CRC", ReadReply(stamp, false)},
      {"selector other than 30", wrongSelector},
      {"too short for its data", cut},
      {"too short for its header", {0xF0, 0x7D, 0x00, 0x3A, 0x60, 0x04, 0xF7}},
  };
  for (const Bad& b : bad) {
    EXPECT_TRUE(Feed({0xF0, 0x7D, 0x00, 0x3A, 0x00, 0x00, 0xF7}));
    EXPECT_TRUE(Feed(b.frame)) << b.what;
    EXPECT_EQ(dialog->GetReplyStatus(), 1) << b.what;
    EXPECT_EQ(dialog->GetReadPosition(), at) << b.what;
  }

  // Sub-command 60 that is no read reply: signals, the status stays that of the previous reply.
  EXPECT_TRUE(Feed({0xF0, 0x7D, 0x00, 0x3A, 0x00, 0x07, 0xF7}));
  EXPECT_TRUE(Feed({0xF0, 0x7D, 0x00, 0x3A, 0x60, 0x05, 0x30, 0xF7}));
  EXPECT_EQ(dialog->GetReplyStatus(), 7);
}

// Replies that would run past the end of ReadBuffer are refused, never written. Each reply
// stays below the 8192-byte receive buffer, so it arrives as one message.
TEST_F(DispatcherTest, ReadBufferNeverOverflows) {
  const Bytes big(7000, 0x5A);
  for (int i = 0; i < 9; ++i) ASSERT_TRUE(Feed(ReadReply(big))) << i;
  ASSERT_EQ(dialog->GetReadPosition(), 63000);
  EXPECT_TRUE(Feed(ReadReply(big)));
  EXPECT_EQ(dialog->GetReplyStatus(), 1);
  EXPECT_EQ(dialog->GetReadPosition(), 63000);
  const Bytes fits(2536, 0x33);
  EXPECT_TRUE(Feed(ReadReply(fits)));
  EXPECT_EQ(dialog->GetReplyStatus(), 0) << "a reply that ends exactly at the buffer's end fits";
  EXPECT_EQ(dialog->GetReadPosition(), 65536);
}

// The device's own requests and what the host answers.
TEST_F(DispatcherTest, DeviceRequests) {
  const Bytes ok = {0xF0, 0x7D, 0x00, 0x00, 0x00, 0x00, 0xF7};
  const Bytes refused = {0xF0, 0x7D, 0x00, 0x00, 0x00, 0x01, 0xF7};
  const Bytes hostIdentity = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0, 0, 0, 0, 0x31, 0x30, 0x30, 0x30, 0xF7};
  struct Case {
    const char* what;
    Bytes request;
    std::vector<Bytes> answers;
  };
  const Case cases[] = {
      {"request 01", {0xF0, 0x7D, 0x00, 0x3A, 0x01, 0xF7}, {ok}},
      {"request 04", {0xF0, 0x7D, 0x00, 0x3A, 0x04, 0xF7}, {ok}},
      {"request 05", {0xF0, 0x7D, 0x00, 0x3A, 0x05, 0xF7}, {ok}},
      {"request 03 is ignored", {0xF0, 0x7D, 0x00, 0x3A, 0x03, 0xF7}, {}},
      {"erase code from the device", {0xF0, 0x7D, 0x00, 0x3A, 0x0A, 0xF7}, {refused}},
      {"unknown code", {0xF0, 0x7D, 0x00, 0x3A, 0x33, 0xF7}, {refused}},
      {"identity request", {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7}, {hostIdentity}},
      {"general information 03", {0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}, {refused}},
      {"universal 09 01 is ignored", {0xF0, 0x7E, 0x00, 0x09, 0x01, 0xF7}, {}},
      {"another manufacturer", {0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7}, {}},
      {"too short", {0xF0, 0x7D, 0x00, 0xF7}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AnswersAfter(c.request, c.answers.size()), c.answers) << c.what;
    EXPECT_FALSE(Signalled()) << c.what << ": a request is no reply";
  }
}

// A message that arrives as several buffers: only the first starts with F0; the rest is dropped
// even where it would read as a maker Status frame from its second byte on.
TEST_F(DispatcherTest, ContinuationBuffersAreDropped) {
  Bytes longFrame(8192 + 7, 0x11);
  longFrame[0] = 0xF0;
  longFrame[1] = 0x41;  // another manufacturer: the first buffer is left alone
  const Bytes tail = {0x0F, 0x7D, 0x00, 0x3A, 0x00, 0x05, 0xF7};
  std::copy(tail.begin(), tail.end(), longFrame.end() - 7);
  EXPECT_TRUE(AnswersAfter(longFrame, 0, 2).empty());
  EXPECT_FALSE(Signalled());
}

TEST_F(DispatcherTest, ClosingWakesAWaiterWith255) {
  std::thread waiter([&] { EXPECT_EQ(dialog->WaitForReply(60000), WAIT_OBJECT_0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  view.Close();
  dialog->OnDestroy();
  waiter.join();
  EXPECT_EQ(dialog->GetReplyStatus(), 255);
}

}  // namespace
}  // namespace r9::test

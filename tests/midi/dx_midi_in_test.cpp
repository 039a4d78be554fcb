#include "midi/dx_midi_in.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/recording_midi_api.h"

namespace r9 {
namespace {

using Names = std::vector<std::string>;

const uintptr_t kSize = sizeof(MIDIHDR);

uintptr_t U(const void* pointer) { return reinterpret_cast<uintptr_t>(pointer); }

class MidiInTest : public testing::Test {
 protected:
  // The receive header the port handed to the platform in its latest prepare.
  MIDIHDR* ReceiveHeader() {
    MIDIHDR* header = nullptr;
    for (const auto& call : api_.Calls()) {
      if (call.name == "midiInPrepareHeader") header = reinterpret_cast<MIDIHDR*>(call.args[1]);
    }
    return header;
  }
  std::vector<std::vector<uint8_t>> Drain() {
    std::vector<std::vector<uint8_t>> entries;
    size_t length = 0;
    while (const uint8_t* data = port_.PeekSysEx(&length)) {
      entries.emplace_back(data, data + length);
      port_.PopSysEx();
    }
    return entries;
  }

  RecordingMidiApi api_;
  CDxMidiIn port_{api_};
};

TEST_F(MidiInTest, ConstructionAndDestructionOfAClosedPortCallNothing) {
  { CDxMidiIn unused(api_); }
  EXPECT_TRUE(api_.Calls().empty());
}

TEST_F(MidiInTest, LongUtf8NamesComeOutWholeUpTo255Bytes) {
  // 85 three-byte characters (255 bytes) fit; one more is left out whole, not cut in half.
  std::string kana;
  for (int i = 0; i < 86; ++i) kana += "\xE3\x82\xAA";
  api_.SetInputNames({kana.substr(0, 255), kana, "a" + kana});
  char name[kMaxPnameLen];
  port_.GetDeviceName(0, name);
  EXPECT_EQ(std::string(name), kana.substr(0, 255));
  port_.GetDeviceName(1, name);
  EXPECT_EQ(std::string(name), kana.substr(0, 255));
  port_.GetDeviceName(2, name);
  EXPECT_EQ(std::string(name), "a" + kana.substr(0, 252));
}

TEST_F(MidiInTest, ListsDevicesByName) {
  api_.SetInputNames({"KORVEN R9", std::string(31, 'x')});
  EXPECT_EQ(port_.GetDeviceCount(), 2u);
  char name[kMaxPnameLen];
  port_.GetDeviceName(1, name);
  EXPECT_EQ(std::string(name), std::string(31, 'x'));
  port_.GetDeviceName(0, name);
  EXPECT_STREQ(name, "KORVEN R9");
  api_.Log().Script("midiInGetDevCapsA", {MMSYSERR_BADDEVICEID});
  port_.GetDeviceName(0, name);
  EXPECT_STREQ(name, "");  // a refused query gives an empty name
  EXPECT_EQ(api_.Calls()[1], (PlatformCall{"midiInGetDevCapsA", {1, sizeof(MIDIINCAPSA)}}));
}

TEST_F(MidiInTest, OpenRunsTheSequenceWithOneFreshBuffer) {
  ASSERT_TRUE(port_.Open(3));
  EXPECT_TRUE(port_.IsStarted());
  MIDIHDR* header = ReceiveHeader();
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->dwBufferLength, CDxMidiIn::kReceiveBufferSize);
  const uintptr_t h = U(RecordingMidiApi::InputHandle(1));
  const std::vector<PlatformCall> expected = {
      {"midiInOpen", {3, U(reinterpret_cast<void*>(&CDxMidiIn::MidiInProc)), U(&port_), CALLBACK_FUNCTION}},
      {"midiInReset", {h}},
      {"midiInPrepareHeader", {h, U(header), kSize}},
      {"midiInAddBuffer", {h, U(header), kSize}},
      {"midiInStart", {h}}};
  EXPECT_EQ(api_.Calls(), expected);
}

TEST_F(MidiInTest, OpenOnAStartedPortCallsNothing) {
  ASSERT_TRUE(port_.Open(0));
  api_.Log().Clear();
  EXPECT_TRUE(port_.Open(5));
  EXPECT_TRUE(api_.Calls().empty());
}

TEST_F(MidiInTest, CloseOnAClosedPortCallsNothing) {
  port_.Close();
  ASSERT_TRUE(port_.Open(0));
  port_.Close();
  api_.Log().Clear();
  port_.Close();
  EXPECT_TRUE(api_.Calls().empty());
}

TEST_F(MidiInTest, CloseRunsTheSequenceAndHandsNothingBackOnceBegun) {
  ASSERT_TRUE(port_.Open(0));
  MIDIHDR* header = ReceiveHeader();
  // Part of a message is in the buffer when the close begins; the reset returns it with it.
  header->lpData[0] = char(0xF0);
  header->lpData[1] = 0x01;
  header->dwBytesRecorded = 2;
  api_.Log().Clear();
  port_.Close();
  EXPECT_FALSE(port_.IsStarted());
  const uintptr_t h = U(RecordingMidiApi::InputHandle(1));
  const std::vector<PlatformCall> expected = {{"midiInStop", {h}},
                                              {"midiInReset", {h}},
                                              {"midiInUnprepareHeader", {h, U(header), kSize}},
                                              {"midiInClose", {h}}};
  EXPECT_EQ(api_.Calls(), expected);
  EXPECT_EQ(Drain(), (std::vector<std::vector<uint8_t>>{{0xF0, 0x01}}));
}

struct FailingStep {
  const char* step;
  Names calls;
};

class MidiInOpenFailureTest : public MidiInTest, public testing::WithParamInterface<FailingStep> {};

TEST_P(MidiInOpenFailureTest, ReleasesWhatItTookAndStaysClosed) {
  api_.Log().Script(GetParam().step, {MMSYSERR_ERROR});
  EXPECT_FALSE(port_.Open(0));
  EXPECT_FALSE(port_.IsStarted());
  EXPECT_EQ(api_.CallNames(), GetParam().calls);
  // Closed means closed: no platform call, and the next open starts from scratch.
  api_.Log().Clear();
  port_.Close();
  EXPECT_TRUE(api_.Calls().empty());
  ASSERT_TRUE(port_.Open(0));
  EXPECT_EQ(api_.CallNames(),
            (Names{"midiInOpen", "midiInReset", "midiInPrepareHeader", "midiInAddBuffer", "midiInStart"}));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, MidiInOpenFailureTest,
    testing::Values(FailingStep{"midiInOpen", {"midiInOpen", "midiInGetErrorTextA"}},
                    FailingStep{"midiInReset", {"midiInOpen", "midiInReset", "midiInGetErrorTextA", "midiInClose"}},
                    FailingStep{
                        "midiInPrepareHeader",
                        {"midiInOpen", "midiInReset", "midiInPrepareHeader", "midiInGetErrorTextA", "midiInClose"}},
                    FailingStep{"midiInAddBuffer",
                                {"midiInOpen", "midiInReset", "midiInPrepareHeader", "midiInAddBuffer",
                                 "midiInGetErrorTextA", "midiInUnprepareHeader", "midiInClose"}},
                    FailingStep{"midiInStart",
                                {"midiInOpen", "midiInReset", "midiInPrepareHeader", "midiInAddBuffer", "midiInStart",
                                 "midiInGetErrorTextA", "midiInReset", "midiInUnprepareHeader", "midiInClose"}}),
    [](const auto& info) { return std::string(info.param.step); });

class MidiInCloseFailureTest : public MidiInTest, public testing::WithParamInterface<FailingStep> {};

TEST_P(MidiInCloseFailureTest, SkipsTheLaterStepsAndCountsAsClosed) {
  ASSERT_TRUE(port_.Open(0));
  MIDIHDR* header = ReceiveHeader();
  api_.Log().Clear();
  api_.Log().Script(GetParam().step, {MMSYSERR_ERROR});
  port_.Close();
  EXPECT_FALSE(port_.IsStarted());
  EXPECT_EQ(api_.CallNames(), GetParam().calls);
  // When the stop or reset failed, the driver may still write into the buffer it holds: that
  // must still be the port's memory (the address sanitizer checks this write).
  header->lpData[CDxMidiIn::kReceiveBufferSize - 1] = 0x7F;
}

INSTANTIATE_TEST_SUITE_P(Steps, MidiInCloseFailureTest,
                         testing::Values(FailingStep{"midiInStop", {"midiInStop", "midiInGetErrorTextA"}},
                                         FailingStep{"midiInReset",
                                                     {"midiInStop", "midiInReset", "midiInGetErrorTextA"}}),
                         [](const auto& info) { return std::string(info.param.step); });

TEST_F(MidiInTest, CloseFailingAfterTheResetSkipsTheRest) {
  const struct {
    const char* step;
    Names calls;
  } cases[] = {
      {"midiInUnprepareHeader", {"midiInStop", "midiInReset", "midiInUnprepareHeader", "midiInGetErrorTextA"}},
      {"midiInClose", {"midiInStop", "midiInReset", "midiInUnprepareHeader", "midiInClose", "midiInGetErrorTextA"}}};
  for (const auto& c : cases) {
    ASSERT_TRUE(port_.Open(0));
    api_.Log().Clear();
    api_.Log().Script(c.step, {MMSYSERR_ERROR});
    port_.Close();
    EXPECT_FALSE(port_.IsStarted()) << c.step;
    EXPECT_EQ(api_.CallNames(), c.calls) << c.step;
  }
}

TEST_F(MidiInTest, QueuesEachReturnedBufferWithItsLengthAndHandsItBack) {
  std::vector<std::vector<uint8_t>> observed;
  port_.SetReceiveObserver([&](const uint8_t* data, size_t length) { observed.emplace_back(data, data + length); });
  ASSERT_TRUE(port_.Open(0));
  MIDIHDR* header = ReceiveHeader();
  api_.Log().Clear();
  const std::vector<std::vector<uint8_t>> sent = {{0xF0, 0x7E, 0xF7}, {0xF0, 0x7D, 0x01, 0x02, 0xF7}, {0x01}};
  for (const auto& message : sent) ASSERT_TRUE(api_.DeliverLongData(message));
  // Every buffer went straight back to the driver.
  const uintptr_t h = U(RecordingMidiApi::InputHandle(1));
  std::vector<PlatformCall> expected;
  for (size_t i = 0; i < sent.size(); ++i) {
    expected.push_back({"midiInPrepareHeader", {h, U(header), kSize}});
    expected.push_back({"midiInAddBuffer", {h, U(header), kSize}});
  }
  EXPECT_EQ(api_.Calls(), expected);
  EXPECT_EQ(observed, sent);
  EXPECT_EQ(Drain(), sent);
}

TEST_F(MidiInTest, AnEmptyOrUnfinishedBufferMakesNoEntryAndStaysWithThePort) {
  const struct {
    const char* what;
    uint32_t flags;
    uint32_t recorded;
  } cases[] = {{"not done", MHDR_PREPARED, 3}, {"done but empty", MHDR_PREPARED | MHDR_DONE, 0}};
  ASSERT_TRUE(port_.Open(0));
  MIDIHDR* header = ReceiveHeader();
  for (const auto& c : cases) {
    api_.Log().Clear();
    header->dwFlags.store(c.flags);
    header->dwBytesRecorded = c.recorded;
    api_.Deliver(MIM_LONGDATA, U(header), 0);
    EXPECT_EQ(port_.PeekSysEx(), nullptr) << c.what;
    EXPECT_TRUE(api_.Calls().empty()) << c.what;
  }
}

TEST_F(MidiInTest, EntriesOutliveTheCloseAndAnEmptyQueueIsHarmless) {
  size_t length = 99;
  EXPECT_EQ(port_.PeekSysEx(&length), nullptr);
  EXPECT_EQ(length, 0u);
  port_.PopSysEx();
  ASSERT_TRUE(port_.Open(0));
  ASSERT_TRUE(api_.DeliverLongData({0xF0, 0x01, 0xF7}));
  port_.Close();
  ASSERT_NE(port_.PeekSysEx(&length), nullptr);
  EXPECT_EQ(length, 3u);
  port_.PopSysEx();
  EXPECT_EQ(port_.PeekSysEx(), nullptr);
}

TEST_F(MidiInTest, OtherNotificationsAreIgnored) {
  ASSERT_TRUE(port_.Open(0));
  api_.Log().Clear();
  for (uint32_t message : {MIM_OPEN, MIM_CLOSE, MIM_ERROR, MIM_LONGERROR}) api_.Deliver(message, 0x7F3C90, 0);
  uint8_t bytes[3];
  EXPECT_EQ(port_.ReadShortMessage(bytes, 3), 0);
  EXPECT_EQ(port_.PeekSysEx(), nullptr);
  EXPECT_TRUE(api_.Calls().empty());
}

// Short messages 1, 2, ... written as 0x00ii90 + ((i & 0x7F) << 8), read back in turns.
struct RingCase {
  const char* what;
  int written;
  int maxLength;
  std::vector<int> readLengths;  // result of each read until the ring is empty
  int firstMessage;              // the message number the first read returns
};

class ShortRingTest : public MidiInTest, public testing::WithParamInterface<RingCase> {};

TEST_P(ShortRingTest, ReadsWhatTheRingHolds) {
  const RingCase& c = GetParam();
  ASSERT_TRUE(port_.Open(0));
  for (int i = 1; i <= c.written; ++i) api_.DeliverShortMessage(0x400090u | uint32_t(i) << 8);
  std::vector<int> lengths;
  uint8_t bytes[3] = {};
  int first = -1;
  for (;;) {
    const int n = port_.ReadShortMessage(bytes, c.maxLength);
    if (n == 0 && c.maxLength > 0) break;
    lengths.push_back(n);
    if (first < 0 && n >= 2) first = bytes[1];
    if (n > 0) {
      EXPECT_EQ(bytes[0], 0x90);
    }
    if (n == 3) {
      EXPECT_EQ(bytes[2], 0x40);
    }
    if (lengths.size() > 40) break;
  }
  EXPECT_EQ(lengths, c.readLengths);
  if (c.firstMessage > 0) {
    EXPECT_EQ(first, c.firstMessage);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ShortRingTest,
                         testing::Values(RingCase{"empty", 0, 3, {}, 0}, RingCase{"two", 2, 3, {3, 3}, 1},
                                         RingCase{"cut to two bytes", 2, 2, {2, 2}, 1},
                                         RingCase{"cut to one byte", 1, 1, {1}, 0},
                                         RingCase{"thirty-one fit", 31, 3, std::vector<int>(31, 3), 1},
                                         RingCase{"thirty-two read as empty", 32, 3, {}, 0},
                                         RingCase{"thirty-three leave the newest", 33, 3, {3}, 33}),
                         [](const auto& info) {
                           std::string name = info.param.what;
                           for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return name;
                         });

TEST_F(MidiInTest, ReadWithLengthZeroStillConsumesTheEntry) {
  ASSERT_TRUE(port_.Open(0));
  api_.DeliverShortMessage(0x7F3C90);
  api_.DeliverShortMessage(0x003E80);
  uint8_t bytes[3] = {0xAA, 0xAA, 0xAA};
  EXPECT_EQ(port_.ReadShortMessage(bytes, 0), 0);
  EXPECT_EQ(bytes[0], 0xAA);
  ASSERT_EQ(port_.ReadShortMessage(bytes, 3), 3);
  EXPECT_EQ(bytes[0], 0x80);
  EXPECT_EQ(port_.ReadShortMessage(bytes, 3), 0);
}

// The listener hears of each entry once it is in the queue, and of nothing else.
TEST_F(MidiInTest, TheArrivalListenerHearsOfEachQueuedEntry) {
  int arrivals = 0;
  size_t queuedAtLastArrival = 0;
  port_.SetArrivalListener([&] {
    ++arrivals;
    // Counted here without the port: the entry must already be visible to the consumer.
    queuedAtLastArrival = api_.QueuedInputBuffers();
  });
  ASSERT_TRUE(port_.Open(0));
  MIDIHDR* header = ReceiveHeader();
  ASSERT_TRUE(api_.DeliverLongData({0xF0, 0x7D, 0x00, 0x3A, 0x02, 0xF7}));
  EXPECT_EQ(arrivals, 1);
  EXPECT_EQ(queuedAtLastArrival, 1u);  // the buffer was back with the driver before the call
  ASSERT_NE(port_.PeekSysEx(), nullptr);
  ASSERT_TRUE(api_.DeliverLongData({0xF0, 0x7D, 0x00, 0x3A, 0x00, 0x00, 0xF7}));
  EXPECT_EQ(arrivals, 2);
  EXPECT_EQ(Drain().size(), 2u);

  // An empty or unfinished buffer, and a short message, make no entry and no call.
  header->dwFlags.store(MHDR_PREPARED | MHDR_DONE);
  header->dwBytesRecorded = 0;
  api_.Deliver(MIM_LONGDATA, U(header), 0);
  api_.DeliverShortMessage(0x007F3C90);
  EXPECT_EQ(arrivals, 2);

  // Cleared, it hears nothing more.
  header->dwFlags.store(MHDR_PREPARED | MHDR_INQUEUE);
  port_.SetArrivalListener(nullptr);
  port_.Close();
  ASSERT_TRUE(port_.Open(0));
  ASSERT_TRUE(api_.DeliverLongData({0xF0, 0x7D, 0x00, 0x3A, 0x02, 0xF7}));
  EXPECT_EQ(arrivals, 2);
  EXPECT_EQ(Drain().size(), 1u);
}
}  // namespace
}  // namespace r9

// The ALSA raw MIDI backend over a scripted stand-in for alsa-lib (no sound card needed): the
// lists and their names, reading through to the input port's queue, writing to the output port
// (without a drain), and the failures of a device that is missing, forbidden or unplugged.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <numeric>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "midi/dx_midi_in.h"
#include "midi/dx_midi_out.h"
#include "platform/alsa/alsa_enumeration.h"
#include "platform/alsa/alsa_transport.h"
#include "platform/backend_log.h"
#include "platform/port_name.h"
#include "tests/platform/alsa/scripted_alsa.h"
#include "tests/platform/wait_until.h"

namespace r9 {
namespace {

using Bytes = std::vector<uint8_t>;
using test::ScriptedAlsa;
using test::ScriptedCard;
using test::ScriptedDevice;
using test::WaitUntil;

const std::string kDevice = "hw:1,0,0";

Bytes Frame(size_t length, uint8_t seed = 0) {
  Bytes bytes(length);
  for (size_t i = 1; i + 1 < length; ++i) bytes[i] = uint8_t((i * 31 + seed * 17) & 0x7F);
  bytes.front() = 0xF0;
  bytes.back() = 0xF7;
  return bytes;
}

std::string Repeat(const std::string& text, size_t times) {
  std::string result;
  for (size_t i = 0; i < times; ++i) result += text;
  return result;
}

// One USB device on card 1, one port in each direction.
std::vector<ScriptedCard> OneDevice(const std::string& name = "KORVEN R9") {
  return {{1, {{0, name, {name + " MIDI 1"}, {name + " MIDI 1"}}}}};
}

std::vector<std::string> InNames(MidiApi& api) {
  std::vector<std::string> names;
  const uint32_t count = api.midiInGetNumDevs();
  for (uint32_t i = 0; i < count; ++i) {
    MIDIINCAPSA caps;
    EXPECT_EQ(api.midiInGetDevCapsA(i, &caps, sizeof caps), MMSYSERR_NOERROR);
    names.emplace_back(caps.szPname);
  }
  return names;
}

std::vector<std::string> OutNames(MidiApi& api) {
  std::vector<std::string> names;
  const uint32_t count = api.midiOutGetNumDevs();
  for (uint32_t i = 0; i < count; ++i) {
    MIDIOUTCAPSA caps;
    EXPECT_EQ(api.midiOutGetDevCapsA(i, &caps, sizeof caps), MMSYSERR_NOERROR);
    names.emplace_back(caps.szPname);
  }
  return names;
}

std::string InErrorText(MidiApi& api, MMRESULT code) {
  char text[512] = {};
  api.midiInGetErrorTextA(code, text, sizeof text);
  return text;
}

std::string OutErrorText(MidiApi& api, MMRESULT code) {
  char text[512] = {};
  api.midiOutGetErrorTextA(code, text, sizeof text);
  return text;
}

class AlsaBackendTest : public testing::Test {
 protected:
  void TearDown() override {
    in_.reset();
    out_.reset();
    backend_.reset();
    // Whatever the test did, the backend gave every resource back and never touched a
    // stream after closing it.
    EXPECT_EQ(alsa_.OpenStreams(), 0);
    EXPECT_EQ(alsa_.OpenControls(), 0);
    EXPECT_EQ(alsa_.LiveInfos(), 0);
    EXPECT_FALSE(alsa_.UsedAfterClose());
  }

  void OpenInput() {
    in_ = std::make_unique<CDxMidiIn>(*backend_);
    ASSERT_EQ(in_->GetDeviceCount(), 1u);
    ASSERT_TRUE(in_->Open(0));
    ASSERT_TRUE(alsa_.IsOpen(kDevice, true));
  }
  void OpenOutput() {
    out_ = std::make_unique<CDxMidiOut>(*backend_);
    ASSERT_EQ(out_->GetDeviceCount(), 1u);
    ASSERT_TRUE(out_->Open(0));
    ASSERT_TRUE(alsa_.IsOpen(kDevice, false));
  }
  bool Send(const Bytes& frame) {
    Bytes copy = frame;
    MIDIHDR header;
    header.lpData = reinterpret_cast<char*>(copy.data());
    header.dwBufferLength = uint32_t(copy.size());
    return out_->SendLongMessage(&header);
  }

  ScriptedAlsa alsa_;
  std::unique_ptr<AlsaMidiBackend> backend_ = std::make_unique<AlsaMidiBackend>(ScriptedAlsa::Lib());
  std::unique_ptr<CDxMidiIn> in_;
  std::unique_ptr<CDxMidiOut> out_;
};

// --- Names ---

struct NameCase {
  const char* label;
  size_t text;
  size_t maxBytes;
  size_t length;
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.label; }

class Utf8PrefixTest : public testing::TestWithParam<NameCase> {};

const char* const kTexts[] = {"abc", "a\xE3\x81\x82", "\xF0\x9F\x98\x80x", ""};

TEST_P(Utf8PrefixTest, NeverEndsInsideACharacter) {
  const NameCase& c = GetParam();
  EXPECT_EQ(CutAtUtf8Boundary(kTexts[c.text], c.maxBytes).size(), c.length);
  char field[8];
  std::memset(field, 'z', sizeof field);
  CopyPortName(kTexts[c.text], field, c.maxBytes + 1);
  EXPECT_EQ(std::string(field), std::string(kTexts[c.text], c.length));
}

INSTANTIATE_TEST_SUITE_P(Cases, Utf8PrefixTest,
                         testing::Values(NameCase{"AsciiFits", 0, 5, 3}, NameCase{"AsciiCut", 0, 2, 2},
                                         NameCase{"ThreeByteCharFits", 1, 4, 4},
                                         NameCase{"ThreeByteCharLeftOutWhole", 1, 3, 1},
                                         NameCase{"ThreeByteCharCutAfterLead", 1, 2, 1},
                                         NameCase{"FourByteCharLeftOut", 2, 3, 0},
                                         NameCase{"FourByteCharFits", 2, 4, 4}, NameCase{"Empty", 3, 5, 0}),
                         [](const auto& info) { return std::string(info.param.label); });

struct Listed {
  std::string name;
  std::string hw;
  bool operator==(const Listed&) const = default;
};

void PrintTo(const Listed& listed, std::ostream* os) { *os << listed.name << " @ " << listed.hw; }

struct ListCase {
  const char* label;
  std::vector<ScriptedCard> cards;
  std::vector<Listed> inputs;
  std::vector<Listed> outputs;
};

void PrintTo(const ListCase& c, std::ostream* os) { *os << c.label; }

class AlsaListTest : public AlsaBackendTest, public testing::WithParamInterface<ListCase> {};

TEST_P(AlsaListTest, ListsEverySubdeviceInOrderAndNamesIt) {
  const ListCase& c = GetParam();
  alsa_.SetCards(c.cards);
  const AlsaPortList list = EnumerateAlsaPorts(ScriptedAlsa::Lib());
  std::vector<Listed> inputs;
  std::vector<Listed> outputs;
  for (const AlsaPort& port : list.inputs) inputs.push_back({port.name, port.HardwareName()});
  for (const AlsaPort& port : list.outputs) outputs.push_back({port.name, port.HardwareName()});
  EXPECT_EQ(inputs, c.inputs);
  EXPECT_EQ(outputs, c.outputs);

  // The driver's lists show the same names, in the same order.
  std::vector<std::string> inNames;
  std::vector<std::string> outNames;
  for (const Listed& listed : c.inputs) inNames.push_back(listed.name);
  for (const Listed& listed : c.outputs) outNames.push_back(listed.name);
  EXPECT_EQ(InNames(*backend_), inNames);
  EXPECT_EQ(OutNames(*backend_), outNames);
}

const std::string kJapanese = "\xE3\x82\xB3\xE3\x83\xAB\xE3\x83\x99\xE3\x83\xB3 R9";  // katakana and " R9"

INSTANTIATE_TEST_SUITE_P(
    Cases, AlsaListTest,
    testing::Values(
        ListCase{"NoCard", {}, {}, {}},
        ListCase{"UsbDeviceIsNamedByItsProduct", OneDevice(), {{"KORVEN R9", "hw:1,0,0"}}, {{"KORVEN R9", "hw:1,0,0"}}},
        ListCase{"SeveralSubdevicesAreNamedEachByItsOwnName",
                 {{0, {{0, "Multi", {"Multi In"}, {"Port A", "Port B", "Port C"}}}}},
                 {{"Multi", "hw:0,0,0"}},
                 {{"Port A", "hw:0,0,0"}, {"Port B", "hw:0,0,1"}, {"Port C", "hw:0,0,2"}}},
        ListCase{"CardsThenDevicesThenSubdevicesInAscendingOrder",
                 {{2, {{1, "C2D1", {"x"}, {"x"}}, {0, "C2D0", {"a", "b"}, {"y"}}}}, {0, {{3, "C0D3", {"z"}, {}}}}},
                 {{"C0D3", "hw:0,3,0"}, {"a", "hw:2,0,0"}, {"b", "hw:2,0,1"}, {"C2D1", "hw:2,1,0"}},
                 {{"C2D0", "hw:2,0,0"}, {"C2D1", "hw:2,1,0"}}},
        ListCase{
            "ADirectionWithoutPortsIsLeftOut", {{0, {{0, "Out Only", {}, {"o"}}}}}, {}, {{"Out Only", "hw:0,0,0"}}},
        ListCase{"ACardThatCannotBeOpenedIsSkipped",
                 {{0, {{0, "Hidden", {"h"}, {"h"}}}, -EACCES}, {1, {{0, "Shown", {"s"}, {"s"}}}}},
                 {{"Shown", "hw:1,0,0"}},
                 {{"Shown", "hw:1,0,0"}}},
        ListCase{"SubdevicesWithoutNamesAreNumbered",
                 {{0, {{2, "Dev", {"", ""}, {}}}}},
                 {{"Dev 1", "hw:0,2,0"}, {"Dev 2", "hw:0,2,1"}},
                 {}},
        ListCase{"Utf8NamesAsTheyAre", OneDevice(kJapanese), {{kJapanese, "hw:1,0,0"}}, {{kJapanese, "hw:1,0,0"}}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(AlsaBackendTest, ALongNameIsCutAtACharacterBoundary) {
  const std::string letter = "\xE3\x81\x82";  // three bytes
  alsa_.SetCards(OneDevice(Repeat(letter, 100)));
  const std::string expected = Repeat(letter, (kMaxPnameLen - 1) / 3);
  EXPECT_EQ(InNames(*backend_), std::vector<std::string>{expected});
  EXPECT_EQ(OutNames(*backend_), std::vector<std::string>{expected});
}

TEST_F(AlsaBackendTest, ARescanFindsADevicePluggedInMeanwhile) {
  EXPECT_EQ(backend_->midiInGetNumDevs(), 0u);
  alsa_.SetCards(OneDevice());
  EXPECT_EQ(InNames(*backend_), std::vector<std::string>{"KORVEN R9"});
}

TEST_F(AlsaBackendTest, AnUnreadableCardIsExplained) {
  alsa_.SetCards({{0, {{0, "Hidden", {"h"}, {"h"}}}, -EACCES}});
  EXPECT_EQ(backend_->midiInGetNumDevs(), 0u);
  const std::string problem = backend_->LastProblem();
  EXPECT_NE(problem.find("hw:0"), std::string::npos) << problem;
  EXPECT_NE(problem.find("Permission denied"), std::string::npos) << problem;
  EXPECT_NE(problem.find("audio"), std::string::npos) << problem;
}

TEST_F(AlsaBackendTest, TheLibrarysOwnMessagesAreSilenced) {
  const AlsaErrorHandler handler = alsa_.ErrorHandler();
  ASSERT_NE(handler, nullptr);
  testing::internal::CaptureStderr();
  handler("confmisc.c", 767, "parse_card", -ENOENT, "cannot find card '%s'", "0");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// --- Reading ---

struct ReadCase {
  const char* label;
  std::vector<Bytes> reads;
  std::vector<Bytes> sysex;      // the input port's queue
  std::vector<uint32_t> shorts;  // status | d1 << 8 | d2 << 16
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.label; }

class AlsaReadTest : public AlsaBackendTest, public testing::WithParamInterface<ReadCase> {};

TEST_P(AlsaReadTest, TheByteStreamReachesTheInputPortAsMessages) {
  const ReadCase& c = GetParam();
  alsa_.SetCards(OneDevice());
  OpenInput();
  EXPECT_TRUE(alsa_.OpenMode(kDevice, true) & kAlsaRawMidiNonBlock);
  for (const Bytes& read : c.reads) alsa_.Deliver(kDevice, read);
  // A last message marks the end: everything before it has been delivered once it is there.
  const Bytes marker = {0xF0, 0x7E, 0x00, 0xF7};
  alsa_.Deliver(kDevice, marker);
  std::vector<Bytes> sysex;
  ASSERT_TRUE(WaitUntil([&] {
    size_t length = 0;
    while (const uint8_t* data = in_->PeekSysEx(&length)) {
      sysex.emplace_back(data, data + length);
      in_->PopSysEx();
    }
    return !sysex.empty() && sysex.back() == marker;
  }));
  sysex.pop_back();
  EXPECT_EQ(sysex, c.sysex);
  std::vector<uint32_t> shorts;
  uint8_t bytes[3];
  while (in_->ReadShortMessage(bytes, 3) == 3) shorts.push_back(bytes[0] | bytes[1] << 8 | bytes[2] << 16);
  EXPECT_EQ(shorts, c.shorts);
}

ReadCase LargeSysExInSmallReads() {
  const Bytes frame = Frame(18742, 3);
  ReadCase c{"ALargeSysExInSmallReadsFillsTheReceiveBuffersInTurn", {}, {}, {}};
  for (size_t at = 0; at < frame.size(); at += 100) {
    c.reads.emplace_back(frame.begin() + ptrdiff_t(at), frame.begin() + ptrdiff_t(std::min(at + 100, frame.size())));
  }
  for (size_t at = 0; at < frame.size(); at += CDxMidiIn::kReceiveBufferSize) {
    const size_t end = std::min(at + CDxMidiIn::kReceiveBufferSize, frame.size());
    c.sysex.emplace_back(frame.begin() + ptrdiff_t(at), frame.begin() + ptrdiff_t(end));
  }
  return c;
}

INSTANTIATE_TEST_SUITE_P(Cases, AlsaReadTest,
                         testing::Values(ReadCase{"ASysExSplitOverReadsArrivesWhole",
                                                  {{0xF0, 0x7D, 0x01}, {0x02, 0x03}, {0x04, 0xF7}},
                                                  {{0xF0, 0x7D, 0x01, 0x02, 0x03, 0x04, 0xF7}},
                                                  {}},
                                         ReadCase{"RealTimeBytesInsideASysExArriveApart",
                                                  {{0xF0, 0x7D, 0x01, 0xF8, 0x02}, {0xFE, 0x03, 0xF7}},
                                                  {{0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7}},
                                                  {0xF8, 0xFE}},
                                         ReadCase{"RunningStatus",
                                                  {{0x90, 0x40, 0x7F, 0x41}, {0x00, 0x80, 0x40, 0x00}},
                                                  {},
                                                  {0x7F4090, 0x004190, 0x004080}},
                                         ReadCase{"AStatusByteCutsASysExShort",
                                                  {{0xF0, 0x7D, 0x01, 0x02, 0x90, 0x40, 0x7F}},
                                                  {{0xF0, 0x7D, 0x01, 0x02}},
                                                  {0x7F4090}},
                                         ReadCase{"TwoMessagesInOneRead",
                                                  {{0xF0, 0x01, 0xF7, 0xF0, 0x02, 0xF7}},
                                                  {{0xF0, 0x01, 0xF7}, {0xF0, 0x02, 0xF7}},
                                                  {}},
                                         LargeSysExInSmallReads()),
                         [](const auto& info) { return std::string(info.param.label); });

// --- Writing ---

struct WriteCase {
  const char* label;
  size_t frameLength;
  std::deque<long> writes;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.label; }

class AlsaWriteTest : public AlsaBackendTest, public testing::WithParamInterface<WriteCase> {};

TEST_P(AlsaWriteTest, ALongSendWritesTheWholeMessageAndNeverDrains) {
  const WriteCase& c = GetParam();
  alsa_.SetCards(OneDevice());
  OpenOutput();
  EXPECT_TRUE(alsa_.OpenMode(kDevice, false) & kAlsaRawMidiNonBlock);
  alsa_.ScriptWrites(kDevice, c.writes);
  const Bytes first = Frame(c.frameLength, 1);
  const Bytes second = Frame(9, 2);
  ASSERT_TRUE(Send(first));
  // Sent means written into the stream; a drain could block the writer for seconds.
  EXPECT_EQ(alsa_.Written(kDevice), first);
  ASSERT_TRUE(Send(second));
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  EXPECT_EQ(alsa_.Written(kDevice), both);
  EXPECT_TRUE(alsa_.Drains(kDevice).empty());
}

std::deque<long> ManyPartialWrites() {
  std::deque<long> writes;
  for (int i = 0; i < 200; ++i) {
    writes.push_back(97);
    writes.push_back(-EAGAIN);
  }
  return writes;
}

INSTANTIATE_TEST_SUITE_P(Cases, AlsaWriteTest,
                         testing::Values(WriteCase{"OneWrite", 40, {}},
                                         WriteCase{"PartialWritesAndNoRoom", 40, {5, -EAGAIN, 3, -EINTR, 1, 0, 7}},
                                         WriteCase{"AFrameOfTheLargestBlockInPieces", 18742, ManyPartialWrites()}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(AlsaBackendTest, AShortSendIsWrittenWhole) {
  alsa_.SetCards(OneDevice());
  OpenOutput();
  alsa_.ScriptWrites(kDevice, {2, -EAGAIN});
  ASSERT_TRUE(out_->SendShortMessage(0x90, 0x40, 0x7F));
  ASSERT_TRUE(WaitUntil([&] { return alsa_.Written(kDevice).size() == 3; }));
  EXPECT_EQ(alsa_.Written(kDevice), (Bytes{0x90, 0x40, 0x7F}));
  EXPECT_TRUE(alsa_.Drains(kDevice).empty());
}

TEST_F(AlsaBackendTest, ASendThatFindsNoRoomFailsInTimeAndThePortGoesOn) {
  alsa_.SetCards(OneDevice());
  OpenOutput();
  out_->SetSendTimeout(200);
  alsa_.ScriptWrites(kDevice, {10});
  alsa_.Stick(kDevice);
  const Bytes stuck = Frame(40, 1);
  EXPECT_FALSE(Send(stuck));
  EXPECT_EQ(alsa_.Written(kDevice), Bytes(stuck.begin(), stuck.begin() + 10));
  EXPECT_TRUE(alsa_.Drains(kDevice).empty());
  // The abandoned frame does not come back; the next one goes out whole.
  alsa_.Unstick(kDevice);
  const Bytes next = Frame(20, 2);
  ASSERT_TRUE(Send(next));
  Bytes expected(stuck.begin(), stuck.begin() + 10);
  expected.insert(expected.end(), next.begin(), next.end());
  EXPECT_EQ(alsa_.Written(kDevice), expected);
}

TEST_F(AlsaBackendTest, ClosingWhileTheWriterWaitsForRoomDoesNotHang) {
  alsa_.SetCards(OneDevice());
  OpenOutput();
  out_->SetSendTimeout(100);
  alsa_.Stick(kDevice);
  EXPECT_FALSE(Send(Frame(40)));
  EXPECT_TRUE(out_->Close());
  EXPECT_FALSE(alsa_.IsOpen(kDevice, false));
  EXPECT_FALSE(alsa_.ClosedWithBytesPending(kDevice));
}

// The window's Exit closes the port while a worker's send waits for a device that takes
// nothing: the close returns (the send's own bound is far away), and the send fails.
TEST_F(AlsaBackendTest, ACloseDuringABlockedSendReturnsAndTheSendFails) {
  alsa_.SetCards(OneDevice());
  OpenOutput();
  out_->SetSendTimeout(600000);
  alsa_.Stick(kDevice);
  std::atomic<int> sent{-1};
  std::thread sender([&] { sent.store(Send(Frame(40)) ? 1 : 0); });
  ASSERT_TRUE(WaitUntil([&] { return alsa_.WriteCalls(kDevice) > 0; }));
  EXPECT_TRUE(out_->Close());
  sender.join();
  EXPECT_EQ(sent.load(), 0);
  EXPECT_FALSE(alsa_.IsOpen(kDevice, false));
}

// --- Failures ---

TEST_F(AlsaBackendTest, NoCardMeansEmptyListsAndNoOpen) {
  CDxMidiIn in(*backend_);
  CDxMidiOut out(*backend_);
  EXPECT_EQ(in.GetDeviceCount(), 0u);
  EXPECT_EQ(out.GetDeviceCount(), 0u);
  EXPECT_FALSE(in.Open(0));
  EXPECT_FALSE(out.Open(0));
  HMIDIIN handle = nullptr;
  EXPECT_EQ(backend_->midiInOpen(&handle, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(backend_->LastProblem(), "");
}

struct OpenFailure {
  const char* label;
  int err;
  MMRESULT result;
  const char* reason;
};

void PrintTo(const OpenFailure& c, std::ostream* os) { *os << c.label; }

class AlsaOpenFailureTest : public AlsaBackendTest, public testing::WithParamInterface<OpenFailure> {};

TEST_P(AlsaOpenFailureTest, ARefusedOpenIsAClearError) {
  const OpenFailure& c = GetParam();
  alsa_.SetCards(OneDevice());
  alsa_.FailOpen(kDevice, c.err);
  ASSERT_EQ(backend_->midiInGetNumDevs(), 1u);
  ASSERT_EQ(backend_->midiOutGetNumDevs(), 1u);
  HMIDIIN in = nullptr;
  const MMRESULT inResult = backend_->midiInOpen(&in, 0, nullptr, 0, CALLBACK_NULL);
  EXPECT_EQ(inResult, c.result);
  const std::string inText = InErrorText(*backend_, inResult);
  EXPECT_NE(inText.find(kDevice + " (KORVEN R9)"), std::string::npos) << inText;
  EXPECT_NE(inText.find(c.reason), std::string::npos) << inText;
  HMIDIOUT out = nullptr;
  const MMRESULT outResult = backend_->midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL);
  EXPECT_EQ(outResult, c.result);
  EXPECT_NE(OutErrorText(*backend_, outResult).find(c.reason), std::string::npos);
  EXPECT_EQ(alsa_.OpenStreams(), 0);
  // The port classes see a failed open.
  CDxMidiIn port(*backend_);
  EXPECT_FALSE(port.Open(0));
}

INSTANTIATE_TEST_SUITE_P(Cases, AlsaOpenFailureTest,
                         testing::Values(OpenFailure{"NoPermission", -EACCES, MMSYSERR_ERROR, "audio"},
                                         OpenFailure{"NotPermitted", -EPERM, MMSYSERR_ERROR, "Operation not permitted"},
                                         OpenFailure{"InUse", -EBUSY, MMSYSERR_ALLOCATED, "busy"},
                                         OpenFailure{"Gone", -ENODEV, MMSYSERR_NODRIVER, "No such device"},
                                         OpenFailure{"NoSuchFile", -ENOENT, MMSYSERR_NODRIVER, "No such file"}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(AlsaBackendTest, TheSamePortCannotBeOpenedTwice) {
  alsa_.SetCards(OneDevice());
  ASSERT_EQ(backend_->midiInGetNumDevs(), 1u);
  HMIDIIN first = nullptr;
  HMIDIIN second = nullptr;
  ASSERT_EQ(backend_->midiInOpen(&first, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(backend_->midiInOpen(&second, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
  EXPECT_EQ(backend_->midiInClose(first), MMSYSERR_NOERROR);
  EXPECT_EQ(backend_->midiInClose(first), MMSYSERR_INVALHANDLE);
}

struct ReadFailure {
  const char* label;
  int err;  // the read's error; 0: the device is unplugged (its poll reports a hang-up)
  const char* reason;
};

void PrintTo(const ReadFailure& c, std::ostream* os) { *os << c.label; }

class AlsaReadFailureTest : public AlsaBackendTest, public testing::WithParamInterface<ReadFailure> {};

TEST_P(AlsaReadFailureTest, AVanishedInputEndsItsReader) {
  const ReadFailure& c = GetParam();
  alsa_.SetCards(OneDevice());
  ASSERT_EQ(backend_->midiInGetNumDevs(), 1u);
  HMIDIIN handle = nullptr;
  ASSERT_EQ(backend_->midiInOpen(&handle, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(backend_->midiInStart(handle), MMSYSERR_NOERROR);
  alsa_.Deliver(kDevice, {0xF8});
  if (c.err != 0) {
    alsa_.DeliverError(kDevice, c.err);
  } else {
    alsa_.Unplug(kDevice);
  }
  // The reader ends, and the port says why when it is started again.
  ASSERT_TRUE(WaitUntil([&] { return backend_->midiInStart(handle) == MMSYSERR_NODRIVER; }));
  const std::string text = InErrorText(*backend_, MMSYSERR_NODRIVER);
  EXPECT_NE(text.find(kDevice), std::string::npos) << text;
  EXPECT_NE(text.find(c.reason), std::string::npos) << text;
  EXPECT_EQ(backend_->midiInClose(handle), MMSYSERR_NOERROR);
  EXPECT_FALSE(alsa_.IsOpen(kDevice, true));
}

INSTANTIATE_TEST_SUITE_P(Cases, AlsaReadFailureTest,
                         testing::Values(ReadFailure{"NoDevice", -ENODEV, "No such device"},
                                         ReadFailure{"InputOutputError", -EIO, "Input/output error"},
                                         ReadFailure{"Unplugged", 0, "No such device"}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(AlsaBackendTest, ClosingWhileTheReaderPollsDoesNotHang) {
  alsa_.SetCards(OneDevice());
  OpenInput();
  in_->Close();
  EXPECT_FALSE(alsa_.IsOpen(kDevice, true));
  // And again, now with bytes under way.
  ASSERT_TRUE(in_->Open(0));
  alsa_.Deliver(kDevice, Frame(5000));
  in_->Close();
  EXPECT_FALSE(alsa_.IsOpen(kDevice, true));
}

TEST_F(AlsaBackendTest, PortsLeftOpenAreClosedWithTheBackend) {
  alsa_.SetCards(OneDevice());
  ASSERT_EQ(backend_->midiInGetNumDevs(), 1u);
  ASSERT_EQ(backend_->midiOutGetNumDevs(), 1u);
  HMIDIIN in = nullptr;
  HMIDIOUT out = nullptr;
  ASSERT_EQ(backend_->midiInOpen(&in, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(backend_->midiInStart(in), MMSYSERR_NOERROR);
  ASSERT_EQ(backend_->midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  alsa_.Stick(kDevice);
  ASSERT_EQ(backend_->midiOutShortMsg(out, 0x7F4090), MMSYSERR_NOERROR);
  backend_.reset();
  EXPECT_EQ(alsa_.OpenStreams(), 0);
  EXPECT_FALSE(alsa_.ClosedWithBytesPending(kDevice));
}

TEST_F(AlsaBackendTest, AnUnpluggedOutputFailsTheNextSendAtOnce) {
  alsa_.SetCards(OneDevice());
  OpenOutput();
  ASSERT_TRUE(Send(Frame(12)));
  alsa_.Unplug(kDevice);
  EXPECT_FALSE(Send(Frame(12, 1)));
  EXPECT_FALSE(out_->SendShortMessage(0x90, 0x40, 0x7F));
  EXPECT_EQ(alsa_.Written(kDevice), Frame(12));
  EXPECT_NE(OutErrorText(*backend_, MMSYSERR_NODRIVER).find("No such device"), std::string::npos);
  EXPECT_TRUE(out_->Close());
}

struct WriteFailure {
  const char* label;
  std::deque<long> writes;
  const char* reason;
};

void PrintTo(const WriteFailure& c, std::ostream* os) { *os << c.label; }

class AlsaWriteFailureTest : public AlsaBackendTest, public testing::WithParamInterface<WriteFailure> {};

TEST_P(AlsaWriteFailureTest, AFailedWriteIsAFailedSendAndEveryLaterSendFails) {
  const WriteFailure& c = GetParam();
  alsa_.SetCards(OneDevice());
  OpenOutput();
  // The failure ends the send at once; the send's own bound is never reached.
  out_->SetSendTimeout(600000);
  alsa_.ScriptWrites(kDevice, c.writes);
  EXPECT_FALSE(Send(Frame(40)));
  const size_t calls = alsa_.WriteCalls(kDevice);
  EXPECT_FALSE(Send(Frame(40, 1)));
  EXPECT_FALSE(out_->SendShortMessage(0x90, 0x40, 0x7F));
  EXPECT_EQ(alsa_.WriteCalls(kDevice), calls);  // refused without touching the device
  const std::string text = OutErrorText(*backend_, MMSYSERR_NODRIVER);
  EXPECT_NE(text.find(c.reason), std::string::npos) << text;
  // Said where it happened, for the trace.
  const std::vector<std::string> log = BackendMessages();
  EXPECT_NE(std::find(log.begin(), log.end(), std::string("alsa: write failed: ") + c.reason), log.end());
  EXPECT_TRUE(out_->Close());
}

INSTANTIATE_TEST_SUITE_P(Cases, AlsaWriteFailureTest,
                         testing::Values(WriteFailure{"NoDeviceHalfWay", {4, -ENODEV}, "No such device"},
                                         WriteFailure{"InputOutputError", {-EIO}, "Input/output error"},
                                         WriteFailure{"NoRoomThenAnError", {3, -EAGAIN, -EIO}, "Input/output error"}),
                         [](const auto& info) { return std::string(info.param.label); });

// --- The real library, on a machine without a sound card ---

TEST(AlsaRealLibraryTest, ListsNothingAndSaysNothingWithoutASoundCard) {
  testing::internal::CaptureStderr();
  AlsaMidiBackend backend(RealAlsaLib());
  const uint32_t inputs = backend.midiInGetNumDevs();
  const uint32_t outputs = backend.midiOutGetNumDevs();
  HMIDIIN handle = nullptr;
  const MMRESULT open = backend.midiInOpen(&handle, inputs, nullptr, 0, CALLBACK_NULL);
  // A card that is not there: the library would complain on the terminal without the handler.
  AlsaCtl* ctl = nullptr;
  const int missing = RealAlsaLib().ctl_open(&ctl, "hw:31", 0);
  if (missing >= 0) RealAlsaLib().ctl_close(ctl);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(open, MMSYSERR_BADDEVICEID);
  EXPECT_LT(missing, 0);
  int card = -1;
  if (RealAlsaLib().card_next(&card) < 0 || card < 0) {
    EXPECT_EQ(inputs, 0u);
    EXPECT_EQ(outputs, 0u);
    EXPECT_EQ(backend.LastProblem(), "");
  }
}

}  // namespace
}  // namespace r9

#include "platform/virtual_bus.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel.h"
#include "tests/platform/wait_until.h"

namespace r9 {
namespace {

using test::WaitUntil;

std::string InName(MidiApi& api, uint32_t id) {
  MIDIINCAPSA caps;
  if (api.midiInGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) return "<refused>";
  return caps.szPname;
}

std::string OutName(MidiApi& api, uint32_t id) {
  MIDIOUTCAPSA caps;
  if (api.midiOutGetDevCapsA(id, &caps, sizeof caps) != MMSYSERR_NOERROR) return "<refused>";
  return caps.szPname;
}

struct Collected {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> messages;
  std::vector<std::thread::id> threads;
  size_t Size() {
    std::lock_guard lock(mutex);
    return messages.size();
  }
};

void CollectInto(VirtualEndpoint& endpoint, Collected& collected) {
  endpoint.SetReceiver([&collected](const uint8_t* bytes, size_t length) {
    std::lock_guard lock(collected.mutex);
    collected.messages.emplace_back(bytes, bytes + length);
    collected.threads.push_back(std::this_thread::get_id());
  });
}

TEST(VirtualBusTest, ListsAttachedPortsInAttachOrderOnBothSides) {
  auto bus = VirtualMidiBus::Create();
  auto a = bus->Attach("Alpha");
  auto b = bus->Attach("Beta");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(bus->Attach("Alpha"), nullptr);  // names are unique
  EXPECT_EQ(bus->Attach(""), nullptr);
  EXPECT_EQ(bus->PortNames(), (std::vector<std::string>{"Alpha", "Beta"}));
  ASSERT_EQ(bus->midiInGetNumDevs(), 2u);
  ASSERT_EQ(bus->midiOutGetNumDevs(), 2u);
  EXPECT_EQ(InName(*bus, 1), "Beta");
  EXPECT_EQ(OutName(*bus, 0), "Alpha");
  EXPECT_EQ(InName(*bus, 2), "<refused>");

  a->Detach();
  EXPECT_EQ(bus->PortNames(), (std::vector<std::string>{"Beta"}));
  // An index means what the last listing showed there: the detached port, which is gone and
  // cannot be opened.
  EXPECT_EQ(InName(*bus, 0), "Alpha");
  EXPECT_EQ(OutName(*bus, 1), "Beta");
  HMIDIIN gone = nullptr;
  EXPECT_EQ(bus->midiInOpen(&gone, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
  ASSERT_EQ(bus->midiInGetNumDevs(), 1u);
  EXPECT_EQ(InName(*bus, 0), "Beta");
  EXPECT_NE(bus->Attach("Alpha"), nullptr);  // free again once detached
}

TEST(VirtualBusTest, AnEndpointThatGoesTakesItsPortsAlong) {
  auto bus = VirtualMidiBus::Create();
  { auto endpoint = bus->Attach("Short-lived"); }
  EXPECT_EQ(bus->midiInGetNumDevs(), 0u);
}

TEST(VirtualBusTest, LongNamesAreCutToTheCapabilityField) {
  auto bus = VirtualMidiBus::Create();
  const std::string name(300, 'n');
  auto endpoint = bus->Attach(name);
  EXPECT_EQ(InName(*bus, 0), name.substr(0, kMaxPnameLen - 1));
  EXPECT_EQ(OutName(*bus, 0).size(), 255u);
}

TEST(VirtualBusTest, PortsAreOpenedByOneHostAtATime) {
  auto bus = VirtualMidiBus::Create();
  auto endpoint = bus->Attach("Device");
  HMIDIIN in = nullptr, in2 = nullptr;
  HMIDIOUT out = nullptr, out2 = nullptr;
  ASSERT_EQ(bus->midiInOpen(&in, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(bus->midiInOpen(&in2, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
  ASSERT_EQ(bus->midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(bus->midiOutOpen(&out2, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
  EXPECT_EQ(bus->midiInOpen(&in2, 1, nullptr, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(bus->midiOutOpen(&out2, 7, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(bus->midiInClose(in), MMSYSERR_NOERROR);
  EXPECT_EQ(bus->midiOutClose(out), MMSYSERR_NOERROR);
  // Handles are not reused: a stale one is refused, and the port can be opened again.
  EXPECT_EQ(bus->midiInClose(in), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(bus->midiOutShortMsg(out, 0x7F3C90), MMSYSERR_INVALHANDLE);
  ASSERT_EQ(bus->midiInOpen(&in2, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_NE(in2, in);
  EXPECT_EQ(bus->midiInClose(in2), MMSYSERR_NOERROR);
}

TEST(VirtualBusTest, TheFarEndReachesTheHostOnlyThroughAnOpenInPort) {
  auto bus = VirtualMidiBus::Create();
  auto endpoint = bus->Attach("Device");
  const uint8_t note[] = {0x90, 0x3C, 0x7F};
  EXPECT_FALSE(endpoint->SendToHost(note, sizeof note));
  HMIDIIN in = nullptr;
  ASSERT_EQ(bus->midiInOpen(&in, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_TRUE(endpoint->SendToHost(note, sizeof note));
  ASSERT_EQ(bus->midiInClose(in), MMSYSERR_NOERROR);
  EXPECT_FALSE(endpoint->SendToHost(note, sizeof note));
}

TEST(VirtualBusTest, HostMessagesReachTheReceiverOnABusThreadInOrder) {
  auto bus = VirtualMidiBus::Create();
  auto endpoint = bus->Attach("Device");
  Collected collected;
  CollectInto(*endpoint, collected);
  endpoint->SetTiming({100000.0, 200});  // a link with a speed and a latency still delivers it all
  HMIDIOUT out = nullptr;
  ASSERT_EQ(bus->midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  char sysex[] = {'\xF0', 0x7D, 0x10, '\xF7'};
  MIDIHDR header;
  header.lpData = sysex;
  header.dwBufferLength = sizeof sysex;
  ASSERT_EQ(bus->midiOutShortMsg(out, 0x7F3C90), MMSYSERR_NOERROR);
  ASSERT_EQ(bus->midiOutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
  ASSERT_EQ(bus->midiOutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);
  ASSERT_EQ(bus->midiOutShortMsg(out, 0xF8), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return collected.Size() == 3; }));
  EXPECT_TRUE(header.dwFlags.load() & MHDR_DONE);
  ASSERT_EQ(bus->midiOutUnprepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
  ASSERT_EQ(bus->midiOutClose(out), MMSYSERR_NOERROR);
  std::lock_guard lock(collected.mutex);
  const std::vector<std::vector<uint8_t>> expected = {{0x90, 0x3C, 0x7F}, {0xF0, 0x7D, 0x10, 0xF7}, {0xF8}};
  EXPECT_EQ(collected.messages, expected);
  for (auto id : collected.threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(VirtualBusTest, OpenPortsOfADetachedEndpointLeadNowhere) {
  auto bus = VirtualMidiBus::Create();
  auto endpoint = bus->Attach("Device");
  HMIDIOUT out = nullptr;
  ASSERT_EQ(bus->midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  endpoint->Detach();
  EXPECT_EQ(bus->midiOutShortMsg(out, 0x7F3C90), MMSYSERR_NOERROR);
  EXPECT_EQ(bus->midiOutClose(out), MMSYSERR_NOERROR);
}

TEST(VirtualBusTest, AReceiverMayDetachItsOwnEndpoint) {
  auto bus = VirtualMidiBus::Create();
  auto endpoint = bus->Attach("Device");
  std::atomic<bool> detached{false};
  endpoint->SetReceiver([&](const uint8_t*, size_t) {
    endpoint->Detach();
    detached = true;
  });
  HMIDIOUT out = nullptr;
  ASSERT_EQ(bus->midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(bus->midiOutShortMsg(out, 0xF8), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return detached.load(); }));
  EXPECT_EQ(bus->PortNames(), std::vector<std::string>{});
  EXPECT_EQ(bus->midiOutClose(out), MMSYSERR_NOERROR);
}

TEST(VirtualBusTest, TheProcessBusIsTheDefaultDriversVirtualPart) {
  auto endpoint = VirtualMidiBus::Instance().Attach("Default driver check");
  ASSERT_NE(endpoint, nullptr);
  MidiApi& api = DefaultMidiApi();
  bool listed = false;
  for (uint32_t id = 0; id < api.midiOutGetNumDevs(); ++id) listed |= OutName(api, id) == "Default driver check";
  EXPECT_TRUE(listed);
}

// With CALLBACK_EVENT the bus sets the given event each time it marks a header done, after the
// flag, so a sender woken by it finds its header done.
TEST(VirtualBusTest, ADoneEventIsSetOnceTheMessageIsOut) {
  auto bus = VirtualMidiBus::Create();
  auto endpoint = bus->Attach("Device");
  Collected collected;
  CollectInto(*endpoint, collected);
  EXPECT_TRUE(bus->midiOutSignalsDone(0));
  EXPECT_FALSE(bus->midiOutSignalsDone(1));
  HMIDIOUT out = nullptr;
  EXPECT_EQ(bus->midiOutOpen(&out, 0, 0, 0, CALLBACK_EVENT), MMSYSERR_INVALPARAM);  // no event given
  ReplyEvent done;
  ASSERT_EQ(bus->midiOutOpen(&out, 0, reinterpret_cast<uintptr_t>(&done), 0, CALLBACK_EVENT), MMSYSERR_NOERROR);
  for (int i = 0; i < 3; ++i) {
    char sysex[] = {'\xF0', 0x7D, char(i), '\xF7'};
    MIDIHDR header;
    header.lpData = sysex;
    header.dwBufferLength = sizeof sysex;
    ASSERT_EQ(bus->midiOutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(bus->midiOutLongMsg(out, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(done.Wait(20000), WAIT_OBJECT_0) << i;
    EXPECT_TRUE(header.dwFlags.load() & MHDR_DONE) << i;
    ASSERT_EQ(bus->midiOutUnprepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
  }
  // Short messages have no header: no signal.
  ASSERT_EQ(bus->midiOutShortMsg(out, 0xF8), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return collected.Size() == 4; }));
  EXPECT_EQ(done.Wait(0), WAIT_TIMEOUT);
  ASSERT_EQ(bus->midiOutClose(out), MMSYSERR_NOERROR);
}
}  // namespace
}  // namespace r9

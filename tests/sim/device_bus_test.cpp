// The simulated device on a virtual bus of its own, driven by a host that opens the port pair
// through the MIDI driver interface like the updater does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/virtual_bus.h"
#include "sim/r9_device.h"
#include "sim_test_util.h"

namespace r9 {
namespace {

using namespace simtest;

// The host end of one port pair: whole SysEx messages in, one long message out at a time.
class HostPorts {
 public:
  HostPorts(MidiApi& api, const std::string& name) : api_(api) {
    for (uint32_t i = 0; i < api_.midiOutGetNumDevs(); ++i) {
      MIDIOUTCAPSA caps;
      if (api_.midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && name == caps.szPname)
        outOk_ = api_.midiOutOpen(&out_, i, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR;
    }
    for (uint32_t i = 0; i < api_.midiInGetNumDevs(); ++i) {
      MIDIINCAPSA caps;
      if (api_.midiInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR && name == caps.szPname)
        inOk_ = api_.midiInOpen(&in_, i, &HostPorts::Callback, reinterpret_cast<uintptr_t>(this), CALLBACK_FUNCTION) ==
                MMSYSERR_NOERROR;
    }
    if (!inOk_) return;
    for (auto& b : buffers_) {
      b.storage.resize(8192);
      b.header.lpData = reinterpret_cast<char*>(b.storage.data());
      b.header.dwBufferLength = uint32_t(b.storage.size());
      api_.midiInPrepareHeader(in_, &b.header, sizeof b.header);
      api_.midiInAddBuffer(in_, &b.header, sizeof b.header);
    }
    api_.midiInStart(in_);
  }
  ~HostPorts() {
    if (inOk_) {
      closing_ = true;
      api_.midiInReset(in_);
      for (auto& b : buffers_) api_.midiInUnprepareHeader(in_, &b.header, sizeof b.header);
      api_.midiInClose(in_);
    }
    if (outOk_) api_.midiOutClose(out_);
  }
  bool Open() const { return inOk_ && outOk_; }

  bool Send(Bytes frame) {
    MIDIHDR h;
    h.lpData = reinterpret_cast<char*>(frame.data());
    h.dwBufferLength = uint32_t(frame.size());
    if (api_.midiOutPrepareHeader(out_, &h, sizeof h) != MMSYSERR_NOERROR) return false;
    bool sent = api_.midiOutLongMsg(out_, &h, sizeof h) == MMSYSERR_NOERROR;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sent && !(h.dwFlags.load() & MHDR_DONE)) {
      if (std::chrono::steady_clock::now() > limit) sent = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    api_.midiOutUnprepareHeader(out_, &h, sizeof h);
    return sent;
  }

  // The next whole message from the device, or nothing after the time-out.
  Bytes Receive(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [&] { return !messages_.empty(); })) return {};
    Bytes m = std::move(messages_.front());
    messages_.erase(messages_.begin());
    return m;
  }

 private:
  struct Buffer {
    std::vector<uint8_t> storage;
    MIDIHDR header;
  };

  static void Callback(HMIDIIN, uint32_t message, uintptr_t instance, uintptr_t param1, uintptr_t) {
    auto* self = reinterpret_cast<HostPorts*>(instance);
    if (message != MIM_LONGDATA) return;
    auto* h = reinterpret_cast<MIDIHDR*>(param1);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      const auto* bytes = reinterpret_cast<const uint8_t*>(h->lpData);
      self->partial_.insert(self->partial_.end(), bytes, bytes + h->dwBytesRecorded);
      if (!self->partial_.empty() && self->partial_.back() == 0xF7) {
        self->messages_.push_back(std::move(self->partial_));
        self->partial_.clear();
        self->cv_.notify_all();
      }
    }
    if (!self->closing_) self->api_.midiInAddBuffer(self->in_, h, sizeof *h);
  }

  MidiApi& api_;
  HMIDIOUT out_ = nullptr;
  HMIDIIN in_ = nullptr;
  bool outOk_ = false, inOk_ = false;
  std::atomic<bool> closing_{false};
  Buffer buffers_[4];
  std::mutex mutex_;
  std::condition_variable cv_;
  Bytes partial_;
  std::vector<Bytes> messages_;
};

bool Listed(VirtualMidiBus& bus, const std::string& name) {
  for (const std::string& n : bus.PortNames())
    if (n == name) return true;
  return false;
}

TEST(DeviceBusTest, AttachesUnderItsNameOnce) {
  auto bus = VirtualMidiBus::Create();
  R9Device device;
  ASSERT_TRUE(device.AttachToBus(*bus));
  EXPECT_TRUE(Listed(*bus, "KORVEN R9"));
  EXPECT_FALSE(device.AttachToBus(*bus, "Another"));  // already attached

  R9Device twin;
  EXPECT_FALSE(twin.AttachToBus(*bus));  // the name is taken
  EXPECT_TRUE(twin.AttachToBus(*bus, "KORVEN R9 (2)"));

  device.Detach();
  EXPECT_FALSE(Listed(*bus, "KORVEN R9"));
  EXPECT_TRUE(Listed(*bus, "KORVEN R9 (2)"));
  R9Device next(Parse("name=KORVEN R9"));
  EXPECT_TRUE(next.AttachToBus(*bus));
}

TEST(DeviceBusTest, AnswersAHostOverTheBus) {
  auto bus = VirtualMidiBus::Create();
  R9Device device;
  ASSERT_TRUE(device.AttachToBus(*bus));
  HostPorts host(*bus, "KORVEN R9");
  ASSERT_TRUE(host.Open());

  const Bytes block = Pattern(4096);
  struct Step {
    Bytes frame, answer;
  } steps[] = {
      {IdentityRequestFrame(),
       {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3A, 0x00, 0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0xF7}},
      {EnterFrame(), DeviceStatus(0)},
      {EraseFrame(0x170000, 0x1000), DeviceStatus(0)},
      {WriteFrame(0x170000, block), DeviceAck()},
      {FinishFrame(), DeviceStatus(0)},
  };
  for (const Step& s : steps) {
    ASSERT_TRUE(host.Send(s.frame));
    EXPECT_EQ(host.Receive(), s.answer);
  }
  EXPECT_EQ(device.FlashBytes(0x170000, 4096), block);
  EXPECT_EQ(device.Counters().framesReceived, 5u);
  EXPECT_TRUE(device.Violations().empty());

  // The device's own request reaches the host the same way.
  device.SendMakerRequest(0x05);
  EXPECT_EQ(host.Receive(), (Bytes{0xF0, 0x7D, 0x00, kId, 0x05, 0xF7}));
}

TEST(DeviceBusTest, LateAnswerStillReachesTheHost) {
  auto bus = VirtualMidiBus::Create();
  R9Device device(Parse("fault=late@identity:1,late-ms=50"));
  ASSERT_TRUE(device.AttachToBus(*bus));
  HostPorts host(*bus, "KORVEN R9");
  ASSERT_TRUE(host.Open());
  ASSERT_TRUE(host.Send(IdentityRequestFrame()));
  EXPECT_EQ(host.Receive().size(), kIdentityReplyLength);
  EXPECT_EQ(device.Counters().lateReplies, 1u);
}

TEST(DeviceBusTest, DetachAndDestructionDropALateAnswerThatStillWaits) {
  auto bus = VirtualMidiBus::Create();
  auto device = std::make_unique<R9Device>(Parse("fault=late@identity:1,late-ms=600000"));
  ASSERT_TRUE(device->AttachToBus(*bus));
  HostPorts host(*bus, "KORVEN R9");
  ASSERT_TRUE(host.Open());
  ASSERT_TRUE(host.Send(IdentityRequestFrame()));
  // The frame is delivered on the bus's thread; the answer then waits in the scheduler.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (device->PendingReplies() == 0 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(device->PendingReplies(), 1u);
  device->Detach();
  EXPECT_FALSE(Listed(*bus, "KORVEN R9"));
  EXPECT_TRUE(device->SentFrames().empty());
  device.reset();  // returns without waiting for the answer's time
}

}  // namespace
}  // namespace r9

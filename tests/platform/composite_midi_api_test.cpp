#include "platform/composite_midi_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/virtual_bus.h"
#include "tests/platform/listed_names.h"
#include "tests/platform/wait_until.h"

namespace r9 {
namespace {

using test::WaitUntil;

struct Notified {
  std::mutex mutex;
  std::vector<std::pair<HMIDIIN, uintptr_t>> data;  // handle and packed message of MIM_DATA
  uintptr_t instance = 0;
};

void OnInput(HMIDIIN handle, uint32_t message, uintptr_t instance, uintptr_t param1, uintptr_t) {
  auto* notified = reinterpret_cast<Notified*>(instance);
  if (message != MIM_DATA) return;
  std::lock_guard lock(notified->mutex);
  notified->data.emplace_back(handle, param1);
}

class CompositeTest : public testing::Test {
 protected:
  CompositeTest()
      : first_(VirtualMidiBus::Create()), second_(VirtualMidiBus::Create()), api_({first_.get(), second_.get()}) {
    a1_ = first_->Attach("a1");
    a2_ = first_->Attach("a2");
    b1_ = second_->Attach("b1");
  }

  std::unique_ptr<VirtualMidiBus> first_, second_;
  std::shared_ptr<VirtualEndpoint> a1_, a2_, b1_;
  CompositeMidiApi api_;
};

TEST_F(CompositeTest, ListsTheBackendsOneAfterTheOther) {
  const std::vector<std::string> names = {"a1", "a2", "b1"};
  EXPECT_EQ(test::ListedNames(api_, false), names);
  EXPECT_EQ(test::ListedNames(api_, true), names);
  MIDIINCAPSA caps;
  EXPECT_EQ(api_.midiInGetDevCapsA(3, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
}

// Which backend lists a device, and under which index of its own.
TEST_F(CompositeTest, TellsWhichBackendListsADevice) {
  struct Case {
    uintptr_t id;
    MidiApi* backend;
    uintptr_t local;
  } cases[] = {{0, first_.get(), 0}, {1, first_.get(), 1}, {2, second_.get(), 0}, {3, nullptr, 0}};
  for (const Case& c : cases) {
    for (const bool outputs : {false, true}) {
      uintptr_t local = c.id;
      EXPECT_EQ(api_.FindDevice(outputs, local), c.backend) << c.id;
      if (c.backend != nullptr) {
        EXPECT_EQ(local, c.local) << c.id;
      }
    }
  }
  // An index keeps meaning what the last listing showed; the next listing shows what is there.
  a2_->Detach();
  uintptr_t local = 1;
  EXPECT_EQ(api_.FindDevice(false, local), first_.get());
  ASSERT_EQ(api_.midiInGetNumDevs(), 2u);
  local = 1;
  EXPECT_EQ(api_.FindDevice(false, local), second_.get());
  EXPECT_EQ(local, 0u);
}

TEST_F(CompositeTest, RoutesInputToTheRightBackendAndReportsItsOwnHandle) {
  Notified notified;
  HMIDIIN handle = nullptr;
  ASSERT_EQ(api_.midiInOpen(&handle, 2, &OnInput, reinterpret_cast<uintptr_t>(&notified), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  ASSERT_EQ(api_.midiInStart(handle), MMSYSERR_NOERROR);
  const uint8_t note[] = {0x90, 0x3C, 0x7F};
  EXPECT_FALSE(a1_->SendToHost(note, 3));  // device 2 is b1, not a1
  ASSERT_TRUE(b1_->SendToHost(note, 3));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(notified.mutex);
    return !notified.data.empty();
  }));
  {
    std::lock_guard lock(notified.mutex);
    EXPECT_EQ(notified.data[0].first, handle);
    EXPECT_EQ(notified.data[0].second, 0x7F3C90u);
  }
  ASSERT_EQ(api_.midiInClose(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(api_.midiInStart(handle), MMSYSERR_INVALHANDLE);
}

TEST_F(CompositeTest, RoutesOutputToTheRightBackend) {
  std::atomic<int> atA2{0}, atB1{0};
  a2_->SetReceiver([&](const uint8_t*, size_t) { ++atA2; });
  b1_->SetReceiver([&](const uint8_t*, size_t) { ++atB1; });
  HMIDIOUT handle = nullptr;
  ASSERT_EQ(api_.midiOutOpen(&handle, 1, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(api_.midiOutShortMsg(handle, 0xF8), MMSYSERR_NOERROR);
  ASSERT_TRUE(WaitUntil([&] { return atA2.load() == 1; }));
  EXPECT_EQ(atB1.load(), 0);
  ASSERT_EQ(api_.midiOutClose(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(api_.midiOutClose(handle), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(api_.midiOutOpen(&handle, 9, 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
}

TEST_F(CompositeTest, AsksTheBackendOfTheDeviceWhetherItSetsADoneEvent) {
  EXPECT_TRUE(api_.midiOutSignalsDone(0));
  EXPECT_TRUE(api_.midiOutSignalsDone(2));
  EXPECT_FALSE(api_.midiOutSignalsDone(3));
}

// An index means the port the lists showed there. A port that went away between the listing
// and the open fails to open; it never opens whatever took its place, on its own backend or
// on the next one.
class VanishedPortTest : public CompositeTest, public testing::WithParamInterface<int> {
 protected:
  std::shared_ptr<VirtualEndpoint>& Endpoint(int index) { return index == 0 ? a1_ : index == 1 ? a2_ : b1_; }
};

TEST_P(VanishedPortTest, OpensThePortTheListShowedOrNone) {
  const int gone = GetParam();
  ASSERT_EQ(api_.midiOutGetNumDevs(), 3u);
  ASSERT_EQ(api_.midiInGetNumDevs(), 3u);
  std::atomic<int> received[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) Endpoint(i)->SetReceiver([&received, i](const uint8_t*, size_t) { ++received[i]; });
  Endpoint(gone)->Detach();
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    HMIDIOUT out = nullptr;
    HMIDIIN in = nullptr;
    if (i == gone) {
      EXPECT_EQ(api_.midiOutOpen(&out, uint32_t(i), 0, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
      EXPECT_EQ(api_.midiInOpen(&in, uint32_t(i), nullptr, 0, CALLBACK_NULL), MMSYSERR_BADDEVICEID);
      continue;
    }
    ASSERT_EQ(api_.midiOutOpen(&out, uint32_t(i), 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    ASSERT_EQ(api_.midiOutShortMsg(out, 0xF8), MMSYSERR_NOERROR);
    ASSERT_TRUE(WaitUntil([&] { return received[i].load() == 1; }));
    EXPECT_EQ(api_.midiOutClose(out), MMSYSERR_NOERROR);
    ASSERT_EQ(api_.midiInOpen(&in, uint32_t(i), nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    EXPECT_EQ(api_.midiInClose(in), MMSYSERR_NOERROR);
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(received[i].load(), i == gone ? 0 : 1) << i;
  // The next listing shows what is there now.
  EXPECT_EQ(api_.midiOutGetNumDevs(), 2u);
}

INSTANTIATE_TEST_SUITE_P(EachPort, VanishedPortTest, testing::Values(0, 1, 2));

}  // namespace
}  // namespace r9

// The two timings of the host (event-driven, the default, and the polled one) against the
// simulated device: the same frames in the same order, the same outcome; and which of the two
// a dialog runs is what its Timings say.
#include <gtest/gtest.h>

#include <vector>

#include "firmware/image_set.h"
#include "tests/updater/dialog_fixture.h"
#include "updater/strings.h"

namespace r9::test {
namespace {

struct Outcome {
  std::vector<std::vector<uint8_t>> hostFrames;
  std::vector<std::vector<uint8_t>> deviceFrames;
  std::vector<uint8_t> flash;
  std::vector<std::string> boxes;
  std::string lastStatus;
};

class HostTimingTest : public DialogFixture {
 protected:
  Outcome Update(const Timings& timings, const std::string& options = "") {
    Start(options, timings);
    EXPECT_EQ(dialog->GetTimings().eventDriven, timings.eventDriven);
    Execute();
    Outcome run;
    for (const ReceivedFrame& frame : device->Frames()) run.hostFrames.push_back(frame.bytes);
    run.deviceFrames = device->SentFrames();
    run.flash = device->Flash();
    run.boxes = BoxTexts();
    run.lastStatus = view.StatusLines().empty() ? "" : view.StatusLines().back();
    EXPECT_TRUE(device->Violations().empty()) << device->Violations()[0];
    Close();
    return run;
  }
};

// What goes over the wire does not depend on how soon the host reacts: a fault-free update and
// one with refused and lost answers (retries, time-outs) give the same frames either way.
TEST_F(HostTimingTest, BothTimingsSendTheSameFramesInTheSameOrder) {
  for (const char* options : {"", "fault=error@write:3,fault=drop@write:5,fault=error@erase:2"}) {
    SCOPED_TRACE(options);
    const Outcome event = Update(FastTimings(), options);
    const Outcome polled = Update(PolledTimings(FastTimings()), options);
    EXPECT_TRUE(event.boxes.empty());
    EXPECT_EQ(event.lastStatus, LoadString(IDS_UPDATE_COMPLETED));
    EXPECT_EQ(polled.boxes, event.boxes);
    EXPECT_EQ(polled.lastStatus, event.lastStatus);
    EXPECT_EQ(polled.hostFrames.size(), event.hostFrames.size());
    EXPECT_TRUE(polled.hostFrames == event.hostFrames) << "the host's frames differ";
    EXPECT_TRUE(polled.deviceFrames == event.deviceFrames) << "the device's answers differ";
    EXPECT_TRUE(polled.flash == event.flash) << "the flash differs";
  }
}

// With a tick that never comes in time, only the event-driven dialog gets its replies: the
// input port wakes the dispatcher. The polled one waits for the tick and times out, which shows
// that the switch really selects the polled timing.
TEST_F(HostTimingTest, OnlyTheEventDrivenDialogDispatchesBetweenTicks) {
  Timings timings = FastTimings();
  timings.timerPeriodMs = 60000;  // far beyond the waits, and within every multimedia timer's range
  timings.identifyWaitMs = 300;
  timings.readWaitMs = 300;

  Start("boot=same,system=same,preset=same,submcu=same", timings);
  VersionCheck();
  ASSERT_EQ(view.Boxes().size(), 1u) << BoxTexts()[0];
  EXPECT_EQ(view.Boxes()[0].text, "SYSTEM:\t\t1.10 -> 1.10\nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.02");
  Close();

  Start("boot=same,system=same,preset=same,submcu=same", PolledTimings(timings));
  VersionCheck();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{LoadString(IDS_TIMEOUT_1)});
  EXPECT_EQ(device->Counters().Of(HostFrameKind::kIdentityRequest), 1u) << "the request left; its reply was not taken";
}

// The event-driven dialog sends with the driver's done event where the driver offers one (the
// virtual bus does); the polled one opens its output without it.
TEST_F(HostTimingTest, TheOutputWaitFollowsTheTimings) {
  for (bool eventDriven : {true, false}) {
    Timings timings = FastTimings();
    timings.eventDriven = eventDriven;
    Start("", timings);
    ASSERT_EQ(dialog->OpenPorts(), 0);
    EXPECT_EQ(dialog->MidiOutPort().WaitsOnDoneEvent(), eventDriven);
    dialog->ClosePorts();
    Close();
  }
}

}  // namespace
}  // namespace r9::test

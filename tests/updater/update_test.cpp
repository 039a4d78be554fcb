// Whole updates against the simulated device: what the user sees and what the device holds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "firmware/image_set.h"
#include "tests/updater/dialog_fixture.h"
#include "updater/strings.h"

namespace r9::test {
namespace {

using ::testing::ElementsAreArray;

std::vector<std::string> StepsZeroToTwelve() {
  std::vector<std::string> steps = {"0/12"};
  for (int i = 1; i <= 12; ++i) steps.push_back(std::to_string(i) + "/12");
  return steps;
}

std::string Transmit(int offset, int size) {
  char text[64];
  std::snprintf(text, sizeof text, "Data transmit  %d / %d ", offset, size);
  return text;
}

class UpdateTest : public DialogFixture {};

TEST_F(UpdateTest, WholeUpdateWritesEveryImage) {
  Start();
  Execute();

  EXPECT_TRUE(view.Boxes().empty()) << BoxTexts()[0];
  EXPECT_TRUE(device->Violations().empty()) << device->Violations()[0];

  // The device holds each image at its address, and FF in the rest of each erased region.
  const std::vector<uint8_t> flash = device->Flash();
  for (const UpdateStep& erase : UpdatePlan) {
    if (erase.kind != kStepErase) continue;
    const FirmwareImageInfo* info =
        std::find_if(kFirmwareImages.begin(), kFirmwareImages.end(),
                     [&](const FirmwareImageInfo& i) { return i.flashAddress == erase.address; });
    ASSERT_NE(info, kFirmwareImages.end());
    FirmwareImage image;
    ASSERT_TRUE(FindFirmwareImage(info->id, &image));
    EXPECT_EQ(0, std::memcmp(flash.data() + erase.address, image.data, image.size)) << "image " << info->id;
    const auto tail = flash.begin() + erase.address + image.size;
    EXPECT_TRUE(std::all_of(tail, flash.begin() + erase.address + erase.size, [](uint8_t b) { return b == 0xFF; }))
        << "region of image " << info->id;
  }

  const SimCounters counters = device->Counters();
  EXPECT_EQ(counters.acknowledgedWrites, 929u);
  EXPECT_EQ(counters.Of(HostFrameKind::kWriteBlock), 929u);
  EXPECT_EQ(counters.Of(HostFrameKind::kErase), 6u);
  EXPECT_EQ(counters.Of(HostFrameKind::kFinishUpdate), 1u);

  EXPECT_THAT(view.StepCounters(), ElementsAreArray(StepsZeroToTwelve()));
  const std::vector<std::string> lines = view.StatusLines();
  auto has = [&](const std::string& s) { return std::find(lines.begin(), lines.end(), s) != lines.end(); };
  EXPECT_TRUE(has(LoadString(IDS_ERASING)));
  EXPECT_TRUE(has(Transmit(0, 110592)));
  EXPECT_TRUE(has(Transmit(106496, 110592)));
  EXPECT_FALSE(has(Transmit(110592, 110592))) << "the text shows the bytes acknowledged before the block";
  EXPECT_TRUE(has(Transmit(1048576, 1050164))) << "image 129 ends with a short block";
  EXPECT_EQ(lines.back(), "Version update completed.");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], kVerifyingFlash) << "the read-back runs before Finish-update";
  EXPECT_EQ(view.ProgressRanges().back(), 3802676) << "the read-back's bar covers every byte written";
  EXPECT_EQ(view.ProgressPos(), 3802676) << "and stands full at the end";

  // Updated: the lists and Rescan Device enabled, Execute and Version Check disabled.
  EXPECT_TRUE(view.Enabled(Control::MidiInList));
  EXPECT_TRUE(view.Enabled(Control::MidiOutList));
  EXPECT_TRUE(view.Enabled(Control::RescanButton));
  EXPECT_FALSE(view.Enabled(Control::ExecuteButton));
  EXPECT_FALSE(view.Enabled(Control::VersionCheckButton));
  EXPECT_EQ(dialog->GetBusy(), 0);

  // The device's own Identity Request is now answered with its family and model code.
  device->SendIdentityRequest();
  ASSERT_TRUE(view.PumpUntil(
      *dialog, [&] { return !device->DeviceRequests().back().answer.empty(); }, std::chrono::seconds(5)));
  const std::vector<uint8_t> answer = device->DeviceRequests().back().answer;
  EXPECT_EQ(std::vector<uint8_t>(answer.begin() + 6, answer.begin() + 14),
            (std::vector<uint8_t>{0x3A, 0x00, 0x05, 0x00, 0x31, 0x30, 0x30, 0x30}));

  // Rescan Device gives the two command buttons back.
  dialog->OnRescanDevice();
  EXPECT_TRUE(AllFiveEnabled());
}

// The BOOT region is rewritten unless the device already holds the carried BOOT stamp.
TEST_F(UpdateTest, BootRowsFollowTheBootStamp) {
  struct Case {
    const char* options;
    uint32_t erases;
    uint32_t writes;
  };
  for (const Case& c : {Case{"boot=same", 5, 929 - 75}, Case{"boot=old", 6, 929}, Case{"boot=erased", 6, 929}}) {
    SCOPED_TRACE(c.options);
    Start(c.options);
    Execute();
    EXPECT_EQ(view.StatusLine(), "Version update completed.");
    EXPECT_EQ(FramesOf(HostFrameKind::kErase), c.erases);
    EXPECT_EQ(device->Counters().acknowledgedWrites, c.writes);
    EXPECT_THAT(view.StepCounters(), ElementsAreArray(StepsZeroToTwelve())) << "skipped rows are still counted";
    EXPECT_TRUE(device->Violations().empty());
    Close();
  }
}

// How the identification and the Enter-update exchange end, by what the device answers.
TEST_F(UpdateTest, IdentificationAndUpdateMode) {
  struct Case {
    const char* options;
    const char* box;  // nullptr: the update completes
    uint32_t framesAfterIdentity;
  };
  const Case cases[] = {
      {"identity=3A000400", nullptr, 0},
      {"identity=3A000600", "Illegal device connected.", 0},
      {"identity=3B000500", "Illegal device connected.", 0},
      {"identity=3A010500", "Illegal device connected.", 0},
      {"mode=normal", "Please use the firmware update mode.", 1},
      {"silent-after=1", "Time out error(1)", 0},
      {"fault=error@enter:1", "Transfer error occurred.", 1},
      {"fault=drop@enter:1", "Time out error(1)", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Start(c.options);
    Execute();
    if (!c.box) {
      EXPECT_TRUE(view.Boxes().empty());
      EXPECT_EQ(view.StatusLine(), "Version update completed.");
    } else {
      ASSERT_EQ(view.Boxes().size(), 1u);
      EXPECT_EQ(view.Boxes()[0].text, c.box);
      EXPECT_EQ(view.Boxes()[0].caption, "Error");
      EXPECT_EQ(view.Boxes()[0].icon, BoxIcon::Stop);
      EXPECT_EQ(device->Counters().framesReceived, 1 + c.framesAfterIdentity) << "nothing further is sent";
      EXPECT_TRUE(AllFiveEnabled());
      EXPECT_EQ(dialog->GetBusy(), 0);
    }
    EXPECT_TRUE(device->Violations().empty());
    Close();
  }
}

TEST_F(UpdateTest, RefusedIdentityStillFillsReplyIdentity) {
  Start("identity=3A000600");
  Execute();
  EXPECT_EQ(dialog->GetReplyIdentity(), (Identity{0x3A, 0x00, 0x06, 0x00}));
  EXPECT_EQ(GetDeviceIdentity(), (Identity{0x3A, 0x00, 0x06, 0x00})) << "stored before the comparison";
}

TEST_F(UpdateTest, EraseRetriesAndGivesUp) {
  struct Case {
    const char* options;
    const char* box;
    uint32_t eraseFrames;  // of the first region
  };
  const Case cases[] = {
      {"fault=error@erase:1-6", nullptr, 7},
      {"fault=error@erase:1-7", "Transfer error occurred.", 7},
      {"fault=silent@erase:1", "Time out error(3)", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Start(c.options);
    Execute();
    if (c.box) {
      ASSERT_EQ(BoxTexts(), std::vector<std::string>{c.box});
      EXPECT_EQ(FramesOf(HostFrameKind::kErase), c.eraseFrames);
      EXPECT_EQ(FramesOf(HostFrameKind::kWriteBlock), 0u);
      EXPECT_TRUE(AllFiveEnabled());
    } else {
      EXPECT_TRUE(view.Boxes().empty());
      EXPECT_EQ(FramesOf(HostFrameKind::kErase), c.eraseFrames + 5);
      EXPECT_EQ(view.StatusLine(), "Version update completed.");
    }
    Close();
  }
}

// One failure count per block, shared by time-outs and error statuses, reset by an
// acknowledgement; the 32nd failure in a row ends the write with its own kind's message.
TEST_F(UpdateTest, BlockRetries) {
  struct Case {
    const char* options;
    const char* box;
  };
  const Case cases[] = {
      {"fault=error@write:1-31", nullptr},
      {"fault=error@write:1-31,fault=error@write:33-63", nullptr},
      {"fault=error@write:1-32", "Transfer error occurred."},
      {"fault=drop@write:1-32", "Time out error(2)"},
      {"fault=error@write:1-31,fault=drop@write:32", "Time out error(2)"},
      {"fault=drop@write:1-31,fault=error@write:32", "Transfer error occurred."},
  };
  // Blocks whose answers are dropped wait out their time-out: a shorter one keeps the test quick.
  Timings timings = FastTimings();
  timings.blockWaitMs = 300;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Start(std::string(c.options) + ",boot=same", timings);
    Execute();
    if (c.box) {
      ASSERT_EQ(BoxTexts(), std::vector<std::string>{c.box});
      EXPECT_EQ(FramesOf(HostFrameKind::kWriteBlock), 32u) << "a block is sent at most 32 times";
      EXPECT_TRUE(AllFiveEnabled());
    } else {
      EXPECT_TRUE(view.Boxes().empty()) << BoxTexts()[0];
      EXPECT_EQ(view.StatusLine(), "Version update completed.");
      EXPECT_EQ(device->Counters().acknowledgedWrites, 929u - 75u);
    }
    EXPECT_TRUE(device->Violations().empty());
    Close();
  }
}

// Image by image, whether the flash holds what the plan writes; "" when it does, else the
// first image that differs.
std::string FirstDifferingImage(const std::vector<uint8_t>& flash, bool withBoot) {
  for (const UpdateStep& step : UpdatePlan) {
    if (step.kind != kStepWrite || (step.address == 0 && !withBoot)) continue;
    FirmwareImage image;
    if (!FindFirmwareImage(step.resourceId, &image)) return "missing image";
    if (std::memcmp(flash.data() + step.address, image.data, image.size) != 0)
      return "image " + std::to_string(step.resourceId);
  }
  return "";
}

// A device slower than the host's turnaround: one late answer outlasts a block's wait, and a
// block of the same image is refused after its write time. The late answer must not end a
// later wait, so the refused block is the one sent again.
TEST_F(UpdateTest, LateAnswerAndRejectLeaveTheImagesInFlash) {
  Timings timings = FastTimings();
  timings.blockWaitMs = 300;
  Start(
      "boot=same,scale=1,link=ideal,latency=0,write-ms=4,erase-ms=0,late-ms=400,"
      "fault=late@write:15,fault=reject@write:22",
      timings);
  Execute();
  EXPECT_EQ(view.StatusLine(), "Version update completed.");
  EXPECT_EQ(device->Counters().rejectedFrames, 1u);
  EXPECT_EQ(device->Counters().lateReplies, 1u);
  EXPECT_EQ(FirstDifferingImage(device->Flash(), false), "") << "the refused block was sent again";
}

TEST_F(UpdateTest, FinishUpdateErrorStillCompletes) {
  Start("fault=error@finish:1,boot=same");
  Execute();
  EXPECT_TRUE(view.Boxes().empty());
  EXPECT_EQ(view.StatusLine(), "Version update completed.");
}

TEST_F(UpdateTest, FinishUpdateSilenceIsATransferError) {
  Start("fault=silent@finish:1,boot=same");
  Execute();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Transfer error occurred."});
}

TEST_F(UpdateTest, FailedBootReadRestoresWithoutABox) {
  Start("fault=silent@read:1");
  Execute();
  EXPECT_TRUE(view.Boxes().empty());
  EXPECT_TRUE(AllFiveEnabled());
  EXPECT_EQ(FramesOf(HostFrameKind::kErase), 0u);
}

TEST_F(UpdateTest, CommandsWhileBusyAreRefused) {
  Timings slow = FastTimings();
  slow.identifyWaitMs = 30000;
  Start("silent-after=1", slow);
  dialog->OnExecute();
  ASSERT_TRUE(view.PumpUntil(*dialog, [&] { return device->Counters().framesReceived == 1; }));
  dialog->OnVersionCheck();
  dialog->OnExecute();
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"In Progress.", "In Progress."}));
  EXPECT_EQ(device->Counters().framesReceived, 1u) << "no second worker";
}

TEST_F(UpdateTest, CommandsDisableTheControlsInTheirOrder) {
  using C = Control;
  struct Case {
    void (CR9UpdaterDlg::*command)();
    std::vector<std::pair<Control, bool>> calls;
  };
  const Case cases[] = {
      {&CR9UpdaterDlg::OnExecute,
       {{C::MidiInList, false},
        {C::MidiOutList, false},
        {C::ExecuteButton, false},
        {C::RescanButton, false},
        {C::VersionCheckButton, false}}},
      {&CR9UpdaterDlg::OnVersionCheck,
       {{C::MidiInList, false},
        {C::MidiOutList, false},
        {C::VersionCheckButton, false},
        {C::ExecuteButton, false},
        {C::RescanButton, false}}},
  };
  Timings slow = FastTimings();
  slow.identifyWaitMs = 30000;
  for (const Case& c : cases) {
    Start("silent-after=1", slow);
    (dialog.get()->*c.command)();
    EXPECT_EQ(view.EnableCalls(), c.calls);
    EXPECT_EQ(dialog->GetBusy(), 1);
    Close();
  }
}

// Closing the window during any wait ends the worker at once, without a box.
TEST_F(UpdateTest, ClosingDuringEachWait) {
  struct Case {
    const char* options;
    HostFrameKind waitingFor;
  };
  const Case cases[] = {
      {"fault=silent@identity:1", HostFrameKind::kIdentityRequest},
      {"fault=silent@enter:1", HostFrameKind::kEnterUpdate},
      {"fault=silent@read:1", HostFrameKind::kReadRequest},
      {"fault=silent@erase:1", HostFrameKind::kErase},
      {"fault=silent@write:1", HostFrameKind::kWriteBlock},
      {"fault=silent@finish:1,boot=same", HostFrameKind::kFinishUpdate},
  };
  Timings slow = FastTimings();
  slow.identifyWaitMs = slow.eraseWaitMs = slow.readWaitMs = 60000;
  slow.blockWaitMs = 60000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Start(c.options, slow);
    dialog->OnExecute();
    ASSERT_TRUE(view.PumpUntil(*dialog, [&] { return FramesOf(c.waitingFor) >= 1; }));
    const auto begin = std::chrono::steady_clock::now();
    view.Close();
    dialog->OnDestroy();
    EXPECT_EQ(dialog->GetReplyStatus(), 255);
    dialog.reset();  // joins the worker
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20)) << "the worker hung";
    EXPECT_TRUE(view.Boxes().empty());
    Close();
  }
}

TEST_F(UpdateTest, ClosingWhileAnErrorBoxIsOpen) {
  Start("mode=normal");
  view.HoldBoxes(true);
  dialog->OnExecute();
  ASSERT_TRUE(view.PumpUntil(*dialog, [&] { return view.BoxCount() == 1; }));
  view.Close();
  dialog->OnDestroy();
  dialog->JoinWorker();  // would hang if the box kept the worker
  EXPECT_FALSE(dialog->WorkerRunning());
  EXPECT_EQ(dialog->GetReplyStatus(), 255);
  EXPECT_FALSE(view.Enabled(Control::ExecuteButton)) << "a closing window is not touched";
}

TEST_F(UpdateTest, ErrorBoxComesBeforeTheControls) {
  Start("mode=normal");
  view.HoldBoxes(true);
  dialog->OnExecute();
  ASSERT_TRUE(view.PumpUntil(*dialog, [&] { return view.BoxCount() == 1; }));
  EXPECT_FALSE(view.Enabled(Control::ExecuteButton)) << "controls come back only after the box is closed";
  EXPECT_EQ(dialog->GetBusy(), 1);
  view.ReleaseBoxes();
  ASSERT_TRUE(view.PumpUntil(*dialog, [&] { return Idle(); }));
  EXPECT_TRUE(AllFiveEnabled());
}

}  // namespace
}  // namespace r9::test

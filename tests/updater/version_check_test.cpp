// The version check against the simulated device: the report text and the state it leaves.
#include <gtest/gtest.h>

#include "tests/updater/dialog_fixture.h"

namespace r9::test {
namespace {

class VersionCheckTest : public DialogFixture {
 protected:
  void ExpectClosedAndIdle() {
    EXPECT_FALSE(dialog->MidiInPort().IsStarted());
    EXPECT_FALSE(dialog->MidiOutPort().IsOpen());
    EXPECT_TRUE(AllFiveEnabled());
    EXPECT_EQ(dialog->GetBusy(), 0);
  }
  // The texts of the information boxes shown so far.
  std::vector<std::string> Reports() {
    std::vector<std::string> reports;
    for (const Box& b : view.Boxes()) {
      if (b.icon != BoxIcon::Information) continue;
      EXPECT_EQ(b.caption, "Version Information");
      reports.push_back(b.text);
    }
    return reports;
  }
};

TEST_F(VersionCheckTest, Reports) {
  struct Case {
    const char* options;
    const char* report;
  };
  const Case cases[] = {
      {"boot=same,system=same,preset=same,submcu=same",
       "SYSTEM:\t\t1.10 -> 1.10\nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.02"},
      {"boot=same,system=old,preset=same,submcu=same",
       "SYSTEM:\t\t1.09 -> 1.10\nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.02"},
      {"boot=erased,system=same,preset=same,submcu=same",
       "SYSTEM:\t\t1.10 -> 1.10\nPRESET:\t\t1.00\nBOOT:\t\t*.** -> 1.00\nSUBMCU:\t\t1.02"},
      {"", "SYSTEM:\t\t*.** -> 1.10\nPRESET:\t\t*.** -> 1.00\nBOOT:\t\t*.** -> 1.00\nSUBMCU:\t\t*.** -> 1.02"},
      {"boot=same,system=same,preset=same,submcu=same,preset-read=fail",
       "SYSTEM:\t\t1.10 -> 1.10\nPRESET:\t\t\nBOOT:\t\t1.00\nSUBMCU:\t\t1.02"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Start(c.options);
    VersionCheck();
    EXPECT_EQ(Reports(), std::vector<std::string>{c.report});
    ExpectClosedAndIdle();
    EXPECT_EQ(device->Counters().Of(HostFrameKind::kEnterUpdate), 0u) << "nothing is written";
    EXPECT_TRUE(device->Violations().empty());
    Close();
  }
}

// A later check whose PRESET read fails repeats the PRESET texts of the last check that read them.
TEST_F(VersionCheckTest, FailedPresetReadKeepsEarlierTexts) {
  // Reads 1-4 are the first check; the second check's PRESET read is read 6.
  Start("boot=same,system=old,preset=old,submcu=same,fault=corrupt@read:6");
  VersionCheck();
  VersionCheck();
  const std::vector<std::string> reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1], reports[0]);
  EXPECT_EQ(reports[1], "SYSTEM:\t\t1.09 -> 1.10\nPRESET:\t\t0.90 -> 1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.02");
  ExpectClosedAndIdle();
}

TEST_F(VersionCheckTest, RequiredReadFailureShowsNoReport) {
  struct Case {
    const char* options;
    uint32_t reads;
    const char* status;  // the status line names the stamp
  };
  const Case cases[] = {
      {"boot=same,fault=corrupt@read:1", 1, "The SYSTEM version stamp could not be read."},
      {"boot=same,fault=corrupt@read:3", 3, "The BOOT version stamp could not be read."},
      {"boot=same,fault=silent@read:4", 4, "The SUBMCU version stamp could not be read."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Start(c.options);
    VersionCheck();
    EXPECT_TRUE(view.Boxes().empty()) << "no box and no report";
    EXPECT_EQ(device->Counters().Of(HostFrameKind::kReadRequest), c.reads);
    EXPECT_EQ(view.StatusLines(), std::vector<std::string>{c.status});
    ExpectClosedAndIdle();
    Close();
  }
}

// A good check, also one whose PRESET read fails, leaves the status line alone; after a failed
// check it takes the failure's text back.
TEST_F(VersionCheckTest, GoodCheckClearsOnlyTheFailedChecksText) {
  Start("boot=same,preset-read=fail-once,fault=corrupt@read:7");
  VersionCheck();  // reads 1-4, PRESET failing
  EXPECT_TRUE(view.StatusLines().empty());
  EXPECT_EQ(Reports().size(), 1u);
  VersionCheck();  // reads 5-7: BOOT fails
  EXPECT_EQ(view.StatusLines(), std::vector<std::string>{"The BOOT version stamp could not be read."});
  VersionCheck();
  EXPECT_EQ(view.StatusLines(), (std::vector<std::string>{"The BOOT version stamp could not be read.", ""}));
  EXPECT_EQ(Reports().size(), 2u);
  ExpectClosedAndIdle();
}

TEST_F(VersionCheckTest, IdentificationFailureShowsItsBox) {
  Start("identity=3A000600");
  VersionCheck();
  std::vector<std::string> texts = BoxTexts();
  EXPECT_EQ(texts, std::vector<std::string>{"Illegal device connected."});
  EXPECT_EQ(device->Counters().Of(HostFrameKind::kReadRequest), 0u);
  ExpectClosedAndIdle();
}

// Closing during any read ends the check at once, also during the PRESET read, whose failure
// the check otherwise steps over.
TEST_F(VersionCheckTest, ClosingDuringEachRead) {
  Timings slow = FastTimings();
  slow.readWaitMs = 60000;
  for (int read = 1; read <= 4; ++read) {
    SCOPED_TRACE(read);
    Start("boot=same,fault=silent@read:" + std::to_string(read), slow);
    dialog->OnVersionCheck();
    ASSERT_TRUE(view.PumpUntil(*dialog, [&] { return FramesOf(HostFrameKind::kReadRequest) >= uint32_t(read); }));
    const auto begin = std::chrono::steady_clock::now();
    view.Close();
    dialog->OnDestroy();
    dialog->JoinWorker();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20)) << "the worker waited out a read";
    EXPECT_EQ(FramesOf(HostFrameKind::kReadRequest), uint32_t(read)) << "nothing is read after the close";
    EXPECT_TRUE(view.Boxes().empty());
    Close();
  }
}

TEST_F(VersionCheckTest, VersionCheckDoesNotChangeTheHostIdentity) {
  SetHostIdentity({0, 0, 0, 0});
  Start("boot=same,system=same,preset=same,submcu=same");
  VersionCheck();
  uint8_t reply[kHostIdentityReplyLength];
  BuildHostIdentityReply(reply);
  EXPECT_EQ(reply[6], 0x00);
}

}  // namespace
}  // namespace r9::test

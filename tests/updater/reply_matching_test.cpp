// Each wait takes only its own answer: a read only its own Read reply with every byte asked
// for, stale and doubled answers of another kind end no wait, and the verify reads the flash
// back and names what differs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "firmware/image_set.h"
#include "protocol/codec.h"
#include "tests/updater/dialog_fixture.h"

namespace r9::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadReply(const Bytes& data, bool goodCrc = true) {
  Bytes out(ReadReplyLength(data.size()));
  const uint32_t crc = CrcBlock(data.data(), data.size());
  BuildReadReply(out.data(), 0x3A, data.data(), data.size(), goodCrc ? crc : crc ^ 1);
  return out;
}
Bytes Status(uint8_t status) { return {0xF0, 0x7D, 0x00, 0x3A, 0x00, status, 0xF7}; }
const Bytes kAck = {0xF0, 0x7D, 0x00, 0x3A, 0x02, 0xF7};
const Bytes kIdentityReply = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3A, 0x00, 0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0xF7};

class ReplyMatchingTest : public DialogFixture {
 protected:
  // A read of 4 bytes on a worker of its own, answered by the frames the test sends from the
  // device (which itself stays silent on reads).
  struct ReadRun {
    std::atomic<bool> done{false};
    int result = 99;
    uint8_t out[4] = {};
    std::thread thread;
  };
  void StartRead(ReadRun& run) {
    const uint32_t before = FramesOf(HostFrameKind::kReadRequest);
    run.thread = std::thread([this, &run] {
      run.result = dialog->ReadDeviceMemory(kBootStampAddress, 4, run.out);
      run.done = true;
    });
    ASSERT_TRUE(view.PumpUntil(*dialog, [&] { return FramesOf(HostFrameKind::kReadRequest) > before; }));
  }
  void Answer(const Bytes& frame) { device->SendDeviceFrame(frame.data(), frame.size()); }
  void Finish(ReadRun& run) {
    ASSERT_TRUE(view.PumpUntil(
        *dialog, [&] { return run.done.load(); }, std::chrono::seconds(10)));
    run.thread.join();
  }
};

// A Read reply with fewer bytes than asked for, its CRC matching, is no success: the bytes an
// earlier read left in ReadBuffer must never pass for the device's.
TEST_F(ReplyMatchingTest, ShortReadReplyFails) {
  Start("fault=silent@read:2");
  ASSERT_EQ(dialog->OpenPorts(), 0);
  {
    ReadRun first;  // answered by the device itself: FF FF FF FF
    first.thread = std::thread([&] {
      first.result = dialog->ReadDeviceMemory(kBootStampAddress, 4, first.out);
      first.done = true;
    });
    Finish(first);
    ASSERT_EQ(first.result, 0);
  }
  for (size_t bytes : {0u, 1u, 3u}) {
    SCOPED_TRACE(bytes);
    ReadRun run;
    StartRead(run);
    Answer(ReadReply(Bytes(bytes, 0x31)));
    Finish(run);
    EXPECT_EQ(run.result, -1);
  }
}

// During a read's wait only its own Read reply ends it: a doubled Identity Reply, an
// Acknowledge, a Status 00 (no answer to a read) and a longer Read reply are passed over.
TEST_F(ReplyMatchingTest, ReadTakesOnlyItsOwnReply) {
  Start("fault=silent@read:1");
  ASSERT_EQ(dialog->OpenPorts(), 0);
  ReadRun run;
  StartRead(run);
  for (const Bytes& other : {kIdentityReply, kAck, Status(0), ReadReply({1, 2, 3, 4, 5, 6})}) Answer(other);
  view.PumpUntil(
      *dialog, [] { return false; }, std::chrono::milliseconds(100));
  EXPECT_FALSE(run.done.load()) << "a reply of another kind ended the read";
  Answer(ReadReply({'1', '.', '0', '0'}));
  Finish(run);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(run.out), 4), "1.00");
}

// An error status is the device refusing the read.
TEST_F(ReplyMatchingTest, ErrorStatusEndsARead) {
  Start("fault=silent@read:1");
  ASSERT_EQ(dialog->OpenPorts(), 0);
  ReadRun run;
  StartRead(run);
  Answer(Status(0x04));
  Finish(run);
  EXPECT_EQ(run.result, -1);
}

// A doubled Identity Reply used to end the version check's SYSTEM read, and a doubled Status
// of Enter-update the BOOT read of an update.
TEST_F(ReplyMatchingTest, DoubledAnswersOfAnotherKindEndNoWait) {
  Start("fault=dup@identity:1,boot=same,system=old,preset=same,submcu=same");
  VersionCheck();
  ASSERT_EQ(view.Boxes().size(), 1u);
  EXPECT_EQ(view.Boxes()[0].text, "SYSTEM:\t\t1.09 -> 1.10\nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.02");
  Close();

  Start("fault=dup@enter:1,boot=same");
  Execute();
  EXPECT_EQ(view.StatusLine(), "Version update completed.");
  EXPECT_EQ(FramesOf(HostFrameKind::kErase), 5u) << "the BOOT stamp was read from the device's own reply";
  EXPECT_TRUE(device->Violations().empty());
}

// The PRESET read's answer comes after its wait: the check goes on, and an Identity Request
// fences the late answer off, so the BOOT read gets the BOOT stamp, not the PRESET one.
TEST_F(ReplyMatchingTest, LatePresetAnswerEndsNoLaterRead) {
  Start("boot=old,system=old,preset=same,submcu=old,fault=late@read:2,late-ms=2000");
  VersionCheck();
  ASSERT_EQ(view.Boxes().size(), 1u);
  EXPECT_EQ(view.Boxes()[0].text,
            "SYSTEM:\t\t1.09 -> 1.10\nPRESET:\t\t\nBOOT:\t\t0.99 -> 1.00\nSUBMCU:\t\t1.01 -> 1.02");
  EXPECT_EQ(FramesOf(HostFrameKind::kIdentityRequest), 2u) << "the identification and one fence";
}

// A run without faults sends the frames it always sent: no fence, nothing extra.
TEST_F(ReplyMatchingTest, NoExtraFrameWithoutAFault) {
  Start("boot=same");
  Execute();
  EXPECT_EQ(view.StatusLine(), "Version update completed.");
  EXPECT_EQ(FramesOf(HostFrameKind::kReadRequest), 1u);
  EXPECT_EQ(FramesOf(HostFrameKind::kIdentityRequest), 1u);
  EXPECT_EQ(device->Counters().framesReceived, 1u + 1u + 1u + 5u + (929u - 75u) + 1u);
}

// A block's answer that comes after its wait: one fence Read, then the block again.
TEST_F(ReplyMatchingTest, LateBlockAnswerIsFencedOff) {
  Timings timings = FastTimings();
  timings.blockWaitMs = 200;
  Start("boot=same,fault=late@write:3,late-ms=300", timings);
  Execute();
  EXPECT_EQ(view.StatusLine(), "Version update completed.");
  EXPECT_EQ(FramesOf(HostFrameKind::kReadRequest), 2u) << "the BOOT read and one fence";
  EXPECT_EQ(FramesOf(HostFrameKind::kWriteBlock), 929u - 75u + 1u);
  EXPECT_TRUE(device->Violations().empty());
}

// A fence whose answer is lost on the cable costs one try: the next fence asks for another
// length, so its own answer ends it and the block goes out again.
TEST_F(ReplyMatchingTest, LostFenceAnswerCostsOneTry) {
  Timings timings = FastTimings();
  timings.blockWaitMs = 200;
  // Read 1 is the BOOT stamp read, read 2 the first fence.
  Start("boot=same,fault=late@write:3,late-ms=300,fault=drop@read:2", timings);
  Execute();
  EXPECT_EQ(view.StatusLine(), "Version update completed.");
  EXPECT_EQ(FramesOf(HostFrameKind::kReadRequest), 3u) << "the BOOT read and two fences";
  EXPECT_EQ(FramesOf(HostFrameKind::kWriteBlock), 929u - 75u + 1u);
  EXPECT_TRUE(device->Violations().empty());
  const std::vector<uint8_t> flash = device->Flash();
  for (const UpdateStep& step : UpdatePlan) {
    if (step.kind != kStepWrite || step.address == 0) continue;  // boot=same: no BOOT rows
    FirmwareImage image;
    ASSERT_TRUE(FindFirmwareImage(step.resourceId, &image));
    EXPECT_EQ(0, std::memcmp(flash.data() + step.address, image.data, image.size)) << "image " << step.resourceId;
  }
}

// A silent device still fails a block within its 32 tries, fences included.
TEST_F(ReplyMatchingTest, SilentDeviceFailsABlockWithinItsTries) {
  Timings timings = FastTimings();
  timings.blockWaitMs = 40;
  Start("boot=same,fault=silent@write:2", timings);
  const auto begin = std::chrono::steady_clock::now();
  Execute();
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Time out error(2)"});
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20));
  EXPECT_EQ(FramesOf(HostFrameKind::kWriteBlock), 2u) << "the block once; every later try a fence";
  EXPECT_EQ(FramesOf(HostFrameKind::kReadRequest), 1u + 31u);
}

class VerifyTest : public DialogFixture {
 protected:
  void Verify() { RunToEnd(&CR9UpdaterDlg::OnVerify); }
};

TEST_F(VerifyTest, MatchesAfterAnUpdateAndNamesATamperedBlock) {
  Start();
  Execute();
  ASSERT_EQ(view.StatusLine(), "Version update completed.");
  dialog->OnRescanDevice();
  const uint32_t writesBefore = FramesOf(HostFrameKind::kWriteBlock);
  const uint32_t erasesBefore = FramesOf(HostFrameKind::kErase);

  Verify();
  EXPECT_EQ(dialog->GetVerifyOutcome(), VerifyOutcome::kMatch);
  ASSERT_EQ(view.Boxes().size(), 1u);
  EXPECT_THAT(view.Boxes()[0].text, testing::HasSubstr("image 136 at 0x1CC000: ok"));

  // Two bytes of one block of image 129 and one of image 136.
  const uint8_t zero[2] = {0, 0};
  device->LoadFlash(0x66000 + 5000, zero, 2);
  device->LoadFlash(0x1CC000 + 3 * 4096 + 7, zero, 1);
  Verify();
  EXPECT_EQ(dialog->GetVerifyOutcome(), VerifyOutcome::kDiffers);
  const std::vector<VerifyImageResult> results = dialog->GetVerifyResults();
  ASSERT_EQ(results.size(), 6u);
  for (const VerifyImageResult& r : results) {
    SCOPED_TRACE(r.resourceId);
    EXPECT_TRUE(r.read);
    if (r.resourceId == 129) {
      EXPECT_EQ(r.differingBlocks, 1u);
      EXPECT_EQ(r.firstDiff, 0x66000u + 5000u);
    } else if (r.resourceId == 136) {
      EXPECT_EQ(r.differingBlocks, 1u);
      EXPECT_EQ(r.firstDiff, 0x1CC000u + 3 * 4096 + 7);
    } else {
      EXPECT_EQ(r.differingBlocks, 0u);
    }
  }
  EXPECT_THAT(view.Boxes().back().text, testing::HasSubstr("image 129 at 0x066000: differs from 0x067388, 1 block"));
  // Nothing that changes the device was sent.
  EXPECT_EQ(FramesOf(HostFrameKind::kWriteBlock), writesBefore);
  EXPECT_EQ(FramesOf(HostFrameKind::kErase), erasesBefore);
  EXPECT_EQ(FramesOf(HostFrameKind::kEnterUpdate), 1u);
  EXPECT_EQ(FramesOf(HostFrameKind::kFinishUpdate), 1u);
  EXPECT_TRUE(AllFiveEnabled());
  EXPECT_FALSE(dialog->MidiOutPort().IsOpen());
}

// execute --verify: a block the device acknowledged but did not write is found before
// Finish-update, which is then not sent; the BOOT rows are read back only when written.
TEST_F(VerifyTest, AfterTheUpdate) {
  struct Case {
    const char* options;
    const char* box;     // nullptr: completed
    uint32_t bootReads;  // Read requests of the BOOT image's region
  } cases[] = {
      {"", nullptr, 75},
      {"boot=same", nullptr, 0},
      {"fault=lose@write:100", "Transfer error occurred.", 75},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Start(c.options);
    dialog->SetVerifyAfterUpdate(true);
    Execute();
    uint32_t bootReads = 0;
    for (const ReceivedFrame& f : device->Frames())
      if (f.kind == HostFrameKind::kReadRequest && Decode7To32(f.bytes.data() + 6) < 0x4B000 &&
          Decode7To32(f.bytes.data() + 11) == 4096)
        ++bootReads;
    EXPECT_EQ(bootReads, c.bootReads);
    if (c.box) {
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{c.box});
      EXPECT_EQ(FramesOf(HostFrameKind::kFinishUpdate), 0u) << "the device stays in its update mode";
      EXPECT_TRUE(device->InUpdateMode());
      EXPECT_EQ(dialog->GetVerifyOutcome(), VerifyOutcome::kDiffers);
      EXPECT_TRUE(AllFiveEnabled());
    } else {
      EXPECT_TRUE(view.Boxes().empty());
      EXPECT_EQ(view.StatusLine(), "Version update completed.");
      EXPECT_EQ(FramesOf(HostFrameKind::kFinishUpdate), 1u);
    }
    Close();
  }
}

// A device that takes only short reads: the verify falls back to smaller reads, down to 4
// bytes, whether the device refuses the long read or answers it short.
TEST_F(VerifyTest, FallsBackToSmallerReads) {
  struct Case {
    const char* options;
    VerifyOutcome outcome;
    uint32_t largestGoodRead;
  } cases[] = {
      {"max-read=2048", VerifyOutcome::kDiffers, 2048},
      {"max-read=2000,long-read=short", VerifyOutcome::kDiffers, 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Start(c.options);  // an erased flash: every image differs, every byte is read
    const size_t framesBefore = device->Frames().size();
    RunToEnd(&CR9UpdaterDlg::OnVerify);
    EXPECT_EQ(dialog->GetVerifyOutcome(), c.outcome);
    std::vector<uint32_t> sizes;
    const std::vector<ReceivedFrame> frames = device->Frames();
    for (size_t i = framesBefore; i < frames.size(); ++i)
      if (frames[i].kind == HostFrameKind::kReadRequest) sizes.push_back(Decode7To32(frames[i].bytes.data() + 11));
    ASSERT_GE(sizes.size(), 4u);
    EXPECT_EQ(sizes[0], 4096u);
    EXPECT_EQ(sizes[1], 2048u);
    EXPECT_EQ(*std::max_element(sizes.begin() + 2, sizes.end()), c.largestGoodRead);
    for (const VerifyImageResult& r : dialog->GetVerifyResults()) EXPECT_TRUE(r.read) << r.resourceId;
    Close();
  }
  // A device that refuses every read longer than 2 bytes: unreadable, after trying 4.
  Start("boot=same,max-read=2");
  RunToEnd(&CR9UpdaterDlg::OnVerify);
  EXPECT_EQ(dialog->GetVerifyOutcome(), VerifyOutcome::kUnreadable);
  EXPECT_EQ(device->Frames().back().kind, HostFrameKind::kReadRequest);
  EXPECT_EQ(Decode7To32(device->Frames().back().bytes.data() + 11), 4u);
}

// Each reply fits one receive buffer: reads of at most the largest size, none larger.
TEST_F(VerifyTest, ReadSizes) {
  for (uint32_t size : {4096u, 7153u, 100000u}) {
    SCOPED_TRACE(size);
    Start("boot=same,system=same,preset=same,submcu=same");
    dialog->SetReadSize(size);
    Verify();
    EXPECT_EQ(dialog->GetVerifyOutcome(), VerifyOutcome::kDiffers) << "the flash holds only the stamps";
    uint32_t largest = 0;
    for (const ReceivedFrame& f : device->Frames())
      if (f.kind == HostFrameKind::kReadRequest) largest = std::max(largest, Decode7To32(f.bytes.data() + 11));
    EXPECT_EQ(largest, std::clamp(size, 4u, kMaxReadSize));
    EXPECT_LE(ReadReplyLength(largest), 8192u);
    Close();
  }
}

}  // namespace
}  // namespace r9::test

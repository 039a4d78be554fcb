// Each wait takes only its own answer: a reply that reached the port before the request is none,
// a read takes only its own Read reply with every byte asked for, stale and doubled answers of
// another kind end no wait. The read-back reads the flash and names what differs, immune to
// doubled and late Read replies, and the update repairs what differs before Finish-update.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
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

// Holds the dispatcher while closed: messages reach the input port and wait there.
class DispatchGate {
 public:
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return open_; });
    ++passed_;
  }
  void Set(bool open) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = open;
    cv_.notify_all();
  }
  int Passed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return passed_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = true;
  int passed_ = 0;
};

// Every image the plan writes, at its address (without the BOOT image when boot is false).
void LoadImages(R9Device& device, bool boot = true) {
  for (const UpdateStep& step : UpdatePlan) {
    if (step.kind != kStepWrite || (step.address == 0 && !boot)) continue;
    FirmwareImage image;
    ASSERT_TRUE(FindFirmwareImage(step.resourceId, &image));
    device.LoadFlash(step.address, image.data, image.size);
  }
}

// The images that differ from the flash (without the BOOT image when boot is false).
std::vector<uint32_t> DifferingImages(const R9Device& device, bool boot = true) {
  std::vector<uint32_t> ids;
  const std::vector<uint8_t> flash = device.Flash();
  for (const UpdateStep& step : UpdatePlan) {
    if (step.kind != kStepWrite || (step.address == 0 && !boot)) continue;
    FirmwareImage image;
    if (!FindFirmwareImage(step.resourceId, &image) ||
        std::memcmp(flash.data() + step.address, image.data, image.size) != 0)
      ids.push_back(step.resourceId);
  }
  return ids;
}

// The lengths of the Read requests the device received from frame index first on.
std::vector<uint32_t> ReadLengths(const R9Device& device, size_t first = 0) {
  std::vector<uint32_t> lengths;
  const std::vector<ReceivedFrame> frames = device.Frames();
  for (size_t i = first; i < frames.size(); ++i)
    if (frames[i].kind == HostFrameKind::kReadRequest) lengths.push_back(Decode7To32(frames[i].bytes.data() + 11));
  return lengths;
}

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

// A reply that reached the input port before the read was sent is no answer to it, whether the
// dispatcher handed it on before the read left or only after: the read returns its own bytes.
TEST_F(ReplyMatchingTest, AReplyThatCameBeforeTheReadIsNoAnswer) {
  for (const bool dispatchedBefore : {true, false}) {
    SCOPED_TRACE(dispatchedBefore ? "dispatched before the read left" : "arrived before, dispatched after");
    Start("fault=silent@read:1");
    DispatchGate gate;
    dialog->SetDispatchObserver([&](const uint8_t*, size_t) { gate.Pass(); });
    ASSERT_EQ(dialog->OpenPorts(), 0);
    if (!dispatchedBefore) gate.Set(false);
    const uint64_t arrivals = dialog->MidiInPort().ArrivalCount();
    Answer(ReadReply({'0', '.', '9', '9'}));
    ASSERT_TRUE(view.PumpUntil(*dialog, [&] {
      return dispatchedBefore ? gate.Passed() == 1 : dialog->MidiInPort().ArrivalCount() == arrivals + 1;
    }));
    ReadRun run;
    StartRead(run);
    gate.Set(true);
    ASSERT_TRUE(view.PumpUntil(*dialog, [&] { return gate.Passed() == 1; }));
    Answer(ReadReply({'1', '.', '0', '0'}));
    Finish(run);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(run.out), 4), "1.00");
    dialog->SetDispatchObserver(nullptr);
    Close();
  }
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

// A run without faults sends the frames it always sent, then, unless told not to, reads back
// every written byte between the last Write-block and Finish-update: no fence, no rewrite, and no
// two Read requests in a row of one length.
TEST_F(ReplyMatchingTest, NoExtraFrameWithoutAFault) {
  for (const bool verify : {false, true}) {
    SCOPED_TRACE(verify ? "with the read-back" : "without the read-back");
    Start("boot=same");
    dialog->SetVerifyAfterUpdate(verify);
    Execute();
    EXPECT_EQ(view.StatusLine(), "Version update completed.");
    EXPECT_EQ(FramesOf(HostFrameKind::kIdentityRequest), 1u);
    EXPECT_EQ(FramesOf(HostFrameKind::kErase), 5u);
    EXPECT_EQ(FramesOf(HostFrameKind::kWriteBlock), 929u - 75u);
    const std::vector<ReceivedFrame> frames = device->Frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().kind, HostFrameKind::kFinishUpdate);
    const std::vector<uint32_t> reads = ReadLengths(*device);
    if (!verify) {
      EXPECT_EQ(reads, std::vector<uint32_t>{4u});
      EXPECT_EQ(frames.size(), 1u + 1u + 1u + 5u + (929u - 75u) + 1u);
    } else {
      // The BOOT stamp, then the read-back of 3,802,676 - 307,200 bytes.
      ASSERT_GT(reads.size(), 1u);
      uint64_t bytes = 0;
      for (size_t i = 1; i < reads.size(); ++i) {
        bytes += reads[i];
        EXPECT_NE(reads[i], reads[i - 1]) << "read " << i;
        EXPECT_LE(ReadReplyLength(reads[i]), 8192u);
      }
      EXPECT_EQ(bytes, 3802676u - 307200u);
      const auto lastWrite = std::find_if(frames.rbegin(), frames.rend(),
                                          [](const ReceivedFrame& f) { return f.kind == HostFrameKind::kWriteBlock; });
      EXPECT_EQ(size_t(lastWrite - frames.rbegin()), reads.size() - 1 + 1) << "the reads come after the last block";
      EXPECT_EQ(dialog->RepairRounds(), 0);
    }
    EXPECT_TRUE(device->Violations().empty());
    Close();
  }
}

// The rules about replies still hold without the read-back: a block's answer that comes after its
// wait is fenced off with a 4-byte Read (the size every device answers), and a fence whose answer
// came late or never costs one try, the next fence asking for 4 bytes again.
TEST_F(ReplyMatchingTest, LateBlockAnswerIsFencedOff) {
  struct Case {
    const char* faults;
    uint32_t fences;
  } cases[] = {
      // The device answers one frame after another, so a fence's answer queues behind the late
      // one. With the block's answer late by a quarter wait more than the wait W: it comes at
      // 1.25 W, the first fence's answer then at 1.25 W (1 fence) or, when that is late too, at
      // 2.5 W, inside the second fence's wait (2 W to 3 W). Every margin is a quarter wait or
      // more, so a loaded machine does not move an answer into another wait.
      {"fault=late@write:3", 1},
      // Read 1 is the BOOT stamp read, read 2 the first fence.
      {"fault=late@write:3,fault=drop@read:2", 2},
      {"fault=late@write:3,fault=late@read:2", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    Timings timings = FastTimings();
    timings.blockWaitMs = 2000;
    Start(std::string("boot=same,late-ms=2500,") + c.faults, timings);
    dialog->SetVerifyAfterUpdate(false);
    Execute();
    EXPECT_EQ(view.StatusLine(), "Version update completed.");
    EXPECT_EQ(ReadLengths(*device), std::vector<uint32_t>(1 + c.fences, 4u)) << "the BOOT read and the fences";
    EXPECT_EQ(FramesOf(HostFrameKind::kWriteBlock), 929u - 75u + 1u);
    EXPECT_TRUE(device->Violations().empty());
    EXPECT_TRUE(DifferingImages(*device, false).empty());
    Close();
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

// Faults that no rule about replies can show: the update reads back, repairs, and says
// "Version update completed." only over a flash that holds the images. Every case starts from
// other firmware on a flash that ANDs writes over unerased bytes in, as one without a write
// check does, so a skipped erase would show too.
TEST_F(ReplyMatchingTest, CompletedMeansTheFlashHoldsTheImages) {
  struct Case {
    const char* options;
    bool completes;
    int repairs;              // -1: as the race between the host and the copy goes
    bool violationsExpected;  // a skipped erase that no rule about replies can see
  } cases[] = {
      // A block acknowledged and not written, in image 142 and in the SYSTEM block.
      {"fault=lose@write:100", true, 1, false},
      {"boot=same,fault=lose@write:854", true, 1, false},
      // A doubled answer just before a refusal, its copy arriving only after the next request
      // left, so that it passes for that request's own answer: the SYSTEM block's refusal ends
      // no wait of its own, and the second erase's refusal is taken for a block's, so that
      // region is written unerased.
      {"boot=same,fault=stale@write:853,fault=error@write:854", true, 1, false},
      {"fault=stale@erase:1,fault=error@erase:2", true, 1, true},
      {"fault=stale@erase:5,fault=reject@erase:6", true, -1, true},
      // A device that answers only 4-byte reads: 4-byte fences after lost answers, a sampled
      // read-back that finds a lost block.
      {"boot=same,max-read=4,fault=drop@write:10-13", true, 0, false},
      {"boot=same,max-read=4,long-read=short,fault=lose@write:500", true, 1, false},
      // Lost again in both repairs: the device stays in its update mode.
      {"fault=lose@write:100,fault=lose@write:950,fault=lose@write:1010", false, 2, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Timings timings = FastTimings();
    timings.blockWaitMs = 200;
    Start(std::string("unerased=and,") + c.options, timings);
    // Other firmware: every block differs from the images, the stamps as the case says.
    const std::vector<uint8_t> before = device->Flash();
    std::vector<uint8_t> other(before.size(), 0x5A);
    for (uint32_t stamp : {kBootStampAddress, kSystemStampAddress, kPresetStampAddress, kSubMcuStampAddress})
      std::memcpy(other.data() + stamp, before.data() + stamp, 4);
    device->LoadFlash(0, other.data(), other.size());
    const bool boot = std::string(c.options).find("boot=same") == std::string::npos;
    if (!boot) {
      FirmwareImage image;
      ASSERT_TRUE(FindFirmwareImage(kImageBoot, &image));
      device->LoadFlash(0, image.data, image.size);
    }
    Execute();
    if (c.repairs >= 0) {
      EXPECT_EQ(dialog->RepairRounds(), c.repairs);
    }
    if (c.completes) {
      EXPECT_EQ(view.StatusLine(), "Version update completed.");
      EXPECT_TRUE(view.Boxes().empty());
      EXPECT_EQ(DifferingImages(*device, boot), std::vector<uint32_t>{});
      EXPECT_FALSE(device->InUpdateMode()) << "Finish-update was sent";
    } else {
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Transfer error occurred."});
      EXPECT_EQ(FramesOf(HostFrameKind::kFinishUpdate), 0u);
      EXPECT_TRUE(device->InUpdateMode()) << "left in its update mode for another try";
    }
    if (!c.violationsExpected) {
      EXPECT_EQ(device->Violations(), std::vector<std::string>{});
    }
    Close();
  }
}

class VerifyTest : public ReplyMatchingTest {
 protected:
  void Verify() { RunToEnd(&CR9UpdaterDlg::OnVerify); }
};

// verify names each image as the version report does, and finds a change of any byte: of one
// block of image 129 and one of 136, and of the very last byte of image 129, 1,588 bytes into
// its last, partial block.
TEST_F(VerifyTest, NamesWhatDiffers) {
  Start();
  LoadImages(*device);
  Verify();
  EXPECT_EQ(dialog->GetVerifyOutcome(), VerifyOutcome::kMatch);
  ASSERT_EQ(view.Boxes().size(), 1u);
  EXPECT_THAT(view.Boxes()[0].text, testing::HasSubstr("image 136 at 0x1CC000: ok"));
  EXPECT_THAT(view.Boxes()[0].text, testing::HasSubstr("SYSTEM (image 139) at 0x170000: ok"));

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
    EXPECT_EQ(r.differingBlocks, r.resourceId == 129 || r.resourceId == 136 ? 1u : 0u);
  }
  EXPECT_THAT(view.Boxes().back().text,
              testing::HasSubstr("image 129 at 0x066000: first difference at 0x067388, 1 block differs"));
  EXPECT_THAT(view.Boxes().back().text,
              testing::HasSubstr("image 136 at 0x1CC000: first difference at 0x1CF007, 1 block differs"));

  LoadImages(*device);
  const uint8_t last = 0x00;
  const uint32_t lastByte = 0x66000 + 1050164 - 1;
  ASSERT_NE(device->FlashBytes(lastByte, 1)[0], last);
  device->LoadFlash(lastByte, &last, 1);
  Verify();
  EXPECT_EQ(dialog->GetVerifyOutcome(), VerifyOutcome::kDiffers);
  EXPECT_THAT(view.Boxes().back().text, testing::HasSubstr("image 129 at 0x066000: first difference at 0x166633"));
  // Nothing that changes the device was sent.
  EXPECT_EQ(FramesOf(HostFrameKind::kWriteBlock), 0u);
  EXPECT_EQ(FramesOf(HostFrameKind::kErase), 0u);
  EXPECT_EQ(FramesOf(HostFrameKind::kEnterUpdate), 0u);
  EXPECT_EQ(FramesOf(HostFrameKind::kFinishUpdate), 0u);
  EXPECT_TRUE(AllFiveEnabled());
  EXPECT_FALSE(dialog->MidiOutPort().IsOpen());
}

// Doubled and late Read replies: no false alarm on an intact flash, no false match on one that
// differs, whether every byte is read or 4 bytes of every block.
TEST_F(VerifyTest, ImmuneToDoubledAndLateReadReplies) {
  struct Case {
    const char* options;
    bool sampled;
  } cases[] = {
      {"scope=read,dup=1", false},
      {"scope=read,dup=0.3,seed=3", false},
      {"fault=late@read:3,late-ms=2500", false},
      {"fault=stale@read:1-100000", false},
      {"max-read=4,scope=read,dup=1", true},
      {"max-read=4,scope=read,dup=0.3,seed=5", true},
      {"max-read=4,fault=late@read:40,late-ms=2500", true},
      {"max-read=4,fault=stale@read:1-100000", true},
  };
  for (const Case& c : cases) {
    for (const bool tampered : {false, true}) {
      SCOPED_TRACE(std::string(c.options) + (tampered ? ", one byte changed" : ", intact"));
      Start(c.options);
      LoadImages(*device);
      // The middle of the 5th block of image 133: sampled, the sample sits at a block's end.
      const uint32_t at = 0x4B000 + (c.sampled ? 5 * 4096 - 4 : 5 * 4096 + 100);
      if (tampered) {
        const uint8_t b = uint8_t(~device->FlashBytes(at, 1)[0]);
        device->LoadFlash(at, &b, 1);
      }
      Verify();
      ASSERT_EQ(dialog->GetVerifyOutcome(), tampered ? VerifyOutcome::kDiffers : VerifyOutcome::kMatch);
      EXPECT_EQ(dialog->ReadBackSampled(), c.sampled);
      for (const VerifyImageResult& r : dialog->GetVerifyResults()) {
        EXPECT_EQ(r.differingBlocks, tampered && r.resourceId == 133 ? 1u : 0u) << r.resourceId;
        if (tampered && r.resourceId == 133 && !c.sampled) {
          EXPECT_EQ(r.firstDiff, at);
        }
      }
      Close();
    }
  }
}

// A device that refuses or cuts long reads: the read-back goes smaller, down to 256 bytes, and
// below that reads 4 bytes of every block; one that refuses even those cannot be read.
TEST_F(VerifyTest, FallsBackToSmallerReads) {
  struct Case {
    const char* options;
    std::vector<uint32_t> first;  // the first Read requests
    uint32_t largestLater;
    VerifyOutcome outcome;
  } cases[] = {
      {"max-read=2048", {7153, 3576, 1788}, 1788, VerifyOutcome::kMatch},
      {"max-read=2000,long-read=short", {7153, 2000}, 2000, VerifyOutcome::kMatch},
      {"max-read=200", {7153, 3576, 1788, 894, 447, 256, 4}, 4, VerifyOutcome::kMatch},
      {"max-read=2", {7153, 3576, 1788, 894, 447, 256, 4}, 4, VerifyOutcome::kUnreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    Start(c.options);
    LoadImages(*device);
    Verify();
    EXPECT_EQ(dialog->GetVerifyOutcome(), c.outcome);
    std::vector<uint32_t> lengths = ReadLengths(*device);
    ASSERT_GE(lengths.size(), c.first.size());
    EXPECT_EQ(std::vector<uint32_t>(lengths.begin(), lengths.begin() + c.first.size()), c.first);
    EXPECT_EQ(*std::max_element(lengths.begin() + c.first.size() - 1, lengths.end()), c.largestLater);
    Close();
  }
}

// Each reply fits one receive buffer: reads of at most the largest size, none larger.
TEST_F(VerifyTest, ReadSizes) {
  for (uint32_t size : {4096u, 7153u, 100000u}) {
    SCOPED_TRACE(size);
    Start("boot=same,system=same,preset=same,submcu=same");
    dialog->SetReadSize(size);
    Verify();
    EXPECT_EQ(dialog->GetVerifyOutcome(), VerifyOutcome::kDiffers) << "the flash holds only the stamps";
    const std::vector<uint32_t> lengths = ReadLengths(*device);
    const uint32_t largest = *std::max_element(lengths.begin(), lengths.end());
    EXPECT_EQ(largest, std::clamp(size, kMinReadBackSize, kMaxReadSize));
    EXPECT_LE(ReadReplyLength(largest), 8192u);
    Close();
  }
}

}  // namespace
}  // namespace r9::test

// The read-back: reads the device's flash and compares it with the carried images, region by
// region as the update plan writes them. An update runs it before Finish-update and repairs
// what differs; `verify` runs it alone, sending nothing that changes the device.
//
// Replies carry neither a sequence number nor an address, so each read must be told apart from
// the one before by its reply alone:
//  - reads of every byte never ask for one length twice in a row, and only a reply of the
//    asked length is the read's own, so a doubled copy of the previous reply never ends the
//    next read; a range that differs is read once more before it counts;
//  - a device that refuses (or cuts) reads down to kMinReadBackSize gets 4 bytes of every block
//    instead, each at an offset where the image's bytes differ from erased flash and from the
//    previous sample's, so that a copy of the previous reply shows as a difference, never as a
//    match; a differing sample is read once more before it counts.
// Each Read reply must fit one 8,192-byte receive buffer (the input port does not join the
// pieces of a longer message): reads are at most kMaxReadSize bytes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "firmware/image_set.h"
#include "platform/backend_log.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"

namespace r9 {
namespace {

constexpr uint32_t kCompareBlock = 4096;  // differences are counted in blocks as they are written
constexpr uint32_t kSampleLength = 4;
constexpr int kBadReplyTries = 3;  // replies that fail their CRC before a read gives up
constexpr int kTimeoutTries = 2;   // waits that time out before a read gives up

std::string Hex6(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", unsigned(v));
  return text;
}

// The length of the next read of the remaining bytes: at most chunk, never the previous
// request's length. The last piece of a range that would repeat it is split in two of
// different lengths.
uint32_t NextReadLength(uint32_t chunk, uint32_t remaining, uint32_t previous) {
  uint32_t n = std::min(chunk, remaining);
  if (n != previous || n < 3) return n;
  return n == remaining ? n / 2 + 1 : n - 1;
}

// Where in the block [at, at + n) of the image to take a 4-byte sample: the last offset whose
// bytes are not all erased (FF) and differ from the expected bytes of the samples before (a
// block cut short, not written or not erased shows, and a late copy of an earlier reply is
// told from this sample's own). A block of nothing but FF is sampled at its end.
uint32_t SampleOffset(const uint8_t* image, uint32_t at, uint32_t n, const std::vector<std::vector<uint8_t>>& earlier) {
  if (n < kSampleLength) return at;
  uint32_t fallback = UINT32_MAX;
  for (uint32_t o = at + n - kSampleLength + 1; o-- > at;) {
    const uint8_t* b = image + o;
    const bool erased = b[0] == 0xFF && b[1] == 0xFF && b[2] == 0xFF && b[3] == 0xFF;
    if (erased) continue;
    const bool seen = std::any_of(earlier.begin(), earlier.end(), [&](const std::vector<uint8_t>& e) {
      return std::equal(e.begin(), e.end(), b, b + kSampleLength);
    });
    if (!seen) return o;
    if (fallback == UINT32_MAX) fallback = o;
  }
  return fallback != UINT32_MAX ? fallback : at + n - kSampleLength;
}

}  // namespace

ReadResult CR9UpdaterDlg::ReadSpan(uint32_t address, uint32_t length, uint8_t* out) {
  uint32_t& chunk = readSize_;
  chunk = std::clamp(chunk, kMinReadBackSize, kMaxReadSize);
  int badReplies = 0;
  int timeouts = 0;
  uint32_t done = 0;
  while (done < length) {
    const uint32_t n = NextReadLength(chunk, length - done, lastReadLength_);
    uint32_t got = 0;
    switch (const ReadResult result = ReadOnce(address + done, n, out + done, &got)) {
      case ReadResult::kOk:
        done += n;
        badReplies = 0;
        timeouts = 0;
        break;
      case ReadResult::kRefused:
      case ReadResult::kCut:
        // A device that refuses or cuts a long read does so again: go on with the smaller size.
        if (n <= kMinReadBackSize || chunk <= kMinReadBackSize) return ReadResult::kRefused;
        if (result == ReadResult::kCut && got < kMinReadBackSize) return ReadResult::kRefused;
        chunk = result == ReadResult::kCut ? got : std::max(kMinReadBackSize, n / 2);
        break;
      case ReadResult::kFailed:
        if (++badReplies == kBadReplyTries) return ReadResult::kFailed;
        break;
      case ReadResult::kTimeout:
        if (++timeouts == kTimeoutTries) return ReadResult::kTimeout;
        break;
      case ReadResult::kAborted:
        return result;
    }
  }
  return ReadResult::kOk;
}

namespace {

VerifyOutcome OutcomeOf(ReadResult result) {
  switch (result) {
    case ReadResult::kAborted:
      return VerifyOutcome::kAborted;
    case ReadResult::kTimeout:
      return VerifyOutcome::kTimeout;
    default:
      return VerifyOutcome::kUnreadable;
  }
}

void NoteDifference(VerifyImageResult* result, uint32_t offset, std::vector<bool>* blocks) {
  const uint32_t block = offset / kCompareBlock;
  if ((*blocks)[block]) return;
  (*blocks)[block] = true;
  if (result->differingBlocks++ == 0 || result->address + offset < result->firstDiff)
    result->firstDiff = result->address + offset;
}

}  // namespace

VerifyOutcome CR9UpdaterDlg::ReadBackImage(const uint8_t* image, VerifyImageResult* result, int32_t* progress) {
  std::vector<uint8_t> flash(kMaxReadSize);
  std::vector<bool> blocks((result->size + kCompareBlock - 1) / kCompareBlock);
  uint32_t n = 0;
  for (uint32_t at = 0; at < result->size; at += n) {
    // One read a piece, compared (and read again when it differs) as a whole. Pieces alternate
    // between two lengths, so each is one read of a length other than the one before.
    n = std::min(std::clamp(readSize_, kMinReadBackSize, kMaxReadSize), result->size - at);
    if (n == lastReadLength_ && n < result->size - at) --n;
    bool same = false;
    for (int attempt = 0; attempt < 2 && !same; ++attempt) {
      const ReadResult read = ReadSpan(result->address + at, n, flash.data());
      if (read == ReadResult::kRefused) return VerifyOutcome::kNotRun;  // go on sampled
      if (read != ReadResult::kOk) return OutcomeOf(read);
      same = std::equal(flash.begin(), flash.begin() + n, image + at);
    }
    if (!same)
      for (uint32_t i = 0; i < n; ++i)
        if (flash[i] != image[at + i]) NoteDifference(result, at + i, &blocks);
    *progress += int32_t(n);
    View().SetProgressPos(*progress);
  }
  result->read = true;
  return VerifyOutcome::kMatch;
}

VerifyOutcome CR9UpdaterDlg::SampleImage(const uint8_t* image, VerifyImageResult* result, int32_t* progress) {
  constexpr size_t kRemembered = 3;  // earlier samples whose copies may still come
  std::vector<bool> blocks((result->size + kCompareBlock - 1) / kCompareBlock);
  std::vector<std::vector<uint8_t>> earlier;  // what the last samples expected
  std::vector<std::vector<uint8_t>> answers;  // what the device answered to the last reads
  const auto remember = [](std::vector<std::vector<uint8_t>>* list, std::vector<uint8_t> bytes) {
    list->push_back(std::move(bytes));
    if (list->size() > kRemembered) list->erase(list->begin());
  };
  result->sampled = true;
  for (uint32_t at = 0; at < result->size; at += kCompareBlock) {
    const uint32_t n = std::min(kCompareBlock, result->size - at);
    const uint32_t o = SampleOffset(image, at, n, earlier);
    const uint32_t length = std::min(kSampleLength, result->size - o);
    const std::vector<uint8_t> expected(image + o, image + o + length);
    // Copies of earlier answers are passed over, unless this sample expects the same bytes. A
    // flash that really holds them here does not match either: its reads then time out.
    std::vector<std::vector<uint8_t>> ignore;
    for (const auto* list : {&earlier, &answers})
      for (const std::vector<uint8_t>& e : *list)
        if (e != expected) ignore.push_back(e);
    bool same = false;
    int badReplies = 0;
    int refusals = 0;
    int timeouts = 0;
    for (int reads = 0; reads < 2 && !same;) {
      uint8_t sample[kSampleLength];
      switch (ReadOnce(result->address + o, length, sample, nullptr, &ignore)) {
        case ReadResult::kOk:
          same = std::equal(expected.begin(), expected.end(), sample);
          if (!same) remember(&answers, std::vector<uint8_t>(sample, sample + length));
          ++reads;
          break;
        case ReadResult::kFailed:
          if (++badReplies == kBadReplyTries) return VerifyOutcome::kUnreadable;
          break;
        case ReadResult::kRefused:
        case ReadResult::kCut:
          // A copy of the last refusal of a longer read may still be on its way: ask again.
          if (++refusals == kBadReplyTries) return VerifyOutcome::kUnreadable;
          break;
        case ReadResult::kTimeout:
          if (++timeouts == kTimeoutTries) return VerifyOutcome::kTimeout;
          break;
        case ReadResult::kAborted:
          return VerifyOutcome::kAborted;
      }
    }
    if (!same) NoteDifference(result, o, &blocks);
    remember(&earlier, expected);
    *progress += int32_t(n);
    View().SetProgressPos(*progress);
  }
  result->read = true;
  return VerifyOutcome::kMatch;
}

VerifyOutcome CR9UpdaterDlg::VerifyFlash(bool withBoot, std::vector<VerifyImageResult>* results) {
  struct Row {
    VerifyImageResult result;
    const uint8_t* image;
  };
  std::vector<Row> rows;
  int32_t total = 0;
  results->clear();
  for (const UpdateStep& step : UpdatePlan) {
    if (step.kind != kStepWrite || (step.address == 0 && !withBoot)) continue;
    Row row{};
    row.result.resourceId = step.resourceId;
    row.result.address = step.address;
    FirmwareImage image;
    if (!FindFirmwareImage(step.resourceId, &image) || step.size > image.size) {
      results->push_back(row.result);
      return VerifyOutcome::kUnreadable;
    }
    row.result.size = step.size == 0 ? image.size : step.size;
    row.image = image.data;
    total += int32_t(row.result.size);
    rows.push_back(row);
  }

  View().SetStatusLine(sampled_.load() ? kVerifyingFlashSampled : kVerifyingFlash);
  View().SetProgressRange(total);
  View().SetProgressPos(0);
  int32_t progress = 0;
  bool differs = false;
  for (Row& row : rows) {
    VerifyImageResult& result = row.result;
    VerifyOutcome outcome = VerifyOutcome::kNotRun;
    if (!sampled_.load()) {
      const int32_t before = progress;
      outcome = ReadBackImage(row.image, &result, &progress);
      if (outcome == VerifyOutcome::kNotRun) {
        // The device refuses reads of kMinReadBackSize: from here on, 4 bytes of every block.
        sampled_.store(true);
        LogBackendMessage("read-back", "the device refuses reads of 256 bytes: 4 bytes of every block are read");
        View().SetStatusLine(kVerifyingFlashSampled);
        result = VerifyImageResult{result.resourceId, result.address, result.size};
        progress = before;
      }
    }
    if (sampled_.load()) outcome = SampleImage(row.image, &result, &progress);
    results->push_back(result);
    if (outcome != VerifyOutcome::kMatch) return aborted_.load() ? VerifyOutcome::kAborted : outcome;
    differs |= result.differingBlocks > 0;
  }
  return differs ? VerifyOutcome::kDiffers : VerifyOutcome::kMatch;
}

int CR9UpdaterDlg::RepairFlash(const std::vector<VerifyImageResult>& results) {
  const auto eraseRowOf = [](uint32_t address) -> const UpdateStep* {
    for (const UpdateStep& step : UpdatePlan)
      if (step.kind == kStepErase && step.address == address) return &step;
    return nullptr;
  };
  const auto writeRowOf = [](uint32_t id) -> const UpdateStep* {
    for (const UpdateStep& step : UpdatePlan)
      if (step.kind == kStepWrite && step.resourceId == id) return &step;
    return nullptr;
  };
  const UpdateStep* systemWrite = writeRowOf(kImageSystem);
  const UpdateStep* systemErase = systemWrite ? eraseRowOf(systemWrite->address) : nullptr;
  if (!systemErase || !systemWrite) {
    ShowErrorAndRestore(IDS_TRANSFER_ERROR);
    return -1;
  }
  // The SYSTEM stamp goes first, so a repair cut short leaves none over a half-written device.
  if (EraseRegion(systemErase->address, systemErase->size) != 0) return -1;
  for (const VerifyImageResult& r : results) {
    if (r.differingBlocks == 0 || r.resourceId == kImageSystem) continue;
    const UpdateStep* erase = eraseRowOf(r.address);
    const UpdateStep* write = writeRowOf(r.resourceId);
    if (!erase || !write) {
      ShowErrorAndRestore(IDS_TRANSFER_ERROR);
      return -1;
    }
    if (EraseRegion(erase->address, erase->size) != 0) return -1;
    if (WriteImage(write->address, write->size, write->resourceId) != 0) return -1;
  }
  return WriteImage(systemWrite->address, systemWrite->size, systemWrite->resourceId);
}

std::string CR9UpdaterDlg::BuildVerifyReport(const std::vector<VerifyImageResult>& results) {
  std::string text;
  for (const VerifyImageResult& r : results) {
    if (!text.empty()) text += "\n";
    const char* label = nullptr;
    for (const FirmwareImageInfo& info : kFirmwareImages)
      if (info.id == r.resourceId) label = info.label;
    if (label) text += std::string(label) + " (image " + std::to_string(r.resourceId) + ")";
    else text += "image " + std::to_string(r.resourceId);
    text += " at " + Hex6(r.address) + ": ";
    if (!r.read)
      text += "not read";
    else if (r.differingBlocks == 0)
      text += r.sampled ? "ok (sampled)" : "ok";
    else
      text += "first difference at " + Hex6(r.firstDiff) + ", " + std::to_string(r.differingBlocks) +
              (r.differingBlocks == 1 ? " block differs" : " blocks differ") + (r.sampled ? " (sampled)" : "");
  }
  return text;
}

void CR9UpdaterDlg::StoreVerifyResults(VerifyOutcome outcome, const std::vector<VerifyImageResult>& results) {
  {
    std::lock_guard<std::mutex> lock(verifyMutex_);
    verifyResults_ = results;
  }
  verifyOutcome_.store(outcome);
}

std::vector<VerifyImageResult> CR9UpdaterDlg::GetVerifyResults() const {
  std::lock_guard<std::mutex> lock(verifyMutex_);
  return verifyResults_;
}

void CR9UpdaterDlg::OnVerify() {
  if (OpenPorts() != 0) return;
  StartRun({Control::MidiInList, Control::MidiOutList, Control::VersionCheckButton, Control::ExecuteButton,
            Control::RescanButton},
           &VerifyThreadProc);
}

unsigned VerifyThreadProc(void* parameter) {
  auto* dialog = static_cast<CR9UpdaterDlg*>(parameter);
  if (IdentifyDevice(dialog) != 0) {
    dialog->StoreVerifyResults(dialog->aborted_.load() ? VerifyOutcome::kAborted : VerifyOutcome::kIdentifyFailed, {});
    dialog->ClosePorts();
    return 0;
  }
  std::vector<VerifyImageResult> results;
  const VerifyOutcome outcome = dialog->VerifyFlash(true, &results);
  dialog->ClosePorts();
  dialog->StoreVerifyResults(outcome, results);
  if (outcome == VerifyOutcome::kAborted) return 0;
  if (!results.empty())
    dialog->View().ShowMessageBox("Verify", CR9UpdaterDlg::BuildVerifyReport(results), BoxIcon::Information);
  dialog->RestoreControls();
  return 0;
}

}  // namespace r9

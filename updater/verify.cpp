// Verify: reads the device's flash back and compares it with the carried images, region by
// region as the update plan writes them. It sends nothing that changes the device: the
// Identity Request and Read requests only.
//
// The input port does not join the pieces of a long message, so each Read reply must fit one
// 8,192-byte receive buffer: reads are at most kMaxReadSize bytes. Long reads are not proven on
// every device, so a refused read (an error status, a failed or short reply) is tried again in
// halves, down to 4 bytes, before the region is called unreadable.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "firmware/image_set.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"

namespace r9 {
namespace {

constexpr uint32_t kCompareBlock = 4096;  // differences are counted in blocks as they are written
constexpr uint32_t kMinReadSize = 4;

std::string Hex6(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", unsigned(v));
  return text;
}

}  // namespace

int CR9UpdaterDlg::ReadDeviceRange(uint32_t address, uint32_t length, uint32_t* chunkSize, uint8_t* out) {
  uint32_t& chunk = *chunkSize;
  chunk = std::clamp(chunk, kMinReadSize, kMaxReadSize);
  uint32_t done = 0;
  while (done < length) {
    const uint32_t n = std::min(chunk, length - done);
    const int result = ReadOnce(address + done, n, out + done);
    if (result == 0) {
      done += n;
      View().SetProgressPos(int32_t(done));
      continue;
    }
    if (result == -1) return -1;
    if (n <= kMinReadSize) return -2;
    // A device that refuses a long read refuses the next one too: go on with the smaller size.
    chunk = std::max(kMinReadSize, n / 2);
  }
  return 0;
}

VerifyOutcome CR9UpdaterDlg::VerifyFlash(bool withBoot, std::vector<VerifyImageResult>* results) {
  std::vector<const UpdateStep*> rows;
  for (const UpdateStep& step : UpdatePlan)
    if (step.kind == kStepWrite && (step.address != 0 || withBoot)) rows.push_back(&step);

  results->clear();
  bool differs = false;
  uint32_t chunk = readSize_;  // once the device has refused a size, the rest is read smaller
  std::vector<uint8_t> flash;
  for (size_t i = 0; i < rows.size(); ++i) {
    const UpdateStep& step = *rows[i];
    VerifyImageResult result;
    result.resourceId = step.resourceId;
    result.address = step.address;
    FirmwareImage image;
    if (!FindFirmwareImage(step.resourceId, &image) || step.size > image.size) {
      results->push_back(result);
      return VerifyOutcome::kUnreadable;
    }
    result.size = step.size == 0 ? image.size : step.size;

    char text[64];
    std::snprintf(text, sizeof text, "%zu/%zu", i + 1, rows.size());
    View().SetStepCounter(text);
    View().SetProgressRange(int32_t(result.size));
    std::snprintf(text, sizeof text, "Reading back image %u.", unsigned(step.resourceId));
    View().SetStatusLine(text);

    flash.assign(result.size, 0);
    const int read = ReadDeviceRange(step.address, result.size, &chunk, flash.data());
    if (read != 0) {
      results->push_back(result);
      if (aborted_.load()) return VerifyOutcome::kAborted;
      return read == -1 ? VerifyOutcome::kTimeout : VerifyOutcome::kUnreadable;
    }
    result.read = true;
    for (uint32_t at = 0; at < result.size; at += kCompareBlock) {
      const uint32_t n = std::min(kCompareBlock, result.size - at);
      const auto mismatch = std::mismatch(image.data + at, image.data + at + n, flash.data() + at);
      if (mismatch.first == image.data + at + n) continue;
      if (result.differingBlocks++ == 0) result.firstDiff = step.address + uint32_t(mismatch.first - image.data);
    }
    differs |= result.differingBlocks > 0;
    results->push_back(result);
  }
  return differs ? VerifyOutcome::kDiffers : VerifyOutcome::kMatch;
}

std::string CR9UpdaterDlg::BuildVerifyReport(const std::vector<VerifyImageResult>& results) {
  std::string text;
  for (const VerifyImageResult& r : results) {
    if (!text.empty()) text += "\n";
    text += "image " + std::to_string(r.resourceId) + " at " + Hex6(r.address) + ": ";
    if (!r.read)
      text += "not read";
    else if (r.differingBlocks == 0)
      text += "ok";
    else
      text += "differs from " + Hex6(r.firstDiff) + ", " + std::to_string(r.differingBlocks) +
              (r.differingBlocks == 1 ? " block" : " blocks");
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

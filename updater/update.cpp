// Device identification and the update sequence, run on the update worker's thread.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "firmware/image_set.h"
#include "platform/backend_log.h"
#include "platform/kernel.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"

namespace r9 {

// Rows 1 and 2 are equal; a device is accepted when its identity equals a row byte for byte.
const std::array<Identity, 3> AcceptedIdentities = {{
    {0x3A, 0x00, 0x05, 0x00},
    {0x3A, 0x00, 0x05, 0x00},
    {0x3A, 0x00, 0x04, 0x00},
}};

namespace {

constexpr int32_t kAbort = 255;
constexpr int32_t kNotInUpdateMode = 11;

std::string StepText(int row) {
  char text[16];
  std::snprintf(text, sizeof text, "%d/%d", row, int(kPlanRows));
  return text;
}

}  // namespace

int IdentifyDevice(CR9UpdaterDlg* dialog) {
  dialog->BeginRequest();
  if (dialog->SendSysEx(kIdentityRequestImage, kIdentityRequestLength) < 0) {
    dialog->ShowErrorAndRestore(IDS_CANT_OPEN_MIDI_OUT);
    return -1;
  }
  // Only an Identity Reply answers the Identity Request.
  Reply reply;
  if (dialog->AwaitReply(
          dialog->GetTimings().identifyWaitMs, [](const Reply& r) { return r.kind == ReplyKind::kIdentity; }, &reply) !=
      WAIT_OBJECT_0) {
    dialog->ShowErrorAndRestore(IDS_TIMEOUT_1);
    return -1;
  }
  const int32_t status = reply.status;
  if (status == kAbort) return -1;
  if (status != 0) {
    dialog->ShowErrorAndRestore(IDS_ILLEGAL_DEVICE);
    return -1;
  }
  // Stored before the comparison: a refused identity stays in DeviceIdentity.
  const Identity identity = dialog->GetReplyIdentity();
  SetDeviceIdentity(identity);
  for (const Identity& accepted : AcceptedIdentities)
    if (accepted == identity) return 0;
  dialog->ShowErrorAndRestore(IDS_ILLEGAL_DEVICE);
  return -1;
}

unsigned UpdateThreadProc(void* parameter) {
  auto* dialog = static_cast<CR9UpdaterDlg*>(parameter);
  DialogView& view = dialog->View();
  const Timings& timings = dialog->GetTimings();

  char text[16];
  std::snprintf(text, sizeof text, "0/%d", int(kPlanRows));
  view.SetStepCounter(text);
  if (IdentifyDevice(dialog) != 0) return 0;

  // From now on a device that asks for the host's identity hears its own family and model.
  SetHostIdentity(GetDeviceIdentity());

  // Enter-update and Finish-update are answered with a Status frame, nothing else.
  const auto isStatus = [](const Reply& r) { return r.kind == ReplyKind::kStatus; };
  dialog->BeginRequest();
  const size_t enterLength = BuildEnterUpdate(SendBuffer, DeviceId());
  dialog->SendSysEx(SendBuffer, enterLength);
  view.SetStatusLine(LoadString(IDS_ERASING));
  Reply reply;
  if (dialog->AwaitReply(timings.identifyWaitMs, isStatus, &reply) != WAIT_OBJECT_0) {
    dialog->ShowErrorAndRestore(IDS_TIMEOUT_1);
    return 0;
  }
  const int32_t enterStatus = reply.status;
  if (enterStatus == kAbort) return 0;
  view.SetStatusLine("");
  if (enterStatus == kNotInUpdateMode) {
    dialog->ShowErrorAndRestore(IDS_USE_UPDATE_MODE);
    return 0;
  }
  if (enterStatus != 0) {
    dialog->ShowErrorAndRestore(IDS_TRANSFER_ERROR);
    return 0;
  }
  Sleep(timings.enterPauseMs);

  if (dialog->RunUpdatePlan() != 0) return 0;

  // Replies carry no sequence number, so an acknowledged plan does not prove the flash. Read
  // back what this run wrote while the device is still in its update mode (after
  // Finish-update it restarts, and its ports may change) and repair what differs. A flash that
  // still differs leaves the device there for another try.
  dialog->repairRounds_.store(0);
  if (dialog->verifyAfterUpdate_) {
    for (int round = 0;; ++round) {
      std::vector<VerifyImageResult> results;
      const VerifyOutcome outcome = dialog->VerifyFlash(dialog->bootWritten_, &results);
      dialog->StoreVerifyResults(outcome, results);
      if (outcome == VerifyOutcome::kAborted) return 0;
      if (outcome == VerifyOutcome::kMatch) break;
      if (outcome != VerifyOutcome::kDiffers || round == kMaxRepairRounds) {
        dialog->ShowErrorAndRestore(IDS_TRANSFER_ERROR);
        return 0;
      }
      dialog->repairRounds_.store(round + 1);
      LogBackendMessage("read-back", ("the flash differs: repair " + std::to_string(round + 1)).c_str());
      if (dialog->RepairFlash(results) != 0) return 0;
    }
  }

  dialog->BeginRequest();
  const size_t finishLength = BuildFinishUpdate(SendBuffer, DeviceId());
  dialog->SendSysEx(SendBuffer, finishLength);
  if (dialog->AwaitReply(timings.identifyWaitMs, isStatus, &reply) != WAIT_OBJECT_0) {
    dialog->ShowErrorAndRestore(IDS_TRANSFER_ERROR);
    return 0;
  }
  // Every image is written and acknowledged; the Finish-update reply's status is not examined.
  if (reply.kind == ReplyKind::kAbort) return 0;

  view.SetStatusLine(LoadString(IDS_UPDATE_COMPLETED));
  dialog->RestoreControls();
  dialog->EnableCommandButtons(false);
  return 0;
}

int CR9UpdaterDlg::RunUpdatePlan() {
  bool writeBoot = true;
  // The BOOT region is rewritten only when the device does not already hold the carried stamp.
  const bool planHasBoot =
      std::any_of(UpdatePlan.begin(), UpdatePlan.end(), [](const UpdateStep& s) { return s.address == 0; });
  if (planHasBoot) {
    uint8_t deviceStamp[4];
    if (ReadDeviceMemory(kBootStampAddress, kStampLength, deviceStamp) != 0) {
      if (aborted_.load()) return -1;
      RestoreControls();
      return -1;
    }
    uint8_t carried[4];
    if (LoadImageBytes(kImageBoot, kBootStampOffset, kStampLength, carried) == 0 &&
        std::memcmp(deviceStamp, carried, kStampLength) == 0)
      writeBoot = false;
  }

  bootWritten_ = writeBoot;
  for (size_t row = 0; row < UpdatePlan.size(); ++row) {
    const UpdateStep& step = UpdatePlan[row];
    View().SetStepCounter(StepText(int(row) + 1));
    const bool skip = step.address == 0 && !writeBoot;
    if (skip) continue;
    if (step.kind == kStepErase && EraseRegion(step.address, step.size) != 0) return -1;
    if (step.kind == kStepWrite && WriteImage(step.address, step.size, step.resourceId) != 0) return -1;
  }
  return 0;
}

}  // namespace r9

// Flash erase and block transfer, run on the update worker's thread.
//
// Each step sends a frame, waits for the reply and then goes on, sends the same frame again, or
// gives up with its own error box. ReplyStatus 255 means the window is closing: the step ends
// at once and touches neither the window nor the device.
#include <algorithm>
#include <cstdio>

#include "firmware/image_set.h"
#include "platform/kernel.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"

namespace r9 {
namespace {

constexpr int kEraseMaxErrors = 7;     // error statuses before an erase gives up
constexpr int kBlockMaxFailures = 32;  // failures of one block in a row before a write gives up
constexpr int32_t kBlockSize = 4096;
constexpr int32_t kAbort = 255;

}  // namespace

int CR9UpdaterDlg::EraseRegion(uint32_t address, uint32_t size) {
  View().SetProgressRange(10);
  int errors = 0;
  // An erase is answered with a Status frame, nothing else.
  const auto accept = [](const Reply& r) { return r.kind == ReplyKind::kStatus; };
  for (;;) {
    BeginRequest();
    SendErase(DeviceId(), address, size);
    View().SetProgressPos(1);
    View().SetStatusLine(LoadString(IDS_ERASING));
    Reply reply;
    // A time-out is never followed by a resend: the device may still be erasing.
    if (AwaitReply(GetTimings().eraseWaitMs, accept, &reply) != WAIT_OBJECT_0) {
      ShowErrorAndRestore(IDS_TIMEOUT_3);
      return -1;
    }
    const int32_t status = reply.status;
    if (status == 0) {
      View().SetProgressPos(10);
      Sleep(GetTimings().settleMs);
      return 0;
    }
    if (status == kAbort) return -1;
    if (++errors == kEraseMaxErrors) {
      ShowErrorAndRestore(IDS_TRANSFER_ERROR);
      return -1;
    }
    Sleep(GetTimings().resendPauseMs);
  }
}

int CR9UpdaterDlg::WriteImage(uint32_t address, uint32_t size, uint32_t resourceId) {
  FirmwareImage image;
  // The build links all six images in; a missing one, or a row asking for more bytes than the
  // image holds, would send what is not there.
  if (!FindFirmwareImage(resourceId, &image) || size > image.size) {
    ShowErrorAndRestore(IDS_TRANSFER_ERROR);
    return -1;
  }
  ImageData = image.data;
  ImageSize = int32_t(size == 0 ? image.size : size);
  View().SetProgressRange(ImageSize);

  // A block is answered with an Acknowledge or refused with an error status.
  const auto accept = [](const Reply& r) {
    return r.kind == ReplyKind::kAck || (r.kind == ReplyKind::kStatus && r.status != 0);
  };
  const uint32_t wait = GetTimings().blockWaitMs;
  int32_t offset = 0;
  int32_t blockLength = kBlockSize;
  int failures = 0;
  bool refused = false;  // the last wait ended with an error status
  for (;;) {
    if (offset + blockLength > ImageSize) blockLength = ImageSize - offset;
    // Every block sent so far has had its answer, so any reply still coming means an answer
    // was doubled somewhere and the pairing may be off by as many blocks. It matters where a
    // refusal is involved: after a refusal (which may have been for a block further back), or
    // when a refusal comes after the wait has taken an Acknowledge (the copy of an earlier
    // block's). Send those blocks again too: the same bytes over the same bytes change nothing.
    size_t lateRefusals = 0;
    const size_t extra = BeginRequest(&lateRefusals);
    if ((refused || lateRefusals > 0) && extra > 0 && offset > 0) {
      offset -= int32_t(std::min<size_t>(extra, size_t(offset / kBlockSize))) * kBlockSize;
      blockLength = kBlockSize;
    }
    refused = false;
    SendWriteBlock(DeviceId(), ImageData + offset, address + uint32_t(offset), uint32_t(blockLength));
    char text[64];
    std::snprintf(text, sizeof text, LoadString(IDS_DATA_TRANSMIT).c_str(), offset, ImageSize);
    View().SetStatusLine(text);

    int messageOnGiveUp;
    bool answerMayStillCome = false;
    Reply reply;
    if (AwaitReply(wait, accept, &reply) != WAIT_OBJECT_0) {
      messageOnGiveUp = IDS_TIMEOUT_2;
      answerMayStillCome = true;
    } else {
      if (reply.kind == ReplyKind::kAbort) return -1;
      if (reply.kind == ReplyKind::kAck) {
        failures = 0;
        offset += blockLength;
        View().SetProgressPos(offset);
        if (offset >= ImageSize) return 0;
        continue;
      }
      messageOnGiveUp = IDS_TRANSFER_ERROR;
      refused = true;
    }
    // Time-outs and error statuses share one count; the failure that ends it picks the message.
    for (;;) {
      if (++failures == kBlockMaxFailures) {
        ShowErrorAndRestore(messageOnGiveUp);
        return -1;
      }
      if (!answerMayStillCome) break;
      // The late answer must not end the resend's wait, nor any wait after it.
      const int fence = Resync(wait, false);
      if (fence == kAbort) return -1;
      if (fence == 0) break;
      messageOnGiveUp = IDS_TIMEOUT_2;  // the fence's answer did not come either: one more try gone
    }
    Sleep(GetTimings().resendPauseMs);
  }
}

}  // namespace r9

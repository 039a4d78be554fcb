// Flash erase and block transfer, run on the update worker's thread.
//
// Each step sends a frame, waits for the reply and then goes on, sends the same frame again, or
// gives up with its own error box. ReplyStatus 255 means the window is closing: the step ends
// at once and touches neither the window nor the device.
#include <cstdio>

#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"
#include "firmware/image_set.h"
#include "platform/kernel.h"

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
  for (;;) {
    SendErase(DeviceId(), address, size);
    View().SetProgressPos(1);
    View().SetStatusLine(LoadString(IDS_ERASING));
    // A time-out is never followed by a resend: the device may still be erasing.
    if (WaitForReply(GetTimings().eraseWaitMs) != WAIT_OBJECT_0) {
      ShowErrorAndRestore(IDS_TIMEOUT_3);
      return -1;
    }
    const int32_t status = GetReplyStatus();
    if (status == 0) {
      View().SetProgressPos(10);
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

  int32_t offset = 0;
  int32_t blockLength = kBlockSize;
  int failures = 0;
  for (;;) {
    if (offset + blockLength > ImageSize) blockLength = ImageSize - offset;
    SendWriteBlock(DeviceId(), ImageData + offset, address + uint32_t(offset), uint32_t(blockLength));
    char text[64];
    std::snprintf(text, sizeof text, LoadString(IDS_DATA_TRANSMIT).c_str(), offset, ImageSize);
    View().SetStatusLine(text);

    int messageOnGiveUp;
    if (WaitForReply(GetTimings().blockWaitMs) != WAIT_OBJECT_0) {
      messageOnGiveUp = IDS_TIMEOUT_2;
    } else {
      const int32_t status = GetReplyStatus();
      if (status == 0) {
        failures = 0;
        offset += blockLength;
        View().SetProgressPos(offset);
        if (offset >= ImageSize) return 0;
        continue;
      }
      if (status == kAbort) return -1;
      messageOnGiveUp = IDS_TRANSFER_ERROR;
    }
    // Time-outs and error statuses share one count; the failure that ends it picks the message.
    if (++failures == kBlockMaxFailures) {
      ShowErrorAndRestore(messageOnGiveUp);
      return -1;
    }
    Sleep(GetTimings().resendPauseMs);
  }
}

}  // namespace r9

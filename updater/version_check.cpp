// The version check: reads the four version stamps from the device and reports them beside the
// stamps of the carried images. Nothing is written to the device.
#include <cstring>

#include "firmware/image_set.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"

namespace r9 {
namespace {

struct StampSource {
  VersionSlot slot;
  const char* label;
  uint32_t deviceAddress;
  uint32_t image;
  uint32_t offset;
  bool required;  // a failed read of a required stamp ends the check without a report
};

// In the order the stamps are read.
constexpr StampSource kStampSources[] = {
    {kSystem, "SYSTEM", kSystemStampAddress, kImageSystem, kSystemStampOffset, true},
    {kPreset, "PRESET", kPresetStampAddress, kImagePreset, kPresetStampOffset, false},
    {kBoot, "BOOT", kBootStampAddress, kImageBoot, kBootStampOffset, true},
    {kSubMcu, "SUBMCU", kSubMcuStampAddress, kImageSubMcu, kSubMcuStampOffset, true},
};

}  // namespace

unsigned VersionCheckThreadProc(void* parameter) {
  auto* dialog = static_cast<CR9UpdaterDlg*>(parameter);
  int32_t result = 0;
  if (IdentifyDevice(dialog) != 0) {
    result = -1;
  } else {
    // The device text is never cleared between reads: each good read overwrites its 4 bytes.
    char deviceText[5] = {};
    for (const StampSource& source : kStampSources) {
      if (dialog->ReadDeviceMemory(source.deviceAddress, kStampLength, reinterpret_cast<uint8_t*>(deviceText)) != 0) {
        if (!source.required) continue;
        result = -1;
        // No box for a failed read, but the status line says which stamp it was (unless the
        // window is closing: the view drops the call then).
        dialog->View().SetStatusLine(StampUnreadableText(source.label));
        dialog->stampTextShown_ = true;
        break;
      }
      SanitizeStamp(deviceText);
      dialog->DeviceVersions[source.slot] = deviceText;
      char carriedText[5] = {};
      LoadImageBytes(source.image, source.offset, kStampLength, carriedText);
      dialog->CarriedVersions[source.slot] = carriedText;
    }
  }
  // A good check takes back what an earlier failed one said; other status texts stay.
  if (result == 0 && dialog->stampTextShown_) {
    dialog->View().SetStatusLine("");
    dialog->stampTextShown_ = false;
  }
  dialog->ClosePorts();
  dialog->View().PostVersionCheckDone(result);
  return 0;
}

std::string CR9UpdaterDlg::BuildVersionReport() const {
  std::string text = "SYSTEM:\t\t" + DeviceVersions[kSystem] + " -> " + CarriedVersions[kSystem];
  const std::pair<const char*, VersionSlot> others[] = {
      {"\nPRESET:\t\t", kPreset}, {"\nBOOT:\t\t", kBoot}, {"\nSUBMCU:\t\t", kSubMcu}};
  for (auto [label, slot] : others) {
    text += label + DeviceVersions[slot];
    if (!CarriedVersions[slot].empty() && CarriedVersions[slot] != DeviceVersions[slot])
      text += " -> " + CarriedVersions[slot];
  }
  return text;
}

void CR9UpdaterDlg::ShowVersionReport() {
  view_.ShowMessageBox(kVersionCaption, BuildVersionReport(), BoxIcon::Information);
}

}  // namespace r9

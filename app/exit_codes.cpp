#include "app/exit_codes.h"

#include "updater/strings.h"

namespace r9 {

int ExitCodeForMessage(const std::string& text) {
  const std::pair<int, int> codes[] = {
      {IDS_CANT_OPEN_MIDI_OUT, kExitPort}, {IDS_CANT_OPEN_MIDI_IN, kExitPort},  {IDS_TIMEOUT_1, kExitTimeout},
      {IDS_TIMEOUT_2, kExitTimeout},       {IDS_TIMEOUT_3, kExitTimeout},       {IDS_ILLEGAL_DEVICE, kExitDevice},
      {IDS_USE_UPDATE_MODE, kExitDevice},  {IDS_TRANSFER_ERROR, kExitTransfer},
  };
  for (auto [id, code] : codes)
    if (text == LoadString(id)) return code;
  return kExitSilentFailure;
}

}  // namespace r9

// The console front-end's exit codes: each names the kind of failure.
#pragma once

#include <string>

namespace r9 {

enum ExitCode : int {
  kExitSuccess = 0,
  kExitUsage = 1,
  kExitPort = 2,           // a port could not be opened
  kExitTimeout = 3,        // the device did not answer in time
  kExitDevice = 4,         // the device was refused or is not in its update mode
  kExitTransfer = 5,       // the device reported a transfer error, or its flash differs
  kExitSilentFailure = 6,  // a failure the dialog reports with no message of its own
  kExitInstanceLimit = 7,  // twenty copies run already
  kExitLockFolder = 8,     // the folder of the instance locks cannot be made or is not private
};

// The code for an error box's text.
int ExitCodeForMessage(const std::string& text);

}  // namespace r9

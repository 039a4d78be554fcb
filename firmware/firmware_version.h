// The name and version of the firmware set that the program carries, as the device and its
// owner know it. The window title, the instance lock names and every program's --version
// start from it. A macro as well as a constant, so that string literals and the Windows
// resource script can be built from it.
#pragma once

#define R9_FIRMWARE_VERSION_TEXT "KORVEN R9 System v1.10"

#ifndef RC_INVOKED
#include <string>

#include "version/program_version.h"

namespace r9 {

inline constexpr char kFirmwareVersionText[] = R9_FIRMWARE_VERSION_TEXT;

// What "--version" prints: the program's own version, then the firmware it carries.
inline std::string VersionText(const std::string& program) {
  return program + " " R9_PROGRAM_VERSION "\n" + "Carried firmware: " R9_FIRMWARE_VERSION_TEXT "\n";
}

}  // namespace r9
#endif

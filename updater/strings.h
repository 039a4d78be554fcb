// The string table: every text the program shows, by id. The Win32 resource script carries the
// same table; a test keeps the two equal.
#pragma once

#include <string>

namespace r9 {

enum StringId : int {
  IDS_ABOUTBOX = 101,
  IDS_TIMEOUT_1 = 102,
  IDS_TIMEOUT_2 = 103,
  IDS_TIMEOUT_3 = 104,
  IDS_ILLEGAL_DEVICE = 105,
  IDS_USE_UPDATE_MODE = 106,
  IDS_TRANSFER_ERROR = 107,
  IDS_UPDATE_COMPLETED = 108,
  IDS_IN_PROGRESS = 109,
  IDS_CANT_OPEN_MIDI_IN = 110,
  IDS_ERROR_CAPTION = 111,
  IDS_BLANK = 112,
  IDS_CANT_OPEN_MIDI_OUT = 113,
  IDS_ERASING = 114,
  IDS_DATA_TRANSMIT = 115,
  IDS_ERASING_REGION = 116,
};

struct StringEntry {
  int id;
  const char* symbol;
  const char* text;
};
// All entries, in id order.
extern const StringEntry kStringTable[16];

// The text of a string id, or an empty string for an unknown id.
std::string LoadString(int id);

// Window titles (one per instance number), the version report's caption, the About texts.
extern const char* const kTitle;          // instance 1; also the About box's title line
extern const char* const kTitleNumbered;  // "%d" for instances 2 to 20
extern const char* const kVersionCaption;
extern const char* const kAboutCaption;
extern const char* const kTooManyInstances;  // "%d" for the limit
std::string WindowTitle(int instanceNumber);

// Status lines of ours, beside the string table: the read-back of an update and of a verify.
extern const char* const kVerifyingFlash;
extern const char* const kVerifyingFlashSampled;
// A text of ours for the status line: a version check ended because the stamp under this label
// (SYSTEM, BOOT or SUBMCU) could not be read. The check shows no box for it, so without this
// line a failed check looks like a click that was lost.
std::string StampUnreadableText(const char* label);

}  // namespace r9

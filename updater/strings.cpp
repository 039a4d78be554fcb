#include "updater/strings.h"

#include <cstdio>

#include "firmware/firmware_version.h"

namespace r9 {

const StringEntry kStringTable[16] = {
    {101, "IDS_ABOUTBOX", "About KORVEN R9 Updater(&A)..."},
    {102, "IDS_TIMEOUT_1", "Time out error(1)"},
    {103, "IDS_TIMEOUT_2", "Time out error(2)"},
    {104, "IDS_TIMEOUT_3", "Time out error(3)"},
    {105, "IDS_ILLEGAL_DEVICE", "Illegal device connected."},
    {106, "IDS_USE_UPDATE_MODE", "Please use the firmware update mode."},
    {107, "IDS_TRANSFER_ERROR", "Transfer error occurred."},
    {108, "IDS_UPDATE_COMPLETED", "Version update completed."},
    {109, "IDS_IN_PROGRESS", "In Progress."},
    {110, "IDS_CANT_OPEN_MIDI_IN", "Can't open MIDI In device."},
    {111, "IDS_ERROR_CAPTION", "Error"},
    {112, "IDS_BLANK", " "},
    {113, "IDS_CANT_OPEN_MIDI_OUT", "Can't open MIDI Out device."},
    {114, "IDS_ERASING", "Erasing Flash memory."},
    {115, "IDS_DATA_TRANSMIT", "Data transmit  %d / %d "},
    {116, "IDS_ERASING_REGION", "Erasing Flash memory 0x%X size %d"},
};

std::string LoadString(int id) {
  for (const StringEntry& e : kStringTable)
    if (e.id == id) return e.text;
  return {};
}

const char* const kTitle = R9_FIRMWARE_VERSION_TEXT " Updater";
const char* const kTitleNumbered = R9_FIRMWARE_VERSION_TEXT " Updater (%d)";
const char* const kVersionCaption = "Version Information";
const char* const kAboutCaption = "About KORVEN R9 Updater";
const char* const kTooManyInstances = "It is forbidden to launch more than %d instance of this application.";

std::string WindowTitle(int instanceNumber) {
  if (instanceNumber == 1) return kTitle;
  char title[64];
  std::snprintf(title, sizeof title, kTitleNumbered, instanceNumber);
  return title;
}

const char* const kVerifyingFlash = "Verifying flash memory.";
const char* const kVerifyingFlashSampled = "Verifying flash memory (4 bytes of every block).";
std::string StampUnreadableText(const char* label) {
  return std::string("The ") + label + " version stamp could not be read.";
}

}  // namespace r9

// Updater.exe: the Windows program. No console, no command line.
#include "app/win32/updater_window.h"
#include "platform/win32/windows_headers.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return r9::RunUpdaterApp(instance); }

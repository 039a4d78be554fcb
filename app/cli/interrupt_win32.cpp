// Ctrl-C and Ctrl-Break count as SIGINT, closing the console window, logging off and shutting
// down as SIGTERM. The handler runs on a thread of its own that the system starts; returning
// TRUE keeps the process alive for the main thread to end the run the way closing the window
// does.
#include <io.h>

#include <atomic>

#include "app/cli/interrupt.h"
#include "platform/win32/windows_headers.h"

namespace r9 {
namespace {

std::atomic<int> interruptSignal{0};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  interruptSignal.store(event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 2 : 15);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // The system ends the process when this returns from a close, log-off or shut-down event:
  // give the main thread a moment to close the ports first.
  ::Sleep(2000);
  return TRUE;
}

}  // namespace

void InstallInterruptHandlers() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int InterruptSignal() { return interruptSignal.load(); }

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

}  // namespace r9

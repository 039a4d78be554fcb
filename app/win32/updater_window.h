// The main dialog window of template 103: its dialog procedure forwards the user's actions and
// the window system's messages to the hub, and the hub talks back through the Win32View.
#pragma once

struct HINSTANCE__;

namespace r9 {

class CR9UpdaterDlg;
class RunRecorder;
class Win32View;

// Runs the main dialog modally, without a parent window, until it is closed. The hub must have
// been constructed with view. When this returns the window is gone: the hub has been told
// (OnDestroy) and a worker that still runs ends at its next wait. recorder, when given, keeps a
// log of each Execute and Version Check.
void RunUpdaterDialog(HINSTANCE__* instance, CR9UpdaterDlg& dialog, Win32View& view, RunRecorder* recorder = nullptr);

// The application's start-up, for Updater.exe: registers the common controls, claims an
// instance number (or refuses a twenty-first copy with its box), runs the main dialog. Returns
// the process's exit code.
int RunUpdaterApp(HINSTANCE__* instance);

}  // namespace r9

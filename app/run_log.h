// The run log: every update, version check and verify of every front-end leaves a file that
// whoever supports the user can read. It holds the program's and the firmware's versions, the
// backends and the ports, the simulated device's options, every SysEx message in the format of
// the console's --trace, the texts the user saw with their times, and the outcome as the
// console's exit code. It is written as the run goes, so a crash or a pulled cable leaves what
// happened up to then.
//
// One file per run in the log folder, named by its start time (UTC, to the microsecond), the
// instance number, the process id and the run's kind, so that copies running side by side never
// collide. The newest kRunLogsKept closed logs are kept; a log still being written is locked
// (Linux) or open without delete sharing (Windows) and is never removed. Writing a log never
// fails a run: a folder that cannot be made or written is skipped.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "updater/dialog_view.h"

namespace r9 {

class CR9UpdaterDlg;
class Trace;

constexpr size_t kRunLogsKept = 20;

// The folder of the logs: $XDG_STATE_HOME/r9-updater/logs (else ~/.local/state/r9-updater/logs)
// on Linux, %LOCALAPPDATA%\R9 Updater\logs on Windows; empty when the environment names none.
std::string DefaultRunLogFolder();

// The name of a run's log: "20260512T143301.123456Z-i1-p4242-execute.log".
std::string RunLogFileName(int64_t unixMicroseconds, int instanceNumber, long processId, const std::string& kind);

// True for a name that RunLogFileName makes; the folder's other files are never touched.
bool IsRunLogFileName(const std::string& name);

// Removes the oldest closed logs of folder until at most keep are left. Logs still being
// written (by this process or another) are neither counted nor removed. Returns how many it
// removed.
size_t PruneRunLogs(const std::string& folder, size_t keep);

struct RunLogSettings {
  bool enabled = true;
  std::string folder;  // empty: DefaultRunLogFolder()
};

// Takes --log DIR or --no-log at argv[*i], as TakeDeviceOption does: 1 taken (*i advanced past
// its value), 0 not a log option, -1 a bad value (*error says why).
int TakeRunLogOption(int argc, char** argv, int* i, RunLogSettings* settings, std::string* error);

// The About box's line about the logs: "Logs: <folder>", or that there are none.
std::string AboutLogLine(const std::string& folder);

// The About box's notice, with the program's version: "R9 firmware updater. Program 1.0.0".
std::string AboutNotice();

// The help lines of --log and --no-log.
const char* RunLogOptionsHelp();

// The log of one front-end's runs. It watches the hub's ports (set up once with Observe), is
// told by the front-end when a run begins, hears the texts through RunLogView, and closes the
// log when the run has ended. All members may be called from any thread.
class RunRecorder {
 public:
  // program: "r9-updater-cli", "r9-updater", "Updater.exe". simulate: the option string of the
  // simulated device, when one is used. problems: where a folder that cannot be used is told,
  // once (the console's stderr); null: nowhere.
  RunRecorder(std::string program, RunLogSettings settings, std::optional<std::string> simulate,
              std::function<void(const std::string&)> problems = nullptr);
  ~RunRecorder();
  RunRecorder(const RunRecorder&) = delete;
  RunRecorder& operator=(const RunRecorder&) = delete;

  // The folder the logs go to, for the About box; "" when logs are off or no folder is known.
  std::string Folder() const;
  bool Enabled() const { return settings_.enabled; }

  // Sets the hub's port observers: each frame goes into the current run's log and, when given,
  // into trace (the console's --trace file) too. Also takes the MIDI libraries' messages.
  void Observe(CR9UpdaterDlg& hub, Trace* trace = nullptr);

  // A run begins on the user-interface thread, before the hub's handler is called. kind:
  // "execute", "version-check" or "verify". Ends a run still open first.
  void Begin(const std::string& kind, CR9UpdaterDlg& hub, int inSelection, int outSelection);
  // For the windows: after the hub's handler has returned, watches the hub until the run has
  // ended (nothing busy, no worker) and closes the log with the console's exit code for it.
  void WatchUntilEnd(CR9UpdaterDlg& hub);
  // The console: the run ended with this exit code; meaning says what it was.
  void End(int exitCode, const std::string& meaning);
  // The window has closed and the worker has ended: a run that was cut off ends as the console's
  // Ctrl-C does (130), one that had ended with its outcome. Call it before the hub goes.
  void WindowClosed(CR9UpdaterDlg& hub);
  // What the user saw: "status <text>", "box Error: <text>" and so on, with the time.
  void Shown(const std::string& what);
  // Texts of the view, kept to tell the outcome.
  void StatusLine(const std::string& text);
  void Box(const std::string& caption, const std::string& text, BoxIcon icon);

  // The path of the open log ("" when none), and of the last one closed; for tests.
  std::string CurrentPath() const;
  std::string LastPath() const;

 private:
  struct Run;
  void EndLocked(std::unique_lock<std::mutex>& lock, int exitCode, const std::string& meaning);
  // The console's exit code for the run, told from what the user saw and from the hub.
  void EndWithOutcomeLocked(std::unique_lock<std::mutex>& lock, CR9UpdaterDlg& hub);
  void StopWatch();
  void Problem(const std::string& text);

  const std::string program_;
  const RunLogSettings settings_;
  const std::optional<std::string> simulate_;
  const std::function<void(const std::string&)> problems_;
  mutable std::mutex mutex_;
  std::unique_ptr<Run> run_;
  std::string lastPath_;
  bool problemTold_ = false;
  Trace* extraTrace_ = nullptr;
  // The watcher of WatchUntilEnd.
  std::thread watcher_;
  std::condition_variable stop_;
  bool stopWatching_ = false;
};

// A DialogView that hands every call to the front-end's own view, and tells the recorder the
// texts the user sees: the status line, the step counter and the boxes.
class RunLogView : public DialogView {
 public:
  RunLogView(DialogView& view, RunRecorder& recorder) : view_(view), recorder_(recorder) {}

  void ResetList(PortList list) override { view_.ResetList(list); }
  void AddListItem(PortList list, const std::string& name) override { view_.AddListItem(list, name); }
  void SetSelection(PortList list, int index) override { view_.SetSelection(list, index); }
  int GetSelection(PortList list) override { return view_.GetSelection(list); }
  void EnableControl(Control control, bool enable) override { view_.EnableControl(control, enable); }
  void SetTitle(const std::string& title) override { view_.SetTitle(title); }
  void SetStatusLine(const std::string& text) override;
  void SetStepCounter(const std::string& text) override;
  void SetProgressRange(int32_t maximum) override { view_.SetProgressRange(maximum); }
  void SetProgressPos(int32_t position) override { view_.SetProgressPos(position); }
  void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) override;
  void PostVersionCheckDone(int32_t result) override { view_.PostVersionCheckDone(result); }
  void ShowAbout() override { view_.ShowAbout(); }

 private:
  DialogView& view_;
  RunRecorder& recorder_;
};

}  // namespace r9

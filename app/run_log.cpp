#include "app/run_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <system_error>

#include "app/exit_codes.h"
#include "app/trace.h"
#include "firmware/firmware_version.h"
#include "platform/backend_log.h"
#include "platform/midi_backends.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"

#ifdef _WIN32
#include <process.h>
#else
#include <sys/file.h>
#include <unistd.h>
#endif

namespace r9 {
namespace {

namespace fs = std::filesystem;

long ProcessId() {
#ifdef _WIN32
  return long(_getpid());
#else
  return long(getpid());
#endif
}

// A log being written holds an exclusive lock on Linux, so that a copy pruning the folder can
// tell it apart from a closed one. On Windows the C runtime opens a file without delete sharing,
// so a log being written cannot be removed anyway.
bool LockForWriting(FILE* file) {
#ifdef _WIN32
  (void)file;
  return true;
#else
  return flock(fileno(file), LOCK_EX | LOCK_NB) == 0;
#endif
}

bool BeingWritten(const fs::path& path) {
#ifdef _WIN32
  (void)path;
  return false;  // DeleteFile refuses it
#else
  FILE* file = std::fopen(path.string().c_str(), "r");
  if (!file) return false;
  const bool locked = flock(fileno(file), LOCK_SH | LOCK_NB) != 0;
  std::fclose(file);
  return locked;
#endif
}

std::tm Broken(std::time_t t, bool utc) {
  std::tm tm{};
#ifdef _WIN32
  utc ? gmtime_s(&tm, &t) : localtime_s(&tm, &t);
#else
  utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm);
#endif
  return tm;
}

std::string WallTime(std::time_t t) {
  char local[64], utc[64];
  const std::tm l = Broken(t, false), u = Broken(t, true);
  std::strftime(local, sizeof local, "%Y-%m-%d %H:%M:%S %z", &l);
  std::strftime(utc, sizeof utc, "%Y-%m-%dT%H:%M:%SZ", &u);
  return std::string(local) + " (" + utc + ")";
}

std::string Quoted(const std::vector<std::string>& names, int index, bool in) {
  if (index < 0 || size_t(index) >= names.size()) return "none";
  const std::string backend = in ? MidiInBackendName(uint32_t(index)) : MidiOutBackendName(uint32_t(index));
  return std::to_string(index) + " \"" + names[size_t(index)] + "\" (" + backend + ")";
}

}  // namespace

std::string DefaultRunLogFolder() {
#ifdef _WIN32
  const char* local = std::getenv("LOCALAPPDATA");
  if (!local || !*local) return "";
  return std::string(local) + "\\R9 Updater\\logs";
#else
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return std::string(state) + "/r9-updater/logs";
  const char* home = std::getenv("HOME");
  if (!home || home[0] != '/') return "";
  return std::string(home) + "/.local/state/r9-updater/logs";
#endif
}

std::string RunLogFileName(int64_t unixMicroseconds, int instanceNumber, long processId, const std::string& kind) {
  const std::tm tm = Broken(std::time_t(unixMicroseconds / 1000000), true);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &tm);
  char name[160];
  std::snprintf(name, sizeof name, "%s.%06dZ-i%d-p%ld-%s.log", stamp, int(unixMicroseconds % 1000000), instanceNumber,
                processId, kind.c_str());
  return name;
}

bool IsRunLogFileName(const std::string& name) {
  static const std::regex pattern(R"(^[0-9]{8}T[0-9]{6}\.[0-9]{6}Z-i[0-9]+-p[0-9]+-[a-z-]+\.log$)");
  return std::regex_match(name, pattern);
}

size_t PruneRunLogs(const std::string& folder, size_t keep) {
  std::error_code error;
  std::vector<fs::path> closed;
  for (fs::directory_iterator it(fs::u8path(folder), error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    if (!IsRunLogFileName(path.filename().string()) || !it->is_regular_file(error)) continue;
    if (!BeingWritten(path)) closed.push_back(path);
  }
  if (closed.size() <= keep) return 0;
  // The names begin with the start time, so their order is the runs' order.
  std::sort(closed.begin(), closed.end(),
            [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
  size_t removed = 0;
  for (size_t i = 0; i + keep < closed.size(); ++i)
    if (fs::remove(closed[i], error)) ++removed;
  return removed;
}

std::string AboutLogLine(const std::string& folder) {
  return folder.empty() ? std::string("Logs: none are written") : "Logs: " + folder;
}

std::string AboutNotice() { return "R9 firmware updater. Program " R9_PROGRAM_VERSION; }

const char* RunLogOptionsHelp() {
  return "  --log DIR            write the run logs into DIR instead of the default folder\n"
         "  --no-log             write no run log\n";
}

int TakeRunLogOption(int argc, char** argv, int* i, RunLogSettings* settings, std::string* error) {
  const std::string a = argv[*i];
  if (a == "--no-log") {
    settings->enabled = false;
    return 1;
  }
  std::string value;
  if (a == "--log") {
    if (*i + 1 >= argc) {
      *error = "--log needs a DIR";
      return -1;
    }
    value = argv[++*i];
  } else if (a.rfind("--log=", 0) == 0) {
    value = a.substr(6);
  } else {
    return 0;
  }
  if (value.empty()) {
    *error = "--log needs a DIR";
    return -1;
  }
  settings->folder = value;
  return 1;
}

// ---------------------------------------------------------------------------------------------

struct RunRecorder::Run {
  std::string kind;
  std::string path;
  CR9UpdaterDlg* hub = nullptr;
  Trace trace;
  std::string lastStatus;
  std::string lastError;
  bool reportShown = false;
};

RunRecorder::RunRecorder(std::string program, RunLogSettings settings, std::optional<std::string> simulate,
                         std::function<void(const std::string&)> problems)
    : program_(std::move(program)),
      settings_(std::move(settings)),
      simulate_(std::move(simulate)),
      problems_(std::move(problems)) {}

RunRecorder::~RunRecorder() {
  StopWatch();
  SetBackendMessageSink(nullptr);
  std::unique_lock<std::mutex> lock(mutex_);
  if (run_) EndLocked(lock, 130, "the program ended during the run");
}

std::string RunRecorder::Folder() const {
  if (!settings_.enabled) return "";
  return settings_.folder.empty() ? DefaultRunLogFolder() : settings_.folder;
}

void RunRecorder::Problem(const std::string& text) {
  // Called with mutex_ held.
  if (problemTold_) return;
  problemTold_ = true;
  if (problems_) problems_(text);
}

void RunRecorder::Observe(CR9UpdaterDlg& hub, Trace* trace) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    extraTrace_ = trace;
  }
  hub.MidiOutPort().SetSendObserver([this](const uint8_t* b, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (extraTrace_) extraTrace_->Out(b, n);
    if (run_) run_->trace.Out(b, n);
  });
  hub.SetSendResultObserver([this](const uint8_t* b, bool sent) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (extraTrace_) extraTrace_->OutResult(b, sent);
    if (run_) run_->trace.OutResult(b, sent);
  });
  hub.MidiInPort().SetReceiveObserver([this](const uint8_t* b, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (extraTrace_) extraTrace_->In(b, n);
    if (run_) run_->trace.In(b, n);
  });
  SetBackendMessageSink([this](const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (extraTrace_) extraTrace_->Backend(text);
    if (run_) run_->trace.Backend(text);
  });
}

void RunRecorder::Begin(const std::string& kind, CR9UpdaterDlg& hub, int inSelection, int outSelection) {
  StopWatch();
  // Before our lock: the backend log calls its sink, which takes our lock, with its own held.
  const std::vector<std::string> earlier = BackendMessages();
  // Also before our lock: naming a port's backend may list the ports again, and a MIDI library
  // that says something meanwhile (no JACK server) calls the sink.
  const std::string inPort = Quoted(hub.PortNames(PortList::In), inSelection, true);
  const std::string outPort = Quoted(hub.PortNames(PortList::Out), outSelection, false);
  std::unique_lock<std::mutex> lock(mutex_);
  if (run_) EndLocked(lock, 130, "a new run began before this one had ended");
  if (!settings_.enabled) return;
  const std::string folder = Folder();
  if (folder.empty()) {
    Problem("no run log: no folder for it (neither XDG_STATE_HOME nor HOME is set)");
    return;
  }
  std::error_code error;
  fs::create_directories(fs::u8path(folder), error);
  if (error) {
    Problem("no run log: cannot make the folder '" + folder + "': " + error.message());
    return;
  }
  const auto now = std::chrono::system_clock::now();
  const int64_t micros = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  const std::string name = RunLogFileName(micros, hub.GetInstanceNumber(), ProcessId(), kind);
  const fs::path path = fs::u8path(folder) / name;
  // "x": never over a file that is there already.
  FILE* file = std::fopen(path.string().c_str(), "wx");
  if (!file) {
    Problem("no run log: cannot write into the folder '" + folder + "'");
    return;
  }
  LockForWriting(file);
  auto run = std::make_unique<Run>();
  run->kind = kind;
  run->path = path.string();
  run->hub = &hub;

  std::string header = "# R9 Updater run log\n";
  header += "# program " + program_ + " " R9_PROGRAM_VERSION "\n";
  header += "# firmware " R9_FIRMWARE_VERSION_TEXT "\n";
  header += "# run " + kind + ", instance " + std::to_string(hub.GetInstanceNumber()) + ", process " +
            std::to_string(ProcessId()) + "\n";
  header += "# started " + WallTime(std::chrono::system_clock::to_time_t(now)) + "\n";
  std::string backends;
  for (const std::string& b : AvailableMidiBackends()) backends += " " + b;
  header += "# backends" + backends + "\n";
  header += "# MIDI IN " + inPort + "\n";
  header += "# MIDI OUT " + outPort + "\n";
  header += "# simulated device " + (simulate_ ? "\"" + *simulate_ + "\"" : std::string("none")) + "\n";
  for (const std::string& message : earlier) header += "# earlier: " + message + "\n";
  header += "# then: seconds since the start, out or in, the bytes (as --trace writes them); what the\n";
  header += "# user saw as comments \"# <seconds> <what>\"; the outcome last\n";
  run->trace.Adopt(file, header);
  run_ = std::move(run);
}

void RunRecorder::WatchUntilEnd(CR9UpdaterDlg& hub) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!run_ || watcher_.joinable()) return;
  stopWatching_ = false;
  watcher_ = std::thread([this, &hub] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopWatching_ && run_) {
      // The run is over when nothing is busy and the worker has gone: the same test as the
      // console's wait for its worker.
      if (hub.GetBusy() == 0 && !hub.WorkerRunning()) {
        EndWithOutcomeLocked(lock, hub);
        break;
      }
      stop_.wait_for(lock, std::chrono::milliseconds(20));
    }
  });
}

void RunRecorder::StopWatch() {
  std::thread watcher;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopWatching_ = true;
    watcher = std::move(watcher_);
  }
  stop_.notify_all();
  if (watcher.joinable()) watcher.join();
}

void RunRecorder::End(int exitCode, const std::string& meaning) {
  StopWatch();
  std::unique_lock<std::mutex> lock(mutex_);
  if (run_) EndLocked(lock, exitCode, meaning);
}

void RunRecorder::WindowClosed(CR9UpdaterDlg& hub) {
  StopWatch();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!run_) return;
  // A run that had given the controls back had ended; one still busy was cut off.
  if (hub.GetBusy() == 0)
    EndWithOutcomeLocked(lock, hub);
  else
    EndLocked(lock, 130, "the window was closed during the run");
}

void RunRecorder::EndWithOutcomeLocked(std::unique_lock<std::mutex>& lock, CR9UpdaterDlg& hub) {
  const Run& run = *run_;
  int code = kExitSilentFailure;
  std::string meaning;
  if (!run.lastError.empty()) {
    code = ExitCodeForMessage(run.lastError);
    meaning = run.lastError;
  } else if (run.kind == "execute") {
    const bool done = run.lastStatus == LoadString(IDS_UPDATE_COMPLETED);
    code = done ? kExitSuccess : kExitSilentFailure;
    meaning = done ? run.lastStatus : "the BOOT version stamp could not be read; nothing was written";
  } else if (run.kind == "version-check") {
    code = run.reportShown ? kExitSuccess : kExitSilentFailure;
    meaning = run.reportShown ? "the version report was shown" : "a version stamp could not be read";
  } else {
    const VerifyOutcome outcome = hub.GetVerifyOutcome();
    code = outcome == VerifyOutcome::kMatch     ? kExitSuccess
           : outcome == VerifyOutcome::kDiffers ? kExitTransfer
           : outcome == VerifyOutcome::kTimeout ? kExitTimeout
                                                : kExitSilentFailure;
    meaning = code == kExitSuccess ? "the flash equals the carried images" : "the verify failed";
  }
  EndLocked(lock, code, meaning);
}

void RunRecorder::EndLocked(std::unique_lock<std::mutex>& lock, int exitCode, const std::string& meaning) {
  (void)lock;
  std::unique_ptr<Run> run = std::move(run_);
  run->trace.Note("outcome " + std::to_string(exitCode) + " " + meaning);
  run->trace.Close();
  lastPath_ = run->path;
  // This log is closed now: the folder keeps the newest closed ones.
  PruneRunLogs(fs::path(run->path).parent_path().string(), kRunLogsKept);
}

void RunRecorder::Shown(const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (run_) run_->trace.Note(what);
}

void RunRecorder::StatusLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!run_) return;
  run_->lastStatus = text;
  run_->trace.Note("status " + text);
}

void RunRecorder::Box(const std::string& caption, const std::string& text, BoxIcon icon) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!run_) return;
  if (icon == BoxIcon::Stop) {
    // "In Progress." answers a second command; it is not how this run went.
    if (text != LoadString(IDS_IN_PROGRESS)) run_->lastError = text;
  } else {
    run_->reportShown = true;
  }
  run_->trace.Note("box " + caption + ": " + text);
}

std::string RunRecorder::CurrentPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return run_ ? run_->path : "";
}

std::string RunRecorder::LastPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastPath_;
}

// ---------------------------------------------------------------------------------------------

void RunLogView::SetStatusLine(const std::string& text) {
  recorder_.StatusLine(text);
  view_.SetStatusLine(text);
}

void RunLogView::SetStepCounter(const std::string& text) {
  recorder_.Shown("step " + text);
  view_.SetStepCounter(text);
}

void RunLogView::ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
  recorder_.Box(caption, text, icon);
  view_.ShowMessageBox(caption, text, icon);
  recorder_.Shown("box closed");
}

}  // namespace r9

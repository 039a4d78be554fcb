// r9-updater-cli: the console front-end. It drives the same dialog hub as the windows do, so
// every text, rule and state is the dialog's own; error boxes go to stderr and the process
// ends with a code that names the failure.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/cli/console_view.h"
#include "app/cli/exit_codes.h"
#include "firmware/firmware_version.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"
#include "platform/instance_number.h"
#include "platform/virtual_bus.h"
#include "sim/r9_device.h"
#include "sim/sim_options.h"

namespace r9 {
namespace {

std::atomic<int> interruptSignal{0};

void OnSignal(int signo) { interruptSignal.store(signo); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

const char kUsage[] =
    "usage: r9-updater-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  list             list the MIDI IN and MIDI OUT ports; * marks the preselected ones\n"
    "  version-check    read the device's version stamps and compare them with the carried ones\n"
    "  execute          write the carried firmware into the device\n"
    "\n"
    "Options:\n"
    "  --in PORT            MIDI IN port: an index from 'list' or an exact port name\n"
    "  --out PORT           MIDI OUT port: an index from 'list' or an exact port name\n"
    "  --simulate[=OPTIONS] attach the built-in device simulator as the port pair \"KORVEN R9\"\n"
    "                       (OPTIONS: see the README, e.g. boot=same,drop=0.05,seed=7)\n"
    "  --trace FILE         write every SysEx message sent and received to FILE\n"
    "  --version            show the program's version and the carried firmware's\n"
    "  --help               show this text\n";

struct Arguments {
  std::string command;
  std::optional<std::string> in;
  std::optional<std::string> out;
  std::optional<std::string> simulate;
  std::optional<std::string> trace;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "r9-updater-cli: %s\nTry 'r9-updater-cli --help'.\n", message.c_str());
  return kExitUsage;
}

// Returns -1 when the arguments are good, else the exit code.
int Parse(int argc, char** argv, Arguments* args) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::optional<std::string>* into) -> bool {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return kExitSuccess;
    } else if (a == "--version") {
      std::fputs(VersionText("r9-updater-cli").c_str(), stdout);
      return kExitSuccess;
    } else if (a == "--in") {
      if (!value(&args->in)) return UsageError("--in needs a PORT");
    } else if (a == "--out") {
      if (!value(&args->out)) return UsageError("--out needs a PORT");
    } else if (a == "--trace") {
      if (!value(&args->trace)) return UsageError("--trace needs a FILE");
    } else if (a == "--simulate") {
      args->simulate = "";
    } else if (a.rfind("--simulate=", 0) == 0) {
      args->simulate = a.substr(std::strlen("--simulate="));
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown option '" + a + "'");
    } else if (args->command.empty()) {
      if (a != "list" && a != "version-check" && a != "execute") return UsageError("unknown command '" + a + "'");
      args->command = a;
    } else {
      return UsageError("unexpected argument '" + a + "'");
    }
  }
  if (args->command.empty()) return UsageError("no command given");
  return -1;
}

// A port named by index or by exact name; -1 when there is none.
int FindPort(const std::vector<std::string>& names, const std::string& port) {
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == port) return int(i);
  if (!port.empty() && port.find_first_not_of("0123456789") == std::string::npos) {
    const unsigned long index = std::strtoul(port.c_str(), nullptr, 10);
    if (index < names.size()) return int(index);
  }
  return -1;
}

// One line per SysEx message: seconds since the trace began, direction, the bytes in hex.
class Trace {
 public:
  bool Open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) return false;
    start_ = std::chrono::steady_clock::now();
    std::fputs("# r9-updater-cli trace\n", file_);
    return true;
  }
  ~Trace() {
    if (file_) std::fclose(file_);
  }
  void Write(const char* direction, const uint8_t* bytes, size_t length) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(file_, "%.6f %s", seconds, direction);
    for (size_t i = 0; i < length; ++i) std::fprintf(file_, "%s%02X", i ? " " : " ", bytes[i]);
    std::fputc('\n', file_);
    std::fflush(file_);  // a trace must hold what happened before a crash or a kill
  }

 private:
  FILE* file_ = nullptr;
  std::chrono::steady_clock::time_point start_;
  std::mutex mutex_;
};

void PrintPorts(ConsoleView& view) {
  const std::pair<PortList, const char*> lists[] = {{PortList::In, "MIDI IN"}, {PortList::Out, "MIDI OUT"}};
  for (auto [list, title] : lists) {
    std::printf("%s\n", title);
    const std::vector<std::string> names = view.Items(list);
    if (names.empty()) std::printf("  (no ports)\n");
    const int selected = view.GetSelection(list);
    for (size_t i = 0; i < names.size(); ++i)
      std::printf("%c %zu  %s\n", int(i) == selected ? '*' : ' ', i, names[i].c_str());
  }
}

// The window closes: the worker wakes with 255 and ends, the ports close.
int Interrupted(ConsoleView& view, CR9UpdaterDlg& dialog, int signo) {
  view.Close();
  dialog.OnDestroy();
  dialog.JoinWorker();
  std::fprintf(stderr, "Interrupted.\n");
  return 128 + signo;
}

int Run(const Arguments& args) {
  InstanceLock lock;
  const int instanceNumber = ClaimInstanceNumber(lock);
  if (instanceNumber == 0) {
    std::fprintf(stderr, kTooManyInstances, kMaxInstances);
    std::fputc('\n', stderr);
    return kExitInstanceLimit;
  }

  std::unique_ptr<R9Device> device;
  if (args.simulate) {
    // The device's port carries this copy's instance suffix, so the preselection finds it;
    // name= in the options overrides it.
    SimOptions options;
    options.portName =
        instanceNumber == 1 ? DefaultPortNames[2] : DefaultPortNames[2] + " (" + std::to_string(instanceNumber) + ")";
    std::string error;
    if (!ParseSimOptions(*args.simulate, &options, &error)) return UsageError("--simulate: " + error);
    device = std::make_unique<R9Device>(options);
    if (!device->AttachToBus(VirtualMidiBus::Instance(), options.portName))
      return UsageError("--simulate: the port name '" + options.portName + "' is taken");
  }

  // Declared before the dialog, so that it outlives the ports whose watchers write into it.
  Trace trace;
  const bool live = isatty(STDOUT_FILENO) && args.command != "list";
  ConsoleView view(stdout, stdout, stderr, live);
  DialogConfig config;
  config.instanceNumber = instanceNumber;
  CR9UpdaterDlg dialog(view, config);
  dialog.OnInitDialog();

  const std::pair<PortList, const std::optional<std::string>*> choices[] = {{PortList::In, &args.in},
                                                                            {PortList::Out, &args.out}};
  for (auto [list, choice] : choices) {
    if (!*choice) continue;
    const int index = FindPort(view.Items(list), **choice);
    if (index < 0)
      return UsageError(std::string("no MIDI ") + (list == PortList::In ? "IN" : "OUT") + " port '" + **choice +
                        "' (see r9-updater-cli list)");
    view.SetSelection(list, index);
  }

  if (args.command == "list") {
    PrintPorts(view);
    return kExitSuccess;
  }

  if (args.trace) {
    if (!trace.Open(*args.trace)) {
      std::fprintf(stderr, "r9-updater-cli: cannot write the trace file '%s'\n", args.trace->c_str());
      return kExitUsage;
    }
    dialog.MidiOutPort().SetSendObserver([&](const uint8_t* b, size_t n) { trace.Write("out", b, n); });
    dialog.MidiInPort().SetReceiveObserver([&](const uint8_t* b, size_t n) { trace.Write("in", b, n); });
  }

  InstallSignalHandlers();
  const bool execute = args.command == "execute";
  if (execute)
    dialog.OnExecute();
  else
    dialog.OnVersionCheck();

  int32_t checkResult = 0;
  bool checkDone = false;
  // The main thread plays the window's thread: it waits for the worker and takes its post.
  while (dialog.GetBusy() == 1 || dialog.WorkerRunning()) {
    if (int signo = interruptSignal.load()) return Interrupted(view, dialog, signo);
    if (!execute && view.TakeVersionCheckDone(&checkResult)) {
      dialog.OnVersionCheckDone(0, checkResult);
      checkDone = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  dialog.JoinWorker();
  view.Finish();

  const std::vector<std::string> errors = view.ErrorTexts();
  if (!errors.empty()) return ExitCodeForMessage(errors.back());
  if (execute) {
    if (view.LastStatusLine() == LoadString(IDS_UPDATE_COMPLETED)) return kExitSuccess;
    std::fprintf(stderr, "Error: the device did not answer the BOOT version read; nothing was written.\n");
    return kExitSilentFailure;
  }
  if (checkDone && checkResult == 0) return kExitSuccess;
  std::fprintf(stderr, "Error: a version stamp could not be read from the device; no report.\n");
  return kExitSilentFailure;
}

}  // namespace
}  // namespace r9

int main(int argc, char** argv) {
  r9::Arguments args;
  const int parsed = r9::Parse(argc, argv, &args);
  if (parsed >= 0) return parsed;
  return r9::Run(args);
}

// r9-updater-cli: the console front-end. It drives the same dialog hub as the windows do, so
// every text, rule and state is the dialog's own; error boxes go to stderr and the process
// ends with a code that names the failure.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/cli/console_view.h"
#include "app/cli/interrupt.h"
#include "app/device_options.h"
#include "app/exit_codes.h"
#include "app/run_log.h"
#include "app/trace.h"
#include "firmware/firmware_version.h"
#include "platform/backend_log.h"
#include "platform/instance_number.h"
#include "platform/midi_backends.h"
#include "platform/virtual_bus.h"
#include "sim/r9_device.h"
#include "sim/sim_options.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"

namespace r9 {
namespace {

// Where the page that explains every message is: the zip puts it beside the program.
#ifdef _WIN32
#define R9_TROUBLESHOOTING_PLACE "in the docs folder beside this program"
#else
#define R9_TROUBLESHOOTING_PLACE "in /usr/share/doc/r9-updater/docs when installed"
#endif

const char kUsage[] =
    "usage: r9-updater-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  list             list the MIDI IN and MIDI OUT ports; * marks the preselected ones\n"
    "  version-check    read the device's version stamps and compare them with the carried ones\n"
    "  execute          write the carried firmware into the device\n"
    "  verify           read the device's flash back and compare it with the carried images\n"
    "\n"
    "Options:\n"
    "  --in PORT            MIDI IN port: an index from 'list' or an exact port name\n"
    "  --out PORT           MIDI OUT port: an index from 'list' or an exact port name\n"
    "%s"
    "  --trace FILE         write every SysEx message sent and received to FILE\n"
    "%s"
    "  --no-verify          execute: skip the read-back and its repair; send only the update's frames\n"
    "  --verify             execute: read back and repair before Finish-update (the default)\n"
    "  --read-size N        bytes per Read request of a read-back (256 to 7153, default 7153)\n"
    "  --version            show the program's version and the carried firmware's\n"
    "  --help               show this text\n"
    "\nMessages and what to try: troubleshooting.md (" R9_TROUBLESHOOTING_PLACE ").\n";

struct Arguments {
  std::string command;
  std::optional<std::string> in;
  std::optional<std::string> out;
  DeviceOptions device;
  std::optional<std::string> trace;
  RunLogSettings log;
  std::optional<bool> verify;
  uint32_t readSize = kMaxReadSize;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "r9-updater-cli: %s\nTry 'r9-updater-cli --help'.\n", message.c_str());
  return kExitUsage;
}

// Returns -1 when the arguments are good, else the exit code.
int Parse(int argc, char** argv, Arguments* args) {
  std::string error;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::optional<std::string>* into) -> bool {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      std::printf(kUsage, DeviceOptionsHelp().c_str(), RunLogOptionsHelp());
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
    } else if (a == "--verify" || a == "--no-verify") {
      if (args->verify && *args->verify != (a == "--verify")) return UsageError("--verify and --no-verify exclude each other");
      args->verify = a == "--verify";
    } else if (a == "--read-size") {
      std::optional<std::string> text;
      if (!value(&text)) return UsageError("--read-size needs a number of bytes");
      const std::string& t = *text;
      const unsigned long n = t.empty() || t.size() > 6 || t.find_first_not_of("0123456789") != std::string::npos
                                  ? 0
                                  : std::strtoul(t.c_str(), nullptr, 10);
      if (n < kMinReadBackSize || n > kMaxReadSize)
        return UsageError("--read-size: '" + t + "' is not a number of bytes from " +
                          std::to_string(kMinReadBackSize) + " to " + std::to_string(kMaxReadSize));
      args->readSize = uint32_t(n);
    } else if (int taken = TakeDeviceOption(argc, argv, &i, &args->device, &error)) {
      if (taken < 0) return UsageError(error);
    } else if (int taken = TakeRunLogOption(argc, argv, &i, &args->log, &error)) {
      if (taken < 0) return UsageError(error);
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown option '" + a + "'");
    } else if (args->command.empty()) {
      if (a != "list" && a != "version-check" && a != "execute" && a != "verify")
        return UsageError("unknown command '" + a + "'");
      args->command = a;
    } else {
      return UsageError("unexpected argument '" + a + "'");
    }
  }
  if (args->command.empty()) return UsageError("no command given");
  if (args->verify && args->command != "execute")
    return UsageError(std::string(*args->verify ? "--verify" : "--no-verify") + " goes with execute");
  {
    std::string error;
    if (!ApplyMidiBackends(args->device, &error)) return UsageError(error);
  }
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

void PrintPorts(ConsoleView& view) {
  const std::pair<PortList, const char*> lists[] = {{PortList::In, "MIDI IN"}, {PortList::Out, "MIDI OUT"}};
  for (auto [list, title] : lists) {
    std::printf("%s\n", title);
    const std::vector<std::string> names = view.Items(list);
    if (names.empty()) std::printf("  (no ports)\n");
    const int selected = view.GetSelection(list);
    // The lists hold the driver's devices in its order, so an item's index is its device id.
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string backend =
          list == PortList::In ? MidiInBackendName(uint32_t(i)) : MidiOutBackendName(uint32_t(i));
      std::printf("%c %zu  %-5s %s\n", int(i) == selected ? '*' : ' ', i, backend.c_str(), names[i].c_str());
    }
  }
}

// The window closes: the worker wakes with 255 and ends, the ports close.
int Interrupted(ConsoleView& view, CR9UpdaterDlg& dialog, RunRecorder& recorder, int signo) {
  view.Close();
  dialog.OnDestroy();
  dialog.JoinWorker();
  std::fprintf(stderr, "Interrupted.\n");
  recorder.End(128 + signo, "interrupted (signal " + std::to_string(signo) + ")");
  return 128 + signo;
}

// A line of ours on stderr, which the run's log gets too.
std::string Said(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  return text;
}

// The verify's end: the report went to stdout; a failure before the comparison says why.
int VerifyExitCode(CR9UpdaterDlg& dialog, std::string* meaning) {
  const std::vector<VerifyImageResult> results = dialog.GetVerifyResults();
  const auto where = [&] {
    if (results.empty()) return std::string();
    char text[64];
    std::snprintf(text, sizeof text, " (image %u at 0x%06X)", unsigned(results.back().resourceId),
                  unsigned(results.back().address));
    return std::string(text);
  };
  switch (dialog.GetVerifyOutcome()) {
    case VerifyOutcome::kMatch:
      *meaning = "the flash equals the carried images";
      return kExitSuccess;
    case VerifyOutcome::kDiffers:
      *meaning = Said("Error: the device's flash differs from the carried images.");
      return kExitTransfer;
    case VerifyOutcome::kTimeout:
      *meaning = Said("Error: the device did not answer a Read request in time" + where() + ".");
      return kExitTimeout;
    case VerifyOutcome::kUnreadable:
      *meaning = Said("Error: the device refused to read its flash back, even 4 bytes at a time" + where() + ".");
      return kExitSilentFailure;
    default:
      *meaning = Said("Error: the verify did not run to its end.");
      return kExitSilentFailure;
  }
}

int Run(const Arguments& args) {
  const std::string lockProblem = InstanceLockFolderProblem();
  if (!lockProblem.empty()) {
    std::fprintf(stderr, "r9-updater-cli: %s\n", lockProblem.c_str());
    return kExitLockFolder;
  }
  InstanceLock lock;
  const int instanceNumber = ClaimInstanceNumber(lock);
  if (instanceNumber == 0) {
    std::fprintf(stderr, kTooManyInstances, kMaxInstances);
    std::fputc('\n', stderr);
    return kExitInstanceLimit;
  }

  SetMidiClientInstance(instanceNumber);

  std::unique_ptr<R9Device> device;
  std::string error;
  if (!StartSimulatedDevice(args.device, instanceNumber, &device, &error)) return UsageError(error);

  // Declared before the dialog, so that they outlive the ports whose watchers write into them.
  Trace trace;
  RunRecorder recorder("r9-updater-cli", args.log, args.device.simulate, [](const std::string& problem) {
    std::fprintf(stderr, "r9-updater-cli: %s\n", problem.c_str());
  });
  const bool live = StdoutIsTerminal() && args.command != "list";
  ConsoleView view(stdout, stdout, stderr, live);
  RunLogView logView(view, recorder);
  DialogConfig config;
  config.instanceNumber = instanceNumber;
  CR9UpdaterDlg dialog(logView, config);
  // Destroyed first: once the run has ended, whichever way, the device says what it saw.
  struct ViolationReport {
    const R9Device* device;
    ~ViolationReport() { ReportSimulatedViolations(device); }
  } violationReport{device.get()};
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
  }
  recorder.Observe(dialog, args.trace ? &trace : nullptr);

  InstallInterruptHandlers();
  const bool execute = args.command == "execute";
  const bool verify = args.command == "verify";
  dialog.SetReadSize(args.readSize);
  dialog.SetVerifyAfterUpdate(args.verify.value_or(true));
  recorder.Begin(args.command, dialog, view.GetSelection(PortList::In), view.GetSelection(PortList::Out));
  if (execute)
    dialog.OnExecute();
  else if (verify)
    dialog.OnVerify();
  else
    dialog.OnVersionCheck();

  int32_t checkResult = 0;
  bool checkDone = false;
  // The main thread plays the window's thread: it waits for the worker and takes its post.
  while (dialog.GetBusy() == 1 || dialog.WorkerRunning()) {
    if (int signo = InterruptSignal()) return Interrupted(view, dialog, recorder, signo);
    if (!execute && !verify && view.TakeVersionCheckDone(&checkResult)) {
      dialog.OnVersionCheckDone(0, checkResult);
      checkDone = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  dialog.JoinWorker();
  view.Finish();

  int code = kExitSilentFailure;
  std::string meaning;
  const std::vector<std::string> errors = view.ErrorTexts();
  if (!errors.empty()) {
    code = ExitCodeForMessage(errors.back());
    meaning = errors.back();
  } else if (verify) {
    code = VerifyExitCode(dialog, &meaning);
  } else if (execute) {
    if (view.LastStatusLine() == LoadString(IDS_UPDATE_COMPLETED)) {
      code = kExitSuccess;
      meaning = view.LastStatusLine();
    } else {
      // A time-out, a refusal or a reply that failed its CRC: all that is known is that no stamp came.
      meaning = Said("Error: the BOOT version stamp could not be read; nothing was written.");
    }
  } else if (checkDone && checkResult == 0) {
    code = kExitSuccess;
    meaning = "the version report was shown";
  } else {
    meaning = Said("Error: a version stamp could not be read from the device; no report.");
  }
  recorder.End(code, meaning);
  return code;
}

}  // namespace
}  // namespace r9

int main(int argc, char** argv) {
  r9::Arguments args;
  const int parsed = r9::Parse(argc, argv, &args);
  if (parsed >= 0) return parsed;
  return r9::Run(args);
}

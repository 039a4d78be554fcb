// r9-device-sim: the simulated R9 device as a program of its own, a client of a running JACK
// server with the MIDI ports "in" (what the host sends) and "out" (what the device answers).
// An updater started beside it finds it by its client name, "KORVEN R9", and preselects it.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "firmware/firmware_version.h"
#include "sim/jack_device_port.h"
#include "sim/r9_device.h"
#include "sim/sim_options.h"

namespace r9 {
namespace {

constexpr int kExitClean = 0;
constexpr int kExitViolations = 1;
constexpr int kExitNoServer = 2;

std::atomic<int> stopSignal{0};

void OnSignal(int signo) { stopSignal.store(signo); }

const char kUsage[] =
    "usage: r9-device-sim [OPTIONS] [SIMULATION]\n"
    "\n"
    "Runs the simulated KORVEN R9 as a client of the running JACK server, with the MIDI ports\n"
    "\"in\" (host to device) and \"out\" (device to host), until SIGINT or SIGTERM; then prints a\n"
    "summary and exits 0, or 1 when the host broke the protocol. Exit code 2: no JACK server.\n"
    "\n"
    "SIMULATION is the option string of r9-updater-cli --simulate (e.g. boot=same,flash=FILE);\n"
    "name=NAME sets the client's name (default \"KORVEN R9\"). See r9-updater-cli(1) for every key.\n"
    "\n"
    "Options:\n"
    "  --simulate=SIMULATION  the same as giving SIMULATION\n"
    "  --exit-after-finish    end once the answer to the first Finish-update frame is out\n"
    "  --version              show the program's version and the carried firmware's\n"
    "  --help                 show this text\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "r9-device-sim: %s\nTry 'r9-device-sim --help'.\n", message.c_str());
  return kExitNoServer + 1;
}

bool IsStatusFrame(const uint8_t* bytes, size_t length) {
  return length >= 6 && bytes[0] == 0xF0 && bytes[1] == 0x7D && bytes[4] == 0x00;
}

void PrintSummary(const R9Device& device) {
  const SimCounters c = device.Counters();
  std::printf("r9-device-sim summary\n");
  std::printf("  frames received: %u\n", c.framesReceived);
  for (size_t k = 0; k < kHostFrameKindCount; ++k) {
    const auto kind = static_cast<HostFrameKind>(k);
    std::printf("    %-14s %u\n", HostFrameKindName(kind), c.Of(kind));
  }
  std::printf("  frames sent: %u\n", c.framesSent);
  std::printf("  blocks acknowledged: %u\n", c.acknowledgedWrites);
  std::printf("  erases done: %u\n", c.erasesDone);
  std::printf("  reads answered: %u\n", c.readsAnswered);
  std::printf("  faults injected: %u (dropped %u, errors %u, late %u, duplicated %u, corrupt reads %u, silenced %u)\n",
              c.droppedReplies + c.injectedErrors + c.lateReplies + c.duplicatedReplies + c.corruptedReadReplies +
                  c.silencedFrames,
              c.droppedReplies, c.injectedErrors, c.lateReplies, c.duplicatedReplies, c.corruptedReadReplies,
              c.silencedFrames);
  const std::vector<std::string> violations = device.Violations();
  std::printf("  violations: %zu\n", violations.size());
  for (const std::string& v : violations) std::printf("    %s\n", v.c_str());
  std::fflush(stdout);
}

int Run(int argc, char** argv) {
  std::string simulation;
  bool exitAfterFinish = false;
  bool simulationGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return kExitClean;
    } else if (a == "--version") {
      std::fputs(VersionText("r9-device-sim").c_str(), stdout);
      return kExitClean;
    } else if (a == "--exit-after-finish") {
      exitAfterFinish = true;
    } else if (a == "--simulate" && i + 1 < argc) {
      simulation = argv[++i];
      simulationGiven = true;
    } else if (a.rfind("--simulate=", 0) == 0) {
      simulation = a.substr(std::strlen("--simulate="));
      simulationGiven = true;
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown option '" + a + "'");
    } else if (!simulationGiven) {
      simulation = a;
      simulationGiven = true;
    } else {
      return UsageError("unexpected argument '" + a + "'");
    }
  }
  SimOptions options;
  std::string error;
  if (!ParseSimOptions(simulation, &options, &error)) return UsageError(error);

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  auto device = std::make_unique<R9Device>(options);
  std::atomic<bool> finished{false};
  std::unique_ptr<JackDevicePort> port = JackDevicePort::Open(
      options.portName, "in", "out",
      [&device](const uint8_t* bytes, size_t length) { device->OnHostMessage(bytes, length); }, &error);
  if (!port) {
    std::fprintf(stderr, "r9-device-sim: cannot join the JACK server: %s. Start one first, e.g. 'jackd -d dummy'.\n",
                 error.c_str());
    return kExitNoServer;
  }
  JackDevicePort* out = port.get();
  R9Device* model = device.get();
  device->SetOutput([out, model, &finished](const uint8_t* bytes, size_t length) {
    if (!out->Send(bytes, length)) return;
    // The Status frame that follows the first Finish-update frame is its answer.
    if (IsStatusFrame(bytes, length) && model->Counters().Of(HostFrameKind::kFinishUpdate) >= 1) finished.store(true);
  });
  std::printf("r9-device-sim: \"%s\" is ready (ports in, out)\n", port->ClientName().c_str());
  std::fflush(stdout);

  bool serverGone = false;
  while (stopSignal.load() == 0 && !(exitAfterFinish && finished.load())) {
    if (port->ServerGone()) {
      serverGone = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (finished.load()) port->Settle();  // let the answer reach the host before the ports go

  device->SetOutput(nullptr);
  port.reset();
  const bool violated = !device->Violations().empty();
  PrintSummary(*device);
  device.reset();  // saves the flash to the flash= file
  if (serverGone) std::fprintf(stderr, "r9-device-sim: the JACK server went away.\n");
  if (violated) return kExitViolations;
  return serverGone ? kExitNoServer : kExitClean;
}

}  // namespace
}  // namespace r9

int main(int argc, char** argv) { return r9::Run(argc, argv); }

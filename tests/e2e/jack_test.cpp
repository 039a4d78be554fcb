// End-to-end tests on a real JACK server: the device program r9-device-sim and the console
// updater run as separate processes, each a client of a server that every test starts for
// itself under a private name (a user's own server is never touched), with no real-time
// scheduling and a short period, and stops again, also when the test fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "firmware/image_set.h"
#include "platform/jack/jack_midi_client.h"
#include "platform/jack/jack_transport.h"
#include "platform/midi_backends.h"
#include "sim/jack_device_port.h"
#include "tests/platform/midi_contract.h"

namespace r9 {
namespace {

using Clock = std::chrono::steady_clock;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class JackEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/r9-jack-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    // One name per build tree: the tests of one tree run one at a time, and other trees on the
    // machine use names of their own. The name is the same on every run, because the server
    // registry of libjack holds only a few servers and frees the entry of a killed server only
    // when a server of the same name starts again.
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    serverName_ =
        "r9-e2e-" + std::to_string(std::hash<std::string>{}(std::string(self, n > 0 ? size_t(n) : 0)) % 1000000007);
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", serverName_.c_str(), 1);
  }

  void TearDown() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    StopServer();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Starts jackd with the dummy driver and waits until a client can join it.
  void StartServer() {
    LaunchServer({"jackd", "--realtime", "-n", serverName_, "-d", "dummy", "-r", "48000", "-p", "64"},
                 [](const std::string&) {}, &ServerAnswers);
  }

  // Starts a server program (argv), its output going to <program>.log, and waits until answers()
  // says that a client can join it. setup runs in the server's process before the program.
  void LaunchServer(const std::vector<std::string>& argv, void (*setup)(const std::string& dir),
                    const std::function<bool()>& answers) {
    const std::string log = Path(argv[0] + ".log");
    // Made before the fork: the child of a process with threads must not allocate.
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    server_ = fork();
    if (server_ == 0) {
      // The server never outlives the test, also when the test itself dies.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      setup(dir_);
      int o = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int n = open("/dev/null", O_RDONLY);
      dup2(o, 1);
      dup2(o, 2);
      dup2(n, 0);
      execvp(args[0], args.data());
      _exit(127);
    }
    ASSERT_GT(server_, 0);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      // The probe joins from a child process, so that this one holds no libjack state of a
      // server that a test may kill.
      if (answers()) return;
      int status = 0;
      if (waitpid(server_, &status, WNOHANG) == server_) {
        server_ = -1;
        FAIL() << argv[0] << " ended at start:\n" << Slurp(log);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    FAIL() << argv[0] << " did not come up:\n" << Slurp(log);
  }

  // jack_lsp (of the server's package) joins the server and lists its ports; it exits 0 only
  // when a server answered. A fresh program: a fork of this one, whose threads may hold
  // libjack's locks, must not call libjack.
  static bool ServerAnswers() {
    const pid_t pid = fork();
    if (pid == 0) {
      int n = open("/dev/null", O_RDWR);
      dup2(n, 0);
      dup2(n, 1);
      dup2(n, 2);
      execlp("jack_lsp", "jack_lsp", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  void KillServer(int signo) {
    if (server_ <= 0) return;
    kill(server_, signo);
    waitpid(server_, nullptr, 0);
    server_ = -1;
  }

  void StopServer() {
    if (server_ <= 0) return;
    kill(server_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
      if (waitpid(server_, nullptr, WNOHANG) == server_) {
        server_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    KillServer(SIGKILL);
  }

  struct Result {
    int code = -1;
    std::string out;
    std::string err;
  };

  pid_t Spawn(const char* program, const std::vector<std::string>& args, const std::string& tag) {
    const std::string out = Path(tag + ".out"), err = Path(tag + ".err");
    pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int n = open("/dev/null", O_RDONLY);
      dup2(o, 1);
      dup2(e, 2);
      dup2(n, 0);
      std::vector<char*> argv;
      // Through the wrapper, when one is set, which puts another libjack in front.
      if (!wrapper_.empty()) argv.push_back(const_cast<char*>(wrapper_.c_str()));
      argv.push_back(const_cast<char*>(program));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      if (!wrapper_.empty()) execvp(argv[0], argv.data());
      execv(program, argv.data());
      _exit(127);
    }
    children_.push_back(pid);
    return pid;
  }

  // Waits for the process to end; a process still running after timeout is killed (and the
  // result says so with code -2).
  Result Finish(pid_t pid, const std::string& tag, std::chrono::seconds timeout = std::chrono::seconds(120)) {
    Result r;
    int status = 0;
    const auto deadline = Clock::now() + timeout;
    bool ended = false;
    while (Clock::now() < deadline) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        ended = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
    r.code = !ended ? -2 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = Slurp(Path(tag + ".out"));
    r.err = Slurp(Path(tag + ".err"));
    return r;
  }

  Result RunCli(const std::vector<std::string>& args, const std::string& tag = "cli") {
    return Finish(Spawn(R9_CLI_PATH, args, tag), tag);
  }

  // Starts the device program and waits until it reports that its ports are there.
  pid_t StartDevice(const std::vector<std::string>& args) {
    const pid_t pid = Spawn(R9_DEVICE_SIM_PATH, args, "sim");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && Slurp(Path("sim.out")).find("is ready") == std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(Slurp(Path("sim.out")).find("\"KORVEN R9\" is ready"), std::string::npos) << Slurp(Path("sim.err"));
    return pid;
  }

  std::string dir_;
  std::string serverName_;
  std::string wrapper_;
  pid_t server_ = -1;
  std::vector<pid_t> children_;
};

TEST_F(JackEndToEnd, WholeUpdateLeavesTheImagesInTheDevicesFlash) {
  StartServer();
  const std::string flash = Path("flash.bin");
  const pid_t sim = StartDevice({"--exit-after-finish", "flash=" + flash});
  const Result list = RunCli({"list"}, "list");
  EXPECT_EQ(list.code, 0) << list.err;
  EXPECT_EQ(list.out, "MIDI IN\n* 0  jack  KORVEN R9\nMIDI OUT\n* 0  jack  KORVEN R9\n");

  // The update reads back what it wrote: over JACK every Read reply crosses in pieces of a port
  // buffer per period, so the read-back takes longer than the writes. A generous bound: the
  // test waits for the program's end, not for a time.
  const Result cli = Finish(Spawn(R9_CLI_PATH, {"execute"}, "cli"), "cli", std::chrono::seconds(600));
  EXPECT_EQ(cli.code, 0) << cli.out << cli.err;
  EXPECT_NE(cli.out.find("Version update completed."), std::string::npos) << cli.out;
  const Result device = Finish(sim, "sim", std::chrono::seconds(20));
  EXPECT_EQ(device.code, 0) << device.out << device.err;
  EXPECT_NE(device.out.find("  violations: 0\n"), std::string::npos) << device.out;
  EXPECT_NE(device.out.find("  blocks acknowledged: "), std::string::npos) << device.out;

  const std::string bytes = Slurp(flash);
  ASSERT_EQ(bytes.size(), 0x400000u);
  for (const UpdateStep& step : UpdatePlan) {
    if (step.kind != kStepWrite) continue;
    FirmwareImage image;
    ASSERT_TRUE(FindFirmwareImage(step.resourceId, &image));
    const uint32_t length = step.size == 0 ? image.size : step.size;
    EXPECT_EQ(bytes.compare(step.address, length, reinterpret_cast<const char*>(image.data), length), 0)
        << "image " << step.resourceId << " at 0x" << std::hex << step.address;
  }
}

TEST_F(JackEndToEnd, VersionCheckReadsTheStampsOfTheDeviceProgram) {
  StartServer();
  const pid_t sim = StartDevice({"boot=same,system=old,preset=same,submcu=same"});
  const Result cli = RunCli({"version-check"});
  EXPECT_EQ(cli.code, 0) << cli.err;
  EXPECT_EQ(cli.out, "SYSTEM:\t\t1.09 -> 1.10\nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.02\n");
  EXPECT_EQ(cli.err, "");
  // The device runs until it is told to stop, then reports what it saw.
  kill(sim, SIGTERM);
  const Result device = Finish(sim, "sim", std::chrono::seconds(10));
  EXPECT_EQ(device.code, 0) << device.err;
  EXPECT_NE(device.out.find("    identity       1\n"), std::string::npos) << device.out;
  EXPECT_NE(device.out.find("    read           4\n"), std::string::npos) << device.out;
  EXPECT_NE(device.out.find("  violations: 0\n"), std::string::npos) << device.out;
}

TEST_F(JackEndToEnd, AServerKilledDuringAnUpdateFailsTheUpdaterWithoutAHang) {
  StartServer();
  const pid_t sim = StartDevice({});
  const std::string trace = Path("trace.txt");
  const pid_t cli = Spawn(R9_CLI_PATH, {"execute", "--trace", trace}, "cli");
  // Once blocks are being written, the server goes.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline && Slurp(trace).find("out F0 7D 00 3A 02") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_NE(Slurp(trace).find("out F0 7D 00 3A 02"), std::string::npos);
  KillServer(SIGKILL);
  // Every send fails from now on and each block waits its 1 s for an answer; the write gives up
  // after its retries, as with a device that was unplugged.
  const Result r = Finish(cli, "cli", std::chrono::seconds(90));
  EXPECT_NE(r.code, -2) << "the updater hung";
  EXPECT_NE(r.code, 0);
  EXPECT_TRUE(r.code == 2 || r.code == 3) << r.code << "\n" << r.err;
  const Result device = Finish(sim, "sim", std::chrono::seconds(10));
  EXPECT_EQ(device.code, 2) << device.err;
  EXPECT_NE(device.err.find("the JACK server went away"), std::string::npos) << device.err;
}

TEST_F(JackEndToEnd, NoServerMeansNoPortsAndNoMessage) {
  // The private name has no server behind it, and none is started.
  const Result list = RunCli({"list", "--backend", "jack"});
  EXPECT_EQ(list.code, 0);
  EXPECT_EQ(list.out, "MIDI IN\n  (no ports)\nMIDI OUT\n  (no ports)\n");
  EXPECT_EQ(list.err, "");
  const Result execute = RunCli({"execute", "--backend=jack"}, "execute");
  EXPECT_EQ(execute.code, 2);  // no port to open
  EXPECT_EQ(execute.err, "Error: Can't open MIDI Out device.\n") << execute.err;

  EXPECT_EQ(JackMidiApi().midiInGetNumDevs(), 0u);
  EXPECT_EQ(JackMidiApi().midiOutGetNumDevs(), 0u);
  std::string error;
  EXPECT_EQ(JackMidiClient::Open("r9-e2e-probe", &error), nullptr);  // still none running
  EXPECT_EQ(error, "no JACK server is running");
  EXPECT_FALSE(ServerAnswers());

  const Result device = Finish(Spawn(R9_DEVICE_SIM_PATH, {}, "sim"), "sim", std::chrono::seconds(20));
  EXPECT_EQ(device.code, 2);
  EXPECT_EQ(device.out, "");
  EXPECT_NE(device.err.find("cannot join the JACK server: no JACK server is running"), std::string::npos) << device.err;
}

// --- The backend's own send and receive, against a device client in this process ---------

struct Received {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> messages;
};

void OnLongData(HMIDIIN, uint32_t message, uintptr_t instance, uintptr_t param1, uintptr_t) {
  if (message != MIM_LONGDATA) return;
  auto* header = reinterpret_cast<MIDIHDR*>(param1);
  auto* received = reinterpret_cast<Received*>(header->dwUser);
  std::lock_guard lock(received->mutex);
  received->messages.emplace_back(header->lpData, header->lpData + header->dwBytesRecorded);
  (void)instance;
}

std::vector<uint8_t> SysEx(size_t length, uint8_t seed) {
  std::vector<uint8_t> m(length);
  m.front() = 0xF0;
  for (size_t i = 1; i + 1 < length; ++i) m[i] = uint8_t((i * 7 + seed) & 0x7F);
  m.back() = 0xF7;
  return m;
}

TEST_F(JackEndToEnd, SysExLongerThanManyPeriodsArrivesWholeBothWays) {
  StartServer();
  // The far end echoes every message it receives.
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> atDevice;
  JackDevicePort* echo = nullptr;
  std::string error;
  auto port = JackDevicePort::Open(
      "Echo", "in", "out",
      [&](const uint8_t* bytes, size_t length) {
        {
          std::lock_guard lock(mutex);
          atDevice.emplace_back(bytes, bytes + length);
        }
        echo->Send(bytes, length);
      },
      &error);
  ASSERT_NE(port, nullptr) << error;
  echo = port.get();

  MidiApi& api = JackMidiApi();
  ASSERT_EQ(api.midiInGetNumDevs(), 1u);
  ASSERT_EQ(api.midiOutGetNumDevs(), 1u);
  MIDIINCAPSA inCaps;
  ASSERT_EQ(api.midiInGetDevCapsA(0, &inCaps, sizeof inCaps), MMSYSERR_NOERROR);
  EXPECT_STREQ(inCaps.szPname, "Echo");

  Received received;
  HMIDIIN in = nullptr;
  HMIDIOUT out = nullptr;
  ASSERT_EQ(api.midiInOpen(&in, 0, &OnLongData, 0, CALLBACK_FUNCTION), MMSYSERR_NOERROR);
  ASSERT_EQ(api.midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  std::vector<char> buffer(65536);
  MIDIHDR inHeader;
  inHeader.lpData = buffer.data();
  inHeader.dwBufferLength = uint32_t(buffer.size());
  inHeader.dwUser = reinterpret_cast<uintptr_t>(&received);
  ASSERT_EQ(api.midiInPrepareHeader(in, &inHeader, sizeof inHeader), MMSYSERR_NOERROR);

  // The largest frame the protocol sends (a 16,383-byte block: 18,742 bytes), and one of 40,000
  // bytes, more than a port buffer holds, which goes out in pieces over several periods. A
  // period of 64 frames carries 256 bytes of audio; these are many periods' worth.
  for (size_t length : {size_t(18742), size_t(40000), size_t(6)}) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> message = SysEx(length, uint8_t(length));
    {
      std::lock_guard lock(received.mutex);
      received.messages.clear();
    }
    ASSERT_EQ(api.midiInAddBuffer(in, &inHeader, sizeof inHeader), MMSYSERR_NOERROR);
    ASSERT_EQ(api.midiInStart(in), MMSYSERR_NOERROR);
    MIDIHDR outHeader;
    outHeader.lpData = reinterpret_cast<char*>(const_cast<uint8_t*>(message.data()));
    outHeader.dwBufferLength = uint32_t(message.size());
    const uint64_t eventsBefore = port->InputEvents();
    ASSERT_EQ(api.midiOutPrepareHeader(out, &outHeader, sizeof outHeader), MMSYSERR_NOERROR);
    ASSERT_EQ(api.midiOutLongMsg(out, &outHeader, sizeof outHeader), MMSYSERR_NOERROR);
    // Done only once the process callback has written all of it.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!(outHeader.dwFlags.load() & MHDR_DONE) && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(outHeader.dwFlags.load() & MHDR_DONE);
    EXPECT_EQ(api.midiOutUnprepareHeader(out, &outHeader, sizeof outHeader), MMSYSERR_NOERROR);

    deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
      {
        std::lock_guard lock(received.mutex);
        if (!received.messages.empty() || Clock::now() > deadline) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::lock_guard lock(received.mutex);
    ASSERT_EQ(received.messages.size(), 1u);
    EXPECT_TRUE(received.messages[0] == message) << received.messages[0].size();
    std::lock_guard deviceLock(mutex);
    ASSERT_FALSE(atDevice.empty());
    EXPECT_TRUE(atDevice.back() == message);
    // A frame the port buffer takes (JACK's MIDI buffers hold 32 KiB) goes out as one event;
    // a longer one in pieces, which the far end's stream parser joins again.
    if (length <= 18742) {
      EXPECT_EQ(port->InputEvents() - eventsBefore, 1u);
    } else {
      EXPECT_GE(port->InputEvents() - eventsBefore, 2u);
    }
  }
  EXPECT_EQ(port->InputOverflows(), 0u);
  EXPECT_EQ(api.midiInReset(in), MMSYSERR_NOERROR);
  EXPECT_EQ(api.midiInUnprepareHeader(in, &inHeader, sizeof inHeader), MMSYSERR_NOERROR);
  EXPECT_EQ(api.midiInClose(in), MMSYSERR_NOERROR);
  EXPECT_EQ(api.midiOutClose(out), MMSYSERR_NOERROR);
  port.reset();
}

}  // namespace
}  // namespace r9

namespace r9 {
namespace {

// A server that stops and comes back (under the same name) is found again by the next listing,
// as the window's "Rescan Device" does it.
TEST_F(JackEndToEnd, ARestartedServerIsFoundAgain) {
  StartServer();
  std::string error;
  auto device = JackDevicePort::Open("Restart Device", "in", "out", nullptr, &error);
  ASSERT_NE(device, nullptr) << error;
  MidiApi& api = JackMidiApi();
  EXPECT_EQ(api.midiOutGetNumDevs(), 1u);
  device.reset();
  StopServer();
  const auto gone = Clock::now() + std::chrono::seconds(10);
  while (api.midiOutGetNumDevs() != 0 && Clock::now() < gone)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(api.midiOutGetNumDevs(), 0u);

  StartServer();
  device = JackDevicePort::Open("Restart Device", "in", "out", nullptr, &error);
  ASSERT_NE(device, nullptr) << error;
  const auto back = Clock::now() + std::chrono::seconds(10);
  while (api.midiOutGetNumDevs() != 1 && Clock::now() < back)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(api.midiOutGetNumDevs(), 1u);
  MIDIOUTCAPSA caps;
  ASSERT_EQ(api.midiOutGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "Restart Device");
}

}  // namespace
}  // namespace r9

namespace r9 {
namespace {

std::vector<std::string> FullNames(const std::vector<JackPortEntry>& ports) {
  std::vector<std::string> names;
  for (const JackPortEntry& port : ports) names.push_back(port.fullName);
  return names;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Copy 3 of the updater joins as "R9 Updater (3)"; its own ports appear when a device is
// opened, connected to that device, and the connection goes with the close.
TEST_F(JackEndToEnd, TheUpdaterIsAClientNamedAfterItsInstance) {
  StartServer();
  SetMidiClientInstance(3);
  std::string error;
  auto device = JackDevicePort::Open("KORVEN R9", "in", "out", nullptr, &error);
  ASSERT_NE(device, nullptr) << error;
  auto probe = JackMidiClient::Open("r9-e2e-observer", &error);
  ASSERT_NE(probe, nullptr) << error;

  MidiApi& api = JackMidiApi();
  ASSERT_EQ(api.midiOutGetNumDevs(), 1u);
  ASSERT_EQ(api.midiInGetNumDevs(), 1u);
  EXPECT_FALSE(Contains(FullNames(probe->OtherPorts(true)), "R9 Updater (3):midi_out"));
  HMIDIOUT out = nullptr;
  HMIDIIN in = nullptr;
  ASSERT_EQ(api.midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(api.midiInOpen(&in, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_TRUE(Contains(FullNames(probe->OtherPorts(true)), "R9 Updater (3):midi_out"));
  EXPECT_TRUE(Contains(FullNames(probe->OtherPorts(false)), "R9 Updater (3):midi_in"));
  // A second open of either direction is refused: the program has one port of each.
  HMIDIOUT out2 = nullptr;
  EXPECT_EQ(api.midiOutOpen(&out2, 0, 0, 0, CALLBACK_NULL), MMSYSERR_ALLOCATED);
  EXPECT_EQ(api.midiInClose(in), MMSYSERR_NOERROR);
  EXPECT_EQ(api.midiOutClose(out), MMSYSERR_NOERROR);
  EXPECT_EQ(api.midiOutClose(out), MMSYSERR_INVALHANDLE);
  // Closed ports can be opened again.
  ASSERT_EQ(api.midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  EXPECT_EQ(api.midiOutClose(out), MMSYSERR_NOERROR);
}

// The first copy of the updater joins as plain "R9 Updater", with no number.
TEST_F(JackEndToEnd, TheFirstCopyIsAClientWithoutANumber) {
  StartServer();
  SetMidiClientInstance(1);
  std::string error;
  auto device = JackDevicePort::Open("KORVEN R9", "in", "out", nullptr, &error);
  ASSERT_NE(device, nullptr) << error;
  auto probe = JackMidiClient::Open("r9-e2e-observer", &error);
  ASSERT_NE(probe, nullptr) << error;

  MidiApi& api = JackMidiApi();
  ASSERT_EQ(api.midiOutGetNumDevs(), 1u);
  ASSERT_EQ(api.midiInGetNumDevs(), 1u);
  HMIDIOUT out = nullptr;
  HMIDIIN in = nullptr;
  ASSERT_EQ(api.midiOutOpen(&out, 0, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(api.midiInOpen(&in, 0, nullptr, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  const std::vector<std::string> outs = FullNames(probe->OtherPorts(true));
  const std::vector<std::string> ins = FullNames(probe->OtherPorts(false));
  EXPECT_TRUE(Contains(outs, "R9 Updater:midi_out")) << testing::PrintToString(outs);
  EXPECT_TRUE(Contains(ins, "R9 Updater:midi_in")) << testing::PrintToString(ins);
  for (const std::vector<std::string>* names : {&outs, &ins})
    for (const std::string& name : *names) EXPECT_EQ(name.rfind("R9 Updater (", 0), std::string::npos) << name;
  EXPECT_EQ(api.midiInClose(in), MMSYSERR_NOERROR);
  EXPECT_EQ(api.midiOutClose(out), MMSYSERR_NOERROR);
}

}  // namespace
}  // namespace r9

namespace r9 {
namespace {

// The same programs under PipeWire's JACK server: the test starts pipewire itself, with a
// runtime folder of its own (no session manager, no sound card: the graph runs on its dummy
// driver), and runs both programs through pw-jack, which puts PipeWire's libjack in front.
// PipeWire makes none of jackd's sockets, so only the library can tell that a server runs.
class PipeWireEndToEnd : public JackEndToEnd {
 protected:
  void SetUp() override {
    JackEndToEnd::SetUp();
    if (!Installed("pipewire") || !Installed("pw-jack")) GTEST_SKIP() << "pipewire or pw-jack is not installed";
    // PipeWire's libjack takes a server name for the name of a remote: the default one, in the
    // private runtime folder, is the server this test starts.
    unsetenv("JACK_DEFAULT_SERVER");
    // A short period, as pw-jack -p 64 asks for it (the default quantum makes each round trip
    // cost two periods of about 21 ms).
    setenv("PIPEWIRE_QUANTUM", "64/48000", 1);
    wrapper_ = "pw-jack";
  }

  static bool Installed(const char* program) {
    return std::system(("command -v " + std::string(program) + " >/dev/null 2>&1").c_str()) == 0;
  }

  void StartPipeWire() {
    LaunchServer(
        {"pipewire"},
        [](const std::string& dir) {
          setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
          unsetenv("PIPEWIRE_RUNTIME_DIR");
          unsetenv("PIPEWIRE_REMOTE");
          unsetenv("DBUS_SESSION_BUS_ADDRESS");
        },
        [this] { return PipeWireAnswers(); });
  }

  // jack_lsp through pw-jack exits 0 only when the server answered.
  bool PipeWireAnswers() const {
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
      int n = open("/dev/null", O_RDWR);
      dup2(n, 0);
      dup2(n, 1);
      dup2(n, 2);
      execlp("pw-jack", "pw-jack", "jack_lsp", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

TEST_F(PipeWireEndToEnd, ListsTheDeviceAndUpdatesIt) {
  StartPipeWire();
  const std::string flash = Path("flash.bin");
  const pid_t sim = StartDevice({"--exit-after-finish", "flash=" + flash});
  const Result list = RunCli({"list"}, "list");
  EXPECT_EQ(list.code, 0) << list.err;
  const size_t outputs = list.out.find("MIDI OUT\n");
  ASSERT_NE(outputs, std::string::npos) << list.out;
  EXPECT_NE(list.out.substr(0, outputs).find("jack  KORVEN R9\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("jack  KORVEN R9\n", outputs), std::string::npos) << list.out;

  const std::string trace = Path("trace.txt");
  // A loaded machine slows PipeWire's graph far more than the program: wait for the program's
  // end, not for a time.
  const Result cli = Finish(Spawn(R9_CLI_PATH, {"execute", "--trace", trace}, "cli"), "cli", std::chrono::seconds(600));
  EXPECT_EQ(cli.code, 0) << cli.out << cli.err << Slurp(Path("pipewire.log"));
  EXPECT_NE(cli.out.find("Version update completed."), std::string::npos) << cli.out;
  const Result device = Finish(sim, "sim", std::chrono::seconds(20));
  EXPECT_EQ(device.code, 0) << device.out << device.err;
  EXPECT_NE(device.out.find("  violations: 0\n"), std::string::npos) << device.out;

  const std::string bytes = Slurp(flash);
  ASSERT_EQ(bytes.size(), 0x400000u);
  for (const UpdateStep& step : UpdatePlan) {
    if (step.kind != kStepWrite) continue;
    FirmwareImage image;
    ASSERT_TRUE(FindFirmwareImage(step.resourceId, &image));
    const uint32_t length = step.size == 0 ? image.size : step.size;
    EXPECT_EQ(bytes.compare(step.address, length, reinterpret_cast<const char*>(image.data), length), 0)
        << "image " << step.resourceId << " at 0x" << std::hex << step.address;
  }
}

}  // namespace
}  // namespace r9

namespace r9 {
namespace {

// The table of cases that every emulated backend passes, on a private JACK server: the far end
// is a device client of this process. The server is the fixture's own, started and stopped the
// same way; killing it is a link that fails.
class ContractServer final : public JackEndToEnd {
 public:
  void TestBody() override {}
  void Begin() {
    SetUp();
    StartServer();
  }
  void End() { TearDown(); }
  void Kill() { KillServer(SIGKILL); }
};

using test::MidiContractTest;

class JackFarEnd : public test::FarEnd {
 public:
  JackFarEnd() {
    server_.Begin();
    std::string error;
    port_ = JackDevicePort::Open(
        "KORVEN R9", "in", "out",
        [this](const uint8_t* bytes, size_t length) {
          std::lock_guard lock(mutex_);
          received_.insert(received_.end(), bytes, bytes + length);
        },
        &error);
    EXPECT_NE(port_, nullptr) << error;
    // The backend's client may still belong to the previous case's server until it has seen
    // that one go; the next listings join this one.
    MidiApi& api = JackMidiApi();
    EXPECT_TRUE(test::WaitUntil([&] { return api.midiInGetNumDevs() == 1 && api.midiOutGetNumDevs() == 1; }));
  }
  ~JackFarEnd() override {
    port_.reset();
    server_.End();
  }
  MidiApi& Api() override { return JackMidiApi(); }
  void Send(const std::vector<test::Bytes>& pieces) override {
    for (const test::Bytes& piece : pieces) port_->Send(piece.data(), piece.size());
  }
  test::Bytes Received() override {
    std::lock_guard lock(mutex_);
    return received_;
  }
  void Fail() override { server_.Kill(); }
  // The process callback takes every message the program queued, whether anyone reads it or
  // not: only a server that stops answering blocks a send, and that stalls libjack's own
  // requests too (the disconnect of the close), which no backend can cut short.
  bool Block() override { return false; }
  void Remove() override { port_.reset(); }

 private:
  ContractServer server_;
  std::unique_ptr<JackDevicePort> port_;
  std::mutex mutex_;
  test::Bytes received_;
};

INSTANTIATE_TEST_SUITE_P(Jack, MidiContractTest,
                         testing::Values(test::Backend{"Jack", [] { return std::make_unique<JackFarEnd>(); }}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace r9

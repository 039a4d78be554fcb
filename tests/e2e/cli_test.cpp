// End-to-end tests of r9-updater-cli: the built program, run as a user would run it, against
// its built-in simulated device.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Each test gets a runtime folder of its own, so the instance numbers it claims are its own.
class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/r9-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    runtimeDir_ = dir;
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    std::system(("rm -rf '" + runtimeDir_ + "'").c_str());
  }

  struct Result {
    int code = -1;
    std::string out;
    std::string err;
  };

  // Starts the program with its stdout and stderr going to files; returns the pid.
  // env: variables to set for the program (an empty value unsets it).
  pid_t Spawn(const std::vector<std::string>& args, const std::string& tag,
              const std::vector<std::pair<std::string, std::string>>& env = {}) {
    const std::string out = runtimeDir_ + "/" + tag + ".out", err = runtimeDir_ + "/" + tag + ".err";
    pid_t pid = fork();
    if (pid == 0) {
      setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
      for (const auto& [name, value] : env) {
        if (value.empty())
          unsetenv(name.c_str());
        else
          setenv(name.c_str(), value.c_str(), 1);
      }
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int n = open("/dev/null", O_RDONLY);
      dup2(o, 1);
      dup2(e, 2);
      dup2(n, 0);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(R9_CLI_PATH));
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(R9_CLI_PATH, argv.data());
      _exit(127);
    }
    children_.push_back(pid);
    return pid;
  }

  Result Finish(pid_t pid, const std::string& tag) {
    Result r;
    int status = 0;
    waitpid(pid, &status, 0);
    children_.erase(std::remove(children_.begin(), children_.end(), pid), children_.end());
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = Slurp(runtimeDir_ + "/" + tag + ".out");
    r.err = Slurp(runtimeDir_ + "/" + tag + ".err");
    return r;
  }

  Result Run(const std::vector<std::string>& args) { return Finish(Spawn(args, "run"), "run"); }

  static std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string Path(const std::string& name) { return runtimeDir_ + "/" + name; }

  std::string runtimeDir_;
  std::vector<pid_t> children_;  // not yet waited for; killed when the test ends
};

// One trace line: "<seconds with six decimals> <out|in> XX XX ...". Checked by hand: a regular
// expression over a 14,000-character line runs the library's matcher out of stack.
struct TraceLine {
  double seconds = 0;
  std::string direction;
  std::string hex;  // " XX XX ..."
};

bool ParseTraceLine(const std::string& line, TraceLine* t) {
  const size_t dot = line.find('.');
  const size_t blank = line.find(' ');
  if (dot == std::string::npos || dot == 0 || blank != dot + 7) return false;
  for (size_t i = 0; i < blank; ++i)
    if (i != dot && !std::isdigit(static_cast<unsigned char>(line[i]))) return false;
  t->seconds = std::stod(line.substr(0, blank));
  const size_t second = line.find(' ', blank + 1);
  if (second == std::string::npos) return false;
  t->direction = line.substr(blank + 1, second - blank - 1);
  if (t->direction != "out" && t->direction != "in") return false;
  t->hex = line.substr(second);
  if (t->hex.empty() || t->hex.size() % 3 != 0) return false;
  for (size_t i = 0; i < t->hex.size(); i += 3)
    if (t->hex[i] != ' ' || !std::isxdigit(static_cast<unsigned char>(t->hex[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(t->hex[i + 2])) || std::islower(t->hex[i + 1]) ||
        std::islower(t->hex[i + 2]))
      return false;
  return true;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

// A fault-free update's trace is the update's own traffic, then (unless --no-verify) the read-back:
// Read requests and their replies only, between the last Acknowledge and Finish-update.
TEST_F(Cli, WholeUpdateWithTrace) {
  for (const bool verify : {true, false}) {
    SCOPED_TRACE(verify ? "execute" : "execute --no-verify");
    std::vector<std::string> args = {"execute", "--simulate", "--trace", Path("trace.txt")};
    if (!verify) args.push_back("--no-verify");
    const Result r = Run(args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_THAT(r.out, testing::HasSubstr("Version update completed."));
    // The read-back is a stage of its own in the progress lines.
    EXPECT_EQ(r.out.find("[12/12] Verifying flash memory.\n") != std::string::npos, verify) << r.out;

    const std::vector<std::string> lines = Lines(Slurp(Path("trace.txt")));
    ASSERT_GT(lines.size(), 1u);
    EXPECT_EQ(lines[0], "# r9-updater-cli trace");
    double last = 0;
    std::vector<std::pair<std::string, std::string>> frames;  // direction, first five bytes
    for (size_t i = 1; i < lines.size(); ++i) {
      // What a MIDI library said (no JACK server, say) is a comment line of its own.
      if (lines[i].rfind("# ", 0) == 0) continue;
      TraceLine t;
      ASSERT_TRUE(ParseTraceLine(lines[i], &t)) << "line " << i + 1 << ": " << lines[i].substr(0, 80);
      EXPECT_GE(t.seconds, last);
      last = t.seconds;
      frames.emplace_back(t.direction, t.hex.substr(0, 15));
    }
    EXPECT_EQ(lines.back(), "# sim: 0 protocol violations");
    // Identity Request, Identity Reply, Enter-update, its Status, the BOOT read, its reply, ...
    ASSERT_GE(frames.size(), 6u);
    const std::vector<std::pair<std::string, std::string>> opening = {
        {"out", " F0 7E 00 06 01"}, {"in", " F0 7E 00 06 02"},  {"out", " F0 7D 00 3A 01"},
        {"in", " F0 7D 00 3A 00"},  {"out", " F0 7D 00 3A 60"}, {"in", " F0 7D 00 3A 60"}};
    EXPECT_EQ(std::vector(frames.begin(), frames.begin() + 6), opening);
    size_t writes = 0, acks = 0, erases = 0, reads = 0, lastAck = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      const auto& [direction, head] = frames[i];
      writes += direction == "out" && head == " F0 7D 00 3A 02";
      acks += direction == "in" && head == " F0 7D 00 3A 02";
      erases += direction == "out" && head == " F0 7D 00 3A 0A";
      reads += direction == "out" && head == " F0 7D 00 3A 60";
      if (direction == "in" && head == " F0 7D 00 3A 02") lastAck = i;
    }
    EXPECT_EQ(writes, 929u);
    EXPECT_EQ(acks, 929u);
    EXPECT_EQ(erases, 6u);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2], (std::pair<std::string, std::string>{"out", " F0 7D 00 3A 04"}));
    EXPECT_EQ(frames.back().first, "in");
    // After the last Acknowledge: the read-back's requests and replies, then Finish-update.
    for (size_t i = lastAck + 1; i < frames.size() - 2; ++i) EXPECT_EQ(frames[i].second, " F0 7D 00 3A 60") << i;
    if (verify) {
      EXPECT_GT(reads, 1u + 3802676u / 7153u);
      EXPECT_EQ(frames.size() - 2 - (lastAck + 1), 2 * (reads - 1));
    } else {
      EXPECT_EQ(reads, 1u) << "the BOOT stamp only";
      EXPECT_EQ(lastAck + 3, frames.size());
    }
  }
}

// Seconds and bytes of every SysEx line of a trace.
std::vector<TraceLine> TraceOf(const std::string& text) {
  std::vector<TraceLine> lines;
  for (const std::string& line : Lines(text)) {
    TraceLine t;
    if (!line.empty() && line[0] != '#' && ParseTraceLine(line, &t)) lines.push_back(t);
  }
  return lines;
}

// The device gets 500 ms after it has entered its update mode before the BOOT read, with the
// real pauses of the program.
TEST_F(Cli, PauseAfterEnteringTheUpdateMode) {
  const Result r = Run({"execute", "--simulate=boot=same", "--trace", Path("trace.txt")});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<TraceLine> t = TraceOf(Slurp(Path("trace.txt")));
  ASSERT_GE(t.size(), 5u);
  ASSERT_EQ(t[2].hex.substr(0, 15), " F0 7D 00 3A 01");  // Enter-update
  ASSERT_EQ(t[3].hex.substr(0, 15), " F0 7D 00 3A 00");  // its Status
  ASSERT_EQ(t[4].hex.substr(0, 15), " F0 7D 00 3A 60");  // the BOOT read
  EXPECT_GE(t[4].seconds - t[3].seconds, 0.5);
  EXPECT_LT(t[4].seconds - t[3].seconds, 1.5);
}

// A refused block is sent again, the same bytes, 100 ms after the refusal.
TEST_F(Cli, PauseBeforeABlockIsSentAgain) {
  const Result r = Run({"execute", "--simulate=boot=same,fault=error@write:3", "--trace", Path("trace.txt")});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<TraceLine> t = TraceOf(Slurp(Path("trace.txt")));
  std::vector<size_t> writes;
  for (size_t i = 0; i < t.size(); ++i)
    if (t[i].direction == "out" && t[i].hex.substr(0, 15) == " F0 7D 00 3A 02") writes.push_back(i);
  ASSERT_GE(writes.size(), 4u);
  const size_t third = writes[2], again = writes[3];
  EXPECT_EQ(t[third].hex, t[again].hex) << "the same block again";
  ASSERT_EQ(again, third + 2);
  EXPECT_EQ(t[third + 1].hex, " F0 7D 00 3A 00 0E F7") << "the refusal";
  EXPECT_GE(t[again].seconds - t[third + 1].seconds, 0.1);
  EXPECT_LT(t[again].seconds - t[third + 1].seconds, 1.0);
  // An acknowledged block is followed by the next one without a pause.
  EXPECT_LT(t[writes[1]].seconds - t[writes[1] - 1].seconds, 0.1);
}

// verify reads the flash back: 0 on the device an update left, 5 once the flash kept in a
// file was changed between the runs, with the image and address named; nothing is written.
TEST_F(Cli, VerifyFindsATamperedFlash) {
  const std::string flash = Path("device.flash");
  const std::string sim = "--simulate=flash=" + flash;
  ASSERT_EQ(Run({"execute", sim}).code, 0);
  Result r = Run({"verify", sim, "--trace", Path("trace.txt")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, testing::HasSubstr("image 129 at 0x066000: ok\n"));
  for (const TraceLine& t : TraceOf(Slurp(Path("trace.txt")))) {
    if (t.direction != "out") continue;
    const std::string kind = t.hex.substr(0, 15);
    EXPECT_TRUE(kind == " F0 7E 00 06 01" || kind == " F0 7D 00 3A 60") << "only Identity and Read requests";
  }
  {
    std::fstream file(flash, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(0x1CC000 + 2 * 4096 + 10);
    file.put('\x5A');
  }
  r = Run({"verify", sim, "--read-size", "7153"});
  EXPECT_EQ(r.code, 5) << r.err;
  EXPECT_THAT(r.out, testing::HasSubstr("image 136 at 0x1CC000: first difference at 0x1CE00A, 1 block differs\n"));
  EXPECT_THAT(r.out, testing::HasSubstr("image 129 at 0x066000: ok\n"));
  EXPECT_EQ(Run({"verify", sim, "--read-size", "255"}).code, 1);
  EXPECT_EQ(Run({"version-check", sim, "--verify"}).code, 1);
  EXPECT_EQ(Run({"version-check", sim, "--no-verify"}).code, 1);
  EXPECT_EQ(Run({"execute", sim, "--verify", "--no-verify"}).code, 1);
}

// Where the instance locks live must be a private folder; when it cannot be, the user is told
// why (not that twenty copies run).
TEST_F(Cli, UnusableLockFolder) {
  const std::string tmp = Path("tmp");
  ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
  const std::string folder = tmp + "/r9-updater-" + std::to_string(geteuid());
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
  const Result r = Finish(Spawn({"list", "--simulate"}, "lock", {{"XDG_RUNTIME_DIR", ""}, {"TMPDIR", tmp}}), "lock");
  EXPECT_EQ(r.code, 8);
  EXPECT_THAT(r.err, testing::HasSubstr("is not a private folder"));
  EXPECT_THAT(r.err, testing::Not(testing::HasSubstr("20 instance")));
}

TEST_F(Cli, ExitCodesNameTheFailure) {
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string err;
  };
  const Case cases[] = {
      {{"execute", "--simulate=identity=3A000600"}, 4, "Error: Illegal device connected.\n"},
      {{"execute", "--simulate=mode=normal"}, 4, "Error: Please use the firmware update mode.\n"},
      {{"execute", "--simulate=fault=error@erase:1-7"}, 5, "Error: Transfer error occurred.\n"},
      {{"execute", "--simulate=fault=corrupt@read:1"},
       6,
       "Error: the BOOT version stamp could not be read; nothing was written.\n"},
      {{"execute", "--simulate=fault=error@read:1,scope=read"},
       6,
       "Error: the BOOT version stamp could not be read; nothing was written.\n"},
      {{"version-check", "--simulate=fault=corrupt@read:1"}, 6, ""},
      {{"version-check"}, 2, "Error: Can't open MIDI Out device.\n"},
      {{"execute", "--simulate", "--in", "7"}, 1, ""},
      {{"frobnicate"}, 1, ""},
      {{"execute", "--simulate=colour=blue"}, 1, ""},
      {{}, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Result r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << r.err;
    if (!c.err.empty())
      EXPECT_EQ(r.err, c.err);
    else
      EXPECT_NE(r.err, "") << "every failure says something";
  }
}

// A version check whose read fails shows no report; the status text names the stamp.
TEST_F(Cli, FailedVersionCheckNamesTheStamp) {
  const Result r = Run({"version-check", "--simulate=boot=same,fault=corrupt@read:3"});
  EXPECT_EQ(r.code, 6);
  EXPECT_EQ(r.out, "The BOOT version stamp could not be read.\n");
  EXPECT_EQ(r.err, "Error: a version stamp could not be read from the device; no report.\n");
}

// Silence at the identification: the 30-second wait of the real program runs out.
TEST_F(Cli, SilentDeviceTimesOut) {
  const Result r = Run({"execute", "--simulate=silent-after=1"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.err, "Error: Time out error(1)\n");
}

TEST_F(Cli, VersionReport) {
  const Result r = Run({"version-check", "--simulate=boot=same,system=old,preset=same,submcu=same"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "SYSTEM:\t\t1.09 -> 1.10\nPRESET:\t\t1.00\nBOOT:\t\t1.00\nSUBMCU:\t\t1.02\n");
}

TEST_F(Cli, PortsByIndexAndByName) {
  const Result list = Run({"list", "--simulate"});
  ASSERT_EQ(list.code, 0);
  // The preselected simulated port: "* <index>  sim   KORVEN R9" (the backend, then the name).
  std::string index;
  for (const std::string& line : Lines(list.out))
    if (line.size() > 2 && line[0] == '*' && line.size() > 2 + 17 &&
        line.substr(line.size() - 17) == "  sim   KORVEN R9")
      index = line.substr(2, line.size() - 19);
  ASSERT_FALSE(index.empty()) << list.out;
  ASSERT_EQ(index.find_first_not_of("0123456789"), std::string::npos) << index;
  EXPECT_THAT(list.out, testing::HasSubstr("MIDI IN\n"));
  EXPECT_THAT(list.out, testing::HasSubstr("MIDI OUT\n"));

  EXPECT_EQ(Run({"version-check", "--simulate=boot=same", "--in", index, "--out", "KORVEN R9"}).code, 0);
  EXPECT_EQ(Run({"version-check", "--simulate=boot=same", "--in", "KORVEN R9", "--out", index}).code, 0);
  EXPECT_EQ(Run({"version-check", "--simulate", "--out", "KORVEN"}).code, 1);
}

TEST_F(Cli, BackendsLimitTheLists) {
  // Only the built-in simulated device: one port in each list, marked with its backend.
  const Result sim = Run({"list", "--simulate", "--backend", "sim"});
  ASSERT_EQ(sim.code, 0) << sim.err;
  EXPECT_EQ(sim.out, "MIDI IN\n* 0  sim   KORVEN R9\nMIDI OUT\n* 0  sim   KORVEN R9\n");
  // A list of backends, or the option repeated, names them all; a name not built in is refused.
  EXPECT_EQ(Run({"list", "--simulate", "--backend=sim,sim"}).out, sim.out);
  EXPECT_EQ(Run({"list", "--simulate", "--backend", "sim", "--backend", "sim"}).out, sim.out);
  const Result bogus = Run({"list", "--backend", "sim,bogus"});
  EXPECT_EQ(bogus.code, 1);
  EXPECT_THAT(bogus.err, testing::HasSubstr("--backend: unknown backend 'bogus'"));
  EXPECT_EQ(Run({"list", "--backend"}).code, 1);
  EXPECT_EQ(Run({"list", "--backend", "sim,"}).code, 1);
}

TEST_F(Cli, InstanceLimit) {
  // Twenty copies that hold their numbers while they wait for an erase that never ends.
  // Each holder's trace shows the Erase frame once it runs, so once it holds its number.
  std::vector<pid_t> holders;
  for (int i = 0; i < 20; ++i)
    holders.push_back(
        Spawn({"execute", "--simulate=fault=silent@erase:1", "--trace", Path("holder" + std::to_string(i) + ".trace")},
              "holder" + std::to_string(i)));
  auto allErasing = [&] {
    for (int i = 0; i < 20; ++i)
      if (Slurp(Path("holder" + std::to_string(i) + ".trace")).find("out F0 7D 00 3A 0A") == std::string::npos)
        return false;
    return true;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!allErasing() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(allErasing());
  const Result r = Run({"list", "--simulate"});
  EXPECT_EQ(r.code, 7);
  EXPECT_EQ(r.err, "It is forbidden to launch more than 20 instance of this application.\n");

  // A number comes free when its holder ends, however it ends.
  kill(holders[4], SIGKILL);
  Finish(holders[4], "holder4");
  EXPECT_EQ(Run({"list", "--simulate"}).code, 0);

  for (size_t i = 0; i < holders.size(); ++i) {
    if (i == 4) continue;
    kill(holders[i], SIGINT);
    const Result h = Finish(holders[i], "holder" + std::to_string(i));
    EXPECT_EQ(h.code, 130) << h.err;
  }
}

// Ctrl-C while the device erases: the worker wakes as when the window closes, the program
// ends with 130 and leaves the terminal tidy.
TEST_F(Cli, InterruptDuringErase) {
  const pid_t pid = Spawn({"execute", "--simulate=fault=silent@erase:1", "--trace", Path("trace.txt")}, "int");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (Slurp(Path("trace.txt")).find("out F0 7D 00 3A 0A") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_NE(Slurp(Path("trace.txt")).find("out F0 7D 00 3A 0A"), std::string::npos);
  kill(pid, SIGINT);
  const Result r = Finish(pid, "int");
  EXPECT_EQ(r.code, 130);
  EXPECT_EQ(r.err, "Interrupted.\n");
  EXPECT_THAT(r.out, testing::Not(testing::HasSubstr("completed")));
}

TEST_F(Cli, Help) {
  const Result r = Run({"--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_THAT(r.out, testing::HasSubstr("usage: r9-updater-cli"));
}

}  // namespace

// --- Run logs ---------------------------------------------------------------------------------

// The run logs in a folder, by name (oldest first).
std::vector<std::string> LogsIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Direction and bytes of each frame line, without the time (a log's clock starts with its run).
std::vector<std::string> FramesOf(const std::string& text) {
  std::vector<std::string> frames;
  for (const TraceLine& t : TraceOf(text)) frames.push_back(t.direction + t.hex);
  return frames;
}

// A failed update leaves a log in $XDG_STATE_HOME that names the error and holds the same
// frames as --trace up to it, the box after the last of them and the exit code last.
TEST_F(Cli, FailedUpdateLeavesARunLog) {
  const std::string state = Path("state"), folder = state + "/r9-updater/logs";
  const Result r = Finish(Spawn({"execute", "--simulate=fault=error@erase:1-7", "--trace", Path("trace.txt")}, "run",
                                {{"XDG_STATE_HOME", state}}),
                          "run");
  ASSERT_EQ(r.code, 5) << r.err;
  EXPECT_EQ(r.err, "Error: Transfer error occurred.\n") << "the log costs no line on stderr";
  const std::vector<std::string> logs = LogsIn(folder);
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_THAT(logs[0], testing::MatchesRegex("[0-9]{8}T[0-9]{6}\\.[0-9]{6}Z-i1-p[0-9]+-execute\\.log"));

  const std::string text = Slurp(folder + "/" + logs[0]);
  const std::vector<std::string> lines = Lines(text);
  ASSERT_GT(lines.size(), 10u);
  EXPECT_EQ(lines[0], "# R9 Updater run log");
  for (const char* header :
       {"# program r9-updater-cli ", "# firmware KORVEN R9 System v1.10", "# run execute, instance 1, process ",
        "# started ", "# backends", "# MIDI IN ", "# MIDI OUT ", "# simulated device \"fault=error@erase:1-7\""})
    EXPECT_THAT(lines, testing::Contains(testing::StartsWith(header)));
  EXPECT_THAT(text, testing::HasSubstr("(sim)"));

  // The frames are the trace's, in the trace's format.
  const std::vector<std::string> frames = FramesOf(text);
  ASSERT_GE(frames.size(), 6u);
  EXPECT_EQ(frames, FramesOf(Slurp(Path("trace.txt"))));

  // What the user saw, with times, after the last frame: the error box; the outcome last.
  size_t lastFrame = 0, box = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    TraceLine t;
    if (ParseTraceLine(lines[i], &t)) lastFrame = i;
    if (lines[i].find(" box Error: Transfer error occurred.") != std::string::npos) box = i;
  }
  EXPECT_THAT(lines, testing::Contains(testing::MatchesRegex("# [0-9]+\\.[0-9]{6} status Erasing Flash memory\\.")));
  ASSERT_GT(box, lastFrame);
  EXPECT_THAT(lines.back(), testing::MatchesRegex("# [0-9]+\\.[0-9]{6} outcome 5 Transfer error occurred\\."));
}

// --log DIR puts them elsewhere; --no-log writes none; list is no run.
TEST_F(Cli, LogOptions) {
  const std::string state = Path("state");
  const std::vector<std::pair<std::string, std::string>> env = {{"XDG_STATE_HOME", state}};
  Result r = Finish(Spawn({"version-check", "--simulate=boot=same", "--log", Path("elsewhere")}, "a", env), "a");
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<std::string> logs = LogsIn(Path("elsewhere"));
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_THAT(logs[0], testing::EndsWith("-version-check.log"));
  EXPECT_THAT(Slurp(Path("elsewhere") + "/" + logs[0]), testing::EndsWith(" outcome 0 the version report was shown\n"));
  r = Finish(Spawn({"execute", "--simulate=boot=same", "--no-log"}, "b", env), "b");
  ASSERT_EQ(r.code, 0) << r.err;
  r = Finish(Spawn({"list", "--simulate"}, "c", env), "c");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(std::filesystem::exists(state)) << "neither --no-log nor list writes a log";
  EXPECT_EQ(Run({"execute", "--log"}).code, 1);
}

// The folder keeps the newest 20 closed logs: a run's log makes 21 and the oldest goes. A log
// still being written (locked by its writer) and files that are no logs stay.
TEST_F(Cli, TwentyFirstLogRemovesTheOldest) {
  const std::string folder = Path("logs");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  auto make = [&](const std::string& name) {
    std::ofstream(folder + "/" + name) << "# R9 Updater run log\n";
    return folder + "/" + name;
  };
  for (int i = 0; i < 20; ++i) {
    char name[80];
    std::snprintf(name, sizeof name, "202001%02dT120000.000000Z-i1-p%d-execute.log", i + 1, 100 + i);
    make(name);
  }
  const std::string writing = make("20191231T120000.000000Z-i2-p99-execute.log");  // older than all
  const int held = open(writing.c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  make("notes.txt");

  const Result r = Run({"version-check", "--simulate=boot=same", "--log", folder});
  close(held);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<std::string> names = LogsIn(folder);
  EXPECT_THAT(names, testing::Not(testing::Contains("20200101T120000.000000Z-i1-p100-execute.log")));
  EXPECT_THAT(names, testing::Contains("20200102T120000.000000Z-i1-p101-execute.log"));
  EXPECT_THAT(names, testing::Contains("20191231T120000.000000Z-i2-p99-execute.log"));
  EXPECT_THAT(names, testing::Contains("notes.txt"));
  EXPECT_THAT(names, testing::Contains(testing::EndsWith("-version-check.log")));
  EXPECT_EQ(names.size(), 20u + 1u + 1u);  // 20 closed, the one being written, notes.txt
}

// A folder that cannot be made costs one line on stderr and nothing else: the same exit code
// and output as without a log.
TEST_F(Cli, UnwritableLogFolderChangesNothingElse) {
  std::ofstream(Path("file")) << "a file where a folder would go\n";
  const std::string unusable = Path("file") + "/logs";
  struct Case {
    std::vector<std::string> args;
    int code;
  };
  const Case cases[] = {
      {{"version-check", "--simulate=boot=same"}, 0},
      {{"execute", "--simulate=fault=error@erase:1-7"}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::vector<std::string> without = c.args, with = c.args;
    without.push_back("--no-log");
    with.insert(with.end(), {"--log", unusable});
    const Result a = Finish(Spawn(without, "a"), "a");
    const Result b = Finish(Spawn(with, "b"), "b");
    EXPECT_EQ(a.code, c.code);
    EXPECT_EQ(b.code, c.code);
    EXPECT_EQ(b.out, a.out);
    const std::string told = "r9-updater-cli: no run log: cannot make the folder '" + unusable + "': ";
    ASSERT_THAT(b.err, testing::StartsWith(told));
    EXPECT_EQ(b.err.substr(b.err.find('\n') + 1), a.err) << "one line more, and only one";
  }
}

// The program on a real X server: Xvfb on a display it picks itself, r9-updater --simulate
// started on it, its window found by its title and captured, Enter pressed (Execute) and Escape
// ending the program. Skipped where Xvfb cannot start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "firmware/image_set.h"

namespace {

using namespace std::chrono_literals;

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int keepFd = -1) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
  const int null = open("/dev/null", O_RDWR);
  dup2(null, STDIN_FILENO);
  if (keepFd < 0) dup2(null, STDOUT_FILENO);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

// Waits for a child; -1 when it is still running after the timeout.
int WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(10ms);
  }
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (WaitExit(pid, 5s) < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// Runs a command to its end and returns its standard output (and the exit code in *code).
std::string Capture(const std::string& command, int* code) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    *code = -1;
    return out;
  }
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe)) out += buffer;
  *code = pclose(pipe);
  return out;
}

class XvfbSmoke : public ::testing::Test {
 protected:
  void SetUp() override {
    char dirTemplate[] = "/tmp/r9-xvfb-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    dir = dirTemplate;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // The server writes the number of the display it found free to the pipe.
    xvfb = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "800x600x24", "-nolisten", "tcp"}, {},
                 fds[1]);
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      if (poll(&p, 1, 100) > 0) {
        char c[16];
        const ssize_t n = read(fds[0], c, sizeof c);
        if (n <= 0) break;
        number.append(c, size_t(n));
      }
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
      Stop(xvfb);
      xvfb = -1;
      GTEST_SKIP() << "Xvfb could not start here (is the xvfb package installed?); the smoke test on a real "
                      "X server is skipped";
    }
    display = ":" + number.substr(0, number.find('\n'));
  }

  void TearDown() override {
    Stop(updater);
    Stop(xvfb);
    std::system(("rm -rf '" + dir + "'").c_str());
  }

  std::string X(const std::string& command) { return "DISPLAY=" + display + " " + command; }

  std::string dir;
  std::string display;
  pid_t xvfb = -1;
  pid_t updater = -1;
};

TEST_F(XvfbSmoke, WindowFoundCapturedEnterExecutesEscapeEnds) {
  const std::string flash = dir + "/flash.bin";
  const std::string runtime = dir + "/run";
  mkdir(runtime.c_str(), 0700);
  updater = Spawn({R9_UPDATER_PATH, "--simulate=boot=same,flash=" + flash},
                  {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb", "XDG_RUNTIME_DIR=" + runtime});

  int code = 0;
  const std::string found =
      Capture(X("timeout 20 xdotool search --sync --onlyvisible --name '^KORVEN R9 System v1\\.10 Updater$'"), &code);
  ASSERT_EQ(code, 0) << "the window did not appear";
  const std::string window = found.substr(0, found.find('\n'));
  ASSERT_FALSE(window.empty());

  mkdir(R9_SCREENSHOT_DIR, 0755);
  const std::string shot = std::string(R9_SCREENSHOT_DIR) + "/xvfb.png";
  Capture(X("import -window " + window + " '" + shot + "'"), &code);
  EXPECT_EQ(code, 0);
  struct stat st {};
  EXPECT_EQ(stat(shot.c_str(), &st), 0);
  EXPECT_GT(st.st_size, 1000);

  // No window manager here: give the window the input focus, then type as a user would.
  Capture(X("xdotool windowfocus --sync " + window), &code);
  EXPECT_EQ(code, 0);
  Capture(X("xdotool key --clearmodifiers Return"), &code);
  EXPECT_EQ(code, 0);
  std::this_thread::sleep_for(3s);  // let the update get going (or finish)
  Capture(X("xdotool key --clearmodifiers Escape"), &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(WaitExit(updater, 15s), 0) << "Escape did not end the program";
  updater = -1;

  // Enter pressed "Execute": the device's flash, saved when the program ended, was written to.
  std::ifstream in(flash, std::ios::binary);
  ASSERT_TRUE(in) << "no flash file: the simulated device never ran";
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  ASSERT_EQ(bytes.size(), size_t(4u << 20));
  // PRESET is the first image the plan writes; a carried image is in place.
  int written = 0;
  for (const r9::FirmwareImageInfo& info : r9::kFirmwareImages) {
    r9::FirmwareImage image;
    ASSERT_TRUE(r9::FindFirmwareImage(info.id, &image));
    if (std::equal(image.data, image.data + image.size, bytes.begin() + info.flashAddress)) ++written;
  }
  EXPECT_GE(written, 1) << "no carried image reached the device";
}

}  // namespace

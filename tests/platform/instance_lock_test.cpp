#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/instance_number.h"
#include "platform/kernel.h"
#include "platform/lock_file_name.h"

namespace r9 {
namespace {

namespace fs = std::filesystem;

// Another process holding a number: a copy of the lock holder.
class Holder {
 public:
  Holder() {
    int out[2], in[2];
    // Close-on-exec, so no other holder inherits this one's input and keeps it from ending.
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(in[0], STDIN_FILENO);
      close(out[0]), close(out[1]), close(in[0]), close(in[1]);
      execl(R9_LOCK_HOLDER, R9_LOCK_HOLDER, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    close(in[0]);
    stdin_ = in[1];
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    number_ = line.empty() ? -1 : std::atoi(line.c_str());
  }
  ~Holder() {
    if (pid_ > 0) Kill();
  }
  int Number() const { return number_; }
  // Ends the holder the ordinary way: it sees its input close and returns from main.
  void Exit() { End(false); }
  void Kill() { End(true); }

 private:
  void End(bool kill) {
    if (pid_ <= 0) return;
    if (kill) ::kill(pid_, SIGKILL);
    close(stdin_);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
  int stdin_ = -1;
  int number_ = -1;
};

// Every test gets lock folders of its own, so nothing here meets a real copy or another test.
class InstanceLockTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string base = OriginalTemp() + "/r9-lock-test-XXXXXX";
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    root_ = base;
    runtime_ = root_ / "runtime";
    temp_ = root_ / "tmp";
    fs::create_directory(runtime_);
    fs::create_directory(temp_);
    chmod(runtime_.c_str(), 0700);
    OriginalRuntime();
    Use(runtime_.string(), temp_.string());
  }
  void TearDown() override {
    Use(OriginalRuntime(), OriginalTemp().c_str());
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, ignored);
    fs::remove_all(root_, ignored);
  }
  // What the environment said before the first test changed it.
  static const std::string& OriginalTemp() {
    static const std::string temp = [] {
      const char* tmp = std::getenv("TMPDIR");
      return std::string(tmp && tmp[0] == '/' ? tmp : "/tmp");
    }();
    return temp;
  }
  static const char* OriginalRuntime() {
    static const char* const runtime = [] {
      const char* value = std::getenv("XDG_RUNTIME_DIR");
      return value ? strdup(value) : nullptr;
    }();
    return runtime;
  }
  // The environment a copy looks at; null removes the variable.
  static void Use(const char* runtime, const char* temp) {
    runtime ? setenv("XDG_RUNTIME_DIR", runtime, 1) : unsetenv("XDG_RUNTIME_DIR");
    temp ? setenv("TMPDIR", temp, 1) : unsetenv("TMPDIR");
  }
  static void Use(const std::string& runtime, const std::string& temp) { Use(runtime.c_str(), temp.c_str()); }
  fs::path FallbackFolder() const { return temp_ / ("r9-updater-" + std::to_string(geteuid())); }

  fs::path root_, runtime_, temp_;
};

TEST_F(InstanceLockTest, ClaimsTheLowestFreeNumber) {
  const struct {
    std::set<int> held;
    int claimed;
  } cases[] = {{{}, 1}, {{1}, 2}, {{1, 3}, 2}, {{2, 3}, 1}, {{1, 2, 3, 5}, 4}};
  for (const auto& c : cases) {
    std::vector<std::unique_ptr<InstanceLock>> others;
    for (int n : c.held) {
      others.push_back(std::make_unique<InstanceLock>());
      ASSERT_TRUE(others.back()->TryClaim(InstanceLockName(n))) << n;
    }
    InstanceLock lock;
    EXPECT_EQ(ClaimInstanceNumber(lock), c.claimed);
    EXPECT_TRUE(lock.Held());
  }
}

TEST_F(InstanceLockTest, TwentyCopiesAtMost) {
  std::vector<std::unique_ptr<InstanceLock>> copies;
  for (int n = 1; n <= kMaxInstances; ++n) {
    copies.push_back(std::make_unique<InstanceLock>());
    ASSERT_EQ(ClaimInstanceNumber(*copies.back()), n);
  }
  InstanceLock oneTooMany;
  EXPECT_EQ(ClaimInstanceNumber(oneTooMany), 0);
  EXPECT_FALSE(oneTooMany.Held());
  copies[6]->Release();
  EXPECT_EQ(ClaimInstanceNumber(oneTooMany), 7);
}

TEST_F(InstanceLockTest, NumbersAcrossProcessesComeFreeWhenTheirHolderExits) {
  Holder first, second, third;
  ASSERT_EQ(first.Number(), 1);
  ASSERT_EQ(second.Number(), 2);
  ASSERT_EQ(third.Number(), 3);
  second.Exit();
  Holder next;
  EXPECT_EQ(next.Number(), 2);
  InstanceLock here;
  EXPECT_EQ(ClaimInstanceNumber(here), 4);
}

TEST_F(InstanceLockTest, AKilledHolderFreesItsNumber) {
  Holder first, second;
  ASSERT_EQ(first.Number(), 1);
  ASSERT_EQ(second.Number(), 2);
  first.Kill();
  InstanceLock here;
  EXPECT_EQ(ClaimInstanceNumber(here), 1);
  Holder next;
  EXPECT_EQ(next.Number(), 3);
}

TEST_F(InstanceLockTest, WithoutARuntimeFolderUsesAPrivateFolderUnderTemp) {
  Use(nullptr, temp_.c_str());
  InstanceLock lock;
  ASSERT_TRUE(lock.TryClaim("fallback"));
  struct stat info;
  ASSERT_EQ(lstat(FallbackFolder().c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_TRUE(fs::exists(FallbackFolder() / LockFileName("fallback")));
  InstanceLock other;
  EXPECT_FALSE(other.TryClaim("fallback"));
}

TEST_F(InstanceLockTest, ARuntimeFolderOthersCanWriteIsNotUsed) {
  chmod(runtime_.c_str(), 0777);
  InstanceLock lock;
  ASSERT_TRUE(lock.TryClaim("shared"));
  EXPECT_FALSE(fs::exists(runtime_ / LockFileName("shared")));
  EXPECT_TRUE(fs::exists(FallbackFolder() / LockFileName("shared")));
}

TEST_F(InstanceLockTest, RefusesAFallbackFolderOpenToOthers) {
  Use(nullptr, temp_.c_str());
  fs::create_directory(FallbackFolder());
  chmod(FallbackFolder().c_str(), 0755);
  InstanceLock lock;
  EXPECT_FALSE(lock.TryClaim("planted"));
}

TEST_F(InstanceLockTest, DoesNotFollowALinkPlantedAsTheLockFile) {
  const fs::path target = root_ / "target";
  { std::ofstream(target.string()) << "keep"; }
  fs::create_symlink(target, runtime_ / LockFileName("linked"));
  InstanceLock lock;
  EXPECT_FALSE(lock.TryClaim("linked"));
  EXPECT_EQ(fs::file_size(target), 4u);
}

TEST_F(InstanceLockTest, ReleaseAndDestructionFreeTheName) {
  auto lock = std::make_unique<InstanceLock>();
  ASSERT_TRUE(lock->TryClaim("name"));
  InstanceLock other;
  EXPECT_FALSE(other.TryClaim("name"));
  lock->Release();
  EXPECT_FALSE(lock->Held());
  EXPECT_TRUE(other.TryClaim("name"));
  lock.reset();
  other.Release();
  auto again = std::make_unique<InstanceLock>();
  ASSERT_TRUE(again->TryClaim("name"));
  again.reset();
  EXPECT_TRUE(other.TryClaim("name"));
}

}  // namespace
}  // namespace r9

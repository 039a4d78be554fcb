// The named instance lock on POSIX: an flock on a file named after the lock, in the user's
// runtime folder (or, without one, in a folder of the user's own under the temporary folder).
// The kernel drops the lock when the last descriptor of the file goes, so a copy that crashes
// or is killed frees its number like one that exits.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/kernel.h"
#include "platform/lock_file_name.h"

namespace r9 {

namespace {

// A folder that only this user can write to, so nobody else can plant or hold our lock files.
bool PrivateFolder(const std::string& path, bool requireMode0700) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return false;
  if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid()) return false;
  return requireMode0700 ? (info.st_mode & 077) == 0 : (info.st_mode & 022) == 0;
}

// The folder of the lock files, or empty with the reason in *why.
std::string LockFolder(std::string* why) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/' && PrivateFolder(runtime, false)) return runtime;
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string folder = base + "/r9-updater-" + std::to_string(geteuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = "the lock folder " + folder + " cannot be made: " + std::strerror(errno);
    return {};
  }
  // An existing folder counts only when it is really ours and closed to everybody else.
  if (!PrivateFolder(folder, true)) {
    *why = "the lock folder " + folder + " is not a private folder of this user (owner and mode 0700)";
    return {};
  }
  return folder;
}

}  // namespace

std::string InstanceLockFolderProblem() {
  std::string why;
  LockFolder(&why);
  return why;
}

struct InstanceLock::Impl {
  int fd = -1;
};

InstanceLock::InstanceLock() : impl_(std::make_unique<Impl>()) {}

InstanceLock::~InstanceLock() { Release(); }

bool InstanceLock::TryClaim(const std::string& name) {
  Release();
  std::string why;
  const std::string folder = LockFolder(&why);
  if (folder.empty()) return false;
  const std::string file = LockFileName(name);
  if (file.size() > 255) return false;
  const std::string path = folder + "/" + file;
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    close(fd);
    return false;
  }
  int locked;
  do {
    locked = flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    close(fd);
    return false;
  }
  impl_->fd = fd;
  return true;
}

void InstanceLock::Release() {
  // The file stays: removing it would let a newcomer lock a fresh file of the same name while
  // another copy still waits on the old one.
  if (impl_->fd >= 0) close(impl_->fd);
  impl_->fd = -1;
}

bool InstanceLock::Held() const { return impl_->fd >= 0; }

}  // namespace r9

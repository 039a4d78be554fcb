// The named instance lock on Windows: a named mutex, created owned. The copy that created it
// holds its handle until it ends; every other copy sees ERROR_ALREADY_EXISTS and lets go of its
// handle at once, so a number is free again as soon as its copy ends, however it ends.
#include "platform/kernel.h"
#include "platform/win32/windows_headers.h"

namespace r9 {

// Named mutexes need no folder: nothing can stand in their way but the limit of twenty.
std::string InstanceLockFolderProblem() { return {}; }

struct InstanceLock::Impl {
  HANDLE mutex = nullptr;
};

InstanceLock::InstanceLock() : impl_(std::make_unique<Impl>()) {}

InstanceLock::~InstanceLock() { Release(); }

bool InstanceLock::TryClaim(const std::string& name) {
  Release();
  // No security attributes, initially owned, the name as it is (no kernel namespace prefix).
  HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
  if (mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS) {
    impl_->mutex = mutex;
    return true;
  }
  // Taken by another copy, or the name belongs to an object of another type.
  if (mutex != nullptr) CloseHandle(mutex);
  return false;
}

void InstanceLock::Release() {
  if (impl_->mutex != nullptr) {
    ReleaseMutex(impl_->mutex);  // refused harmlessly on a thread that does not own it
    CloseHandle(impl_->mutex);
  }
  impl_->mutex = nullptr;
}

bool InstanceLock::Held() const { return impl_->mutex != nullptr; }

}  // namespace r9

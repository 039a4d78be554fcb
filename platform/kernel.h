// Small kernel services: the auto-reset event with a timed wait, Sleep, and the named
// instance lock that gives each running copy its number.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace r9 {

constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t INFINITE = 0xFFFFFFFF;

// Auto-reset event, not signalled at creation. Set releases one waiter (or the next wait);
// the stores made before Set are visible to the thread whose Wait returns WAIT_OBJECT_0.
class ReplyEvent {
 public:
  ReplyEvent();
  ~ReplyEvent();
  ReplyEvent(const ReplyEvent&) = delete;
  ReplyEvent& operator=(const ReplyEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  // WAIT_OBJECT_0 when signalled within timeoutMs, WAIT_TIMEOUT otherwise.
  uint32_t Wait(uint32_t timeoutMs);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

void Sleep(uint32_t milliseconds);

// A named, process-owned lock. TryClaim succeeds when no other process holds the name; the
// lock is released when the object goes or the process ends, however it ends.
// Why no instance lock can be taken at all (where the locks live cannot be made, or is not
// private to this user); empty when locks can be taken.
std::string InstanceLockFolderProblem();

class InstanceLock {
 public:
  InstanceLock();
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  bool TryClaim(const std::string& name);
  void Release();
  bool Held() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace r9

// The auto-reset event on the kernel's own event object: unnamed, auto-reset, not signalled
// at creation. SetEvent and WaitForSingleObject order memory, so what the dispatcher stored
// before it signalled is seen by the worker whose wait returns.
#include "platform/kernel.h"

// After the project's headers: windows.h defines INFINITE, WAIT_OBJECT_0 and WAIT_TIMEOUT as
// macros of the same values.
#include "platform/win32/windows_headers.h"

namespace r9 {

struct ReplyEvent::Impl {
  HANDLE event = nullptr;
};

ReplyEvent::ReplyEvent() : impl_(std::make_unique<Impl>()) {
  impl_->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

ReplyEvent::~ReplyEvent() {
  if (impl_->event != nullptr) CloseHandle(impl_->event);
}

void ReplyEvent::SetEvent() { ::SetEvent(impl_->event); }

void ReplyEvent::ResetEvent() { ::ResetEvent(impl_->event); }

uint32_t ReplyEvent::Wait(uint32_t timeoutMs) {
  const DWORD result = WaitForSingleObject(impl_->event, timeoutMs);
  // An event that could not be created never signals: a wait on it is a time-out.
  return result == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

}  // namespace r9

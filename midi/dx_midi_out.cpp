#include "midi/dx_midi_out.h"

#include <chrono>
#include <cstring>

#include "platform/kernel.h"

namespace r9 {

namespace {
// After midiOutReset the driver gives the header back at once; this only guards against one
// that does not.
constexpr auto kResetGrace = std::chrono::seconds(1);

bool Done(const MIDIHDR* header) { return (header->dwFlags.load() & MHDR_DONE) != 0; }
}  // namespace

CDxMidiOut::CDxMidiOut(MidiApi& api) : api_(api) {}

CDxMidiOut::~CDxMidiOut() { Close(); }

unsigned CDxMidiOut::GetDeviceCount() { return api_.midiOutGetNumDevs(); }

void CDxMidiOut::GetDeviceName(int index, char* buffer) {
  MIDIOUTCAPSA caps{};
  // A refused query yields an empty name rather than whatever the record held.
  if (api_.midiOutGetDevCapsA(uintptr_t(index), &caps, sizeof caps) != MMSYSERR_NOERROR) caps.szPname[0] = 0;
  caps.szPname[kMaxPnameLen - 1] = 0;
  std::memcpy(buffer, caps.szPname, std::strlen(caps.szPname) + 1);
}

bool CDxMidiOut::IsOpen() const {
  std::lock_guard lock(stateMutex_);
  return outputHandle_ != nullptr;
}

bool CDxMidiOut::Open(int index) {
  std::lock_guard portLock(portMutex_);
  {
    std::lock_guard lock(stateMutex_);
    if (outputHandle_ != nullptr && deviceIndex_ == index) return true;
  }
  CloseLocked();
  {
    std::lock_guard lock(stateMutex_);
    deviceIndex_ = index;
  }
  HMIDIOUT handle = nullptr;
  const bool withEvent = sendWait_.load() == SendWait::kEvent && api_.midiOutSignalsDone(uint32_t(index));
  const MMRESULT result = withEvent ? api_.midiOutOpen(&handle, uint32_t(index),
                                                       reinterpret_cast<uintptr_t>(&doneEvent_), 0, CALLBACK_EVENT)
                                    : api_.midiOutOpen(&handle, uint32_t(index), 0, 0, CALLBACK_NULL);
  if (result != MMSYSERR_NOERROR) return false;
  std::lock_guard lock(stateMutex_);
  outputHandle_ = handle;
  openedWithEvent_ = withEvent;
  return true;
}

bool CDxMidiOut::WaitsOnDoneEvent() const {
  std::lock_guard lock(stateMutex_);
  return outputHandle_ != nullptr && openedWithEvent_;
}

bool CDxMidiOut::Close() {
  std::lock_guard portLock(portMutex_);
  return CloseLocked();
}

bool CDxMidiOut::CloseLocked() {
  HMIDIOUT handle;
  {
    std::unique_lock lock(stateMutex_);
    if (outputHandle_ == nullptr) return false;
    handle = outputHandle_;
    // New sends find the port closed; the one under way sees closing_ and ends itself.
    outputHandle_ = nullptr;
    closing_.store(true);
    doneEvent_.SetEvent();  // wakes a send asleep on the event
    sendsEnded_.wait(lock, [this] { return sendsInProgress_ == 0; });
    closing_.store(false);
  }
  api_.midiOutClose(handle);  // its result changes nothing: the port is closed
  // A signal left by this handle's driver or by the close must not shorten a later send's wait
  // (it would only cost one more look at the flag, but there is no need).
  doneEvent_.ResetEvent();
  return true;
}

bool CDxMidiOut::BeginSend(HMIDIOUT& handle, bool* onEvent) {
  std::lock_guard lock(stateMutex_);
  if (outputHandle_ == nullptr) return false;
  handle = outputHandle_;
  if (onEvent != nullptr) *onEvent = openedWithEvent_;
  ++sendsInProgress_;
  return true;
}

void CDxMidiOut::EndSend() {
  std::lock_guard lock(stateMutex_);
  --sendsInProgress_;
  sendsEnded_.notify_all();
}

bool CDxMidiOut::SendLongMessage(MIDIHDR* header) {
  if (!IsOpen()) return false;
  std::lock_guard sendLock(sendMutex_);
  HMIDIOUT handle;
  bool onEvent = false;
  if (!BeginSend(handle, &onEvent)) return false;
  const bool sent = Transmit(handle, header, onEvent);
  EndSend();
  return sent;
}

void CDxMidiOut::WaitDone(const MIDIHDR* header, std::chrono::steady_clock::time_point deadline, bool onEvent,
                          bool ignoreClose) {
  for (;;) {
    if (Done(header) || (!ignoreClose && closing_.load())) return;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return;
    if (!onEvent) {
      Sleep(1);
      continue;
    }
    // Sends run one at a time, so the event's signals are about this header, or stale ones
    // that cost one more look at the flag. Rounded up, so the wait never ends just short.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    doneEvent_.Wait(uint32_t(left.count()));
  }
}

bool CDxMidiOut::Transmit(HMIDIOUT handle, MIDIHDR* header, bool onEvent) {
  const uint32_t size = sizeof(MIDIHDR);
  if (api_.midiOutPrepareHeader(handle, header, size) != MMSYSERR_NOERROR) return false;
  {
    // Seen as it is handed to the driver, so that a watcher never sees the device's answer
    // before the message that asked for it.
    std::lock_guard lock(observerMutex_);
    if (observer_) observer_(reinterpret_cast<const uint8_t*>(header->lpData), header->dwBufferLength);
  }
  if (api_.midiOutLongMsg(handle, header, size) != MMSYSERR_NOERROR) {
    api_.midiOutUnprepareHeader(handle, header, size);
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(sendTimeoutMs_.load());
  WaitDone(header, deadline, onEvent, false);
  // A driver that gave the header back unsent says so with MHDR_FAILED beside MHDR_DONE.
  const bool sent = Done(header) && !(header->dwFlags.load() & MHDR_FAILED);
  if (!sent) {
    // Too late, or the port is closing: the driver gives the header back, and from then on
    // it no longer refers to the caller's memory.
    api_.midiOutReset(handle);
    WaitDone(header, std::chrono::steady_clock::now() + kResetGrace, onEvent, true);
  }
  api_.midiOutUnprepareHeader(handle, header, size);
  return sent;
}

bool CDxMidiOut::SendShortMessage(uint32_t message) {
  HMIDIOUT handle;
  if (!BeginSend(handle)) return false;
  const bool sent = api_.midiOutShortMsg(handle, message) == MMSYSERR_NOERROR;
  EndSend();
  return sent;
}

bool CDxMidiOut::SendShortMessage(uint8_t status, uint8_t d1, uint8_t d2) {
  return SendShortMessage(uint32_t(status) | uint32_t(d1) << 8 | uint32_t(d2) << 16);
}

void CDxMidiOut::SetSendObserver(std::function<void(const uint8_t*, size_t)> observer) {
  std::lock_guard lock(observerMutex_);
  observer_ = std::move(observer);
}

}  // namespace r9

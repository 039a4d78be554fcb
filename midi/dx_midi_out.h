// The MIDI output port: lists the output devices, opens one without a callback, and sends
// long messages synchronously: SendLongMessage returns when the driver has finished with the
// caller's bytes, so the caller may reuse its buffer at once.
//
// Threads: a worker and the dispatcher's timer tick may send at the same time. Long messages
// leave one at a time, each whole, and each sender waits for its own. The owner's thread (or a
// finishing worker) opens and closes; a close during a send ends that send, which then returns
// false, as does every send after it. Close never releases the handle while a send uses it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/midi_api.h"

namespace r9 {

class CDxMidiOut {
 public:
  // A frame that has not left after this long fails.
  static constexpr uint32_t kDefaultSendTimeoutMs = 10000;

  explicit CDxMidiOut(MidiApi& api = DefaultMidiApi());
  ~CDxMidiOut();
  CDxMidiOut(const CDxMidiOut&) = delete;
  CDxMidiOut& operator=(const CDxMidiOut&) = delete;

  unsigned GetDeviceCount();
  // buffer holds at least kMaxPnameLen (256) bytes.
  void GetDeviceName(int index, char* buffer);
  bool Open(int index);
  bool Close();
  bool IsOpen() const;

  // header: lpData and dwBufferLength set by the caller, dwFlags 0.
  bool SendLongMessage(MIDIHDR* header);
  bool SendShortMessage(uint32_t message);
  bool SendShortMessage(uint8_t status, uint8_t d1, uint8_t d2);

  // Called on the sender's thread once per long message that the driver is handed (after a
  // successful prepare, before the long send), in the order they leave. It must not call back
  // into the port.
  void SetSendObserver(std::function<void(const uint8_t*, size_t)> observer);
  void SetSendTimeout(uint32_t timeoutMs) { sendTimeoutMs_.store(timeoutMs); }

 private:
  // Takes the handle for one send; false when the port is closed.
  bool BeginSend(HMIDIOUT& handle);
  void EndSend();
  // Prepare, send, wait for MHDR_DONE (bounded, and ended by a close), unprepare.
  bool Transmit(HMIDIOUT handle, MIDIHDR* header);
  bool CloseLocked();

  MidiApi& api_;

  // The port's fields: open exactly while the handle is not null.
  HMIDIOUT outputHandle_ = nullptr;
  int32_t deviceIndex_ = 0;

  // Open and Close run one at a time.
  std::mutex portMutex_;
  // One long message on its way at a time, so frames never interleave.
  std::mutex sendMutex_;
  // Guards outputHandle_, deviceIndex_ and sendsInProgress_.
  mutable std::mutex stateMutex_;
  std::condition_variable sendsEnded_;
  int sendsInProgress_ = 0;
  std::atomic<bool> closing_{false};
  std::atomic<uint32_t> sendTimeoutMs_{kDefaultSendTimeoutMs};
  std::mutex observerMutex_;
  std::function<void(const uint8_t*, size_t)> observer_;
};

}  // namespace r9

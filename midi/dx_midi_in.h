// The MIDI input port: lists the input devices, keeps one receive buffer in the driver's hands
// while started, and turns every SysEx buffer the driver hands back into an entry of the
// receive queue. Short messages go to a ring of 32 entries beside it.
//
// Threads: the driver's thread runs MidiInProc/OnMidiInMessage and appends to the queue; one
// consumer (the dispatcher's timer tick) peeks and pops; the owner's thread opens and closes.
// The queue and the ring are guarded by one mutex, held only for an append, a peek or a pop.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/midi_api.h"

namespace r9 {

class CDxMidiIn {
 public:
  static constexpr uint32_t kReceiveBufferSize = 8192;
  static constexpr int kRingSize = 32;

  explicit CDxMidiIn(MidiApi& api = DefaultMidiApi());
  ~CDxMidiIn();
  CDxMidiIn(const CDxMidiIn&) = delete;
  CDxMidiIn& operator=(const CDxMidiIn&) = delete;

  unsigned GetDeviceCount();
  // buffer holds at least kMaxPnameLen (256) bytes.
  void GetDeviceName(int index, char* buffer);
  bool Open(int index);
  void Close();
  bool IsStarted() const { return started_.load() != 0; }

  // The oldest entry's bytes and, through length, their number; null when the queue is empty.
  // The pointer stays valid until that entry is popped. Through arrival, the entry's place in
  // the order of arrival: 1 for the first message the port ever queued, then counting up.
  const uint8_t* PeekSysEx(size_t* length = nullptr, uint64_t* arrival = nullptr);
  void PopSysEx();
  int ReadShortMessage(uint8_t* buffer, int maxLength);
  // How many messages have arrived so far, over every open of the port: an entry whose arrival
  // is not above a value read here had reached the port before the read. A request's owner
  // reads it just before the request leaves, so an answer is told from an earlier message
  // where it arrives, however late the dispatcher gets to it.
  uint64_t ArrivalCount() const { return arrivals_.load(); }

  // Called on the driver's thread with each entry as it is appended to the queue (for a trace).
  // It may be set at any time; it must not call back into the port.
  void SetReceiveObserver(std::function<void(const uint8_t*, size_t)> observer);
  // Called on the driver's thread after each entry has joined the queue, outside the queue's
  // lock, so that the consumer can be woken at once. It may be set at any time; once the call
  // that clears it has returned, it is not called any more. It must not call back into the port.
  void SetArrivalListener(std::function<void()> listener);

  static void MidiInProc(HMIDIIN handle, uint32_t message, uintptr_t instance, uintptr_t param1, uintptr_t param2);
  void OnMidiInMessage(HMIDIIN handle, uint32_t message, uintptr_t instance, uintptr_t param1, uintptr_t param2);

 private:
  struct SysExNode {
    std::unique_ptr<uint8_t[]> data;
    size_t length = 0;
    uint64_t arrival = 0;
    SysExNode* next = nullptr;
  };

  // Appends a copy of the buffer's bytes; false when it could not.
  bool OnLongData(MIDIHDR* header);
  // Drops the text of a failing result code: the caller shows its own message.
  void DropErrorText(MMRESULT code);
  // Frees the receive header and buffer, or, when the driver may still hold them, keeps them
  // for the rest of the process.
  void ReleaseReceiveBuffer(bool driverMayHoldIt);

  MidiApi& api_;

  // The port's fields, in the order the port has always kept them.
  HMIDIIN inputHandle_ = nullptr;  // left in place by Close: started_, not the handle, says open
  MIDIHDR* receiveHeader_ = nullptr;
  int32_t deviceIndex_ = 0;
  std::atomic<int32_t> started_{0};
  uint8_t shortRing_[kRingSize][4] = {};  // byte count (3), status, data 1, data 2
  int32_t ringRead_ = 0;
  int32_t ringWrite_ = 0;
  SysExNode* queueHead_ = nullptr;
  SysExNode* queueTail_ = nullptr;
  std::atomic<uint64_t> arrivals_{0};  // stored under queueMutex_, read anywhere

  // Open and Close run one at a time (the dialog and a finishing worker may both close).
  std::mutex portMutex_;
  // Guards the queue and the ring.
  std::mutex queueMutex_;
  // Held by the notification handler from its first look at the port to the buffer's return
  // to the driver; Close takes it to mark the close as begun, so no buffer goes back after that.
  std::mutex callbackMutex_;
  bool closing_ = true;
  std::mutex observerMutex_;
  std::function<void(const uint8_t*, size_t)> observer_;
  std::mutex listenerMutex_;
  std::function<void()> listener_;
};

}  // namespace r9

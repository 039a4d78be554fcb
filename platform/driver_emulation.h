// What a MIDI driver does between the host's headers and callbacks and a transport's plain
// byte stream, for every backend but winmm: MidiInputEmulation for an input port,
// MidiOutputEmulation for an output port.
//
// Input. The host queues receive buffers (prepare, add buffer) and starts the port. The
// emulation then fills the oldest queued buffer with SysEx bytes and hands it back through the
// host's callback as MIM_LONGDATA with MHDR_DONE set and dwBytesRecorded counting the bytes; a
// SysEx longer than a buffer continues in the next one. Short messages arrive as MIM_DATA
// (status | d1 << 8 | d2 << 16), real-time bytes inside a SysEx as MIM_DATA of their own.
// Every callback runs on the emulation's own driver thread, never on the thread that feeds the
// bytes.
//
// While no buffer is queued, the bytes wait. Bytes that arrive while the port is stopped are
// lost, as on a cable nobody listens to. Stop hands back a partly filled buffer; Reset hands
// back every queued buffer (0 bytes recorded when nothing was written into it). Both return
// only when those callbacks, and any callback in progress, have finished. No callback runs
// after Close has returned.
//
// Output. midiOutLongMsg copies the message and queues it; the emulation's driver thread hands
// the messages to the sink (the transport's send) one after the other, each whole, and marks
// each header done once its message has left. A message is never interleaved with another.
// Reset abandons what is still queued or on its way: those headers come back marked done at
// once and are not touched afterwards.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/midi_api.h"
#include "platform/midi_stream_parser.h"

namespace r9 {

class MidiInputEmulation {
 public:
  // handle, callback and instance are what the host's callback receives; callback may be null.
  MidiInputEmulation(HMIDIIN handle, MidiInProcType callback, uintptr_t instance);
  // Closes the port if the host did not; buffers still queued are forgotten.
  ~MidiInputEmulation();
  MidiInputEmulation(const MidiInputEmulation&) = delete;
  MidiInputEmulation& operator=(const MidiInputEmulation&) = delete;

  // Bytes from the far end. Returns false once the port is closed.
  bool Feed(const uint8_t* bytes, size_t length);

  MMRESULT PrepareHeader(MIDIHDR* header);
  MMRESULT UnprepareHeader(MIDIHDR* header);
  MMRESULT AddBuffer(MIDIHDR* header);
  MMRESULT Start();
  MMRESULT Stop();
  MMRESULT Reset();
  MMRESULT Close();

 private:
  using Clock = std::chrono::steady_clock;
  struct Chunk {
    std::vector<uint8_t> bytes;
    size_t position = 0;
  };
  struct Notification {
    uint32_t message;
    uintptr_t param1;
    uintptr_t param2;
  };

  void Run();
  void Notify(const Notification& notification);
  // Reads one byte of the stream; what it completes is appended to out.
  void ProcessByte(uint8_t byte, std::vector<Notification>& out);
  // Takes the buffer being filled out of the queue, marked done, as a notification.
  Notification ReturnFront();
  // Hands back what Stop or Reset took, then waits until no callback runs (unless called from
  // a callback, which then delivers them itself).
  void DeliverReturns(std::unique_lock<std::mutex>& lock);
  uint32_t Timestamp() const;

  const HMIDIIN handle_;
  const MidiInProcType callback_;
  const uintptr_t instance_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Chunk> pending_;
  std::deque<MIDIHDR*> buffers_;
  std::vector<MIDIHDR*> toReturn_;
  MidiStreamParser parser_;
  Clock::time_point startedAt_;
  bool started_ = false;
  bool closing_ = false;
  bool closed_ = false;
  // The driver thread is outside the lock, inside the host's callback.
  bool delivering_ = false;
  std::thread thread_;
};

class MidiOutputEmulation {
 public:
  // Called on the driver thread with each message once its last byte is out; returns whether
  // the message was delivered. A header whose message was not comes back done and failed.
  using Sink = std::function<bool(std::vector<uint8_t> message)>;

  explicit MidiOutputEmulation(Sink sink);
  // Closes the port if the host did not; headers still queued are forgotten.
  ~MidiOutputEmulation();
  MidiOutputEmulation(const MidiOutputEmulation&) = delete;
  MidiOutputEmulation& operator=(const MidiOutputEmulation&) = delete;

  // Set each time a long-message header is marked done (null: none). The event must outlive
  // the port, or be taken back with SetDoneEvent(nullptr) before it goes.
  void SetDoneEvent(ReplyEvent* event);

  MMRESULT PrepareHeader(MIDIHDR* header);
  MMRESULT UnprepareHeader(MIDIHDR* header);
  MMRESULT LongMsg(MIDIHDR* header);
  MMRESULT ShortMsg(uint32_t message);
  MMRESULT Reset();
  MMRESULT Close();

 private:
  struct Message {
    MIDIHDR* header;  // null for a short message
    std::vector<uint8_t> bytes;
  };

  void Run();
  // Called with mutex_ held.
  void MarkDone(MIDIHDR* header, bool sent = true);

  const Sink sink_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Message> queue_;
  // The long message on its way; null when none is, or when Reset abandoned it.
  MIDIHDR* current_ = nullptr;
  uint64_t resets_ = 0;
  ReplyEvent* doneEvent_ = nullptr;
  bool closing_ = false;
  bool closed_ = false;
  std::thread thread_;
};

}  // namespace r9

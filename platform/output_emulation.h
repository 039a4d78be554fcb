// What a MIDI output driver does with the messages the host sends, for backends whose
// transport takes a plain byte stream (every backend but winmm).
//
// midiOutLongMsg copies the message and queues it; the emulation's driver thread hands the
// messages to the sink (the transport's send) one after the other, each whole, and marks each
// header done once its message has left. A message is never interleaved with
// another. Reset abandons what is still queued or on its way: those headers come back marked
// done at once and are not touched afterwards.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/midi_api.h"

namespace r9 {

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

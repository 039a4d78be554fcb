// One open raw MIDI stream of the ALSA backend, in each direction.
//
// Input: a reader thread polls the stream (and a wake pipe, so a close never waits for a byte
// that does not come) and feeds what it reads to the driver emulation, which runs the stream
// parser and hands the host its buffers and short messages on the emulation's own thread.
//
// Output: the driver emulation queues the host's messages; its thread writes each one whole
// (a non-blocking write may take part of it: the rest follows when the stream has room) and
// drains the stream before the message counts as sent.
//
// A stream that fails (the device unplugged: ENODEV, EIO, or POLLERR on its descriptors) ends
// its reader; an output that failed refuses every later send.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/alsa/alsa_lib.h"
#include "platform/driver_emulation.h"
#include "platform/output_emulation.h"

namespace r9 {

// A pipe whose read end wakes a poll.
class WakePipe {
 public:
  WakePipe();
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  bool Valid() const { return fds_[0] >= 0; }
  int ReadEnd() const { return fds_[0]; }
  void Signal();
  void Drain();

 private:
  int fds_[2] = {-1, -1};
};

class AlsaInPort {
 public:
  // Takes over rawmidi, an input stream opened non-blocking; starts the reader.
  AlsaInPort(const AlsaLib& lib, AlsaRawMidi* rawmidi, HMIDIIN handle, MidiInProcType callback, uintptr_t instance);
  // Ends the reader, closes the stream and then the emulation, if the host did not.
  ~AlsaInPort();
  AlsaInPort(const AlsaInPort&) = delete;
  AlsaInPort& operator=(const AlsaInPort&) = delete;

  bool Ready() const { return wake_.Valid(); }
  MidiInputEmulation& Driver() { return *driver_; }
  // The emulation's close; when it succeeds, the reader ends and the stream is closed.
  MMRESULT Close();
  // The negative errno that ended the reader, 0 while it reads.
  int Error() const { return error_.load(); }

 private:
  void Read();
  void Shutdown();

  const AlsaLib& lib_;
  AlsaRawMidi* rawmidi_;
  std::unique_ptr<MidiInputEmulation> driver_;
  WakePipe wake_;
  std::atomic<int> error_{0};
  std::thread reader_;
};

class AlsaOutPort {
 public:
  // How long a write waits for a device that takes nothing: the host's own bound on a send.
  static constexpr std::chrono::milliseconds kWriteDeadline{10000};

  // Takes over rawmidi, an output stream opened non-blocking.
  AlsaOutPort(const AlsaLib& lib, AlsaRawMidi* rawmidi);
  ~AlsaOutPort();
  AlsaOutPort(const AlsaOutPort&) = delete;
  AlsaOutPort& operator=(const AlsaOutPort&) = delete;

  bool Ready() const { return wake_.Valid(); }
  MMRESULT PrepareHeader(MIDIHDR* header) { return driver_->PrepareHeader(header); }
  MMRESULT UnprepareHeader(MIDIHDR* header) { return driver_->UnprepareHeader(header); }
  void SetDoneEvent(ReplyEvent* event) { driver_->SetDoneEvent(event); }
  MMRESULT LongMsg(MIDIHDR* header);
  MMRESULT ShortMsg(uint32_t message);
  MMRESULT Reset();
  MMRESULT Close();
  // The negative errno of the failure that ended the stream, 0 while it works.
  int Error() const { return error_.load(); }

 private:
  // The emulation's sink: writes one whole message into the stream; false when it did not go
  // whole (a failure, the deadline, a reset or the close).
  bool Write(std::vector<uint8_t> message);
  // False when the message was abandoned (a reset, a close), the deadline passed or the stream
  // failed meanwhile.
  bool WaitWritable(uint64_t resets, std::chrono::steady_clock::time_point deadline);
  bool Abandoned(uint64_t resets);
  // False, with the stream marked failed, when the stream's descriptors report an error.
  bool Probe();
  void Fail(int err);

  const AlsaLib& lib_;
  AlsaRawMidi* rawmidi_;
  const std::vector<pollfd> streamFds_;
  WakePipe wake_;
  std::atomic<int> error_{0};
  std::mutex mutex_;
  std::condition_variable released_;
  uint64_t resets_ = 0;
  bool closing_ = false;
  // Last: its thread calls Write, which uses everything above.
  std::unique_ptr<MidiOutputEmulation> driver_;
};

}  // namespace r9

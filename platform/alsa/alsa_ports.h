// One open raw MIDI stream of the ALSA transport, in each direction.
//
// Input: a reader thread polls the stream (and a wake pipe, so a close never waits for a byte
// that does not come) and hands what it reads to the sink.
//
// Output: Send writes one message whole (a non-blocking write may take part of it: the rest
// follows when the stream has room). No drain: it may wait for seconds on a device that stopped
// taking bytes, and neither the wake pipe nor non-blocking mode cuts it short; the message
// counts as out once its last byte is in the stream's buffer, which the kernel passes on.
//
// A stream that fails (the device unplugged: ENODEV, EIO, or POLLERR on its descriptors) ends
// its reader; an output that failed refuses every later send.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/alsa/alsa_lib.h"
#include "platform/midi_transport.h"

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

class AlsaInPort final : public TransportInput {
 public:
  // Takes over rawmidi, an input stream opened non-blocking; starts the reader. what names the
  // port in failures.
  AlsaInPort(const AlsaLib& lib, AlsaRawMidi* rawmidi, TransportSink sink, std::string what);
  // Ends the reader and closes the stream.
  ~AlsaInPort() override;

  bool Ready() const { return wake_.Valid(); }
  TransportError Failure() const override;

 private:
  void Read();

  const AlsaLib& lib_;
  AlsaRawMidi* const rawmidi_;
  const TransportSink sink_;
  const std::string what_;
  WakePipe wake_;
  std::atomic<int> error_{0};  // the negative errno that ended the reader
  std::thread reader_;
};

class AlsaOutPort final : public TransportOutput {
 public:
  // Takes over rawmidi, an output stream opened non-blocking.
  AlsaOutPort(const AlsaLib& lib, AlsaRawMidi* rawmidi, std::string what);
  ~AlsaOutPort() override;

  bool Ready() const { return wake_.Valid(); }
  TransportError Send(const uint8_t* bytes, size_t length, std::chrono::milliseconds bound) override;
  void Interrupt() override;
  void Close() override;
  TransportError Failure() const override;

 private:
  // False when the send was abandoned (Interrupt, Close), the deadline passed or the stream
  // failed meanwhile.
  bool WaitWritable(uint64_t interrupts, std::chrono::steady_clock::time_point deadline);
  bool Abandoned(uint64_t interrupts);
  // False, with the stream marked failed, when the stream's descriptors report an error.
  bool Probe() const;
  void Fail(int err) const;

  const AlsaLib& lib_;
  AlsaRawMidi* const rawmidi_;
  const std::string what_;
  const std::vector<pollfd> streamFds_;
  WakePipe wake_;
  mutable std::atomic<int> error_{0};  // the negative errno of the failure that ended the stream
  std::mutex mutex_;
  uint64_t interrupts_ = 0;
  bool closing_ = false;
};

}  // namespace r9

// One client of a running JACK server with at most one MIDI input and one MIDI output port of
// its own, and the real-time half of moving MIDI through them.
//
// The server calls the process callback on its real-time thread once per period. That callback
// touches only memory allocated beforehand: it copies the events of the input port into a
// lock-free ring that a program thread reads (ReadInput), and writes the messages that a program
// thread queued in another ring (Send) into the output port's buffer. A message goes out as one
// event when the port buffer takes it; one longer than the buffer goes out in pieces over
// several periods, which a receiver that reads a byte stream puts back together.
//
// No server is ever started: without one, Open fails quickly and libjack prints nothing (its
// messages go to the backend log). Whether a server runs is for the library to say, so any
// server that speaks the protocol is found, whatever sockets it makes. Each xrun and each input
// event lost to a full ring becomes a "jack: ..." line of the backend log. When the server goes away, ServerGone()
// turns true, waiting calls return, and the client is of no further use.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/byte_ring.h"
#include "platform/jack/jack_port_names.h"

struct _jack_client;
struct _jack_port;

namespace r9 {

class JackMidiClient {
 public:
  enum class SendResult { kWritten, kAborted, kServerGone, kTooLong, kTimedOut };

  // A MIDI port of another client: its full name ("client:port") and its client's name.
  using Port = JackPortEntry;

  // Connects to the server (the default one, or $JACK_DEFAULT_SERVER) as name, or as the name
  // the server gives instead when name is taken. Null, with the reason in *error, when no
  // server runs.
  static std::unique_ptr<JackMidiClient> Open(const std::string& name, std::string* error);
  ~JackMidiClient();
  JackMidiClient(const JackMidiClient&) = delete;
  JackMidiClient& operator=(const JackMidiClient&) = delete;

  const std::string& Name() const { return name_; }
  bool ServerGone() const { return serverGone_.load(); }

  // Registers the client's own port (once; later calls just report whether it exists).
  bool AddInputPort(const std::string& shortName);
  bool AddOutputPort(const std::string& shortName);
  std::string InputPortName() const;
  std::string OutputPortName() const;

  // The MIDI ports of the other clients: their output ports (theirOutputs) or input ports, in
  // the server's order.
  std::vector<Port> OtherPorts(bool theirOutputs);
  bool Connect(const std::string& source, const std::string& destination);
  bool Disconnect(const std::string& source, const std::string& destination);

  // Input. While enabled, every event on the input port is kept for ReadInput; while not, the
  // events are dropped. Enabling drops what an earlier session left unread.
  void EnableInput(bool enabled);
  // Up to size bytes of the input stream; waits up to wait while none is there. Returns 0 on
  // time-out, on WakeReader and once the server has gone.
  size_t ReadInput(uint8_t* buffer, size_t size, std::chrono::milliseconds wait);
  void WakeReader();
  // Events that did not fit in the input ring and were lost.
  uint64_t InputOverflows() const { return inputOverflows_.load(); }
  // Events taken from the input port so far.
  uint64_t InputEvents() const { return inputEvents_.load(); }

  // Queues one message and returns once the process callback has written all of it into the
  // output port's buffer, or when *abort turns true (checked every few milliseconds), the server
  // goes, or nothing moved for timeout. A message that did not go out whole is dropped.
  SendResult Send(const uint8_t* bytes, size_t length, const std::atomic<bool>* abort = nullptr,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  static const char* ResultText(SendResult result);
  // The longest message Send takes.
  size_t MaxMessageLength() const { return outRing_.Capacity() - sizeof(uint32_t); }

 private:
  explicit JackMidiClient(_jack_client* client);
  static int Process(uint32_t frames, void* self);
  static void OnShutdown(int status, const char* reason, void* self);
  static int OnXrun(void* self);
  // Writes the xruns and the input overflows not reported yet to the backend log. Program
  // threads only: the server's threads just count them.
  void ReportCounts();
  void ProcessInput(void* buffer);
  void ProcessOutput(void* buffer);
  // Drops what is queued for the output, up to message seq; the send mutex is held.
  void DiscardOutputLocked(uint64_t seq);
  bool WaitOutputProgress(std::chrono::milliseconds wait);

  _jack_client* const client_;
  std::string name_;
  std::atomic<bool> serverGone_{false};

  std::mutex portMutex_;  // registration and names; never taken by the process callback
  std::atomic<_jack_port*> inPort_{nullptr};
  std::atomic<_jack_port*> outPort_{nullptr};

  // Input: the process callback writes, one program thread reads.
  ByteRing inRing_{1 << 18};
  std::atomic<bool> inputEnabled_{false};
  std::atomic<uint64_t> inputOverflows_{0};
  std::atomic<uint64_t> inputEvents_{0};
  std::atomic<uint64_t> overflowsReported_{0};
  std::atomic<uint64_t> xruns_{0};
  std::atomic<uint64_t> xrunsReported_{0};
  sem_t inputReady_;

  // Output: one sender at a time writes a length and the bytes; the process callback reads.
  std::mutex sendMutex_;
  ByteRing outRing_{1 << 16};
  std::vector<uint8_t> staging_;
  uint64_t queuedSeq_ = 0;                // messages queued (sendMutex_)
  std::atomic<uint64_t> writtenSeq_{0};   // messages written or dropped by the process callback
  std::atomic<uint64_t> discardUpTo_{0};  // the process callback drops the queue up to this one
  size_t remaining_ = 0;                  // process callback only: bytes left of the current one
  sem_t outputProgress_;
};

}  // namespace r9

// What a MIDI backend really differs in: which ports there are, and moving bytes through one of
// them. Everything the port classes expect of a driver (handles, headers, MHDR_DONE,
// dwBytesRecorded, callbacks, the done event) is built once over this interface
// (platform/emulated_midi_api.h), so a new backend is one transport.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/midi_api.h"

namespace r9 {

struct TransportPort {
  // What the transport opens the port by. The same port keeps it while it exists; a port that
  // went and came back, or another port in its place, has another one.
  std::string id;
  // What the lists show (UTF-8).
  std::string name;
};

// A failure, as a result code of the driver interface and the reason in words; code 0 is none.
struct TransportError {
  MMRESULT code = MMSYSERR_NOERROR;
  std::string text;
  explicit operator bool() const { return code != MMSYSERR_NOERROR; }
};

// Receives the bytes that arrive on an open input, in order, in pieces of any size, on a thread
// of the transport.
using TransportSink = std::function<void(const uint8_t* bytes, size_t length)>;

class TransportInput {
 public:
  // Closes the port, within 100 ms whatever the device does; the sink is not called once it has
  // returned.
  virtual ~TransportInput() = default;
  // Why no more bytes come (the device was unplugged, the server went away); none while the
  // port works.
  virtual TransportError Failure() const { return {}; }
};

class TransportOutput {
 public:
  // Closes the port, within 100 ms whatever the device does.
  virtual ~TransportOutput() = default;
  // Puts one whole message on the link; one sender at a time. Returns none once the message has
  // left, or why it has not: the link failed, nothing moved for bound, Interrupt or Close.
  virtual TransportError Send(const uint8_t* bytes, size_t length, std::chrono::milliseconds bound) = 0;
  // Ends a Send in progress at once; later sends go on. Any thread.
  virtual void Interrupt() = 0;
  // Ends a Send in progress, and fails every later one at once. Any thread.
  virtual void Close() = 0;
  // Why sends fail from now on; none while the port works.
  virtual TransportError Failure() const { return {}; }
};

class MidiTransport {
 public:
  virtual ~MidiTransport() = default;
  // The backend's name in lists and trace lines: "alsa", "jack", "sim".
  virtual const char* Name() const = 0;
  // The ports of one direction as they are now: where the host reads (inputs) or writes. A
  // transport that cannot look (no server runs) has none; *problem says what was left out
  // (a card that cannot be read) and stays none when nothing was.
  virtual std::vector<TransportPort> List(bool outputs, TransportError* problem) = 0;
  // Opens the port that port.id names, never another; null, with *error, when it has gone, is
  // busy or cannot be opened.
  virtual std::unique_ptr<TransportInput> OpenInput(const TransportPort& port, TransportSink sink,
                                                    TransportError* error) = 0;
  virtual std::unique_ptr<TransportOutput> OpenOutput(const TransportPort& port, TransportError* error) = 0;
};

}  // namespace r9

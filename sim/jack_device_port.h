// The far end of a MIDI cable on a JACK server: a client with one MIDI input port (what the
// host sends) and one MIDI output port (what goes to the host), for a device model that runs
// as a program of its own. The host connects its ports to these.
//
// Whatever arrives is read as a MIDI byte stream, so a SysEx that the host's side wrote in
// several events comes back whole: the receiver gets each whole message (a SysEx from F0 to
// F7, or a short message), on a thread of the port's own, one at a time and in order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace r9 {

class JackMidiClient;

class JackDevicePort {
 public:
  using Receiver = std::function<void(const uint8_t* bytes, size_t length)>;

  // Connects to the server as clientName (the server may give another name when it is taken)
  // with the two ports. Null, with the reason in *error, when no server runs.
  static std::unique_ptr<JackDevicePort> Open(const std::string& clientName, const std::string& inPortName,
                                              const std::string& outPortName, Receiver receiver, std::string* error);
  // Stops the receiving thread and leaves the server.
  ~JackDevicePort();
  JackDevicePort(const JackDevicePort&) = delete;
  JackDevicePort& operator=(const JackDevicePort&) = delete;

  const std::string& ClientName() const;
  // Sends one message to whoever is connected to the output port; returns true once the
  // server's process callback has written it, false when the server has gone.
  bool Send(const uint8_t* bytes, size_t length);
  // Waits until the server has run a few more periods, so that what Send wrote has reached
  // the connected ports before the client leaves.
  void Settle();
  bool ServerGone() const;
  uint64_t InputOverflows() const;
  // Events taken from the input port so far (a message the host wrote whole is one event).
  uint64_t InputEvents() const;

 private:
  JackDevicePort(std::unique_ptr<JackMidiClient> client, Receiver receiver);
  void ReadLoop();

  std::unique_ptr<JackMidiClient> client_;
  const Receiver receiver_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

}  // namespace r9

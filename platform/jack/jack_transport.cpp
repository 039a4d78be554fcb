#include "platform/jack/jack_transport.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/emulated_midi_api.h"
#include "platform/jack/jack_midi_client.h"
#include "platform/jack/jack_port_names.h"

namespace r9 {
namespace {

const char kOwnInPort[] = "midi_in";
const char kOwnOutPort[] = "midi_out";

TransportError ServerGone() { return {MMSYSERR_NODRIVER, "the JACK server has gone"}; }

// What arrives on the program's input port goes to the sink, read by a thread of its own.
class JackInput final : public TransportInput {
 public:
  JackInput(std::shared_ptr<JackMidiClient> client, std::string source, TransportSink sink,
            std::shared_ptr<std::atomic<bool>> inUse)
      : client_(std::move(client)), source_(std::move(source)), sink_(std::move(sink)), inUse_(std::move(inUse)) {
    reader_ = std::thread([this] { Read(); });
  }
  ~JackInput() override {
    stop_.store(true);
    client_->WakeReader();
    reader_.join();
    client_->EnableInput(false);
    if (!client_->ServerGone()) client_->Disconnect(source_, client_->InputPortName());
    inUse_->store(false);
  }
  TransportError Failure() const override { return client_->ServerGone() ? ServerGone() : TransportError{}; }

 private:
  void Read() {
    std::vector<uint8_t> buffer(8192);
    while (!stop_.load()) {
      const size_t n = client_->ReadInput(buffer.data(), buffer.size(), std::chrono::milliseconds(50));
      if (n > 0) {
        sink_(buffer.data(), n);
      } else if (client_->ServerGone()) {
        // Nothing more arrives, as from a device that was unplugged; wait for the close.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }

  const std::shared_ptr<JackMidiClient> client_;
  const std::string source_;
  const TransportSink sink_;
  const std::shared_ptr<std::atomic<bool>> inUse_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

// A send returns once the process callback has written the message into the port's buffer,
// or with the reason it has not.
class JackOutput final : public TransportOutput {
 public:
  JackOutput(std::shared_ptr<JackMidiClient> client, std::string destination, std::shared_ptr<std::atomic<bool>> inUse)
      : client_(std::move(client)), destination_(std::move(destination)), inUse_(std::move(inUse)) {}
  ~JackOutput() override {
    if (!client_->ServerGone()) client_->Disconnect(client_->OutputPortName(), destination_);
    inUse_->store(false);
  }
  TransportError Send(const uint8_t* bytes, size_t length, std::chrono::milliseconds bound) override {
    abort_.store(closed_.load());
    const auto result = client_->Send(bytes, length, &abort_, bound);
    if (result == JackMidiClient::SendResult::kWritten) return {};
    return {result == JackMidiClient::SendResult::kServerGone ? MMSYSERR_NODRIVER : MMSYSERR_ERROR,
            std::string("send failed: ") + JackMidiClient::ResultText(result)};
  }
  void Interrupt() override { abort_.store(true); }
  void Close() override {
    closed_.store(true);
    abort_.store(true);
  }
  TransportError Failure() const override { return client_->ServerGone() ? ServerGone() : TransportError{}; }

 private:
  const std::shared_ptr<JackMidiClient> client_;
  const std::string destination_;
  const std::shared_ptr<std::atomic<bool>> inUse_;
  std::atomic<bool> abort_{false};
  std::atomic<bool> closed_{false};
};

class JackTransport final : public MidiTransport {
 public:
  void SetClientName(const std::string& name) {
    std::lock_guard lock(mutex_);
    clientName_ = name;
  }

  const char* Name() const override { return "jack"; }

  std::vector<TransportPort> List(bool outputs, TransportError* /*problem*/) override {
    std::lock_guard lock(mutex_);
    // Connects when not connected (again, after the server went away and nothing is open).
    // Whether a server runs is the library's to say (it starts none), so jackd and any other
    // server of the protocol are both found; no server is no problem, just no ports.
    if (client_ && client_->ServerGone() && !inUse_[0]->load() && !inUse_[1]->load()) client_.reset();
    if (!client_) {
      std::string error;
      client_ = JackMidiClient::Open(clientName_, &error);
    }
    std::vector<JackPortEntry> ports;
    if (client_ && !client_->ServerGone()) ports = client_->OtherPorts(!outputs);
    const std::vector<std::string> names = JackListNames(ports);
    std::vector<TransportPort> list;
    for (size_t i = 0; i < ports.size(); ++i) list.push_back({ports[i].fullName, names[i]});
    return list;
  }

  std::unique_ptr<TransportInput> OpenInput(const TransportPort& port, TransportSink sink,
                                            TransportError* error) override {
    std::lock_guard lock(mutex_);
    if (!Reserve(false, port, kOwnInPort, error)) return nullptr;
    client_->EnableInput(true);
    if (!client_->Connect(port.id, client_->InputPortName())) {
      client_->EnableInput(false);
      inUse_[0]->store(false);
      *error = Gone(port);
      return nullptr;
    }
    return std::make_unique<JackInput>(client_, port.id, std::move(sink), inUse_[0]);
  }

  std::unique_ptr<TransportOutput> OpenOutput(const TransportPort& port, TransportError* error) override {
    std::lock_guard lock(mutex_);
    if (!Reserve(true, port, kOwnOutPort, error)) return nullptr;
    if (!client_->Connect(client_->OutputPortName(), port.id)) {
      inUse_[1]->store(false);
      *error = Gone(port);
      return nullptr;
    }
    return std::make_unique<JackOutput>(client_, port.id, inUse_[1]);
  }

 private:
  static TransportError Gone(const TransportPort& port) {
    return {MMSYSERR_BADDEVICEID, "cannot open " + port.name + ": the port has gone"};
  }

  // Takes the program's own port of the direction, registering it on first use. Caller holds
  // mutex_.
  bool Reserve(bool output, const TransportPort& port, const char* ownPort, TransportError* error) {
    if (inUse_[output]->load()) {
      *error = {MMSYSERR_ALLOCATED, "cannot open " + port.name + ": the program's port is in use"};
      return false;
    }
    if (!client_ || client_->ServerGone()) {
      *error = ServerGone();
      return false;
    }
    if (!(output ? client_->AddOutputPort(ownPort) : client_->AddInputPort(ownPort))) {
      *error = {MMSYSERR_NOMEM, std::string("cannot register the program's port ") + ownPort};
      return false;
    }
    inUse_[output]->store(true);
    return true;
  }

  std::mutex mutex_;
  std::string clientName_ = "R9 Updater";
  std::shared_ptr<JackMidiClient> client_;
  // Whether the program's input [0] and output [1] port are taken; cleared by the port.
  const std::shared_ptr<std::atomic<bool>> inUse_[2] = {std::make_shared<std::atomic<bool>>(false),
                                                        std::make_shared<std::atomic<bool>>(false)};
};

JackTransport& Transport() {
  static JackTransport transport;
  return transport;
}

}  // namespace

MidiTransport& JackMidiTransport() { return Transport(); }

MidiApi& JackMidiApi() {
  static EmulatedMidiApi api({&Transport()});
  return api;
}

void SetJackClientName(const std::string& name) { Transport().SetClientName(name); }

}  // namespace r9

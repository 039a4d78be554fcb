#include "platform/jack/jack_midi_api.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/backend_log.h"
#include "platform/driver_emulation.h"
#include "platform/jack/jack_midi_client.h"
#include "platform/jack/jack_port_names.h"
#include "platform/midi_error_text.h"
#include "platform/output_emulation.h"
#include "platform/port_name.h"

namespace r9 {
namespace {

const char kOwnInPort[] = "midi_in";
const char kOwnOutPort[] = "midi_out";

class JackBackend final : public MidiApi {
 public:
  ~JackBackend() override {
    std::lock_guard lock(mutex_);
    CloseInLocked(true);
    CloseOutLocked(true);
  }

  void SetClientName(const std::string& name) {
    std::lock_guard lock(mutex_);
    clientName_ = name;
  }

  uint32_t midiInGetNumDevs() override {
    std::lock_guard lock(mutex_);
    Refresh(true);
    return uint32_t(inPorts_.size());
  }

  MMRESULT midiInGetDevCapsA(uintptr_t deviceId, MIDIINCAPSA* caps, uint32_t size) override {
    if (caps == nullptr || size < sizeof(MIDIINCAPSA)) return MMSYSERR_INVALPARAM;
    std::lock_guard lock(mutex_);
    if (deviceId >= inNames_.size()) return MMSYSERR_BADDEVICEID;
    *caps = MIDIINCAPSA{};
    CopyPortName(inNames_[deviceId], caps->szPname, kMaxPnameLen);
    return MMSYSERR_NOERROR;
  }

  MMRESULT midiInOpen(HMIDIIN* handle, uint32_t deviceId, MidiInProcType callback, uintptr_t instance,
                      uint32_t flags) override {
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    if (flags != CALLBACK_NULL && flags != CALLBACK_FUNCTION) return MMSYSERR_INVALPARAM;
    if (flags == CALLBACK_NULL) callback = nullptr;
    std::lock_guard lock(mutex_);
    if (deviceId >= inPorts_.size()) return MMSYSERR_BADDEVICEID;
    if (in_) return MMSYSERR_ALLOCATED;  // the program has one input port of its own
    if (!client_ || client_->ServerGone()) return MMSYSERR_NODRIVER;
    if (!client_->AddInputPort(kOwnInPort)) return MMSYSERR_NOMEM;
    auto in = std::make_unique<In>();
    in->client = client_;
    in->source = inPorts_[deviceId].fullName;
    in->value = nextHandle_++;
    client_->EnableInput(true);
    if (!client_->Connect(in->source, client_->InputPortName())) {
      client_->EnableInput(false);
      return MMSYSERR_BADDEVICEID;  // the port went away since the list was made
    }
    in->driver = std::make_shared<MidiInputEmulation>(reinterpret_cast<HMIDIIN>(in->value), callback, instance);
    In* raw = in.get();
    in->reader = std::thread([raw] { ReadLoop(raw); });
    *handle = reinterpret_cast<HMIDIIN>(in->value);
    in_ = std::move(in);
    return MMSYSERR_NOERROR;
  }

  MMRESULT midiInClose(HMIDIIN handle) override {
    std::shared_ptr<MidiInputEmulation> driver = FindIn(handle);
    if (!driver) return MMSYSERR_INVALHANDLE;
    // Outside the lock: the close waits for a callback that may be listing the ports.
    const MMRESULT result = driver->Close();
    if (result != MMSYSERR_NOERROR) return result;
    std::lock_guard lock(mutex_);
    if (in_ && in_->driver == driver) CloseInLocked(false);
    return MMSYSERR_NOERROR;
  }

  MMRESULT midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) override {
    if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    auto driver = FindIn(handle);
    return driver ? driver->PrepareHeader(header) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header, uint32_t size) override {
    if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    auto driver = FindIn(handle);
    return driver ? driver->UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, uint32_t size) override {
    if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    auto driver = FindIn(handle);
    return driver ? driver->AddBuffer(header) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiInStart(HMIDIIN handle) override {
    auto driver = FindIn(handle);
    return driver ? driver->Start() : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiInStop(HMIDIIN handle) override {
    auto driver = FindIn(handle);
    return driver ? driver->Stop() : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiInReset(HMIDIIN handle) override {
    auto driver = FindIn(handle);
    return driver ? driver->Reset() : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiInGetErrorTextA(MMRESULT code, char* text, uint32_t size) override {
    return MidiErrorText(code, text, size);
  }

  uint32_t midiOutGetNumDevs() override {
    std::lock_guard lock(mutex_);
    Refresh(false);
    return uint32_t(outPorts_.size());
  }

  MMRESULT midiOutGetDevCapsA(uintptr_t deviceId, MIDIOUTCAPSA* caps, uint32_t size) override {
    if (caps == nullptr || size < sizeof(MIDIOUTCAPSA)) return MMSYSERR_INVALPARAM;
    std::lock_guard lock(mutex_);
    if (deviceId >= outNames_.size()) return MMSYSERR_BADDEVICEID;
    *caps = MIDIOUTCAPSA{};
    CopyPortName(outNames_[deviceId], caps->szPname, kMaxPnameLen);
    return MMSYSERR_NOERROR;
  }

  bool midiOutSignalsDone(uint32_t /*deviceId*/) override { return true; }

  MMRESULT midiOutOpen(HMIDIOUT* handle, uint32_t deviceId, uintptr_t callback, uintptr_t /*instance*/,
                       uint32_t flags) override {
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    if (flags != CALLBACK_NULL && flags != CALLBACK_EVENT) return MMSYSERR_INVALPARAM;
    if (flags == CALLBACK_EVENT && callback == 0) return MMSYSERR_INVALPARAM;
    std::lock_guard lock(mutex_);
    if (deviceId >= outPorts_.size()) return MMSYSERR_BADDEVICEID;
    if (out_) return MMSYSERR_ALLOCATED;
    if (!client_ || client_->ServerGone()) return MMSYSERR_NODRIVER;
    if (!client_->AddOutputPort(kOwnOutPort)) return MMSYSERR_NOMEM;
    auto out = std::make_unique<Out>();
    out->client = client_;
    out->destination = outPorts_[deviceId].fullName;
    out->value = nextHandle_++;
    if (!client_->Connect(client_->OutputPortName(), out->destination)) return MMSYSERR_BADDEVICEID;
    std::shared_ptr<JackMidiClient> client = client_;
    std::shared_ptr<std::atomic<bool>> abort = out->abort;
    // The driver thread hands each message to the process callback and returns only once the
    // message is in the port's buffer, or with the reason it is not: the header then comes
    // back failed, and the reason goes to the log.
    out->driver = std::make_shared<MidiOutputEmulation>([client, abort](std::vector<uint8_t> message) {
      const auto result = client->Send(message.data(), message.size(), abort.get());
      if (result == JackMidiClient::SendResult::kWritten) return true;
      const std::string text = std::string("send failed: ") + JackMidiClient::ResultText(result);
      LogBackendMessage("jack", text.c_str());
      return false;
    });
    if (flags == CALLBACK_EVENT) out->driver->SetDoneEvent(reinterpret_cast<ReplyEvent*>(callback));
    *handle = reinterpret_cast<HMIDIOUT>(out->value);
    out_ = std::move(out);
    return MMSYSERR_NOERROR;
  }

  MMRESULT midiOutClose(HMIDIOUT handle) override {
    std::shared_ptr<MidiOutputEmulation> driver;
    {
      std::lock_guard lock(mutex_);
      if (!out_ || out_->value != reinterpret_cast<uintptr_t>(handle)) return MMSYSERR_INVALHANDLE;
      driver = out_->driver;
      out_->abort->store(true);  // a message still on its way is given up
    }
    MMRESULT result = driver->Close();
    if (result == MIDIERR_STILLPLAYING) {
      driver->Reset();
      result = driver->Close();
    }
    if (result != MMSYSERR_NOERROR) return result;
    std::lock_guard lock(mutex_);
    if (out_ && out_->driver == driver) CloseOutLocked(false);
    return MMSYSERR_NOERROR;
  }

  MMRESULT midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override {
    if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    auto driver = FindOut(handle);
    return driver ? driver->PrepareHeader(header) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override {
    if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    auto driver = FindOut(handle);
    return driver ? driver->UnprepareHeader(header) : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, uint32_t size) override {
    if (size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    bool gone = false;
    auto driver = FindOut(handle, &gone);
    if (!driver) return MMSYSERR_INVALHANDLE;
    if (gone) return MMSYSERR_NODRIVER;  // the server went away: like a device unplugged
    return driver->LongMsg(header);
  }
  MMRESULT midiOutShortMsg(HMIDIOUT handle, uint32_t message) override {
    bool gone = false;
    auto driver = FindOut(handle, &gone);
    if (!driver) return MMSYSERR_INVALHANDLE;
    if (gone) return MMSYSERR_NODRIVER;
    return driver->ShortMsg(message);
  }
  MMRESULT midiOutReset(HMIDIOUT handle) override {
    auto driver = FindOut(handle);
    return driver ? driver->Reset() : MMSYSERR_INVALHANDLE;
  }
  MMRESULT midiOutGetErrorTextA(MMRESULT code, char* text, uint32_t size) override {
    return MidiErrorText(code, text, size);
  }

 private:
  struct In {
    uintptr_t value = 0;
    std::shared_ptr<JackMidiClient> client;
    std::string source;
    std::shared_ptr<MidiInputEmulation> driver;
    std::atomic<bool> stop{false};
    std::thread reader;
  };
  struct Out {
    uintptr_t value = 0;
    std::shared_ptr<JackMidiClient> client;
    std::string destination;
    std::shared_ptr<MidiOutputEmulation> driver;
    std::shared_ptr<std::atomic<bool>> abort = std::make_shared<std::atomic<bool>>(false);
  };

  // Feeds what arrives on the program's input port to the driver emulation, which parses it
  // (a SysEx may come in several events) and hands it to the host on its own thread.
  static void ReadLoop(In* in) {
    std::vector<uint8_t> buffer(8192);
    while (!in->stop.load()) {
      const size_t n = in->client->ReadInput(buffer.data(), buffer.size(), std::chrono::milliseconds(50));
      if (n > 0) {
        in->driver->Feed(buffer.data(), n);
      } else if (in->client->ServerGone()) {
        // Nothing more arrives, as from a device that was unplugged; wait for the close.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }

  // Connects to the server when not connected (again, after it went away and nothing is open)
  // and lists the ports of one direction. The caller holds mutex_.
  void Refresh(bool inputs) {
    if (client_ && client_->ServerGone() && !in_ && !out_) client_.reset();
    // Whether a server runs is the library's to say (it starts none: JackNoStartServer), so
    // jackd and any other server of the protocol are both found.
    if (!client_) {
      std::string error;
      client_ = JackMidiClient::Open(clientName_, &error);
    }
    std::vector<JackPortEntry> ports;
    if (client_ && !client_->ServerGone()) ports = client_->OtherPorts(inputs);
    std::vector<std::string> names = JackListNames(ports);
    if (inputs) {
      inPorts_ = std::move(ports);
      inNames_ = std::move(names);
    } else {
      outPorts_ = std::move(ports);
      outNames_ = std::move(names);
    }
  }

  std::shared_ptr<MidiInputEmulation> FindIn(HMIDIIN handle) {
    std::lock_guard lock(mutex_);
    if (!in_ || in_->value != reinterpret_cast<uintptr_t>(handle)) return nullptr;
    return in_->driver;
  }

  std::shared_ptr<MidiOutputEmulation> FindOut(HMIDIOUT handle, bool* gone = nullptr) {
    std::lock_guard lock(mutex_);
    if (!out_ || out_->value != reinterpret_cast<uintptr_t>(handle)) return nullptr;
    if (gone) *gone = out_->client->ServerGone();
    return out_->driver;
  }

  // The caller holds mutex_; the driver is closed (or, at exit, goes with its handle).
  void CloseInLocked(bool exiting) {
    if (!in_) return;
    in_->stop.store(true);
    in_->client->WakeReader();
    if (in_->reader.joinable()) in_->reader.join();
    in_->client->EnableInput(false);
    if (!exiting) in_->client->Disconnect(in_->source, in_->client->InputPortName());
    in_.reset();
  }

  void CloseOutLocked(bool exiting) {
    if (!out_) return;
    out_->abort->store(true);
    if (!exiting) out_->client->Disconnect(out_->client->OutputPortName(), out_->destination);
    out_.reset();
  }

  std::mutex mutex_;
  std::string clientName_ = "R9 Updater";
  std::shared_ptr<JackMidiClient> client_;
  std::vector<JackPortEntry> inPorts_, outPorts_;
  std::vector<std::string> inNames_, outNames_;
  std::unique_ptr<In> in_;
  std::unique_ptr<Out> out_;
  uintptr_t nextHandle_ = 0x100;
};

JackBackend& Backend() {
  static JackBackend backend;
  return backend;
}

}  // namespace

MidiApi& JackMidiApi() { return Backend(); }

void SetJackClientName(const std::string& name) { Backend().SetClientName(name); }

}  // namespace r9

// The table of cases that every emulated backend passes (tests/platform/midi_contract.h), for
// the in-process virtual bus and the ALSA raw MIDI backend over its scripted stand-in.
#include "tests/platform/midi_contract.h"

#include <cerrno>
#include <mutex>
#include <string>

#include "platform/alsa/alsa_midi_backend.h"
#include "platform/virtual_bus.h"
#include "tests/platform/alsa/scripted_alsa.h"

namespace r9::test {
namespace {

class VirtualFarEnd : public FarEnd {
 public:
  VirtualFarEnd() : bus_(VirtualMidiBus::Create()), endpoint_(bus_->Attach("KORVEN R9")) {
    endpoint_->SetReceiver([this](const uint8_t* bytes, size_t length) {
      std::lock_guard lock(mutex_);
      received_.insert(received_.end(), bytes, bytes + length);
    });
  }
  MidiApi& Api() override { return *bus_; }
  void Send(const std::vector<Bytes>& pieces) override {
    for (const Bytes& piece : pieces) endpoint_->SendToHost(piece.data(), piece.size());
  }
  Bytes Received() override {
    std::lock_guard lock(mutex_);
    return received_;
  }
  void Fail() override { endpoint_->Detach(); }
  bool Block() override {
    endpoint_->SetTiming(LinkTiming{0.001, 0});
    return true;
  }
  void Remove() override { endpoint_->Detach(); }

 private:
  std::unique_ptr<VirtualMidiBus> bus_;
  std::shared_ptr<VirtualEndpoint> endpoint_;
  std::mutex mutex_;
  Bytes received_;
};

class AlsaFarEnd : public FarEnd {
 public:
  AlsaFarEnd() {
    alsa_.SetCards({{1, {{0, "KORVEN R9", {"KORVEN R9 MIDI 1"}, {"KORVEN R9 MIDI 1"}}}}});
    backend_ = std::make_unique<AlsaMidiBackend>(ScriptedAlsa::Lib());
  }
  ~AlsaFarEnd() override { backend_.reset(); }
  MidiApi& Api() override { return *backend_; }
  void Send(const std::vector<Bytes>& pieces) override {
    for (const Bytes& piece : pieces) alsa_.Deliver(kDevice, piece);
  }
  Bytes Received() override { return alsa_.Written(kDevice); }
  void Fail() override { alsa_.Unplug(kDevice); }
  bool Block() override {
    alsa_.Stick(kDevice);
    return true;
  }
  void Remove() override {
    alsa_.SetCards({});
    alsa_.FailOpen(kDevice, -ENODEV);
  }

 private:
  static constexpr const char* kDevice = "hw:1,0,0";
  ScriptedAlsa alsa_;
  std::unique_ptr<AlsaMidiBackend> backend_;
};

INSTANTIATE_TEST_SUITE_P(Backends, MidiContractTest,
                         testing::Values(Backend{"VirtualBus", [] { return std::make_unique<VirtualFarEnd>(); }},
                                         Backend{"AlsaStandIn", [] { return std::make_unique<AlsaFarEnd>(); }}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace r9::test

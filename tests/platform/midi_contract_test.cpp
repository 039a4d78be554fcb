// The table of cases that every transport passes (tests/platform/midi_contract.h), for the
// in-process virtual bus and the transport fake, each under the one driver emulation.
#include "tests/platform/midi_contract.h"

#include <mutex>
#include <string>

#include "platform/emulated_midi_api.h"
#include "platform/fake/fake_transport.h"
#include "platform/virtual_bus.h"

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

class FakeFarEnd : public FarEnd {
 public:
  MidiApi& Api() override { return api_; }
  void Send(const std::vector<Bytes>& pieces) override {
    for (const Bytes& piece : pieces) transport_.Deliver(kId, piece);
  }
  Bytes Received() override { return transport_.Sent(kId); }
  void Fail() override { transport_.SetLink(FakeTransport::Link::kFails); }
  bool Block() override {
    transport_.SetLink(FakeTransport::Link::kBlocks);
    return true;
  }
  void Remove() override { transport_.SetPorts({}); }

 private:
  static constexpr const char* kId = "fake:1";
  FakeTransport transport_{{{kId, "KORVEN R9"}}};
  EmulatedMidiApi api_{{&transport_}};
};

INSTANTIATE_TEST_SUITE_P(Backends, MidiContractTest,
                         testing::Values(Backend{"VirtualBus", [] { return std::make_unique<VirtualFarEnd>(); }},
                                         Backend{"TransportFake", [] { return std::make_unique<FakeFarEnd>(); }}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace r9::test

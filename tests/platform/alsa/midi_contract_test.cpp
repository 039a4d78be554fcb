// The table of cases that every transport passes (tests/platform/midi_contract.h), for the ALSA
// raw MIDI transport over its scripted stand-in.
#include "tests/platform/midi_contract.h"

#include <cerrno>
#include <mutex>
#include <string>

#include "platform/alsa/alsa_transport.h"
#include "tests/platform/alsa/scripted_alsa.h"

namespace r9::test {
namespace {

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
                         testing::Values(Backend{"AlsaStandIn", [] { return std::make_unique<AlsaFarEnd>(); }}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace r9::test

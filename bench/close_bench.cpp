// How long the window's Exit waits for a MIDI OUT port to close while a send is stuck: the
// device takes nothing (a cable whose far end stopped reading), a 4096-byte block waits in the
// send, and the port is closed from another thread, as the window's thread does. The close must
// not wait for the device; the send then fails. Each backend that can be made to take nothing
// without a device is measured: the in-process virtual bus, and ALSA raw MIDI over the scripted
// stand-in for alsa-lib that its tests use (the transport's own code, a write that never moves).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "midi/dx_midi_out.h"
#include "platform/virtual_bus.h"
#ifdef R9_HAVE_ALSA
#include "platform/alsa/alsa_transport.h"
#include "tests/platform/alsa/scripted_alsa.h"
#endif

namespace r9::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Opens OUT port 0 of api, makes the device take nothing (block), starts a send of one block
// and, once the driver holds it, times the close. False when something did not go as it must.
bool TimeOneClose(MidiApi& api, const std::function<void()>& block, double* closeUs) {
  CDxMidiOut out(api);
  if (out.GetDeviceCount() < 1 || !out.Open(0)) return false;
  out.SetSendTimeout(600000);
  block();
  std::vector<uint8_t> frame(8192, 0x55);
  frame.front() = 0xF0;
  frame.back() = 0xF7;
  MIDIHDR header;
  header.lpData = reinterpret_cast<char*>(frame.data());
  header.dwBufferLength = uint32_t(frame.size());
  std::atomic<int> sent{-1};
  std::thread sender([&] { sent.store(out.SendLongMessage(&header) ? 1 : 0); });
  while ((header.dwFlags.load() & MHDR_INQUEUE) == 0) std::this_thread::yield();
  // The send is in the driver; give it a moment to reach the stuck write.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const Clock::time_point start = Clock::now();
  const bool closed = out.Close();
  *closeUs = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  sender.join();
  return closed && sent.load() == 0;
}

void Report(benchmark::State& state, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) return;
  state.counters["close_median_us"] = samples[samples.size() / 2];
  state.counters["close_max_us"] = samples.back();
  state.counters["closes"] = double(samples.size());
}

void BM_CloseDuringStuckSend_VirtualBus(benchmark::State& state) {
  std::vector<double> samples;
  for (auto _ : state) {
    std::unique_ptr<VirtualMidiBus> bus = VirtualMidiBus::Create();
    std::shared_ptr<VirtualEndpoint> device = bus->Attach("KORVEN R9");
    double us = 0;
    // One byte in a thousand seconds: the link takes nothing while the close is timed.
    if (!TimeOneClose(*bus, [&] { device->SetTiming(LinkTiming{0.001, 0}); }, &us)) {
      state.SkipWithError("the stuck send did not fail, or the port did not close");
      return;
    }
    samples.push_back(us);
  }
  Report(state, samples);
}
BENCHMARK(BM_CloseDuringStuckSend_VirtualBus)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

#ifdef R9_HAVE_ALSA
void BM_CloseDuringStuckSend_AlsaStandIn(benchmark::State& state) {
  std::vector<double> samples;
  for (auto _ : state) {
    test::ScriptedAlsa alsa;
    alsa.SetCards({{1, {{0, "KORVEN R9", {"KORVEN R9 MIDI 1"}, {"KORVEN R9 MIDI 1"}}}}});
    AlsaMidiBackend backend(test::ScriptedAlsa::Lib());
    double us = 0;
    if (!TimeOneClose(backend, [&] { alsa.Stick("hw:1,0,0"); }, &us)) {
      state.SkipWithError("the stuck send did not fail, or the port did not close");
      return;
    }
    samples.push_back(us);
  }
  Report(state, samples);
}
BENCHMARK(BM_CloseDuringStuckSend_AlsaStandIn)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace
}  // namespace r9::bench

// One image written against an echo on a virtual bus of its own (a device that answers every
// Write-block at once: no link time, no flash time), with the moments the host handed each
// block to the driver, queued each answer and dispatched it. Shared by the round-trip benchmark
// and the plain timing program that also runs under Wine.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "bench/bench_support.h"
#include "firmware/image_set.h"
#include "platform/virtual_bus.h"
#include "protocol/frames.h"
#include "updater/r9_updater_dlg.h"

namespace r9::bench {

constexpr uint32_t kImageId = 136;  // the largest image: 564 blocks
constexpr uint32_t kImageAddress = 0x1CC000;

struct Samples {
  std::vector<double> outToDispatched, ackInToOut, cycle;
};

// One image written against the echo; false when the write failed.
inline bool WriteOnce(const Timings& timings, Samples* samples) {
  auto bus = VirtualMidiBus::Create();
  std::shared_ptr<VirtualEndpoint> echo = bus->Attach("ECHO");
  if (!echo) return false;
  VirtualEndpoint* far = echo.get();
  far->SetReceiver([far](const uint8_t* m, size_t n) {
    if (n > 5 && m[0] == kSysExStart && m[1] == kMakerId && m[4] == kSubWriteBlock) {
      uint8_t ack[8];
      far->SendToHost(ack, BuildAcknowledge(ack, m[3]));
    }
  });

  std::mutex mutex;
  std::vector<Clock::time_point> out, in, dispatched;
  QuietView view;
  DialogConfig config;
  config.midi = bus.get();
  config.timings = timings;
  bool ok = false;
  {
    CR9UpdaterDlg dialog(view, config);
    dialog.MidiOutPort().SetSendObserver([&](const uint8_t*, size_t) {
      const auto now = Clock::now();
      std::lock_guard lock(mutex);
      out.push_back(now);
    });
    dialog.MidiInPort().SetReceiveObserver([&](const uint8_t*, size_t) {
      const auto now = Clock::now();
      std::lock_guard lock(mutex);
      in.push_back(now);
    });
    dialog.SetDispatchObserver([&](const uint8_t*, size_t) {
      const auto now = Clock::now();
      std::lock_guard lock(mutex);
      dispatched.push_back(now);
    });
    dialog.OnInitDialog();
    if (dialog.OpenPorts() == 0) ok = dialog.WriteImage(kImageAddress, 0, kImageId) == 0;
    dialog.ClosePorts();
  }
  echo->Detach();

  std::lock_guard lock(mutex);
  if (!ok || out.size() != in.size() || out.size() != dispatched.size()) return false;
  for (size_t i = 0; i < out.size(); ++i) {
    samples->outToDispatched.push_back(Micros(dispatched[i] - out[i]));
    if (i + 1 < out.size()) {
      samples->ackInToOut.push_back(Micros(out[i + 1] - in[i]));
      samples->cycle.push_back(Micros(out[i + 1] - out[i]));
    }
  }
  return true;
}

}  // namespace r9::bench

// The whole receive path on arbitrary bytes from the cable: the driver emulation's stream
// parser splits them into messages and fills the input port's receive buffer, the port queues
// each message in a block of exactly its length, and the hub's dispatcher acts on them while a
// worker waits for a Read reply. The address sanitizer catches a read past a message or a
// write past ReadBuffer; a missing message boundary or a worker that never wakes is a hang,
// reported as a finding.
//
// Input: one control byte, then the byte stream. A control byte A0 to AF first fills ReadBuffer
// with (control & 0F) Read replies of 7000 bytes each, so that the stream's own replies meet a
// nearly full buffer.
//
// The hub's input port runs over the virtual bus (its driver emulation is the receive path under
// test); its output port over a stand-in that takes every frame at once, since what the hub
// sends does not matter here and a real send waits for the driver. The dispatcher's timer is a
// recording fake: the ticks run on this thread when every message of the input has been queued,
// so each input is dispatched whole.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/virtual_bus.h"
#include "protocol/codec.h"
#include "protocol/frames.h"
#include "tests/fakes/recording_timer_api.h"
#include "updater/dialog_view.h"
#include "updater/r9_updater_dlg.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Nothing is shown; the port lists keep their selection so that the ports can be opened.
class NullView final : public r9::DialogView {
 public:
  void ResetList(r9::PortList list) override { Sel(list) = -1; }
  void AddListItem(r9::PortList, const std::string&) override {}
  void SetSelection(r9::PortList list, int index) override { Sel(list) = index; }
  int GetSelection(r9::PortList list) override { return Sel(list); }
  void EnableControl(r9::Control, bool) override {}
  void SetTitle(const std::string&) override {}
  void SetStatusLine(const std::string&) override {}
  void SetStepCounter(const std::string&) override {}
  void SetProgressRange(int32_t) override {}
  void SetProgressPos(int32_t) override {}
  void ShowMessageBox(const std::string&, const std::string&, r9::BoxIcon) override {}
  void PostVersionCheckDone(int32_t) override {}
  void ShowAbout() override {}

 private:
  std::atomic<int>& Sel(r9::PortList list) { return list == r9::PortList::In ? in_ : out_; }
  std::atomic<int> in_{-1};
  std::atomic<int> out_{-1};
};

// MIDI IN from the bus; MIDI OUT lists the bus's names (so the device's ports are preselected)
// and takes every long message at once, telling the harness about the worker's Read requests.
class InputFromBus final : public r9::MidiApi {
 public:
  InputFromBus(r9::MidiApi& bus, std::function<void(const uint8_t*, size_t)> sent)
      : bus_(bus), sent_(std::move(sent)) {}

  uint32_t midiInGetNumDevs() override { return bus_.midiInGetNumDevs(); }
  r9::MMRESULT midiInGetDevCapsA(uintptr_t id, r9::MIDIINCAPSA* caps, uint32_t size) override {
    return bus_.midiInGetDevCapsA(id, caps, size);
  }
  r9::MMRESULT midiInOpen(r9::HMIDIIN* handle, uint32_t id, r9::MidiInProcType callback, uintptr_t instance,
                          uint32_t flags) override {
    return bus_.midiInOpen(handle, id, callback, instance, flags);
  }
  r9::MMRESULT midiInClose(r9::HMIDIIN handle) override { return bus_.midiInClose(handle); }
  r9::MMRESULT midiInPrepareHeader(r9::HMIDIIN handle, r9::MIDIHDR* header, uint32_t size) override {
    return bus_.midiInPrepareHeader(handle, header, size);
  }
  r9::MMRESULT midiInUnprepareHeader(r9::HMIDIIN handle, r9::MIDIHDR* header, uint32_t size) override {
    return bus_.midiInUnprepareHeader(handle, header, size);
  }
  r9::MMRESULT midiInAddBuffer(r9::HMIDIIN handle, r9::MIDIHDR* header, uint32_t size) override {
    return bus_.midiInAddBuffer(handle, header, size);
  }
  r9::MMRESULT midiInStart(r9::HMIDIIN handle) override { return bus_.midiInStart(handle); }
  r9::MMRESULT midiInStop(r9::HMIDIIN handle) override { return bus_.midiInStop(handle); }
  r9::MMRESULT midiInReset(r9::HMIDIIN handle) override { return bus_.midiInReset(handle); }
  r9::MMRESULT midiInGetErrorTextA(r9::MMRESULT code, char* text, uint32_t size) override {
    return bus_.midiInGetErrorTextA(code, text, size);
  }

  uint32_t midiOutGetNumDevs() override { return bus_.midiOutGetNumDevs(); }
  r9::MMRESULT midiOutGetDevCapsA(uintptr_t id, r9::MIDIOUTCAPSA* caps, uint32_t size) override {
    return bus_.midiOutGetDevCapsA(id, caps, size);
  }
  r9::MMRESULT midiOutOpen(r9::HMIDIOUT* handle, uint32_t, uintptr_t, uintptr_t, uint32_t) override {
    *handle = reinterpret_cast<r9::HMIDIOUT>(uintptr_t(0x2001));
    return r9::MMSYSERR_NOERROR;
  }
  r9::MMRESULT midiOutClose(r9::HMIDIOUT) override { return r9::MMSYSERR_NOERROR; }
  r9::MMRESULT midiOutPrepareHeader(r9::HMIDIOUT, r9::MIDIHDR* header, uint32_t) override {
    header->dwFlags.fetch_or(r9::MHDR_PREPARED);
    return r9::MMSYSERR_NOERROR;
  }
  r9::MMRESULT midiOutUnprepareHeader(r9::HMIDIOUT, r9::MIDIHDR* header, uint32_t) override {
    header->dwFlags.fetch_and(~r9::MHDR_PREPARED);
    return r9::MMSYSERR_NOERROR;
  }
  r9::MMRESULT midiOutLongMsg(r9::HMIDIOUT, r9::MIDIHDR* header, uint32_t) override {
    sent_(reinterpret_cast<const uint8_t*>(header->lpData), header->dwBufferLength);
    header->dwFlags.fetch_or(r9::MHDR_DONE);
    return r9::MMSYSERR_NOERROR;
  }
  r9::MMRESULT midiOutShortMsg(r9::HMIDIOUT, uint32_t) override { return r9::MMSYSERR_NOERROR; }
  r9::MMRESULT midiOutReset(r9::HMIDIOUT) override { return r9::MMSYSERR_NOERROR; }
  r9::MMRESULT midiOutGetErrorTextA(r9::MMRESULT code, char* text, uint32_t size) override {
    return bus_.midiOutGetErrorTextA(code, text, size);
  }

 private:
  r9::MidiApi& bus_;
  std::function<void(const uint8_t*, size_t)> sent_;
};

[[noreturn]] void Hang(const char* what) {
  std::fprintf(stderr, "receive path hangs: %s\n", what);
  std::abort();
}

Bytes ReadReply(const Bytes& data) {
  Bytes frame(r9::ReadReplyLength(data.size()));
  r9::BuildReadReply(frame.data(), 0x3A, data.data(), data.size());
  return frame;
}

class Harness {
 public:
  Harness() {
    endpoint_ = bus_->Attach("KORVEN R9");
    if (!endpoint_) Hang("cannot attach the far end");
    api_ = std::make_unique<InputFromBus>(*bus_, [this](const uint8_t* m, size_t n) {
      // The worker's Read request has gone out: it waits (or is about to).
      if (n == r9::kReadRequestLength && m[4] == r9::kSubMemory && m[5] == r9::kReadSelector) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++readRequests_;
        changed_.notify_all();
      }
    });
    r9::DialogConfig config;
    config.midi = api_.get();
    config.timer = &timer_;
    // Long enough that only a missing reply ends a read with a time-out.
    config.timings.readWaitMs = 20000;
    dialog_ = std::make_unique<r9::CR9UpdaterDlg>(view_, config);
    dialog_->OnInitDialog();
    if (dialog_->OpenPorts() != 0) Hang("cannot open the ports");
    dialog_->MidiInPort().SetReceiveObserver([this](const uint8_t* m, size_t n) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (Bytes(m, m + n) == marker_) {
        ++markersQueued_;
        changed_.notify_all();
      }
    });
    Bytes big(7000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7 + 1);
    prefill_ = ReadReply(big);
  }

  void Run(const uint8_t* data, size_t size) {
    int prefill = 0;
    if (size > 0) {
      if ((data[0] & 0xF0) == 0xA0) prefill = data[0] & 0x0F;
      ++data;
      --size;
    }

    // A worker reads device memory, as the version check and the update's BOOT read do.
    const uint64_t requestsBefore = Requests();
    std::atomic<bool> done{false};
    uint8_t out[4] = {};
    std::thread worker([&] {
      dialog_->ReadDeviceMemory(0x4AFFC, 4, out);
      done.store(true);
    });
    WaitFor([&] { return readRequests_ > requestsBefore; }, "the Read request never left");

    for (int i = 0; i < prefill; ++i) endpoint_->SendToHost(prefill_.data(), prefill_.size());
    if (size > 0) endpoint_->SendToHost(data, size);
    // A Read reply that carries a number no input can predict marks the end of this input's
    // messages; its F0 also ends a SysEx that the input left open. Until the worker has woken,
    // another marker follows each tick: whatever the stream did, one of them ends the read.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!done.load()) {
      SendMarker();
      if (!timer_.Tick(1)) Hang("the dispatcher's timer is not running");
      if (Clock::now() > deadline) Hang("the worker's read never ended");
      for (int i = 0; i < 50 && !done.load(); ++i) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    worker.join();
    // A signal the worker did not take must not end the next input's read at once.
    while (dialog_->WaitForReply(0) == r9::WAIT_OBJECT_0) {
    }
    R9_FUZZ_CHECK(dialog_->GetReadPosition() >= 0 && size_t(dialog_->GetReadPosition()) <= r9::kReadBufferSize);
  }

 private:
  uint64_t Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return readRequests_;
  }

  template <typename Pred>
  void WaitFor(Pred pred, const char* what) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(20), pred)) Hang(what);
  }

  // Sends a fresh marker and waits until the input port has queued it, i.e. every byte before
  // it has become a queue entry.
  void SendMarker() {
    ++serial_;
    const Bytes stamp = {uint8_t(serial_), uint8_t(serial_ >> 8), uint8_t(serial_ >> 16), uint8_t(serial_ >> 24)};
    const Bytes marker = ReadReply(stamp);
    uint64_t before;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      marker_ = marker;
      before = markersQueued_;
    }
    endpoint_->SendToHost(marker.data(), marker.size());
    WaitFor([&] { return markersQueued_ > before; }, "a whole Read reply after the input was never queued");
  }

  // Declared first: goes last.
  std::unique_ptr<r9::VirtualMidiBus> bus_ = r9::VirtualMidiBus::Create();
  r9::RecordingTimerApi timer_;
  NullView view_;
  std::shared_ptr<r9::VirtualEndpoint> endpoint_;
  std::unique_ptr<InputFromBus> api_;

  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t readRequests_ = 0;
  uint64_t markersQueued_ = 0;
  Bytes marker_;
  uint32_t serial_ = 0x1234567;
  Bytes prefill_;

  std::unique_ptr<r9::CR9UpdaterDlg> dialog_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  harness.Run(data, size);
  return 0;
}

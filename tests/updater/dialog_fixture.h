// A dialog wired to a simulated device over a virtual bus of its own, with shrunk timings.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "updater/r9_updater_dlg.h"
#include "platform/virtual_bus.h"
#include "sim/r9_device.h"
#include "sim/sim_options.h"
#include "tests/updater/recording_view.h"

namespace r9::test {

// The waits that tests let run out are shortened; the block wait keeps its real second, so that
// a slow sanitizer build under load never sees a spurious time-out (and a resend) where a test
// counts frames.
inline Timings FastTimings() {
  Timings t;
  t.identifyWaitMs = 1500;
  t.eraseWaitMs = 1500;
  t.readWaitMs = 1500;
  t.resendPauseMs = 1;
  t.enterPauseMs = 1;
  return t;
}

class DialogFixture : public ::testing::Test {
 protected:
  void TearDown() override { Close(); }

  // Attaches a device made from a --simulate option string and opens the dialog.
  void Start(const std::string& simOptions = "", Timings timings = FastTimings(), int instance = 1) {
    SimOptions options;
    std::string error;
    ASSERT_TRUE(ParseSimOptions(simOptions, &options, &error)) << error;
    device = std::make_unique<R9Device>(options);
    const std::string name = instance == 1 ? "KORVEN R9" : "KORVEN R9 (" + std::to_string(instance) + ")";
    ASSERT_TRUE(device->AttachToBus(*bus, name));
    OpenDialog(timings, instance);
  }

  void OpenDialog(Timings timings = FastTimings(), int instance = 1) {
    view.Reset();
    DialogConfig config;
    config.instanceNumber = instance;
    config.timings = timings;
    config.midi = bus.get();
    dialog = std::make_unique<CR9UpdaterDlg>(view, config);
    dialog->OnInitDialog();
  }

  bool Idle() { return !dialog->WorkerRunning() && dialog->GetBusy() == 0; }

  // Runs a command to its end, playing the user-interface thread meanwhile.
  void RunToEnd(void (CR9UpdaterDlg::*command)()) {
    (dialog.get()->*command)();
    ASSERT_TRUE(view.PumpUntil(*dialog, [&] { return Idle(); })) << "the worker did not end";
    dialog->JoinWorker();
  }
  void Execute() { RunToEnd(&CR9UpdaterDlg::OnExecute); }
  void VersionCheck() { RunToEnd(&CR9UpdaterDlg::OnVersionCheck); }

  std::vector<std::string> BoxTexts() {
    std::vector<std::string> texts;
    for (const Box& b : view.Boxes()) texts.push_back(b.text);
    return texts;
  }

  uint32_t FramesOf(HostFrameKind kind) { return device->Counters().Of(kind); }

  bool AllFiveEnabled() {
    for (Control c : {Control::MidiInList, Control::MidiOutList, Control::ExecuteButton, Control::RescanButton,
                      Control::VersionCheckButton})
      if (!view.Enabled(c)) return false;
    return true;
  }

  void Close() {
    view.Close();
    dialog.reset();
    device.reset();
  }

  std::unique_ptr<VirtualMidiBus> bus = VirtualMidiBus::Create();
  RecordingView view;
  std::unique_ptr<R9Device> device;
  std::unique_ptr<CR9UpdaterDlg> dialog;
};

}  // namespace r9::test

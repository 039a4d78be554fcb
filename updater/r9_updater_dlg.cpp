// The dialog's handlers, states and worker services.
#include "updater/r9_updater_dlg.h"

#include <cstdio>
#include <system_error>

#include "updater/strings.h"

namespace r9 {

const std::array<std::string, 3> DefaultPortNames = {
    // "USB audio device" in Japanese, code page 932.
    "\x55\x53\x42\x20\x83\x49\x81\x5B\x83\x66\x83\x42\x83\x49\x20\x83\x66\x83\x6F\x83\x43\x83\x58",
    "USB Audio Device",
    "KORVEN R9",
};
// The same Japanese name as the systems that report port names in UTF-8 spell it.
const char* const kDefaultPortNameUtf8 =
    "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
    "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9";

CR9UpdaterDlg::CR9UpdaterDlg(DialogView& view, const DialogConfig& config)
    : MidiIn(config.midi ? *config.midi : DefaultMidiApi()),
      MidiOut(config.midi ? *config.midi : DefaultMidiApi()),
      DispatchTimer(config.timer ? *config.timer : DefaultTimerApi()),
      ReplyEvent_(std::make_unique<ReplyEvent>()),
      view_(view),
      timings_(config.timings),
      instanceNumber_(config.instanceNumber),
      ReadBuffer(new uint8_t[kReadBufferSize]()) {
  MidiOut.SetSendWait(timings_.eventDriven ? SendWait::kEvent : SendWait::kPoll);
}

CR9UpdaterDlg::~CR9UpdaterDlg() {
  if (!destroyed_) OnDestroy();
  // The worker may still be finishing (a pause, a box that the closing view ended); it must not
  // outlive what it uses. It wakes with 255 from any wait, so the join is short.
  if (worker_.joinable()) worker_.join();
  // No wake-up may reach the timer once it goes, and no tick may run once the event and the
  // queue go.
  MidiIn.SetArrivalListener(nullptr);
  DispatchTimer.Stop();
}

bool CR9UpdaterDlg::OnInitDialog() {
  FillDeviceLists();
  dispatching_.store(true);
  DispatchTimer.Start(timings_.timerPeriodMs, &CR9UpdaterDlg::OnDispatchTimer, reinterpret_cast<uintptr_t>(this));
  // A queued message brings the next tick forward; where the timer cannot be woken early, the
  // message waits for its tick.
  if (timings_.eventDriven) MidiIn.SetArrivalListener([this] { DispatchTimer.Trigger(); });
  view_.SetProgressRange(100);
  view_.SetTitle(WindowTitle(instanceNumber_));
  return true;
}

void CR9UpdaterDlg::FillDeviceLists() {
  char name[256];
  outNames_.clear();
  view_.ResetList(PortList::Out);
  for (unsigned i = 0; i < MidiOut.GetDeviceCount(); ++i) {
    name[0] = '\0';
    MidiOut.GetDeviceName(int(i), name);
    outNames_.emplace_back(name);
    view_.AddListItem(PortList::Out, name);
  }
  inNames_.clear();
  view_.ResetList(PortList::In);
  for (unsigned i = 0; i < MidiIn.GetDeviceCount(); ++i) {
    name[0] = '\0';
    MidiIn.GetDeviceName(int(i), name);
    inNames_.emplace_back(name);
    view_.AddListItem(PortList::In, name);
  }

  std::vector<std::string> wanted;
  auto want = [&](const std::string& base) {
    if (instanceNumber_ == 1) {
      wanted.push_back(base);
      return;
    }
    char text[300];
    std::snprintf(text, sizeof text, "%s (%d)", base.c_str(), instanceNumber_);
    wanted.emplace_back(text);
  };
  want(DefaultPortNames[0]);
  want(kDefaultPortNameUtf8);
  want(DefaultPortNames[1]);
  want(DefaultPortNames[2]);

  // Exact, case-sensitive comparison of whole names; the last matching item wins.
  auto preselect = [&](PortList list, const std::vector<std::string>& names) {
    for (size_t i = 0; i < names.size(); ++i)
      for (const std::string& w : wanted)
        if (names[i] == w) {
          view_.SetSelection(list, int(i));
          break;
        }
  };
  preselect(PortList::Out, outNames_);
  preselect(PortList::In, inNames_);
}

bool CR9UpdaterDlg::OpenOutPort() {
  MidiOut.Close();
  if (MidiOut.Open(view_.GetSelection(PortList::Out))) return true;
  ShowError(IDS_CANT_OPEN_MIDI_OUT);
  return false;
}

bool CR9UpdaterDlg::OpenInPort() {
  MidiIn.Close();
  if (MidiIn.Open(view_.GetSelection(PortList::In))) return true;
  ShowError(IDS_CANT_OPEN_MIDI_IN);
  return false;
}

int CR9UpdaterDlg::OpenPorts() {
  // A worker that has given the controls back may still be finishing its last lines.
  if (Busy.load() == 1 || workerRunning_.load()) {
    ShowError(IDS_IN_PROGRESS);
    return -1;
  }
  if (!OpenOutPort() || !OpenInPort()) return -1;
  return 0;
}

void CR9UpdaterDlg::OnExecute() {
  if (OpenPorts() != 0) return;
  StartRun({Control::MidiInList, Control::MidiOutList, Control::ExecuteButton, Control::RescanButton,
            Control::VersionCheckButton},
           &UpdateThreadProc);
}

void CR9UpdaterDlg::OnVersionCheck() {
  if (OpenPorts() != 0) return;
  StartRun({Control::MidiInList, Control::MidiOutList, Control::VersionCheckButton, Control::ExecuteButton,
            Control::RescanButton},
           &VersionCheckThreadProc);
}

void CR9UpdaterDlg::StartRun(const std::array<Control, 5>& disableOrder, unsigned (*proc)(void*)) {
  for (Control control : disableOrder) view_.EnableControl(control, false);
  Busy.store(1);
  // A signal left over from earlier traffic must not end the run's first wait.
  ReplyEvent_->ResetEvent();
  {
    std::lock_guard<std::mutex> lock(repliesMutex_);
    replies_.clear();
    identityFencesOutstanding_ = 0;
    untaken_ = 0;
    untakenRefusals_ = 0;
  }
  readOutstanding_ = false;
  lastReadLength_ = 0;
  readSize_ = startReadSize_;
  sampled_.store(false);
  verifyOutcome_.store(VerifyOutcome::kNotRun);
  StartWorker(proc);
}

void CR9UpdaterDlg::StartWorker(unsigned (*proc)(void*)) {
  JoinWorker();
  workerRunning_.store(true);
  try {
    worker_ = std::thread([this, proc] {
      proc(this);
      workerRunning_.store(false);
    });
  } catch (const std::system_error&) {
    // No thread: give the window back instead of leaving it disabled for good.
    workerRunning_.store(false);
    RestoreControls();
  }
}

void CR9UpdaterDlg::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}

void CR9UpdaterDlg::OnRescanDevice() {
  FillDeviceLists();
  EnableCommandButtons(true);
}

int32_t CR9UpdaterDlg::OnVersionCheckDone(uintptr_t, intptr_t lParam) {
  if (lParam == 0) ShowVersionReport();
  RestoreControls();
  return 0;
}

void CR9UpdaterDlg::OnAbout() { view_.ShowAbout(); }

void CR9UpdaterDlg::OnDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  // Stop dispatching first, so that no queued reply overwrites the abort status below. Closing
  // the output port ends a send that a tick may be blocked in; taking the dispatch lock then
  // waits for a tick that was already under way.
  dispatching_.store(false);
  MidiOut.Close();
  MidiIn.Close();
  { std::lock_guard<std::mutex> lock(dispatchMutex_); }
  ReplyStatus.store(255);
  aborted_.store(true);
  ReplyEvent_->SetEvent();
}

void CR9UpdaterDlg::ShowError(int stringId) {
  view_.ShowMessageBox(LoadString(IDS_ERROR_CAPTION), LoadString(stringId), BoxIcon::Stop);
}

void CR9UpdaterDlg::ShowErrorAndRestore(int stringId) {
  ShowError(stringId);
  RestoreControls();
}

void CR9UpdaterDlg::RestoreControls() {
  view_.EnableControl(Control::MidiInList, true);
  view_.EnableControl(Control::MidiOutList, true);
  view_.EnableControl(Control::VersionCheckButton, true);
  view_.EnableControl(Control::ExecuteButton, true);
  view_.EnableControl(Control::RescanButton, true);
  Busy.store(0);
}

void CR9UpdaterDlg::EnableCommandButtons(bool enable) {
  view_.EnableControl(Control::ExecuteButton, enable);
  view_.EnableControl(Control::VersionCheckButton, enable);
}

int CR9UpdaterDlg::ClosePorts() {
  MidiOut.Close();
  MidiIn.Close();
  return 0;
}

Identity CR9UpdaterDlg::GetReplyIdentity() const {
  std::lock_guard<std::mutex> lock(readMutex_);
  return ReplyIdentity;
}

int32_t CR9UpdaterDlg::GetReadPosition() const {
  std::lock_guard<std::mutex> lock(readMutex_);
  return ReadPosition;
}

std::vector<uint8_t> CR9UpdaterDlg::ReadBufferBytes(size_t n) const {
  std::lock_guard<std::mutex> lock(readMutex_);
  return std::vector<uint8_t>(ReadBuffer.get(), ReadBuffer.get() + std::min(n, kReadBufferSize));
}

}  // namespace r9

#include "app/win32/win32_view.h"

#include <memory>

#include "app/run_log.h"
#include "updater/strings.h"
// After the project's headers (see windows_headers.h).

#include "platform/win32/windows_headers.h"

// Last: its IDS_ macros would hide the string table's names.
#include "app/win32/resource.h"

namespace r9 {
namespace {

int ListId(PortList list) { return list == PortList::In ? IDC_MIDI_IN_LIST : IDC_MIDI_OUT_LIST; }

int ControlId(Control control) {
  switch (control) {
    case Control::MidiInList:
      return IDC_MIDI_IN_LIST;
    case Control::MidiOutList:
      return IDC_MIDI_OUT_LIST;
    case Control::ExecuteButton:
      return IDOK;
    case Control::RescanButton:
      return IDC_RESCAN_DEVICE;
    case Control::VersionCheckButton:
      return IDC_VERSION_CHECK;
  }
  return 0;
}

INT_PTR CALLBACK AboutProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      // The same title line in every instance, whatever the main window's title says.
      SetDlgItemTextA(box, IDC_STATUS_LINE, kTitle);
      SetDlgItemTextA(box, IDC_LOG_FOLDER, AboutLogLine(*reinterpret_cast<const std::string*>(lParam)).c_str());
      // The notice (the one left-aligned static text; it has no id of its own) with the version.
      for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        char cls[16] = {};
        GetClassNameA(child, cls, sizeof cls);
        if (lstrcmpiA(cls, "Static") == 0 && (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_LEFT)
          SetWindowTextA(child, AboutNotice().c_str());
      }
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(box, LOWORD(wParam));
        return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

void RunAboutBox(HINSTANCE instance, HWND owner, const std::string& logFolder) {
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), owner, AboutProc, reinterpret_cast<LPARAM>(&logFolder));
}

Win32View::Win32View(HINSTANCE instance) : instance_(instance) {}

Win32View::~Win32View() = default;

void Win32View::Attach(HWND dialog) {
  dialog_ = dialog;
  dialogThread_ = GetCurrentThreadId();
}

void Win32View::BeginClosing() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    closing_.store(true);
    dropped.swap(calls_);
  }
  boxClosed_.notify_all();
}

bool Win32View::OnDialogThread() const { return dialog_ != nullptr && GetCurrentThreadId() == dialogThread_; }

void Win32View::RunQueuedCalls() {
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard lock(mutex_);
      if (closing_.load() || calls_.empty()) return;
      call = std::move(calls_.front());
      calls_.pop_front();
    }
    call();
  }
}

void Win32View::Run(std::function<void()> call) {
  if (OnDialogThread()) {
    RunQueuedCalls();  // what other threads asked for first stays first
    if (!closing_.load()) call();
    return;
  }
  bool wake;
  {
    std::lock_guard lock(mutex_);
    if (closing_.load() || dialog_ == nullptr) return;
    wake = calls_.empty();
    calls_.push_back(std::move(call));
  }
  // One wake-up serves every call queued until the dialog's thread drains the queue.
  if (wake) PostMessageA(dialog_, kWmViewCalls, 0, 0);
}

void Win32View::SelectionChanged(PortList list) {
  selection_[int(list)].store(int(SendDlgItemMessageA(dialog_, ListId(list), CB_GETCURSEL, 0, 0)));
}

void Win32View::ResetList(PortList list) {
  Run([this, list] {
    SendDlgItemMessageA(dialog_, ListId(list), CB_RESETCONTENT, 0, 0);
    SelectionChanged(list);
  });
}

void Win32View::AddListItem(PortList list, const std::string& name) {
  Run([this, list, name] {
    SendDlgItemMessageA(dialog_, ListId(list), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  });
}

void Win32View::SetSelection(PortList list, int index) {
  Run([this, list, index] {
    SendDlgItemMessageA(dialog_, ListId(list), CB_SETCURSEL, WPARAM(index), 0);
    SelectionChanged(list);
  });
}

int Win32View::GetSelection(PortList list) {
  if (OnDialogThread()) SelectionChanged(list);
  return selection_[int(list)].load();
}

void Win32View::EnableControl(Control control, bool enable) {
  Run([this, control, enable] { EnableWindow(GetDlgItem(dialog_, ControlId(control)), enable ? TRUE : FALSE); });
}

void Win32View::SetTitle(const std::string& title) {
  Run([this, title] { SetWindowTextA(dialog_, title.c_str()); });
}

void Win32View::SetItemText(int id, const std::string& text) {
  Run([this, id, text] { SetDlgItemTextA(dialog_, id, text.c_str()); });
}

void Win32View::SetStatusLine(const std::string& text) { SetItemText(IDC_STATUS_LINE, text); }

void Win32View::SetStepCounter(const std::string& text) { SetItemText(IDC_STEP_COUNTER, text); }

void Win32View::SetProgressRange(int32_t maximum) {
  Run([this, maximum] { SendDlgItemMessageA(dialog_, IDC_PROGRESS, PBM_SETRANGE32, 0, maximum); });
}

void Win32View::SetProgressPos(int32_t position) {
  Run([this, position] { SendDlgItemMessageA(dialog_, IDC_PROGRESS, PBM_SETPOS, WPARAM(position), 0); });
}

void Win32View::ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
  const UINT type = MB_OK | (icon == BoxIcon::Stop ? MB_ICONHAND : MB_ICONINFORMATION);
  if (OnDialogThread()) {
    RunQueuedCalls();
    if (!closing_.load()) MessageBoxA(dialog_, text.c_str(), caption.c_str(), type);
    return;
  }
  // The box is shown on the dialog's thread; this thread waits until the user has closed it,
  // or until the window closes (the box then goes with it, or never comes).
  auto closed = std::make_shared<bool>(false);
  Run([this, caption, text, type, closed] {
    MessageBoxA(dialog_, text.c_str(), caption.c_str(), type);
    {
      std::lock_guard lock(mutex_);
      *closed = true;
    }
    boxClosed_.notify_all();
  });
  std::unique_lock lock(mutex_);
  boxClosed_.wait(lock, [&] { return *closed || closing_.load() || dialog_ == nullptr; });
}

void Win32View::PostVersionCheckDone(int32_t result) {
  if (closing_.load() || dialog_ == nullptr) return;
  PostMessageA(dialog_, kWmVersionCheckDone, 0, LPARAM(result));
}

void Win32View::ShowAbout() {
  Run([this] { RunAboutBox(instance_, dialog_, logFolder_); });
}

}  // namespace r9

#include "app/win32/updater_window.h"

#include <cstdio>

#include "app/run_log.h"
#include "app/win32/win32_view.h"
#include "platform/instance_number.h"
#include "updater/r9_updater_dlg.h"
#include "updater/strings.h"
// After the project's headers (see windows_headers.h).

#include "platform/win32/windows_headers.h"

// Last: its IDS_ macros would hide the string table's names.
#include "app/win32/resource.h"

namespace r9 {
namespace {

struct Window {
  HINSTANCE instance;
  CR9UpdaterDlg* dialog;
  Win32View* view;
  HICON icon;
  RunRecorder* recorder;
};

// A command of the user: a run with a log of its own, unless one still runs (the hub then
// answers "In Progress.").
void StartRun(Window* window, const char* kind, void (CR9UpdaterDlg::*handler)()) {
  CR9UpdaterDlg& hub = *window->dialog;
  const bool starts = window->recorder && hub.GetBusy() == 0 && !hub.WorkerRunning();
  if (starts)
    window->recorder->Begin(kind, hub, window->view->GetSelection(PortList::In),
                            window->view->GetSelection(PortList::Out));
  (hub.*handler)();
  if (starts) window->recorder->WatchUntilEnd(hub);
}

Window* Of(HWND hwnd) { return reinterpret_cast<Window*>(GetWindowLongPtrA(hwnd, DWLP_USER)); }

// Enter that auto-repeats never presses a button of the dialog: the key that closed a box keeps
// repeating into the dialog, whose default button is "Execute". The dialog manager sees every
// key of the dialog's thread first (IsDialogMessage, inside the modal loop) and asks this
// thread's message filter before it acts; a repeat (bit 30 of lParam: the key was already down)
// of Enter aimed at the dialog or one of its controls is dropped there.
thread_local HWND enterFilterDialog = nullptr;
thread_local HHOOK enterFilterHook = nullptr;

LRESULT CALLBACK DropRepeatedEnter(int code, WPARAM wParam, LPARAM lParam) {
  if (code == MSGF_DIALOGBOX && lParam != 0 && enterFilterDialog != nullptr) {
    const MSG& msg = *reinterpret_cast<const MSG*>(lParam);
    const bool repeatedEnter = msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN && (msg.lParam & (1L << 30)) != 0;
    if (repeatedEnter && (msg.hwnd == enterFilterDialog || IsChild(enterFilterDialog, msg.hwnd))) return TRUE;
  }
  return CallNextHookEx(enterFilterHook, code, wParam, lParam);
}

BOOL OnInitDialog(HWND hwnd, Window* window) {
  SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(window));
  window->view->Attach(hwnd);
  enterFilterDialog = hwnd;

  // The About item at the end of the system menu, after a separator.
  if (HMENU systemMenu = GetSystemMenu(hwnd, FALSE)) {
    char text[256] = {};
    if (LoadStringA(window->instance, IDS_ABOUTBOX, text, sizeof text) > 0) {
      AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
      AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, text);
    }
  }
  SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(window->icon));
  SendMessageA(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(window->icon));

  // Fills and preselects the lists, starts the dispatcher's timer, sets the progress range and
  // the title.
  window->dialog->OnInitDialog();
  return TRUE;  // the focus goes to the first tab stop
}

// Minimised: the icon, centred in the client area.
bool PaintIconic(HWND hwnd, Window* window) {
  if (!IsIconic(hwnd)) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd, &paint);
  SendMessageA(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(hwnd, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, window->icon);
  EndPaint(hwnd, &paint);
  return true;
}

INT_PTR CALLBACK UpdaterDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) return OnInitDialog(hwnd, reinterpret_cast<Window*>(lParam));
  Window* window = Of(hwnd);
  if (window == nullptr) return FALSE;
  switch (message) {
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
        window->dialog->OnAbout();
        return TRUE;
      }
      return FALSE;  // the dialog's default handling
    case WM_PAINT:
      return PaintIconic(hwnd, window) ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(window->icon);
    case kWmVersionCheckDone:
      SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, window->dialog->OnVersionCheckDone(uintptr_t(wParam), intptr_t(lParam)));
      return TRUE;
    case kWmViewCalls:
      window->view->RunQueuedCalls();
      return TRUE;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      if (code == BN_CLICKED) {
        switch (id) {
          case IDOK:  // "Execute": mapped, so it never ends the dialog
            StartRun(window, "execute", &CR9UpdaterDlg::OnExecute);
            return TRUE;
          case IDC_RESCAN_DEVICE:
            window->dialog->OnRescanDevice();
            return TRUE;
          case IDC_VERSION_CHECK:
            StartRun(window, "version-check", &CR9UpdaterDlg::OnVersionCheck);
            return TRUE;
          case IDCANCEL:  // "Exit", Escape, the close box: at any time, running or not
            EndDialog(hwnd, IDCANCEL);
            return TRUE;
        }
      }
      if (code == CBN_SELCHANGE && (id == IDC_MIDI_IN_LIST || id == IDC_MIDI_OUT_LIST)) {
        window->view->SelectionChanged(id == IDC_MIDI_IN_LIST ? PortList::In : PortList::Out);
        return TRUE;
      }
      return FALSE;
    }
    case WM_DESTROY:
      // Calls from now on return at once; then the ports close and a waiting worker wakes with
      // the closing status.
      window->view->BeginClosing();
      window->dialog->OnDestroy();
      return FALSE;
  }
  return FALSE;
}

}  // namespace

void RunUpdaterDialog(HINSTANCE instance, CR9UpdaterDlg& dialog, Win32View& view, RunRecorder* recorder) {
  Window window{instance, &dialog, &view, LoadIconA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME)), recorder};
  enterFilterHook = SetWindowsHookExA(WH_MSGFILTER, DropRepeatedEnter, nullptr, GetCurrentThreadId());
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_UPDATER_DIALOG), nullptr, UpdaterDialogProc,
                  reinterpret_cast<LPARAM>(&window));
  if (enterFilterHook != nullptr) UnhookWindowsHookEx(enterFilterHook);
  enterFilterHook = nullptr;
  enterFilterDialog = nullptr;
  // A dialog that could not be created never saw WM_DESTROY.
  if (!view.Closing()) {
    view.BeginClosing();
    dialog.OnDestroy();
  }
}

int RunUpdaterApp(HINSTANCE instance) {
  INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};  // ICC_WIN95_CLASSES
  InitCommonControlsEx(&controls);

  // The lowest free number from 1 to 20, held until the process ends.
  static InstanceLock lock;
  const int instanceNumber = ClaimInstanceNumber(lock);
  if (instanceNumber == 0) {
    char text[128];
    std::snprintf(text, sizeof text, kTooManyInstances, kMaxInstances);
    MessageBoxA(nullptr, text, "Updater", MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }

  Win32View view(instance);
  // Before the hub: the ports' observers and the hub's view calls reach them until it is gone.
  // No command line: the logs always go to the default folder.
  RunRecorder recorder("Updater.exe", RunLogSettings{}, std::nullopt);
  RunLogView logView(view, recorder);
  view.SetLogFolder(recorder.Folder());
  DialogConfig config;
  config.instanceNumber = instanceNumber;
  {
    CR9UpdaterDlg dialog(logView, config);
    recorder.Observe(dialog);
    RunUpdaterDialog(instance, dialog, view, &recorder);
    // The window is gone and the worker told to stop: wait for it before the hub goes.
    dialog.JoinWorker();
    recorder.WindowClosed(dialog);
  }
  return 0;
}

}  // namespace r9

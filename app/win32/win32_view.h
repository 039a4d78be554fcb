// The Win32 dialog's DialogView: carries the hub's calls to the dialog's thread.
//
// On the dialog's own thread a call acts on the controls at once. From any other thread (a
// worker) it is queued and the dialog is woken with a posted message, never a sent one: the
// dialog's thread may itself be waiting for that worker. The queue keeps the calls in order. A
// box blocks its caller until the user has closed it. Once the window is closing, queued calls
// are dropped and every call, a blocked box too, returns at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "updater/dialog_view.h"

struct HWND__;
struct HINSTANCE__;

namespace r9 {

// Window messages of the main dialog.
constexpr unsigned kWmVersionCheckDone = 0x8000 + 1;  // WM_APP + 1: the version check's end
constexpr unsigned kWmViewCalls = 0x8000 + 2;         // WM_APP + 2: queued view calls wait

class Win32View final : public DialogView {
 public:
  explicit Win32View(HINSTANCE__* instance);
  ~Win32View() override;

  // The dialog's thread, in its WM_INITDIALOG: the window the calls act on from now on.
  void Attach(HWND__* dialog);
  // The dialog's thread, in its WM_DESTROY.
  void BeginClosing();
  // The dialog's thread, on kWmViewCalls: runs the queued calls in order.
  void RunQueuedCalls();
  // The dialog's thread, when the user picks another item of a list.
  void SelectionChanged(PortList list);
  HWND__* Window() const { return dialog_; }
  // The folder of the run logs, for the About box ("" when none are written).
  void SetLogFolder(const std::string& folder) { logFolder_ = folder; }
  bool Closing() const { return closing_.load(); }

  void ResetList(PortList list) override;
  void AddListItem(PortList list, const std::string& name) override;
  void SetSelection(PortList list, int index) override;
  int GetSelection(PortList list) override;
  void EnableControl(Control control, bool enable) override;
  void SetTitle(const std::string& title) override;
  void SetStatusLine(const std::string& text) override;
  void SetStepCounter(const std::string& text) override;
  void SetProgressRange(int32_t maximum) override;
  void SetProgressPos(int32_t position) override;
  void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) override;
  void PostVersionCheckDone(int32_t result) override;
  void ShowAbout() override;

 private:
  bool OnDialogThread() const;
  // Runs call on the dialog's thread: now when this is that thread, else queued.
  void Run(std::function<void()> call);
  void SetItemText(int id, const std::string& text);

  HINSTANCE__* const instance_;
  HWND__* dialog_ = nullptr;
  unsigned long dialogThread_ = 0;
  std::atomic<bool> closing_{false};
  std::mutex mutex_;
  std::condition_variable boxClosed_;
  std::deque<std::function<void()>> calls_;
  // The lists' selections as the dialog's thread last saw them, for a caller on another thread.
  std::atomic<int> selection_[2] = {-1, -1};
  std::string logFolder_;
};

// The About box from template 100, modal to owner; logFolder for its line about the run logs.
void RunAboutBox(HINSTANCE__* instance, HWND__* owner, const std::string& logFolder = "");

}  // namespace r9

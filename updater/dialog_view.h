// What a window must do for the dialog hub. The Win32 dialog, the Qt dialog and the console
// front-end implement it; tests use a recording view.
//
// Every call may come from any thread (the user-interface thread, a worker). The view carries it
// to its own user-interface thread. Calls other than the boxes must not wait for that thread
// (post them): the user-interface thread may itself be waiting for a worker. ShowMessageBox
// blocks its caller until the user closes the box. Once the window is closing, a blocked or new
// call returns at once, so a worker can always finish.
#pragma once

#include <cstdint>
#include <string>

namespace r9 {

enum class PortList { In, Out };

// The five controls that the dialog enables and disables ("Exit" always stays enabled).
enum class Control { MidiInList, MidiOutList, ExecuteButton, RescanButton, VersionCheckButton };

enum class BoxIcon { Stop, Information };

class DialogView {
 public:
  virtual ~DialogView() = default;

  // The port lists: emptied (which clears the selection), filled in device order, selected by
  // item index (-1: none). GetSelection returns -1 when nothing is selected.
  virtual void ResetList(PortList list) = 0;
  virtual void AddListItem(PortList list, const std::string& name) = 0;
  virtual void SetSelection(PortList list, int index) = 0;
  virtual int GetSelection(PortList list) = 0;

  virtual void EnableControl(Control control, bool enable) = 0;
  virtual void SetTitle(const std::string& title) = 0;
  virtual void SetStatusLine(const std::string& text) = 0;
  virtual void SetStepCounter(const std::string& text) = 0;
  virtual void SetProgressRange(int32_t maximum) = 0;  // from 0 to maximum
  virtual void SetProgressPos(int32_t position) = 0;

  // A modal box owned by the window; returns when the user has closed it.
  virtual void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) = 0;

  // Posts the version check's end to the user-interface thread, which then calls
  // CR9UpdaterDlg::OnVersionCheckDone(0, result). Dropped once the window is closing.
  virtual void PostVersionCheckDone(int32_t result) = 0;

  virtual void ShowAbout() = 0;
};

}  // namespace r9

// The Qt front-end: the window, its DialogView and the hub, wired together. Every call of the
// hub reaches the widgets on the GUI thread (UiMarshal); boxes block their calling worker, never
// the GUI thread on a worker.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <memory>
#include <vector>

#include "app/qt/updater_window.h"
#include "app/run_log.h"
#include "app/ui_marshal.h"
#include "updater/dialog_view.h"
#include "updater/r9_updater_dlg.h"

namespace r9::qt {

// The version report's text as the box shows it: each line's tab-separated parts in columns
// (the report puts its labels and values in two).
QString ReportToRichText(const std::string& text);

class QtDialogView : public QObject, public DialogView {
  Q_OBJECT

 public:
  explicit QtDialogView(UpdaterWindow& window);
  ~QtDialogView() override;

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

  // The folder of the run logs, for the About box ("" when they are off).
  void SetLogFolder(const std::string& folder) { logFolder_ = folder; }

  // Where the version check's post goes (the hub's OnVersionCheckDone), on the GUI thread.
  void SetVersionCheckDoneHandler(std::function<void(int32_t)> handler) { versionCheckDone_ = std::move(handler); }

  // The window is closing: every open box closes, blocked calls return, later ones do nothing.
  void Close();
  bool Closing() const { return marshal_.Closing(); }

 signals:
  // A box or the About box is on the screen (for tests and screenshots).
  void boxShown(QDialog* box);

 private:
  QComboBox* List(PortList list) const;
  QWidget* Widget(Control control) const;
  QMessageBox* MakeBox(const std::string& caption, const std::string& text, BoxIcon icon);
  void Track(QDialog* box);

  UpdaterWindow& window_;
  UiMarshal marshal_;
  // The lists' selections, readable from any thread without waiting for the GUI thread.
  std::atomic<int> selection_[2] = {-1, -1};
  std::vector<QPointer<QDialog>> open_;
  std::function<void(int32_t)> versionCheckDone_;
  std::string logFolder_;
};

class QtUpdater : public QObject {
  Q_OBJECT

 public:
  // log: where the run logs go; simulate: the simulated device's options, for the logs.
  explicit QtUpdater(const DialogConfig& config, const RunLogSettings& log = {},
                     const std::optional<std::string>& simulate = std::nullopt);
  ~QtUpdater() override;

  // Shows the window with the focus on "Execute".
  void Show();
  // True once the window has closed and the worker, if one ran, has ended.
  bool Finished() const { return finished_; }

  UpdaterWindow& Window() { return window_; }
  QtDialogView& View() { return view_; }
  CR9UpdaterDlg& Hub() { return hub_; }
  RunRecorder& Recorder() { return recorder_; }

 signals:
  void finished();

 private:
  void OnCloseRequested();
  // A command of the user: a run with a log of its own, unless one still runs (the hub then
  // answers "In Progress.").
  void StartRun(const char* kind, void (CR9UpdaterDlg::*handler)());

  UpdaterWindow window_;
  QtDialogView view_;
  // Before the hub: the ports' observers and the hub's view calls reach them until it is gone.
  RunRecorder recorder_;
  RunLogView logView_;
  CR9UpdaterDlg hub_;
  QTimer workerWatch_;
  bool closing_ = false;
  bool finished_ = false;
};

}  // namespace r9::qt

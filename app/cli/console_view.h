// The console front-end's DialogView: the dialog's texts, progress and boxes on a terminal or
// in a log. Calls may come from the worker or the main thread; output is serialised.
#pragma once

#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "updater/dialog_view.h"

namespace r9 {

class ConsoleView : public DialogView {
 public:
  // progress: where the step counter, the status line and the progress bar go; errors: where
  // error boxes go. live: redraw one line in place (a terminal) instead of plain lines.
  ConsoleView(FILE* progress, FILE* report, FILE* errors, bool live);

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

  // Main-thread side.
  std::vector<std::string> Items(PortList list);
  bool TakeVersionCheckDone(int32_t* result);
  std::vector<std::string> ErrorTexts();
  std::string LastStatusLine();
  void Close();   // the window is closing: later calls do nothing
  void Finish();  // ends a live line so the shell prompt starts on a line of its own

 private:
  void Draw();     // with mutex_ held
  void EndLive();  // with mutex_ held

  FILE* const progress_;
  FILE* const report_;
  FILE* const errors_;
  const bool live_;
  std::mutex mutex_;
  std::map<PortList, std::vector<std::string>> items_;
  std::map<PortList, int> selection_;
  std::string step_;
  std::string status_;
  int32_t range_ = 100;
  int32_t pos_ = 0;
  int lastTenth_ = 0;
  bool transfer_ = false;  // the progress counts the bytes of an image
  std::string printedStep_;
  bool lineOpen_ = false;
  std::vector<std::string> errorTexts_;
  std::deque<int32_t> posts_;
  bool closing_ = false;
};

}  // namespace r9

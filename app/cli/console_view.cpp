#include "app/cli/console_view.h"

namespace r9 {

ConsoleView::ConsoleView(FILE* progress, FILE* report, FILE* errors, bool live)
    : progress_(progress), report_(report), errors_(errors), live_(live) {}

void ConsoleView::ResetList(PortList list) {
  std::lock_guard<std::mutex> lock(mutex_);
  items_[list].clear();
  selection_[list] = -1;
}

void ConsoleView::AddListItem(PortList list, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  items_[list].push_back(name);
}

void ConsoleView::SetSelection(PortList list, int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  selection_[list] = index;
}

int ConsoleView::GetSelection(PortList list) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = selection_.find(list);
  return it == selection_.end() ? -1 : it->second;
}

void ConsoleView::EnableControl(Control, bool) {}
void ConsoleView::SetTitle(const std::string&) {}
void ConsoleView::ShowAbout() {}

void ConsoleView::SetStatusLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  // The same text again is news when the step has changed (row 2 erases as row 1 did).
  if (closing_ || (text == status_ && step_ == printedStep_)) return;
  // Texts that follow the bytes of an image: the log counts them in tenths.
  const bool transmit = text.rfind("Data transmit", 0) == 0;
  // A log gets one line per stage: a new text, a new step, or the first block of an image.
  const bool newStage = !transmit || !transfer_ || step_ != printedStep_;
  status_ = text;
  transfer_ = transmit;
  if (!live_ && newStage && !text.empty()) {
    // A version check has no steps: its text (a stamp that could not be read) stands alone.
    if (step_.empty())
      std::fprintf(progress_, "%s\n", text.c_str());
    else
      std::fprintf(progress_, "[%s] %s\n", step_.c_str(), text.c_str());
    std::fflush(progress_);
    printedStep_ = step_;
  }
  Draw();
}

void ConsoleView::SetStepCounter(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return;
  step_ = text;
  Draw();
}

void ConsoleView::SetProgressRange(int32_t maximum) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return;
  range_ = maximum > 0 ? maximum : 1;
  pos_ = 0;
  lastTenth_ = 0;
  transfer_ = false;
}

void ConsoleView::SetProgressPos(int32_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return;
  pos_ = position;
  if (!live_ && transfer_) {
    // A log gets at most one line per tenth of an image.
    const int tenth = int(int64_t(pos_) * 10 / range_);
    if (tenth != lastTenth_) {
      lastTenth_ = tenth;
      std::fprintf(progress_, "[%s] %3d%% %d / %d bytes\n", step_.c_str(), tenth * 10, pos_, range_);
      std::fflush(progress_);
    }
  }
  Draw();
}

void ConsoleView::Draw() {
  if (!live_) return;
  const int width = 30;
  const int filled = int(int64_t(pos_) * width / range_);
  const int percent = int(int64_t(pos_) * 100 / range_);
  std::string bar(size_t(filled), '#');
  bar.resize(width, '.');
  std::fprintf(progress_, "\r\033[K%-5s [%s] %3d%% %-28s", step_.c_str(), bar.c_str(), percent, status_.c_str());
  std::fflush(progress_);
  lineOpen_ = true;
}

void ConsoleView::EndLive() {
  if (lineOpen_) {
    std::fputc('\n', progress_);
    std::fflush(progress_);
    lineOpen_ = false;
  }
}

void ConsoleView::ShowMessageBox(const std::string&, const std::string& text, BoxIcon icon) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return;
  EndLive();
  if (icon == BoxIcon::Stop) {
    errorTexts_.push_back(text);
    std::fprintf(errors_, "Error: %s\n", text.c_str());
    std::fflush(errors_);
  } else {
    std::fprintf(report_, "%s\n", text.c_str());
    std::fflush(report_);
  }
}

void ConsoleView::PostVersionCheckDone(int32_t result) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!closing_) posts_.push_back(result);
}

std::vector<std::string> ConsoleView::Items(PortList list) {
  std::lock_guard<std::mutex> lock(mutex_);
  return items_[list];
}

bool ConsoleView::TakeVersionCheckDone(int32_t* result) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (posts_.empty()) return false;
  *result = posts_.front();
  posts_.pop_front();
  return true;
}

std::vector<std::string> ConsoleView::ErrorTexts() {
  std::lock_guard<std::mutex> lock(mutex_);
  return errorTexts_;
}

std::string ConsoleView::LastStatusLine() {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

void ConsoleView::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closing_ = true;
  EndLive();
}

void ConsoleView::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  EndLive();
}

}  // namespace r9

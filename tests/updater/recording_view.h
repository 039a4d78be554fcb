// A DialogView for tests: records every call, answers boxes at once or when the test says so,
// and queues the version check's post until the test pumps it on its own thread, which so
// plays the user-interface thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "updater/dialog_view.h"
#include "updater/r9_updater_dlg.h"

namespace r9::test {

struct Box {
  std::string caption;
  std::string text;
  BoxIcon icon;
};

class RecordingView : public DialogView {
 public:
  void ResetList(PortList list) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lists_[list].clear();
    selection_[list] = -1;
  }
  void AddListItem(PortList list, const std::string& name) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lists_[list].push_back(name);
  }
  void SetSelection(PortList list, int index) override {
    std::lock_guard<std::mutex> lock(mutex_);
    selection_[list] = index;
  }
  int GetSelection(PortList list) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = selection_.find(list);
    return it == selection_.end() ? -1 : it->second;
  }
  void EnableControl(Control control, bool enable) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
    enabled_[control] = enable;
    enableCalls_.emplace_back(control, enable);
  }
  void SetTitle(const std::string& title) override { Record(title_, title); }
  void SetStatusLine(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
    statusLines_.push_back(text);
  }
  void SetStepCounter(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
    stepCounters_.push_back(text);
  }
  void SetProgressRange(int32_t maximum) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closing_) progressRanges_.push_back(maximum);
  }
  void SetProgressPos(int32_t position) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closing_) progressPos_ = position;
  }
  void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (closing_) return;
    boxes_.push_back({caption, text, icon});
    changed_.notify_all();
    if (!holdBoxes_) return;
    const size_t mine = boxes_.size();
    changed_.wait(lock, [&] { return closing_ || released_ >= mine; });
  }
  void PostVersionCheckDone(int32_t result) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return;
    posts_.push_back(result);
    changed_.notify_all();
  }
  void ShowAbout() override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++abouts_;
  }

  // --- Test controls ---
  void HoldBoxes(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdBoxes_ = hold;
  }
  void ReleaseBoxes() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = boxes_.size();
    changed_.notify_all();
  }
  // The window is closing: blocked and later calls return at once.
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
    changed_.notify_all();
  }

  // Plays the user-interface thread: runs posted messages on the calling thread until pred
  // holds or the time is up. Returns whether pred held.
  bool PumpUntil(CR9UpdaterDlg& dialog, const std::function<bool()>& pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      std::deque<int32_t> posts;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(2), [&] { return !posts_.empty(); });
        posts.swap(posts_);
      }
      for (int32_t result : posts) dialog.OnVersionCheckDone(0, result);
      if (pred()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
    }
  }

  // --- Snapshots ---
  std::vector<std::string> List(PortList list) { return Get(lists_[list]); }
  bool Enabled(Control control) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = enabled_.find(control);
    return it == enabled_.end() ? true : it->second;
  }
  std::vector<std::pair<Control, bool>> EnableCalls() { return Get(enableCalls_); }
  std::string Title() { return Get(title_); }
  std::vector<std::string> StatusLines() { return Get(statusLines_); }
  std::string StatusLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusLines_.empty() ? std::string() : statusLines_.back();
  }
  std::vector<std::string> StepCounters() { return Get(stepCounters_); }
  std::vector<int32_t> ProgressRanges() { return Get(progressRanges_); }
  int32_t ProgressPos() { return Get(progressPos_); }
  std::vector<Box> Boxes() { return Get(boxes_); }
  size_t BoxCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_.size();
  }
  int Abouts() { return Get(abouts_); }
  // Back to a new window's state.
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    lists_.clear();
    selection_.clear();
    enabled_.clear();
    enableCalls_.clear();
    title_.clear();
    statusLines_.clear();
    stepCounters_.clear();
    progressRanges_.clear();
    progressPos_ = 0;
    boxes_.clear();
    posts_.clear();
    abouts_ = 0;
    holdBoxes_ = false;
    released_ = 0;
    closing_ = false;
  }

 private:
  template <typename T>
  void Record(T& field, const T& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!closing_) field = value;
  }
  template <typename T>
  T Get(const T& field) {
    std::lock_guard<std::mutex> lock(mutex_);
    return field;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<PortList, std::vector<std::string>> lists_;
  std::map<PortList, int> selection_;
  std::map<Control, bool> enabled_;
  std::vector<std::pair<Control, bool>> enableCalls_;
  std::string title_;
  std::vector<std::string> statusLines_;
  std::vector<std::string> stepCounters_;
  std::vector<int32_t> progressRanges_;
  int32_t progressPos_ = 0;
  std::vector<Box> boxes_;
  std::deque<int32_t> posts_;
  int abouts_ = 0;
  bool holdBoxes_ = false;
  size_t released_ = 0;
  bool closing_ = false;
};

}  // namespace r9::test

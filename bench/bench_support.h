// What the host-timing benchmarks share: a dialog view that only keeps what the benchmark
// checks, percentiles, and the two timing configurations side by side.
#pragma once

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "updater/dialog_view.h"
#include "updater/timings.h"

namespace r9::bench {

using Clock = std::chrono::steady_clock;

// A window nobody looks at: it remembers the selections, the last status line and the boxes.
class QuietView : public DialogView {
 public:
  void ResetList(PortList) override {}
  void AddListItem(PortList, const std::string&) override {}
  void SetSelection(PortList list, int index) override {
    std::lock_guard lock(mutex_);
    (list == PortList::In ? in_ : out_) = index;
  }
  int GetSelection(PortList list) override {
    std::lock_guard lock(mutex_);
    return list == PortList::In ? in_ : out_;
  }
  void EnableControl(Control, bool) override {}
  void SetTitle(const std::string&) override {}
  void SetStatusLine(const std::string& text) override {
    std::lock_guard lock(mutex_);
    status_ = text;
  }
  void SetStepCounter(const std::string&) override {}
  void SetProgressRange(int32_t) override {}
  void SetProgressPos(int32_t) override {}
  void ShowMessageBox(const std::string&, const std::string& text, BoxIcon) override {
    std::lock_guard lock(mutex_);
    boxes_.push_back(text);
  }
  void PostVersionCheckDone(int32_t) override {}
  void ShowAbout() override {}

  std::string StatusLine() const {
    std::lock_guard lock(mutex_);
    return status_;
  }
  std::vector<std::string> Boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
  }

 private:
  mutable std::mutex mutex_;
  int in_ = 0;
  int out_ = 0;
  std::string status_;
  std::vector<std::string> boxes_;
};

// Timed waits of this process (and of the threads it starts from now on) end as close to their
// time as the kernel allows, instead of up to 50 us late: the emulated cable and flash then keep
// their times, and both timings are measured on the same footing. Called before any thread of
// the measured run starts.
inline void PreciseTimers() {
#if defined(__linux__)
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

// The q-quantile (0..1) of the samples, nearest rank.
inline double Quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = size_t(q * double(samples.size()));
  if (rank >= samples.size()) rank = samples.size() - 1;
  return samples[rank];
}

inline double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// A count from the environment (e.g. R9_BENCH_ROUNDS=5), else the default.
inline int EnvCount(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr) return fallback;
  const int value = std::atoi(text);
  return value > 0 ? value : fallback;
}

struct Configuration {
  const char* name;  // the counters' prefix
  Timings timings;
};
// The polled timing first: the one the other is measured against.
inline std::vector<Configuration> BothConfigurations() { return {{"polled", PolledTimings()}, {"event", Timings()}}; }

}  // namespace r9::bench

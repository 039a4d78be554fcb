// The marshal of view calls: a test thread plays the user-interface thread and its event loop
// (a wake-up flag it waits on), other threads play the workers.
#include "app/ui_marshal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace r9 {
namespace {

using namespace std::chrono_literals;

// The user-interface thread's event queue: wake() posts one "run the marshal" event.
class EventLoop {
 public:
  void Wake() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++wakes_;
    ++pending_;
    cv_.notify_all();
  }
  // Runs posted events until pred holds or the time is up.
  bool RunUntil(UiMarshal& marshal, const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, 1ms, [&] { return pending_ > 0; });
        if (pending_ == 0) {
          if (std::chrono::steady_clock::now() > deadline) return false;
          continue;
        }
        --pending_;
      }
      marshal.RunPending();
    }
    return true;
  }
  int Wakes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int wakes_ = 0;
  int pending_ = 0;
};

class UiMarshalTest : public ::testing::Test {
 protected:
  EventLoop loop;
  UiMarshal marshal{[this] { loop.Wake(); }};
  const std::thread::id ui = std::this_thread::get_id();
};

TEST_F(UiMarshalTest, CallsOnTheUiThreadRunAtOnce) {
  int runs = 0;
  marshal.Post([&] { ++runs; });
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(loop.Wakes(), 0);
  EXPECT_TRUE(marshal.OnUiThread());
}

TEST_F(UiMarshalTest, WorkerCallsRunOnTheUiThreadInOrderWithoutWaiting) {
  std::vector<int> seen;
  std::vector<std::thread::id> threads;
  std::atomic<bool> posted{false};
  std::thread worker([&] {
    EXPECT_FALSE(marshal.OnUiThread());
    for (int i = 0; i < 100; ++i)
      marshal.Post([&, i] {
        seen.push_back(i);
        threads.push_back(std::this_thread::get_id());
      });
    posted = true;  // the worker got here without the UI thread running anything
  });
  worker.join();
  EXPECT_TRUE(posted);
  EXPECT_TRUE(seen.empty());
  ASSERT_TRUE(loop.RunUntil(marshal, [&] { return seen.size() == 100; }));
  for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[size_t(i)], i);
  for (auto id : threads) EXPECT_EQ(id, ui);
  // The burst cost one wake-up, and one more that a modal loop inside a call would need: the
  // UI thread's queue is not flooded with one event per call.
  EXPECT_LE(loop.Wakes(), 2);
}

TEST_F(UiMarshalTest, ManyWorkersEveryCallRunsOnceInItsThreadsOrder) {
  constexpr int kWorkers = 4, kCalls = 500;
  std::map<int, std::vector<int>> seen;
  int total = 0;
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back([&, w] {
      for (int i = 0; i < kCalls; ++i)
        marshal.Post([&, w, i] {
          seen[w].push_back(i);
          ++total;
        });
    });
  ASSERT_TRUE(loop.RunUntil(marshal, [&] { return total == kWorkers * kCalls; }));
  for (auto& t : workers) t.join();
  for (int w = 0; w < kWorkers; ++w) {
    ASSERT_EQ(seen[w].size(), size_t(kCalls));
    for (int i = 0; i < kCalls; ++i) EXPECT_EQ(seen[w][size_t(i)], i);
  }
}

TEST_F(UiMarshalTest, BoxBlocksItsWorkerUntilAnswered) {
  UiMarshal::Call answer;  // the open box: the user answers it later
  std::atomic<int> state{0};
  bool result = false;
  std::thread worker([&] {
    state = 1;
    result = marshal.Request([&](UiMarshal::Call done) {
      EXPECT_EQ(std::this_thread::get_id(), ui);
      answer = done;
    });
    state = 2;
  });
  ASSERT_TRUE(loop.RunUntil(marshal, [&] { return bool(answer); }));
  // The box is up: the worker stays blocked while the UI thread goes on with its loop.
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(state.load(), 1);
  answer();
  worker.join();
  EXPECT_EQ(state.load(), 2);
  EXPECT_TRUE(result);
}

TEST_F(UiMarshalTest, CallsPostedBeforeABoxRunBeforeIt) {
  std::vector<std::string> order;
  std::thread worker([&] {
    marshal.Post([&] { order.push_back("status"); });
    marshal.Request([&](UiMarshal::Call done) {
      order.push_back("box");
      done();
    });
    marshal.Post([&] { order.push_back("restore"); });
  });
  ASSERT_TRUE(loop.RunUntil(marshal, [&] { return order.size() == 3; }));
  worker.join();
  EXPECT_EQ(order, (std::vector<std::string>{"status", "box", "restore"}));
}

TEST_F(UiMarshalTest, ClosingReleasesABlockedWorkerAndDropsItsLaterCalls) {
  UiMarshal::Call answer;
  std::atomic<bool> returned{false};
  bool result = true;
  int laterRuns = 0;
  std::thread worker([&] {
    result = marshal.Request([&](UiMarshal::Call done) { answer = done; });
    returned = true;
    // A worker that goes on after the window closed: its calls do nothing, and return at once.
    marshal.Post([&] { ++laterRuns; });
    EXPECT_FALSE(marshal.Request([&](UiMarshal::Call done) { done(); }));
  });
  ASSERT_TRUE(loop.RunUntil(marshal, [&] { return bool(answer); }));
  const int wakesBefore = loop.Wakes();
  marshal.Close();
  worker.join();
  EXPECT_TRUE(returned);
  EXPECT_FALSE(result);
  EXPECT_EQ(loop.Wakes(), wakesBefore);
  marshal.RunPending();
  EXPECT_EQ(laterRuns, 0);
  // The box is answered after all (its window closed it): nothing happens, nothing breaks.
  answer();
  EXPECT_TRUE(marshal.Closing());
}

TEST_F(UiMarshalTest, ClosingDropsQueuedCalls) {
  int runs = 0;
  std::thread worker([&] {
    for (int i = 0; i < 10; ++i) marshal.Post([&] { ++runs; });
  });
  worker.join();
  marshal.Close();
  marshal.RunPending();
  EXPECT_EQ(runs, 0);
  marshal.Post([&] { ++runs; });  // on the UI thread, too
  EXPECT_EQ(runs, 0);
}

TEST_F(UiMarshalTest, CloseRacingWithRequestsNeverHangs) {
  // Workers keep asking for boxes while the UI thread answers some and then closes.
  std::atomic<int> returned{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w)
    workers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) marshal.Request([](UiMarshal::Call done) { done(); });
      returned++;
    });
  loop.RunUntil(
      marshal, [] { return false; }, 5ms);
  marshal.Close();
  for (auto& t : workers) t.join();
  EXPECT_EQ(returned.load(), 4);
}

TEST_F(UiMarshalTest, BoxOnTheUiThreadRunsInline) {
  bool shown = false;
  EXPECT_TRUE(marshal.Request([&](UiMarshal::Call done) {
    shown = true;
    done();  // a modal loop on the UI thread returns only once answered
  }));
  EXPECT_TRUE(shown);
  marshal.Close();
  EXPECT_FALSE(marshal.Request([&](UiMarshal::Call done) { done(); }));
}

TEST_F(UiMarshalTest, BoxAskedForOnTheUiThreadAfterClosingNeverRuns) {
  marshal.Close();
  bool shown = false;
  EXPECT_FALSE(marshal.Request([&](UiMarshal::Call done) {
    shown = true;  // a box would be on the screen now, over a closing window
    done();
  }));
  EXPECT_FALSE(shown);
}

TEST_F(UiMarshalTest, ModalLoopInsideACallKeepsRunningLaterCalls) {
  // A box shown by a queued call runs a modal loop, which runs the marshal again: the calls
  // after it run inside that loop, once each, in order.
  std::vector<int> seen;
  std::thread worker([&] {
    marshal.Post([&] {
      seen.push_back(0);
      loop.RunUntil(marshal, [&] { return seen.size() == 3; });  // the modal loop
    });
    marshal.Post([&] { seen.push_back(1); });
    marshal.Post([&] { seen.push_back(2); });
  });
  worker.join();
  // The worker's posts all came before the first run; the nested loop needs a wake-up of its own.
  ASSERT_TRUE(loop.RunUntil(marshal, [&] { return !seen.empty(); }));
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
}

}  // namespace
}  // namespace r9

// Carries a window's calls from the workers to its user-interface thread, for toolkits that do
// not do it by themselves. Written without a toolkit, so that its cross-thread logic is tested
// on its own (also under the thread sanitizer) and every front-end can share it.
//
// - Post: the call runs on the user-interface thread, in the order posted; the caller never
//   waits. Made on the user-interface thread, it runs at once.
// - Request: a box. The user-interface thread shows it and calls done() once the user has closed
//   it; the calling worker blocks until then.
// - Close: the window is going. Queued calls are dropped, blocked requests return at once, later
//   calls do nothing. Nothing here ever makes the user-interface thread wait for a worker.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace r9 {

class UiMarshal {
 public:
  using Call = std::function<void()>;
  using BoxCall = std::function<void(Call done)>;

  // The constructing thread is the user-interface thread. wake is called, with the marshal's
  // lock held, when calls wait to run; it must only arrange that RunPending runs soon on the
  // user-interface thread (post an event), never run anything itself.
  explicit UiMarshal(Call wake);
  UiMarshal(const UiMarshal&) = delete;
  UiMarshal& operator=(const UiMarshal&) = delete;

  bool OnUiThread() const { return std::this_thread::get_id() == uiThread_; }

  void Post(Call call);

  // From a worker: queues show and waits until it has called done() or the window closes.
  // On the user-interface thread: runs show at once and returns (show must then block by itself,
  // in a modal loop, until the box is closed). Returns false when the box was never shown or the
  // window closed before the user answered.
  bool Request(BoxCall show);

  // The user-interface thread: runs the queued calls.
  void RunPending();

  void Close();
  bool Closing() const;

 private:
  struct BoxState {
    bool done = false;
  };

  const std::thread::id uiThread_;
  const Call wake_;
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::deque<Call> queue_;
  bool wakePending_ = false;
  bool closing_ = false;
};

}  // namespace r9

// Waits for something another thread does. The limit only keeps a broken build from hanging;
// no test depends on how fast anything happens.
#pragma once

#include <chrono>
#include <thread>

namespace r9::test {

template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace r9::test

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/kernel.h"

namespace r9 {
namespace {

TEST(ReplyEventTest, NotSignalledAtCreation) {
  ReplyEvent event;
  EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
  EXPECT_EQ(event.Wait(5), WAIT_TIMEOUT);
}

TEST(ReplyEventTest, SetReleasesOneWaitThenResetsItself) {
  ReplyEvent event;
  event.SetEvent();
  event.SetEvent();  // a second set before the wait adds nothing
  EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
}

TEST(ReplyEventTest, ResetEventClearsASignal) {
  ReplyEvent event;
  event.SetEvent();
  event.ResetEvent();
  EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
}

TEST(ReplyEventTest, WakesAWaiterOnAnotherThreadAndPublishesStores) {
  ReplyEvent event;
  int reply = 0;  // plain: the event must order it
  std::thread setter([&] {
    reply = 42;
    event.SetEvent();
  });
  EXPECT_EQ(event.Wait(INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(reply, 42);
  setter.join();
}

TEST(ReplyEventTest, OneSetReleasesExactlyOneOfTwoWaiters) {
  ReplyEvent event;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (event.Wait(500) == WAIT_OBJECT_0) ++released;
    });
  }
  event.SetEvent();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(released.load(), 1);
}

}  // namespace
}  // namespace r9

// Instance numbers across real processes: each holder claims the lowest free number through
// the named mutexes and keeps it until it ends.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/instance_number.h"
#include "tests/win32/child_process.h"

namespace r9 {
namespace {

std::string HolderCommand() { return "\"" + test::ExecutableFolder() + "r9_instance_holder.exe\""; }

TEST(InstanceMutexTest, NamesAreTheWindowTitles) {
  EXPECT_EQ(InstanceLockName(1), "KORVEN R9 System v1.10 Updater");
  EXPECT_EQ(InstanceLockName(2), "KORVEN R9 System v1.10 Updater (2)");
  EXPECT_EQ(InstanceLockName(20), "KORVEN R9 System v1.10 Updater (20)");
}

TEST(InstanceMutexTest, LowestFreeNumberAcrossProcessesAndTheTwentyFirstIsRefused) {
  test::ChildProcess first(HolderCommand());
  ASSERT_TRUE(first.Running());
  EXPECT_EQ(first.ReadLine(), "1");
  test::ChildProcess second(HolderCommand());
  EXPECT_EQ(second.ReadLine(), "2");

  // The first copy ends: its number is free again, and the next copy takes it.
  EXPECT_EQ(first.Finish(), 0);
  test::ChildProcess third(HolderCommand());
  EXPECT_EQ(third.ReadLine(), "1");

  // This process claims the numbers 3 to 20 the same way (a mutex another copy created counts
  // as taken here as well), so a further copy finds all twenty taken.
  std::vector<std::unique_ptr<InstanceLock>> held;
  for (int expected = 3; expected <= kMaxInstances; ++expected) {
    held.push_back(std::make_unique<InstanceLock>());
    EXPECT_EQ(ClaimInstanceNumber(*held.back()), expected);
  }
  InstanceLock none;
  EXPECT_EQ(ClaimInstanceNumber(none), 0);
  EXPECT_FALSE(none.Held());

  test::ChildProcess refused(HolderCommand());
  EXPECT_EQ(refused.ReadLine(), "0");
  EXPECT_EQ(refused.Finish(), 7);

  // Number 7 freed in this process: the next copy gets exactly that one.
  held[7 - 3]->Release();
  test::ChildProcess seventh(HolderCommand());
  EXPECT_EQ(seventh.ReadLine(), "7");
}

TEST(InstanceMutexTest, ANumberHeldInThisProcessIsTakenForAnotherClaimHereToo) {
  InstanceLock a, b;
  const int na = ClaimInstanceNumber(a);
  const int nb = ClaimInstanceNumber(b);
  ASSERT_GE(na, 1);
  EXPECT_EQ(nb, na + 1);
  a.Release();
  InstanceLock c;
  EXPECT_EQ(ClaimInstanceNumber(c), na);
}

}  // namespace
}  // namespace r9

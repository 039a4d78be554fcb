#include "platform/lock_file_name.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/instance_number.h"

namespace r9 {
namespace {

TEST(LockFileNameTest, Examples) {
  const struct {
    std::string name;
    std::string file;
  } cases[] = {
      {"KORVEN R9 System v1.10 Updater", "KORVEN_20R9_20System_20v1.10_20Updater.lock"},
      {"KORVEN R9 System v1.10 Updater (2)", "KORVEN_20R9_20System_20v1.10_20Updater_20_282_29.lock"},
      {"a/b", "a_2Fb.lock"},
      {"..", "_2E..lock"},
      {".hidden", "_2Ehidden.lock"},
      {"", ".lock"},
      {"\xE9", "_E9.lock"},
  };
  for (const auto& c : cases) EXPECT_EQ(LockFileName(c.name), c.file) << c.name;
}

TEST(LockFileNameTest, DistinctNamesGiveDistinctFiles) {
  std::set<std::string> files;
  const char* names[] = {"a b", "a_b", "a_20b", "a.b", "a-b", "A b"};
  for (const char* name : names) EXPECT_TRUE(files.insert(LockFileName(name)).second) << name;
  for (int n = 1; n <= kMaxInstances; ++n) EXPECT_TRUE(files.insert(LockFileName(InstanceLockName(n))).second) << n;
}

TEST(LockFileNameTest, NeverLeavesTheFolder) {
  for (const std::string name : {"../x", "/etc/passwd", "x/../../y", "\\x"}) {
    const std::string file = LockFileName(name);
    EXPECT_EQ(file.find('/'), std::string::npos) << name;
    EXPECT_NE(file.front(), '.') << name;
  }
}

TEST(InstanceLockNameTest, NamesPerNumber) {
  EXPECT_EQ(InstanceLockName(1), "KORVEN R9 System v1.10 Updater");
  EXPECT_EQ(InstanceLockName(2), "KORVEN R9 System v1.10 Updater (2)");
  EXPECT_EQ(InstanceLockName(20), "KORVEN R9 System v1.10 Updater (20)");
}

}  // namespace
}  // namespace r9

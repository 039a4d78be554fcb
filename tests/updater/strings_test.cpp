#include "updater/strings.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace r9 {
namespace {

TEST(Strings, TextsWithSignificantBlanks) {
  char text[128];
  std::snprintf(text, sizeof text, LoadString(IDS_DATA_TRANSMIT).c_str(), 4096, 110592);
  EXPECT_STREQ(text, "Data transmit  4096 / 110592 ");
  EXPECT_EQ(LoadString(IDS_BLANK), " ");
  EXPECT_EQ(LoadString(IDS_ABOUTBOX), "About KORVEN R9 Updater(&A)...");
  EXPECT_EQ(LoadString(999), "");
  std::snprintf(text, sizeof text, kTooManyInstances, 20);
  EXPECT_STREQ(text, "It is forbidden to launch more than 20 instance of this application.");
}

TEST(Strings, TableIsInIdOrderWithoutGaps) {
  for (size_t i = 0; i < std::size(kStringTable); ++i) EXPECT_EQ(kStringTable[i].id, 101 + int(i));
}

}  // namespace
}  // namespace r9

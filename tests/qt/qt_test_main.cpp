// GoogleTest with a QApplication on the offscreen platform: the window's tests need no display.
#include <gtest/gtest.h>

#include <QApplication>

#include "app/qt/dialog_units.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (at build time) needs no window system.
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setFont(r9::qt::DialogFont());
  return RUN_ALL_TESTS();
}

# The Qt window r9-updater. Sets R9_HAVE_QT when Qt 6 Widgets is there and the window is wanted;
# returns early otherwise (the thread-sanitizer build turns it off: the distribution's Qt is not
# built for that sanitizer and would report races inside its own locks).
option(R9_WITH_QT "Build the Qt window r9-updater" ON)
set(R9_HAVE_QT OFF)
if(NOT R9_WITH_QT)
  message(STATUS "Qt window: off (R9_WITH_QT)")
  return()
endif()
find_package(Qt6 QUIET COMPONENTS Widgets)
if(NOT Qt6Widgets_FOUND)
  message(STATUS "Qt window: Qt 6 Widgets not found, not built")
  return()
endif()
find_package(Qt6 QUIET COMPONENTS Test)
set(R9_HAVE_QT ON)
message(STATUS "Qt window: Qt ${Qt6Widgets_VERSION}")

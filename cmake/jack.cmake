# The JACK backend: built when R9_WITH_JACK is on and libjack is found. It adds its sources to
# r9_platform and the definition R9_HAVE_JACK, which puts it into the default MIDI driver.
option(R9_WITH_JACK "Build the JACK MIDI backend and r9-device-sim when libjack is found" ON)
# Seen by the folders after platform/ (the device program, the tests).
set(R9_HAVE_JACK OFF CACHE INTERNAL "")
if(NOT R9_WITH_JACK OR WIN32)
  return()
endif()
find_package(PkgConfig QUIET)
if(NOT PKG_CONFIG_FOUND)
  message(STATUS "JACK backend: off (pkg-config not found)")
  return()
endif()
pkg_check_modules(JACK QUIET IMPORTED_TARGET jack)
if(NOT JACK_FOUND)
  message(STATUS "JACK backend: off (libjack not found)")
  return()
endif()
message(STATUS "JACK backend: on (libjack ${JACK_VERSION})")
set(R9_HAVE_JACK ON CACHE INTERNAL "")
target_sources(r9_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/../platform/jack/jack_transport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/../platform/jack/jack_midi_client.cpp
)
target_compile_definitions(r9_platform PRIVATE R9_HAVE_JACK)
target_link_libraries(r9_platform PUBLIC PkgConfig::JACK)

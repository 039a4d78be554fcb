# The ALSA raw MIDI backend (the hardware MIDI ports on Linux), built when alsa-lib is there.
option(R9_WITH_ALSA "Build the ALSA raw MIDI backend" ON)
set(R9_HAVE_ALSA OFF CACHE INTERNAL "The ALSA backend is built")
if(NOT R9_WITH_ALSA OR WIN32)
  return()
endif()
find_package(ALSA QUIET)
if(NOT ALSA_FOUND)
  message(STATUS "alsa-lib not found: no ALSA raw MIDI backend")
  return()
endif()
set(R9_HAVE_ALSA ON CACHE INTERNAL "The ALSA backend is built")
target_sources(r9_platform PRIVATE
  ${CMAKE_SOURCE_DIR}/platform/alsa/alsa_enumeration.cpp
  ${CMAKE_SOURCE_DIR}/platform/alsa/alsa_lib.cpp
  ${CMAKE_SOURCE_DIR}/platform/alsa/alsa_transport.cpp
  ${CMAKE_SOURCE_DIR}/platform/alsa/alsa_ports.cpp
)
target_link_libraries(r9_platform PUBLIC ALSA::ALSA)
target_compile_definitions(r9_platform PUBLIC R9_HAVE_ALSA)

# Cross-compiles the Windows programs with mingw-w64 (x86-64, POSIX thread model, so that
# std::thread and std::mutex are there). Static libgcc, libstdc++ and winpthreads: the
# executables need nothing beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(R9_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${R9_MINGW_PREFIX}-gcc-posix ${R9_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${R9_MINGW_PREFIX}-g++-posix ${R9_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${R9_MINGW_PREFIX}-windres REQUIRED)
set(CMAKE_ASM_COMPILER ${CMAKE_C_COMPILER})

set(CMAKE_FIND_ROOT_PATH /usr/${R9_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine: gtest_discover_tests lists their tests through it, and CTest
# runs them through it.
find_program(R9_WINE NAMES wine)
if(R9_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${R9_WINE})
endif()

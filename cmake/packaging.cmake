# Installation and packages: the programs, their manual pages, the README and docs/, the desktop entry and
# the icons where the platform expects them; CPack makes the Debian package r9-updater on Linux
# and the zip r9-updater-<version>-win64.zip from the Windows build. Included last from the top
# CMakeLists.txt, once every program's target exists.

# The name of the carried firmware, read from its one home so that it is written nowhere else.
file(STRINGS ${CMAKE_SOURCE_DIR}/firmware/firmware_version.h R9_FIRMWARE_VERSION_LINE
     REGEX "^#define R9_FIRMWARE_VERSION_TEXT \"")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" R9_FIRMWARE_VERSION_TEXT "${R9_FIRMWARE_VERSION_LINE}")

set(CPACK_PACKAGE_NAME r9-updater)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "R9 Updater developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the KORVEN R9 audio device")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/cpack)
set(R9_PACKAGE_MAINTAINER "R9 Updater maintainers <r9-updater@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

if(WIN32)
  # The zip: the two programs and a short read-me with Windows line ends, in one folder.
  set(R9_PACKAGED_PROGRAMS "")
  foreach(program Updater r9-updater-cli)
    if(TARGET ${program})
      list(APPEND R9_PACKAGED_PROGRAMS ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
    endif()
  endforeach()
  # What ./package builds before it runs CPack: only what goes into the zip.
  add_custom_target(r9_package_contents DEPENDS ${R9_PACKAGED_PROGRAMS})
  configure_file(${CMAKE_SOURCE_DIR}/packaging/README-windows.txt.in ${CMAKE_BINARY_DIR}/README.txt @ONLY
                 NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
  # The licence, and the licences of the runtime libraries that mingw-w64 links in statically.
  configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_BINARY_DIR}/LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows-licences.txt ${CMAKE_BINARY_DIR}/THIRD-PARTY-LICENCES.txt
                 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/LICENSE.txt ${CMAKE_BINARY_DIR}/THIRD-PARTY-LICENCES.txt DESTINATION .)
  # The same pages as the Debian package's, for whoever supports a Windows user.
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs DESTINATION . FILES_MATCHING PATTERN "*.md")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_STRIP_FILES TRUE)
  set(CPACK_PACKAGE_FILE_NAME r9-updater-${PROJECT_VERSION}-win64)
  include(CPack)
  return()
endif()

# Debian's places: documentation under the package's own name, never the CMake project's.
include(GNUInstallDirs)
set(R9_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

# Manual pages, filled in with the version and the firmware's name, compressed as Debian wants
# them (gzip -9, no time stamp, so that two builds give the same bytes).
set(R9_MAN_DIR ${CMAKE_BINARY_DIR}/man)
set(R9_PACKAGED_PROGRAMS "")
set(R9_MAN_FILES "")
foreach(program r9-updater-cli r9-updater r9-device-sim)
  if(NOT TARGET ${program})
    continue()
  endif()
  list(APPEND R9_PACKAGED_PROGRAMS ${program})
  # The window is installed by app/qt with its desktop entry and icons.
  if(NOT program STREQUAL "r9-updater")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  if(EXISTS ${CMAKE_SOURCE_DIR}/man/${program}.1.in)
    configure_file(${CMAKE_SOURCE_DIR}/man/${program}.1.in ${R9_MAN_DIR}/${program}.1 @ONLY)
    add_custom_command(OUTPUT ${R9_MAN_DIR}/${program}.1.gz
      COMMAND gzip -9 -n -k -f ${R9_MAN_DIR}/${program}.1
      DEPENDS ${R9_MAN_DIR}/${program}.1 ${CMAKE_SOURCE_DIR}/man/${program}.1.in
      VERBATIM)
    list(APPEND R9_MAN_FILES ${R9_MAN_DIR}/${program}.1.gz)
  else()
    message(WARNING "${program} has no manual page (man/${program}.1.in)")
  endif()
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/packaging/changelog ${CMAKE_BINARY_DIR}/packaging/changelog
  COMMAND gzip -9 -n -f ${CMAKE_BINARY_DIR}/packaging/changelog
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(r9_package_files ALL DEPENDS ${R9_MAN_FILES} ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
# What ./package builds before it runs CPack: only what goes into the package.
add_custom_target(r9_package_contents DEPENDS ${R9_PACKAGED_PROGRAMS} r9_package_files)
if(TARGET r9_icons)
  add_dependencies(r9_package_contents r9_icons)  # the window's hicolor icons
endif()

install(FILES ${R9_MAN_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
              ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${R9_INSTALL_DOCDIR})
# The README's links point into docs/, so the pages keep that folder beside it.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs DESTINATION ${R9_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")

# The package's version is the program's; its changelog must have an entry for it.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog R9_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT R9_CHANGELOG_TOP MATCHES "^r9-updater \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/changelog has no entry for version ${PROJECT_VERSION} at its top")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${R9_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# Libraries from the programs' links; the window also loads Qt's platform plugins and draws the
# Japanese port names with a font that no link names.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET r9-updater)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-ipafont-gothic")
endif()
# The synopsis line comes from the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Writes the firmware set ${R9_FIRMWARE_VERSION_TEXT} into a KORVEN R9 audio
device over MIDI System Exclusive messages, and reads the version stamps that
the device holds. The package holds the updater window r9-updater, the console
program r9-updater-cli for scripts and headless machines, and the simulated
device r9-device-sim for trying the updater without hardware.")
include(CPack)

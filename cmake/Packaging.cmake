# What is installed, and the packages made from it with CPack: on Linux a Debian package,
# on Windows an installer and a zip. Every version number in them comes from the project's
# version (project() in CMakeLists.txt).

# The licence, named the way each system expects to find it.
set(WAKELET_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_NAME wakelet)
set(CPACK_PACKAGE_VENDOR Wakelet)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep the default audio output awake with a tone below hearing")
set(CPACK_RESOURCE_FILE_LICENSE ${WAKELET_LICENSE})
set(CPACK_STRIP_FILES ON)

if(NOT WIN32)
  include(GNUInstallDirs)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/packaging)

  # Debian wants the manual page and the changelog compressed at the highest level, and
  # without a time stamp, so that a rebuild makes the same bytes.
  configure_file(doc/wakelet.1.in ${generated}/wakelet.1 @ONLY)
  add_custom_command(OUTPUT ${generated}/wakelet.1.gz ${generated}/changelog.gz
    COMMAND gzip -9n -c ${generated}/wakelet.1 > ${generated}/wakelet.1.gz
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/changelog > ${generated}/changelog.gz
    DEPENDS ${generated}/wakelet.1 ${PROJECT_SOURCE_DIR}/packaging/changelog
    VERBATIM)
  add_custom_target(wakelet_documents ALL DEPENDS ${generated}/wakelet.1.gz ${generated}/changelog.gz)

  # The machine-readable copyright file carries the licence's text, taken from LICENSE.
  file(STRINGS ${WAKELET_LICENSE} license_lines)
  list(SUBLIST license_lines 4 -1 license_lines)  # past the title and the copyright line
  set(license_text "")
  foreach(line IN LISTS license_lines)
    if(line STREQUAL "")
      string(APPEND license_text " .\n")
    else()
      string(APPEND license_text " ${line}\n")
    endif()
  endforeach()
  file(WRITE ${generated}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: Wakelet\n"
    "\n"
    "Files: *\n"
    "Copyright: 2026 The Wakelet authors\n"
    "License: Expat\n"
    "\n"
    "License: Expat\n"
    "${license_text}")

  configure_file(packaging/wakelet.service.in ${generated}/wakelet.service @ONLY)

  install(TARGETS wakelet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${generated}/wakelet.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${generated}/wakelet.service DESTINATION lib/systemd/user)
  install(FILES ${generated}/copyright ${generated}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The role address that answers for the package; a release build names a real one.
  set(WAKELET_MAINTAINER "Wakelet maintainers <team@wakelet.invalid>" CACHE STRING
    "Maintainer of the Debian package: a name and a role address")
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_CONTACT "${WAKELET_MAINTAINER}")
  set(CPACK_PACKAGE_DESCRIPTION [=[
Many USB DACs, HDMI receivers, Bluetooth speakers and powered monitors go to
standby when they have been idle for a while, and then clip or pop the start
of the next sound; sound servers suspend idle outputs too. While wakelet runs,
it keeps the default audio output busy with a 10 Hz sine at one tenth of full
scale: below hearing, but a real signal, so nothing goes to sleep.

When a PulseAudio-protocol server answers (PulseAudio, or PipeWire with
pipewire-pulse), it plays to that server's default output through libpulse;
otherwise it plays through ALSA's default device. A systemd user unit starts
it at login.]=])
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The servers that speak the PulseAudio protocol, which the program prefers to ALSA.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The architecture is the target's, not the build machine's: a cross build packages
  # for the machine it builds for.
  if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^i[3-6]86$")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^armv7")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
    else()
      message(FATAL_ERROR "No Debian architecture known for the processor ${CMAKE_SYSTEM_PROCESSOR}: "
                          "set CPACK_DEBIAN_PACKAGE_ARCHITECTURE")
    endif()
  endif()
  include(CPack)
endif()

if(WIN32)
  # wakelet.exe's version record. Its file version follows the project's version
  # (0.5 gives 0.0.5.0); its product version is the product's own number, 1.0.0.0.
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/packaging)
  set(file_version 0 ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} 0)
  if(PROJECT_VERSION_PATCH)
    set(file_version 0 ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH})
  endif()
  set(product_version 1 0 0 0)
  list(JOIN file_version "," WAKELET_FILE_VERSION)
  list(JOIN file_version "." WAKELET_FILE_VERSION_TEXT)
  list(JOIN product_version "," WAKELET_PRODUCT_VERSION)
  list(JOIN product_version "." WAKELET_PRODUCT_VERSION_TEXT)
  file(CONFIGURE OUTPUT ${generated}/wakelet_version.h CONTENT [=[
#define WAKELET_FILE_VERSION @WAKELET_FILE_VERSION@
#define WAKELET_FILE_VERSION_TEXT "@WAKELET_FILE_VERSION_TEXT@"
#define WAKELET_PRODUCT_VERSION @WAKELET_PRODUCT_VERSION@
#define WAKELET_PRODUCT_VERSION_TEXT "@WAKELET_PRODUCT_VERSION_TEXT@"
]=] @ONLY)
  target_include_directories(wakelet PRIVATE ${generated})

  # Both packages hold wakelet.exe, the licence and a short readme, side by side.
  configure_file(packaging/windows/README.txt.in ${generated}/README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(${WAKELET_LICENSE} ${generated}/LICENSE.txt COPYONLY)
  install(TARGETS wakelet RUNTIME DESTINATION .)
  install(FILES ${generated}/LICENSE.txt ${generated}/README.txt DESTINATION .)

  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_PACKAGE_FILE_NAME Wakelet-${PROJECT_VERSION}-win64)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Wakelet)
  set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Wakelet)
  set(CPACK_NSIS_PACKAGE_NAME Wakelet)
  set(CPACK_NSIS_DISPLAY_NAME Wakelet)
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_INSTALLED_ICON_NAME wakelet.exe)
  # The Start Menu shortcut.
  set(CPACK_PACKAGE_EXECUTABLES wakelet Wakelet)
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
  # A 64-bit installer, and the "Start Wakelet when I sign in" choice (startup.nsh).
  set(CPACK_NSIS_DEFINES
    "Target amd64-unicode\n!include '${PROJECT_SOURCE_DIR}/packaging/windows/startup.nsh'")
  set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "Call WakeletStartupFromCommandLine")
  set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "Call un.WakeletRemoveStartupShortcut")
  include(CPack)
endif()

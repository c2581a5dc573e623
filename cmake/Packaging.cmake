# The installed layout and the Debian package: tessamer and vellumetric-sim in /usr/bin, their
# man pages (made from --help by help2man), the service unit, the example configuration as
# /etc/tessamer/tessamer.conf, the desktop entry and the icon.
#   scripts/package.sh             the release package, checked with --check
#   cmake --build build --target package, or cpack in the build folder: the same from any build
# The man pages run the built programs, so a cross build, a sanitizer build or a build without
# the window (no tessamer) makes neither man pages nor a package; nor does a machine without
# help2man or gzip.

if(CMAKE_CROSSCOMPILING OR TESSAMER_SANITIZE OR NOT TESSAMER_BUILD_APP OR NOT TARGET vellumetric-sim)
  return()
endif()
find_program(HELP2MAN_PROGRAM help2man)
find_program(GZIP_PROGRAM gzip)
if(NOT HELP2MAN_PROGRAM OR NOT GZIP_PROGRAM)
  message(STATUS "Packaging: off (help2man or gzip not found)")
  return()
endif()

# The package is a system install: programs under /usr whatever CMAKE_INSTALL_PREFIX says, the
# settings in /etc/tessamer, where the unit looks for them (it starts /usr/bin/tessamer).
include(GNUInstallDirs)

set(TESSAMER_PACKAGE_SOURCE ${CMAKE_SOURCE_DIR}/packaging)
set(TESSAMER_PACKAGE_FILES ${CMAKE_BINARY_DIR}/packaging)
set(TESSAMER_MAINTAINER "Vellumetric Systems <tessamer@vellumetric.example>")
set(TESSAMER_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tessamer)

# The changelog's newest entry names the version being packaged.
file(STRINGS ${TESSAMER_PACKAGE_SOURCE}/changelog changelogTop LIMIT_COUNT 1)
if(NOT changelogTop MATCHES "^tessamer \\(${PROJECT_VERSION}\\) ")
  message(SEND_ERROR "packaging/changelog: the first entry is not version ${PROJECT_VERSION}; "
                     "add an entry for it")
endif()

# One man page, gzipped as Debian keeps them: tessamer_man_page(program "whatis text" args...).
# The program runs without a display, so a --help that started the window would fail the build.
function(tessamer_man_page program name)
  set(page ${TESSAMER_PACKAGE_FILES}/${program}.1)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
            ${HELP2MAN_PROGRAM} --no-info --section=1 "--name=${name}"
            --include=${TESSAMER_PACKAGE_SOURCE}/${program}.h2m ${ARGN}
            --output=${page} $<TARGET_FILE:${program}>
    COMMAND ${GZIP_PROGRAM} -9nf ${page}
    DEPENDS ${program} ${TESSAMER_PACKAGE_SOURCE}/${program}.h2m
    COMMENT "Man page ${program}(1)"
    VERBATIM)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

file(MAKE_DIRECTORY ${TESSAMER_PACKAGE_FILES})
tessamer_man_page(tessamer "merge live data from wellsite logger boxes and serve it to viewers")
tessamer_man_page(vellumetric-sim "simulated Vellumetric logger boxes on loopback addresses"
                  --version-string=${PROJECT_VERSION})

add_custom_command(OUTPUT ${TESSAMER_PACKAGE_FILES}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${TESSAMER_PACKAGE_SOURCE}/changelog
          ${TESSAMER_PACKAGE_FILES}/changelog
  COMMAND ${GZIP_PROGRAM} -9nf ${TESSAMER_PACKAGE_FILES}/changelog
  DEPENDS ${TESSAMER_PACKAGE_SOURCE}/changelog
  VERBATIM)
add_custom_target(tessamer_package_files ALL DEPENDS
  ${TESSAMER_PACKAGE_FILES}/tessamer.1.gz
  ${TESSAMER_PACKAGE_FILES}/vellumetric-sim.1.gz
  ${TESSAMER_PACKAGE_FILES}/changelog.gz)

install(FILES ${TESSAMER_PACKAGE_SOURCE}/tessamer.conf DESTINATION /etc/tessamer)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/tessamer.service DESTINATION lib/systemd/system)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/tessamer.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/tessamer.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/copyright ${TESSAMER_PACKAGE_FILES}/changelog.gz
        DESTINATION ${TESSAMER_DOC_DIR})

# The Debian package.
file(WRITE ${TESSAMER_PACKAGE_FILES}/conffiles "/etc/tessamer/tessamer.conf\n")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessamer)
set(CPACK_PACKAGE_VENDOR "Vellumetric Systems")
set(CPACK_PACKAGE_CONTACT ${TESSAMER_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hub that merges wellsite logger boxes into one data stream")
set(CPACK_PACKAGE_DESCRIPTION
"Tessamer reads live data from up to sixteen Vellumetric logger boxes on the
local network, merges their channels into one combined job and serves it to
viewer programs on TCP port 5000 as a single box would. It relays setpoint
commands from a setpoint utility (TCP port 5009) to the box that owns each
channel.

The package holds the hub with its operator window, a service that runs it
without a window (tessamer.service, not enabled at installation), and
vellumetric-sim, a simulator of logger boxes for trials on one machine.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TESSAMER_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps names the Qt, libstdc++, C library and libsystemd packages from the binaries
# themselves (libsystemd0 when the program was built with sd_notify).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${TESSAMER_PACKAGE_FILES}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The installed layout and the two Debian packages:
#   tessamer         (component hub)     the hub without Qt, vellumetric-sim, their man pages (made
#                                        from --help by help2man), the service unit and its
#                                        maintainer scripts, the example configuration as
#                                        /etc/tessamer/tessamer.conf, the log's logrotate snippet,
#                                        README, changelog and copyright
#   tessamer-window  (component window)  the window program, its man page, desktop entry and icon;
#                                        depends on tessamer of the same version
#   scripts/package.sh             both packages, checked with --check
#   cmake --build build --target package, or cpack in the build folder: the same from any build
# The man pages run the built programs, so a cross build, a sanitizer build or a build without
# the window makes neither man pages nor packages; nor does a machine without help2man or gzip.

if(CMAKE_CROSSCOMPILING OR TESSAMER_SANITIZE OR NOT TESSAMER_BUILD_APP OR NOT TARGET vellumetric-sim)
  return()
endif()
find_program(HELP2MAN_PROGRAM help2man)
find_program(GZIP_PROGRAM gzip)
if(NOT HELP2MAN_PROGRAM OR NOT GZIP_PROGRAM)
  message(STATUS "Packaging: off (help2man or gzip not found)")
  return()
endif()

# The packages are a system install: programs under /usr whatever CMAKE_INSTALL_PREFIX says, the
# settings in /etc, where the unit looks for them (it starts /usr/bin/tessamer).
include(GNUInstallDirs)

set(TESSAMER_PACKAGE_SOURCE ${CMAKE_SOURCE_DIR}/packaging)
set(TESSAMER_PACKAGE_FILES ${CMAKE_BINARY_DIR}/packaging)
set(TESSAMER_MAINTAINER "Vellumetric Systems <tessamer@vellumetric.example>")

# The changelog's newest entry names the version being packaged.
file(STRINGS ${TESSAMER_PACKAGE_SOURCE}/changelog changelogTop LIMIT_COUNT 1)
if(NOT changelogTop MATCHES "^tessamer \\(${PROJECT_VERSION}\\) ")
  message(SEND_ERROR "packaging/changelog: the first entry is not version ${PROJECT_VERSION}; "
                     "add an entry for it")
endif()

# A file of `source` gzipped as Debian keeps documentation: tessamer_gzipped(output source).
function(tessamer_gzipped output source)
  get_filename_component(name ${output} NAME_WLE)
  add_custom_command(OUTPUT ${TESSAMER_PACKAGE_FILES}/${output}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${TESSAMER_PACKAGE_FILES}/${name}
    COMMAND ${GZIP_PROGRAM} -9nf ${TESSAMER_PACKAGE_FILES}/${name}
    DEPENDS ${source}
    VERBATIM)
endfunction()

# One man page from --help: tessamer_man_page(program component "whatis text" args...). The
# program runs without a display, so a --help that started the window would fail the build.
function(tessamer_man_page program component name)
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
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

file(MAKE_DIRECTORY ${TESSAMER_PACKAGE_FILES})
tessamer_man_page(tessamer hub "merge live data from wellsite logger boxes and serve it to viewers")
tessamer_man_page(vellumetric-sim hub "simulated Vellumetric logger boxes on loopback addresses"
                  --version-string=${PROJECT_VERSION})
# The window's page is our own (its options are tessamer's); only the version is filled in.
configure_file(${TESSAMER_PACKAGE_SOURCE}/tessamer-window.1.in
               ${TESSAMER_PACKAGE_FILES}/tessamer-window.1.in @ONLY)
tessamer_gzipped(tessamer-window.1.gz ${TESSAMER_PACKAGE_FILES}/tessamer-window.1.in)
tessamer_gzipped(changelog.gz ${TESSAMER_PACKAGE_SOURCE}/changelog)
tessamer_gzipped(README.md.gz ${CMAKE_SOURCE_DIR}/README.md)
add_custom_target(tessamer_package_files ALL DEPENDS
  ${TESSAMER_PACKAGE_FILES}/tessamer.1.gz
  ${TESSAMER_PACKAGE_FILES}/vellumetric-sim.1.gz
  ${TESSAMER_PACKAGE_FILES}/tessamer-window.1.gz
  ${TESSAMER_PACKAGE_FILES}/changelog.gz
  ${TESSAMER_PACKAGE_FILES}/README.md.gz)

# tessamer: the hub.
install(FILES ${TESSAMER_PACKAGE_SOURCE}/tessamer.conf DESTINATION /etc/tessamer COMPONENT hub)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/tessamer.logrotate DESTINATION /etc/logrotate.d
        RENAME tessamer COMPONENT hub)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/tessamer.service DESTINATION lib/systemd/system COMPONENT hub)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/copyright ${TESSAMER_PACKAGE_FILES}/changelog.gz
              ${TESSAMER_PACKAGE_FILES}/README.md.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tessamer COMPONENT hub)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/tessamer.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tessamer COMPONENT hub)

# tessamer-window: the window.
install(FILES ${TESSAMER_PACKAGE_FILES}/tessamer-window.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT window)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/tessamer-window.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT window)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/tessamer.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT window)
install(FILES ${TESSAMER_PACKAGE_SOURCE}/copyright ${TESSAMER_PACKAGE_FILES}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tessamer-window COMPONENT window)

# The hub's control files: its configuration files, and the maintainer scripts under the names
# dpkg gives them.
set(hubControl ${TESSAMER_PACKAGE_FILES}/hub-control)
file(MAKE_DIRECTORY ${hubControl})
file(WRITE ${hubControl}/conffiles "/etc/logrotate.d/tessamer\n/etc/tessamer/tessamer.conf\n")
foreach(script postinst prerm postrm)
  configure_file(${TESSAMER_PACKAGE_SOURCE}/tessamer.${script} ${hubControl}/${script} COPYONLY)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessamer)
set(CPACK_PACKAGE_VENDOR "Vellumetric Systems")
set(CPACK_PACKAGE_CONTACT ${TESSAMER_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL hub window)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TESSAMER_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps names the libstdc++, C library, libsystemd, cpp-httplib and (for the window) Qt
# packages from the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_HUB_PACKAGE_NAME tessamer)
# adduser makes the service's user in postinst.
set(CPACK_DEBIAN_HUB_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_HUB_PACKAGE_SUGGESTS "tessamer-window, logrotate")
set(CPACK_DEBIAN_HUB_PACKAGE_CONTROL_EXTRA
  ${hubControl}/conffiles ${hubControl}/postinst ${hubControl}/prerm ${hubControl}/postrm)
set(CPACK_DEBIAN_HUB_DESCRIPTION
"hub that merges wellsite logger boxes into one data stream
Tessamer reads live data from up to sixteen Vellumetric logger boxes on the
local network, merges their channels into one combined job and serves it to
viewer programs on TCP port 5000 as a single box would. It relays setpoint
commands from a setpoint utility (TCP port 5009) to the box that owns each
channel.

This package holds the hub without a window (it needs no graphical
libraries), a service that runs it (tessamer.service, not enabled at
installation) as the system user tessamer, and vellumetric-sim, a simulator
of logger boxes for trials on one machine. The operator window is in the
package tessamer-window.")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME tessamer-window)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "tessamer (= ${PROJECT_VERSION})")
# Before the two packages, tessamer held the window, its desktop entry and its icon.
set(CPACK_DEBIAN_WINDOW_PACKAGE_BREAKS "tessamer (<< ${PROJECT_VERSION})")
set(CPACK_DEBIAN_WINDOW_PACKAGE_REPLACES "tessamer (<< ${PROJECT_VERSION})")
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION science)
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
"operator window of the Tessamer wellsite data hub
Tessamer reads live data from up to sixteen Vellumetric logger boxes on the
local network, merges their channels into one combined job and serves it to
viewer programs as a single box would.

This package holds the hub's operator window (tessamer-window, started by
tessamer without --headless and by its desktop entry): a row per box with
its address and a lamp for its state, tables of the boxes and viewers, and
trends of the combined channels.")
include(CPack)

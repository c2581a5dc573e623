# A cross build (Windows, cmake/mingw-w64-x86_64.cmake) has no Qt and takes its header-only
# libraries from the build machine: Asio and CLI11 through a folder of links to just their
# headers (the build machine's whole include folder would shadow the target's system headers),
# and GoogleTest built from Debian's sources (package googletest).
set(TESSAMER_BUILD_APP OFF CACHE BOOL "Build the Qt application and its tests" FORCE)
set(TESSAMER_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks" FORCE)

set(TESSAMER_HOST_INCLUDE_DIR /usr/include CACHE PATH "Where the build machine keeps Asio and CLI11")
set(TESSAMER_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources")

set(hostHeaders ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${hostHeaders})
foreach(entry asio asio.hpp CLI nlohmann httplib.h)
  if(NOT EXISTS ${TESSAMER_HOST_INCLUDE_DIR}/${entry})
    message(FATAL_ERROR "${TESSAMER_HOST_INCLUDE_DIR}/${entry} is missing (packages libasio-dev, libcli11-dev, nlohmann-json3-dev, libcpp-httplib-dev)")
  endif()
  file(CREATE_LINK ${TESSAMER_HOST_INCLUDE_DIR}/${entry} ${hostHeaders}/${entry} SYMBOLIC)
endforeach()
set(ASIO_INCLUDE_DIR ${hostHeaders} CACHE PATH "Asio's headers" FORCE)

set(HTTPLIB_INCLUDE_DIR ${hostHeaders} CACHE PATH "cpp-httplib's header" FORCE)
foreach(target CLI11::CLI11 nlohmann_json::nlohmann_json)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${target} SYSTEM INTERFACE ${hostHeaders})
endforeach()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${TESSAMER_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Cross build for 64-bit Windows with Debian's MinGW-w64 (package g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The posix thread model gives std::thread and std::mutex; the runtime is linked statically, so
# each .exe runs on its own (under Wine too) without MinGW's DLLs beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSAMER_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSAMER_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSAMER_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSAMER_MINGW_TRIPLE}-windres)

# Libraries and headers come from the MinGW-w64 tree only; the build's own programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TESSAMER_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine's 64-bit loader (Debian's wine64 keeps it off PATH).
find_program(TESSAMER_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TESSAMER_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TESSAMER_WINE64})
endif()

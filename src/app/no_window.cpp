// The program built without the toolkit: tessamer on Linux, whose window is a program of its own,
// and the Windows build, which has none. Everything but the window runs here; asked for the
// window, tessamer hands its whole command line to tessamer-window beside its own executable (as
// installed, /usr/bin, and in the build tree, src/app) by exec, so the window program becomes
// this process and its exit status is the program's. Without tessamer-window, one line says which
// package brings it, exit status 2.

#include <cstdio>

#include "app/cli/headless_runner.h"
#include "app/window_main.h"

#if !defined(_WIN32)
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>
#endif

namespace tessamer {
namespace {

#if !defined(_WIN32)
// The window program, and the package that installs it beside tessamer.
constexpr const char* kWindowProgram = "tessamer-window";

// The folder of this process's executable; empty when it cannot be told.
std::filesystem::path OwnFolder(const char* argv0) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error && argv0 != nullptr && std::strchr(argv0, '/') != nullptr) self = argv0;
  return self.parent_path();
}
#endif

}  // namespace

#if defined(_WIN32)

int RunWindow(int&, char**, const CommandLine&) {
  std::fputs("tessamer: this build has no window; run it with --headless\n", stderr);
  return kExitBadOptions;
}

#else

int RunWindow(int&, char** argv, const CommandLine&) {
  const std::filesystem::path folder = OwnFolder(argv[0]);
  const std::string window = (folder / kWindowProgram).string();
  if (folder.empty() || ::access(window.c_str(), X_OK) != 0) {
    std::fprintf(stderr,
                 "tessamer: the window is in the package %s, which is not installed; install it, "
                 "or run tessamer with --headless\n",
                 kWindowProgram);
    return kExitBadOptions;
  }
  argv[0] = const_cast<char*>(window.c_str());
  ::execv(window.c_str(), argv);  // returns only when it failed
  std::fprintf(stderr, "tessamer: %s could not be started: %s\n", window.c_str(), std::strerror(errno));
  return kExitBadOptions;
}

#endif

}  // namespace tessamer

// The program built without its window (the Windows build, or a build without Qt): --headless
// is the only way to run it.

#include <cstdio>

#include "app/cli/headless_runner.h"
#include "app/window_main.h"

namespace tessamer {

int RunWindow(int&, char**, const CommandLine&) {
  std::fputs("tessamer: this build has no window; run it with --headless\n", stderr);
  return kExitBadOptions;
}

}  // namespace tessamer

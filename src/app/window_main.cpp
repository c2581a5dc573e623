#include "app/window_main.h"

#include <cstdlib>

#include "app/cli/command_line.h"
#include "app/tessamer_app.h"

namespace tessamer {
namespace {

// The screenshot is asked for through the environment, so that the option list stays the one the
// program documents.
QString ScreenshotFile() {
  const char* file = std::getenv("TESSAMER_SCREENSHOT");
  return file != nullptr ? QString::fromLocal8Bit(file) : QString();
}

}  // namespace

int RunWindow(int& argc, char** argv, const CommandLine& commandLine) {
  WindowOptions options;
  options.logFile = commandLine.logFile;
  options.demo = commandLine.demo;
  options.hub = HubConfigOf(commandLine);
  options.boxPort = commandLine.boxPort;
  options.channelLimit = commandLine.channels;
  options.screenshotFile = ScreenshotFile();
  if (commandLine.statusPort) options.status = StatusEndpoint{commandLine.statusListen, *commandLine.statusPort};
  CTessamerApp application(std::move(options));
  return application.InitInstance(argc, argv);
}

}  // namespace tessamer

#include "app/window_main.h"

#include <cstdio>
#include <cstdlib>

#include "app/cli/command_line.h"
#include "app/cli/headless_runner.h"
#include "app/cli/status_options.h"
#include "app/tessamer_app.h"

namespace tessamer {
namespace {

// The screenshots are asked for through the environment, so that the option list stays the one
// the program documents.
QString Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? QString::fromLocal8Bit(value) : QString();
}

ScreenshotFiles ScreenshotFilesAsked() {
  ScreenshotFiles files;
  files.window = Environment("TESSAMER_SCREENSHOT");
  files.boxes = Environment("TESSAMER_SCREENSHOT_BOXES");
  files.liveData = Environment("TESSAMER_SCREENSHOT_LIVE_DATA");
  bool ok = false;
  const int seconds = Environment("TESSAMER_SCREENSHOT_SECONDS").toInt(&ok);
  if (ok && seconds > 0) files.viewSeconds = seconds;
  return files;
}

// Where the toolkit would need a display server and none is named, it would end the program
// with its own abort: say so in one line instead. A platform chosen explicitly (offscreen,
// for tests and screenshots) needs none.
bool DisplayMissing() {
#if defined(_WIN32) || defined(__APPLE__)
  return false;
#else
  const auto named = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
  };
  return !named("QT_QPA_PLATFORM") && !named("DISPLAY") && !named("WAYLAND_DISPLAY");
#endif
}

}  // namespace

int RunWindow(int& argc, char** argv, const CommandLine& commandLine) {
  if (DisplayMissing()) {
    std::fputs("tessamer: there is no display to open the window on; "
               "--headless runs the hub without a window\n", stderr);
    return kExitBadOptions;
  }
  WindowOptions options;
  options.logFile = commandLine.logFile;
  options.demo = commandLine.demo;
  options.hub = HubConfigOf(commandLine);
  options.boxPort = commandLine.boxPort;
  options.channelLimit = commandLine.channels;
  options.screenshot = ScreenshotFilesAsked();
  std::string error;
  if (!StatusEndpointOf(commandLine, options.status, error)) {
    std::fprintf(stderr, "tessamer: %s\n", error.c_str());
    return kExitBadOptions;
  }
  options.recording = RecordingChoiceOf(commandLine);
  options.record = !commandLine.noRecord;
  options.mqtt = commandLine.mqtt;
  CTessamerApp application(std::move(options));
  return application.InitInstance(argc, argv);
}

}  // namespace tessamer

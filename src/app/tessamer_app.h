#pragma once
// The application object: prepares the process (settings root, diagnostic log, message boxes,
// the demo's boxes), runs the operator window until it closes, and tidies up after it.

#include <QString>
#include <optional>
#include <string>

#include "app/cli/command_line.h"
#include "app/cli/job_recording.h"
#include "app/status/hub_with_status.h"
#include "app/screenshot_trigger.h"
#include "hub/core/hub_config.h"

namespace tessamer {

// What the window program is started with.
struct WindowOptions {
  std::string logFile;              // empty: DefaultLogPath() (app/cli/program_log.h)
  bool demo = false;                // simulated boxes instead of the stored addresses
  HubConfig hub;                    // ports and time-outs of the hub
  uint16_t boxPort = kBoxDataPort;  // data port of the box of every row
  int channelLimit = kDefaultChannelLimit;             // the Channels menu's choice at start
  ScreenshotFiles screenshot;       // any set: connect, wait for data, save the windows, close
  std::optional<StatusEndpoint> status;  // where the status endpoint listens; none: off
  RecordingChoice recording;  // no file: DefaultRecordingPath, unless `record` is false
  bool record = true;         // false: no recording at all
  MqttOptions mqtt;           // no url: no delivery to a broker
};

class CTessamerApp {
 public:
  explicit CTessamerApp(WindowOptions options);

  // Runs the window; returns the process's exit status (0 after a normal close).
  int InitInstance(int& argc, char** argv);

 private:
  WindowOptions options;
};

// "recording.sqlite" beside the diagnostic log's default path (its folder made when missing);
// empty when there is no such folder.
std::string DefaultRecordingPath();

}  // namespace tessamer

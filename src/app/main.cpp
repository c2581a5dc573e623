// tessamer and tessamer-window: one command line for both programs. With --headless one run is
// served without a window, --status shows the health of a running hub, --check-config prints the
// settings, and `tessamer export` writes a recording out; otherwise the operator window opens: in
// tessamer-window itself (window_main.cpp), while tessamer, built without the toolkit, hands its
// command line to tessamer-window (no_window.cpp).

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/cli/headless_main.h"
#include "app/cli/job_recording.h"
#include "app/cli/status_client.h"
#include "app/cli/status_options.h"
#include "app/window_main.h"
#include "hub/bridge/hub_bridge.h"
#include "version.h"

int main(int argc, char** argv) {
  using namespace tessamer;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args.front() == "export") return RunExport({args.begin() + 1, args.end()});
  CommandLine options;
  std::string error;
  if (!ParseCommandLine(args, options, error)) {
    std::fprintf(stderr, "tessamer: %s (see --help)\n", error.c_str());
    return kExitBadOptions;
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("tessamer %s\n", kVersionText);
    return 0;
  }
  if (options.checkConfig) {
    std::fputs(SettingsText(options).c_str(), stdout);
    return 0;
  }
  if (!options.statusQuery.empty()) {
    std::string token;
    if (!options.statusTokenFile.empty() && !ReadStatusToken(options.statusTokenFile, token, error)) {
      std::fprintf(stderr, "tessamer: %s\n", error.c_str());
      return kExitBadOptions;
    }
    return ShowStatus(options.statusQuery, token);
  }
  if (options.headless) {
    return RunHeadless(args, options,
                       [](INoticeSink* sink, const HubConfig& config) -> std::unique_ptr<IHubControl> {
                         return std::make_unique<CHubBridge>(sink, config);
                       });
  }
  return RunWindow(argc, argv, options);
}

// A build without SQLite keeps no recording: asking for one stops the start, and the export
// says why.

#include <cstdio>

#include "app/cli/headless_runner.h"
#include "app/cli/job_recording.h"

namespace tessamer {
namespace {

constexpr const char* kNoRecording =
    "this build has no job recording (SQLite was not found when it was built)";

}  // namespace

bool HasJobRecording() { return false; }

void AddRecordsRoute(const std::string&, StatusEndpoint&) {}

bool OpenJobRecording(const RecordingChoice& choice, RecordingReport,
                      std::shared_ptr<IJobOutput>& recording, std::string& error) {
  recording.reset();
  if (choice.file.empty()) return true;
  error = std::string("--record: ") + kNoRecording;
  return false;
}

int RunExport(const std::vector<std::string>&, const std::function<bool(std::string_view)>&,
              const std::function<void(const std::string&)>& err) {
  const std::string line = std::string("tessamer export: ") + kNoRecording;
  if (err) {
    err(line);
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  return kExitBadOptions;
}

RecentValues ReadRecentValues(const std::string&, WallClock::time_point,
                              std::chrono::milliseconds) {
  return {};
}

}  // namespace tessamer

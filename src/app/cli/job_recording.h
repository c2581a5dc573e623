#pragma once
// The job recording as the programs use it: opening the one the options ask for (before the hub
// starts), `tessamer export`, the window's first trend read back from it, and the recording's
// notes as lines of the headless output. A build without SQLite (the Windows cross build) has
// no recording: job_recording_none.cpp says so where one is asked for.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/cli/command_line.h"
#include "app/status/status_server.h"
#include "hub/core/job_output.h"
#include "recording/recording_settings.h"

namespace tessamer {

inline constexpr const char* kRecordingFileName = "recording.sqlite";  // the window's default

// Whether this build keeps a job recording.
bool HasJobRecording();

// What the options ask to be recorded, and within which limits.
struct RecordingChoice {
  std::string file;  // empty: no recording
  int keepDays = kRecordKeepDays;
  int64_t maxMiB = static_cast<int64_t>(kRecordMaxMiB);
  RecordsCommitted committed;       // a delivery's hooks (may be empty): records committed,
  UndeliveredDeleted undelivered;   // and undelivered records the size limit forced out
};

// --record's file, else `defaultFile` (empty: none); no file at all with --no-record.
RecordingChoice RecordingChoiceOf(const CommandLine& options, const std::string& defaultFile = {});

// Opens the recording `choice` names; `recording` stays null when it names no file. False with
// `error` (one line) when the program must not start: the file is of a newer schema or not a
// recording, or this build has no recording.
bool OpenJobRecording(const RecordingChoice& choice, RecordingReport report,
                      std::shared_ptr<IJobOutput>& recording, std::string& error);

// Adds GET /records, the records of the recording `file`, to the status endpoint's routes; nothing
// without a file or in a build without the recording (the page's trend then fills live).
void AddRecordsRoute(const std::string& file, StatusEndpoint& endpoint);

// `tessamer export FILE [--from TIME] [--to TIME] [--run N] [--format box|csv|jsonl]`: `args`
// are the words after "export". Writes to `out` (standard output when empty), a one-line reason
// to `err` (standard error). Returns the exit status: 0, 2 for bad options, a bad time or a file
// that is missing or not a recording, 1 when reading failed part of the way.
int RunExport(const std::vector<std::string>& args,
              const std::function<bool(std::string_view)>& out = {},
              const std::function<void(const std::string&)>& err = {});

// The recent past of a recording: the channels of its newest header (in header order) and the
// values of each channel, oldest first.
struct RecentValues {
  std::vector<ChannelSource> channels;
  std::map<std::string, std::vector<std::pair<WallClock::time_point, double>>> values;
};

// The records of `file` received from `since` on, at most one per `spacing`; a channel without
// a value is left out. Empty when there is no such file or it cannot be read.
RecentValues ReadRecentValues(const std::string& file, WallClock::time_point since,
                              std::chrono::milliseconds spacing);

// The recording's notes among the headless program's lines: held until the hub listens (its
// "listening" line stays the first), then written as they come. Writes one line at a time, the
// runner's and the recording's, through `out`.
// Threads: Report's callback from any thread; the runner's writer from the runner's.
class CRecordingLines {
 public:
  using LineWriter = std::function<void(const std::string&)>;
  explicit CRecordingLines(LineWriter out) : out(std::move(out)) {}
  // Writes what is still held (the hub never listened).
  ~CRecordingLines();
  CRecordingLines(const CRecordingLines&) = delete;
  CRecordingLines& operator=(const CRecordingLines&) = delete;

  // For the recording; `this` must outlive it.
  RecordingReport Report();
  // For the runner; `this` must outlive it.
  LineWriter RunnerWriter();
  // For the lines of other parts (the uplink's), as the recording's; `this` must outlive it.
  LineWriter Writer();

 private:
  void Write(const std::string& line, bool fromRunner);

  const LineWriter out;
  std::mutex lock;
  bool listening = false;          // guarded by lock
  std::vector<std::string> held;   // guarded by lock
};

}  // namespace tessamer

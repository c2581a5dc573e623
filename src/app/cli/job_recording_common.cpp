// What the programs do with the recording whether or not this build has one.

#include "app/cli/job_recording.h"

namespace tessamer {

RecordingChoice RecordingChoiceOf(const CommandLine& options, const std::string& defaultFile) {
  RecordingChoice choice;
  if (!options.noRecord) {
    choice.file = options.recordFile.empty() ? defaultFile : options.recordFile;
  }
  choice.keepDays = options.recordKeepDays;
  choice.maxMiB = options.recordMaxMiB;
  return choice;
}

CRecordingLines::~CRecordingLines() {
  for (const std::string& line : held) out(line);
}

RecordingReport CRecordingLines::Report() {
  return [this](const RecordingNote& note) { Write(note.line, false); };
}

CRecordingLines::LineWriter CRecordingLines::Writer() {
  return [this](const std::string& line) { Write(line, false); };
}

CRecordingLines::LineWriter CRecordingLines::RunnerWriter() {
  return [this](const std::string& line) { Write(line, true); };
}

void CRecordingLines::Write(const std::string& line, bool fromRunner) {
  std::lock_guard guard(lock);
  if (!fromRunner && !listening) {
    held.push_back(line);
    return;
  }
  out(line);
  if (!fromRunner || listening || line.rfind("listening", 0) != 0) return;
  listening = true;
  for (const std::string& waiting : held) out(waiting);
  held.clear();
}

}  // namespace tessamer

#pragma once
// What a recording is made with, and what it says of itself while it works.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "hub/core/health.h"
#include "hub/core/queued_output.h"

namespace tessamer {

inline constexpr int kRecordKeepDays = 30;                // records older than this go
inline constexpr uint64_t kRecordMaxMiB = 2048;           // the file is held below this
inline constexpr std::chrono::milliseconds kRecordCommitPeriod{100};  // while records come
inline constexpr size_t kRecordBatchEvents = 4096;        // ... or after this many events
inline constexpr std::chrono::milliseconds kRecordRetryPeriod{10000};  // after a failure
inline constexpr std::chrono::milliseconds kAgeRetentionPeriod{60000};  // old records looked for
inline constexpr std::chrono::milliseconds kDropReportPeriod{10000};  // drops told at most so often

// Retention deleted records that a delivery cursor had not passed yet (seq `first` to `last`):
// the size limit forced them out. On the recording's thread.
using UndeliveredDeleted = std::function<void(uint64_t first, uint64_t last)>;
// A batch with records was committed; `newest` is the seq of its last record. On the
// recording's thread, after the commit (a delivery may send them from then on).
using RecordsCommitted = std::function<void(uint64_t newest)>;

struct RecordingSettings {
  std::string file;
  int keepDays = kRecordKeepDays;
  uint64_t maxBytes = kRecordMaxMiB * 1024 * 1024;
  size_t queueBytes = kOutputQueueBytes;  // records waiting to be written, at most
  BatchSettings batching{kRecordCommitPeriod, kRecordBatchEvents, kRecordRetryPeriod};
  std::chrono::milliseconds ageRetentionPeriod = kAgeRetentionPeriod;
  std::function<WallClock::time_point()> clock;  // for retention by age; empty: the system's
  UndeliveredDeleted undeliveredDeleted;         // may be empty
  RecordsCommitted recordsCommitted;             // may be empty
};

enum class RecordingNoteKind {
  Failed,      // the file cannot be written; retrying
  Resumed,     // written again after a failure
  Dropped,     // records given up
  MovedAside,  // a damaged file was moved aside and a new one begun
};

// A change of the recording's state, with the line the headless program prints for it:
//   recording failed reason="database or disk is full"
//   recording resumed
//   recording dropped records=120 total=4410
//   recording moved-aside file="/srv/x.sqlite" to="/srv/x.sqlite.corrupt-20240501T021400Z"
//     reason="file is not a database"   (one line)
struct RecordingNote {
  RecordingNoteKind kind;
  std::string line;
};

// Told on the recording's own thread (or at its start, on the opener's); must not block long.
using RecordingReport = std::function<void(const RecordingNote& note)>;

}  // namespace tessamer

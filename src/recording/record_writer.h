#pragma once
// Writes the combined job into the recording's file, in batches: the events handed on are
// gathered, and Flush writes them in one transaction (CQueuedOutput, queued_output.h, decides
// when, on its worker thread). A batch that cannot be written is rolled back and kept whole,
// so that the retry writes it again; the connection is closed and opened again at the retry,
// which also finds a file that was moved, replaced or damaged meanwhile.
//
//   Open (opener's thread, once) ──► worker: On... gather ─► Flush: BEGIN, rows, COMMIT
//                                                              ├─► retention (after a batch)
//                                                              └─► figures (AddHealth reads)
//
// Runs and headers are written when the first event that needs them is, so a file begun anew
// in the middle of a run gets the run and its header again before the run's next records.
//
// Threads: Open on the opener's thread before any event; On..., Flush and OnDropped on the
// queue's worker alone (which owns the connection and the batch); AddHealth from any thread.
// `figuresLock` guards `figures` only and is never held across SQLite.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "hub/core/queued_output.h"
#include "recording/recording_schema.h"
#include "recording/recording_settings.h"
#include "recording/retention.h"
#include "recording/sqlite_db.h"

namespace tessamer {

class CRecordWriter final : public IBatchedOutput {
 public:
  // `report` (may be empty) is told of every change of state.
  CRecordWriter(RecordingSettings settings, RecordingReport report);
  // Reports a batch it could never write as dropped.
  ~CRecordWriter() override;
  CRecordWriter(const CRecordWriter&) = delete;
  CRecordWriter& operator=(const CRecordWriter&) = delete;

  // Opens the file before the first event. Refused: the program must not start. Failed: the
  // recording starts failed and opens the file again at the first retry.
  OpenedFile Open();

  void OnRunStarted(const RunStarted& run) override { batch.emplace_back(run); }
  void OnHeader(const std::shared_ptr<const PublishedHeader>& header) override;
  void OnRecord(const std::shared_ptr<const PublishedRecord>& record) override;
  void OnBoxEvent(const BoxEvent& event) override { batch.emplace_back(event); }
  void OnRunEnded(const RunEnded& end) override { batch.emplace_back(end); }
  // Sets health.recording from the figures of the last batch written.
  void AddHealth(HubHealth& health) const override;

  bool Flush() override;
  void OnDropped(uint64_t records) override;

 private:
  using Event = std::variant<RunStarted, std::shared_ptr<const PublishedHeader>,
                             std::shared_ptr<const PublishedRecord>, BoxEvent, RunEnded>;
  // Where the events being written belong: the run and header they come after, and the rows
  // these have in the file once written there.
  struct Place {
    std::optional<RunStarted> run;
    std::shared_ptr<const PublishedHeader> header;
    std::optional<int64_t> runId;
    std::optional<int64_t> headerId;
  };
  struct Statements {
    CSqliteStatement insertRun, endRun, addRepeat, insertHeader, insertRecord, insertEvent;
  };

  WallClock::time_point Now() const;
  // Opens the file if it is not open; false with `failure` set when it cannot be.
  bool EnsureOpen();
  bool Opened(const OpenedFile& opened);
  void CloseFile();
  bool PrepareStatements();
  bool CloseInterruptedRuns();
  // Forgets rows of the place that the file does not hold (a file begun anew).
  void CheckPlace();
  void LoadFigures();

  bool WriteBatch();
  bool Write(const Event& event);
  bool Write(const RunStarted& run);
  bool Write(const std::shared_ptr<const PublishedHeader>& header);
  bool Write(const std::shared_ptr<const PublishedRecord>& record);
  bool Write(const BoxEvent& event);
  bool Write(const RunEnded& end);
  bool EnsureRun();
  bool EnsureHeader();
  std::string AddressOf(int32_t box) const;

  bool Retain(int64_t batchPages);
  // After a batch was written: the figures.
  void Written();
  bool Fail(std::string reason);
  void Note(RecordingNoteKind kind, std::string line) const;
  void ReportDropsIfDue(bool now);

  const RecordingSettings settings;
  const RecordingReport report;
  CRetention retention;

  // The worker's own (the opener's before the first event).
  CSqliteDb db;
  Statements statements;
  std::vector<Event> batch;
  std::atomic<size_t> batchRecords{0};  // records in `batch`; read by AddHealth
  Place place;
  int64_t inserted = 0;  // records the batch being written has inserted so far
  std::string first;     // ... the received_at of the first of them
  std::string newest;    // ... and of the newest
  int64_t newestSeq = 0;  // ... and its seq
  bool interruptedClosed = false;  // runs left open by a crash are closed once per process
  bool failing = false;
  std::optional<WallClock::time_point> lastAgeRetention;
  uint64_t unreportedDrops = 0;
  std::optional<std::chrono::steady_clock::time_point> lastDropReport;

  mutable std::mutex figuresLock;
  RecordingHealth figures;  // guarded by figuresLock
};

}  // namespace tessamer

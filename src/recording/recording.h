#pragma once
// The job recording: an output of the combined job (hub/core/job_output.h) that keeps every
// combined record, header, box event and run in an SQLite file (docs/recording.md has the
// schema), durable across crashes and held within its age and size limits. The program that
// makes the hub opens it before the hub starts and adds it to the hub's outputs.
//
//   run's threads ─ On... ─► CQueuedOutput (64 MiB) ─► its worker ─► CRecordWriter ─► FILE
//                                                       (commits every 100 ms, at once when dry,
//                                                        retries every 10 s after a failure)
//
// Threads: Open on the program's thread; the On... operations from the run's threads (through
// CJobOutputs); AddHealth and WaitUntilWritten from any thread; destruction on the program's
// thread once the hub is gone (what is queued is written first).

#include <chrono>
#include <memory>
#include <string>

#include "hub/core/job_output.h"
#include "hub/core/queued_output.h"
#include "recording/recording_settings.h"

namespace tessamer {

class CRecordWriter;

class CRecording final : public IJobOutput {
 public:
  // Opens `settings.file`, made if missing. Null with `error` (one line, naming the file) when
  // the file is of a newer schema or not a recording: the program must not start. A file that
  // cannot be written now does not stop it: the recording starts failed, says so through
  // `report` and tries again.
  static std::shared_ptr<CRecording> Open(RecordingSettings settings, RecordingReport report,
                                          std::string& error);
  ~CRecording() override;
  CRecording(const CRecording&) = delete;
  CRecording& operator=(const CRecording&) = delete;

  void OnRunStarted(const RunStarted& run) override { queue->OnRunStarted(run); }
  void OnHeader(const std::shared_ptr<const PublishedHeader>& header) override;
  void OnRecord(const std::shared_ptr<const PublishedRecord>& record) override;
  void OnBoxEvent(const BoxEvent& event) override { queue->OnBoxEvent(event); }
  void OnRunEnded(const RunEnded& end) override { queue->OnRunEnded(end); }
  void AddHealth(HubHealth& health) const override;

  const std::string& File() const { return file; }
  // Waits until everything handed in so far is in the file. True when it was in time.
  bool WaitUntilWritten(std::chrono::milliseconds timeout) const;

 private:
  CRecording(std::string file, std::shared_ptr<CRecordWriter> writer, BatchSettings batching,
             size_t queueBytes);

  const std::string file;
  const std::shared_ptr<CRecordWriter> writer;
  const std::unique_ptr<CQueuedOutput> queue;
};

}  // namespace tessamer

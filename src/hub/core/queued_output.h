#pragma once
// An output whose work may take its time (a disk, a network, a browser), behind a bounded queue
// and a thread of its own, so that it keeps the seam's promise: every operation returns at once.
//
//   run's threads ─ On... ─► queue (bounded in bytes) ─► worker thread ─ On... ─► inner output
//                             └─ full: the oldest records are dropped and counted
//
// Only records are ever dropped; a run's start and end, headers and box events always reach the
// inner output, in the order they came. What is queued when the output is destroyed is handed
// on first, so a clean stop loses nothing.
//
// Threads: the On... operations from the run's threads (one at a time, as CJobOutputs calls
// them); Dropped, Waiting and WaitUntilIdle from any thread; AddHealth from any thread, passed
// to the inner output at once (its AddHealth must be safe beside its own work). `lock` guards
// the queue and the counters.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>

#include "hub/core/job_output.h"

namespace tessamer {

inline constexpr size_t kOutputQueueBytes = 64 * 1024 * 1024;

class CQueuedOutput final : public IJobOutput {
 public:
  // Hands every event to `inner` on a thread of its own, at most `queueBytes` waiting.
  explicit CQueuedOutput(std::shared_ptr<IJobOutput> inner,
                         size_t queueBytes = kOutputQueueBytes);
  // Hands on what is queued, then ends the thread.
  ~CQueuedOutput() override;
  CQueuedOutput(const CQueuedOutput&) = delete;
  CQueuedOutput& operator=(const CQueuedOutput&) = delete;

  void OnRunStarted(const RunStarted& run) override { Push(run, 0); }
  void OnHeader(const std::shared_ptr<const PublishedHeader>& header) override;
  void OnRecord(const std::shared_ptr<const PublishedRecord>& record) override;
  void OnBoxEvent(const BoxEvent& event) override { Push(event, 0); }
  void OnRunEnded(const RunEnded& end) override { Push(end, 0); }
  void AddHealth(HubHealth& health) const override { inner->AddHealth(health); }

  uint64_t Dropped() const;  // records dropped because the queue was full
  size_t Waiting() const;    // events not yet handed on (the one being handed on included)
  // Waits until every event queued so far has been handed on. True when it was in time.
  bool WaitUntilIdle(std::chrono::milliseconds timeout) const;

 private:
  using Event = std::variant<RunStarted, std::shared_ptr<const PublishedHeader>,
                             std::shared_ptr<const PublishedRecord>, BoxEvent, RunEnded>;
  struct Queued {
    Event event;
    size_t bytes;
  };

  void Push(Event event, size_t bytes);
  bool DropOldestRecordLocked();
  void Work();
  void HandOn(const Event& event);

  const std::shared_ptr<IJobOutput> inner;
  const size_t queueBytes;

  mutable std::mutex lock;
  mutable std::condition_variable changed;
  std::deque<Queued> queue;  // guarded by lock
  size_t queuedBytes = 0;    // guarded by lock
  bool handingOn = false;    // guarded by lock: the worker is inside the inner output
  bool ending = false;       // guarded by lock
  uint64_t dropped = 0;      // guarded by lock
  std::thread worker;        // last: it starts once the rest is ready
};

}  // namespace tessamer

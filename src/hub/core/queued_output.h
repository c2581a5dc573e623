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
// An inner output that works in batches (IBatchedOutput: a database's transactions) is also
// told when to finish a batch: when the queue has run dry, when `period` has passed since the
// batch's first event, or after `maxEvents` events. A batch that fails stays with the inner
// output; the worker then hands on nothing more, keeps what comes in the queue (still bounded,
// the oldest records dropped) and asks for the batch again every `retry` until it succeeds:
//
//   handing on ──(dry, period, maxEvents)──► Flush ──ok──► handing on
//                                              └─fails──► holding ──retry──► Flush ...
//
// Threads: the On... operations from the run's threads (one at a time, as CJobOutputs calls
// them); Dropped, Waiting and WaitUntilIdle from any thread; AddHealth from any thread, passed
// to the inner output at once (its AddHealth must be safe beside its own work). The inner
// output's operations, Flush and TakeDropped run on the worker alone. `lock` guards the queue,
// the counters and the worker's state.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

#include "hub/core/job_output.h"

namespace tessamer {

inline constexpr size_t kOutputQueueBytes = 64 * 1024 * 1024;

// An output that completes its work in batches. Its On... operations gather; Flush completes.
class IBatchedOutput : public IJobOutput {
 public:
  // Completes what was handed on since the last Flush that succeeded. False when it could not:
  // the output keeps that batch to complete it at the next call.
  virtual bool Flush() = 0;
  // `records` more were dropped from the queue since the last call; before the next Flush.
  virtual void OnDropped(uint64_t records) = 0;
};

struct BatchSettings {
  std::chrono::milliseconds period{100};   // a batch is flushed at the latest this long after
                                           // its first event
  size_t maxEvents = 4096;                 // ... or after this many events
  std::chrono::milliseconds retry{10000};  // a failed batch is tried again this often
};

class CQueuedOutput final : public IJobOutput {
 public:
  // Hands every event to `inner` on a thread of its own, at most `queueBytes` waiting.
  explicit CQueuedOutput(std::shared_ptr<IJobOutput> inner,
                         size_t queueBytes = kOutputQueueBytes);
  // As above, and flushes `inner`'s batches as `batching` says.
  CQueuedOutput(std::shared_ptr<IBatchedOutput> inner, BatchSettings batching,
                size_t queueBytes = kOutputQueueBytes);
  // Hands on what is queued and flushes it, then ends the thread. A batched output that still
  // fails then is given one more try; what it cannot take is counted as dropped.
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
  size_t WaitingRecords() const;  // records among them
  // Waits until every event queued so far has been handed on (and flushed). True when it was in
  // time.
  bool WaitUntilIdle(std::chrono::milliseconds timeout) const;

 private:
  using Event = std::variant<RunStarted, std::shared_ptr<const PublishedHeader>,
                             std::shared_ptr<const PublishedRecord>, BoxEvent, RunEnded>;
  struct Queued {
    Event event;
    size_t bytes;
  };
  using Guard = std::unique_lock<std::mutex>;

  void Push(Event event, size_t bytes);
  bool DropOldestRecordLocked();
  void Work();
  // One step of the worker; false when it is done.
  bool Step(Guard& guard);
  void HandOnNext(Guard& guard);
  void FlushBatch(Guard& guard);
  void Retry(Guard& guard);
  void TellDropped(Guard& guard);
  // Gives up what the output still cannot take at the end: counted as dropped.
  void GiveUp(Guard& guard);
  bool FlushDue() const;  // guarded by lock
  void HandOn(const Event& event);

  const std::shared_ptr<IJobOutput> inner;
  IBatchedOutput* const batched;  // `inner` when it works in batches, else null
  const BatchSettings batching;
  const size_t queueBytes;

  mutable std::mutex lock;
  mutable std::condition_variable changed;
  std::deque<Queued> queue;  // guarded by lock
  size_t queuedBytes = 0;    // guarded by lock
  size_t queuedRecords = 0;  // guarded by lock
  bool handingOn = false;    // guarded by lock: the worker is inside the inner output
  bool ending = false;       // guarded by lock
  uint64_t dropped = 0;      // guarded by lock
  uint64_t droppedTold = 0;  // guarded by lock: what the batched output has been told
  // The batch handed on since the last flush: when it began and its events; guarded by lock.
  std::optional<std::chrono::steady_clock::time_point> batchSince;
  size_t batchEvents = 0;
  // While the last flush failed: when to try again; guarded by lock.
  std::optional<std::chrono::steady_clock::time_point> retryAt;
  std::thread worker;  // last: it starts once the rest is ready
};

}  // namespace tessamer

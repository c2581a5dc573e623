#pragma once
// An output of the combined job that keeps every event it is handed, in order (a Recorder of
// them), and a gate that holds the output inside its operations while closed: a stand-in for an
// output whose disk or network has stopped. As a batched output it notes the events of each
// flush, and fails its flushes while told to (a full disk).

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "hub/core/queued_output.h"
#include "testkit/recorders.h"

namespace tessamer::testkit {

using OutputEvent = std::variant<RunStarted, std::shared_ptr<const PublishedHeader>,
                                 std::shared_ptr<const PublishedRecord>, BoxEvent, RunEnded>;

class RecordingOutput final : public IBatchedOutput {
 public:
  void OnRunStarted(const RunStarted& run) override { Keep(run); }
  void OnHeader(const std::shared_ptr<const PublishedHeader>& header) override { Keep(header); }
  void OnRecord(const std::shared_ptr<const PublishedRecord>& record) override { Keep(record); }
  void OnBoxEvent(const BoxEvent& event) override { Keep(event); }
  void OnRunEnded(const RunEnded& end) override { Keep(end); }
  void AddHealth(HubHealth&) const override {}
  bool Flush() override {
    const size_t count = events.Count();
    std::lock_guard guard(batchLock);
    if (!flushing) {
      ++failedFlushes;
      batchChanged.notify_all();
      return false;
    }
    batches.push_back(count - flushed);
    flushed = count;
    return true;
  }
  void OnDropped(uint64_t records) override {
    std::lock_guard guard(batchLock);
    droppedTold += records;
  }

  // The events of one kind, in order.
  template <typename T>
  std::vector<T> EventsOf() const {
    std::vector<T> kind;
    for (const OutputEvent& event : events.All()) {
      if (const T* match = std::get_if<T>(&event)) kind.push_back(*match);
    }
    return kind;
  }
  template <typename T>
  bool WaitForCount(size_t count) const {
    return events.WaitForMatching(
        [](const OutputEvent& event) { return std::holds_alternative<T>(event); }, count);
  }
  // Events in each flush that succeeded, in order.
  std::vector<size_t> Batches() const {
    std::lock_guard guard(batchLock);
    return batches;
  }
  uint64_t DroppedTold() const {
    std::lock_guard guard(batchLock);
    return droppedTold;
  }
  void SetFlushing(bool succeed) {
    std::lock_guard guard(batchLock);
    flushing = succeed;
  }
  bool WaitForFailedFlushes(size_t count, std::chrono::milliseconds timeout = kRecorderWait) {
    std::unique_lock guard(batchLock);
    return batchChanged.wait_for(guard, timeout, [&] { return failedFlushes >= count; });
  }
  void SetGate(bool open) {
    std::lock_guard guard(gateLock);
    gateOpen = open;
    gateChanged.notify_all();
  }

  Recorder<OutputEvent> events;

 private:
  void Keep(OutputEvent event) {
    {
      std::unique_lock guard(gateLock);
      gateChanged.wait(guard, [this] { return gateOpen; });
    }
    events.Add(std::move(event));
  }

  std::mutex gateLock;
  std::condition_variable gateChanged;
  bool gateOpen = true;
  mutable std::mutex batchLock;
  std::condition_variable batchChanged;
  bool flushing = true;      // guarded by batchLock
  size_t flushed = 0;        // events up to the last flush that succeeded; guarded by batchLock
  size_t failedFlushes = 0;  // guarded by batchLock
  std::vector<size_t> batches;  // guarded by batchLock
  uint64_t droppedTold = 0;     // guarded by batchLock
};

}  // namespace tessamer::testkit

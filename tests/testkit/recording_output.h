#pragma once
// An output of the combined job that keeps every event it is handed, in order, and lets a test
// wait, with a bound, for what it expects. `gate` holds the output inside its operations while
// closed: a stand-in for an output whose disk or network has stopped. As a batched output it
// notes the events of each flush, and fails its flushes while told to (a full disk).

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "hub/core/queued_output.h"


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
    std::lock_guard guard(mutex);
    if (!flushing) {
      ++failedFlushes;
      changed.notify_all();
      return false;
    }
    batches.push_back(events.size() - flushed);
    flushed = events.size();
    return true;
  }
  void OnDropped(uint64_t records) override {
    std::lock_guard guard(mutex);
    droppedTold += records;
  }

  std::vector<OutputEvent> Events() const {
    std::lock_guard guard(mutex);
    return events;
  }
  // The events of one kind, in order.
  template <typename T>
  std::vector<T> EventsOf() const {
    std::vector<T> kind;
    for (const OutputEvent& event : Events()) {
      if (const T* match = std::get_if<T>(&event)) kind.push_back(*match);
    }
    return kind;
  }
  // Waits until `done` holds for the events so far. True when it did in time.
  bool WaitFor(const std::function<bool(const std::vector<OutputEvent>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, timeout, [&] { return done(events); });
  }
  template <typename T>
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return WaitFor([count](const std::vector<OutputEvent>& so_far) {
      size_t n = 0;
      for (const OutputEvent& event : so_far) n += std::holds_alternative<T>(event) ? 1 : 0;
      return n >= count;
    }, timeout);
  }
  // Events in each flush that succeeded, in order.
  std::vector<size_t> Batches() const {
    std::lock_guard guard(mutex);
    return batches;
  }
  uint64_t DroppedTold() const {
    std::lock_guard guard(mutex);
    return droppedTold;
  }
  void SetFlushing(bool succeed) {
    std::lock_guard guard(mutex);
    flushing = succeed;
  }
  bool WaitForFailedFlushes(size_t count,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, timeout, [&] { return failedFlushes >= count; });
  }
  void SetGate(bool open) {
    {
      std::lock_guard guard(mutex);
      gateOpen = open;
    }
    changed.notify_all();
  }

 private:
  void Keep(OutputEvent event) {
    std::unique_lock guard(mutex);
    changed.wait(guard, [this] { return gateOpen; });
    events.push_back(std::move(event));
    changed.notify_all();
  }

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<OutputEvent> events;
  bool gateOpen = true;
  bool flushing = true;
  size_t flushed = 0;  // events up to the last flush that succeeded
  size_t failedFlushes = 0;
  std::vector<size_t> batches;
  uint64_t droppedTold = 0;
};

}  // namespace tessamer::testkit

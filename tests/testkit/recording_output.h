#pragma once
// An output of the combined job that keeps every event it is handed, in order, and lets a test
// wait, with a bound, for what it expects. `gate` holds the output inside its operations while
// closed: a stand-in for an output whose disk or network has stopped.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "hub/core/job_output.h"

namespace tessamer::testkit {

using OutputEvent = std::variant<RunStarted, std::shared_ptr<const PublishedHeader>,
                                 std::shared_ptr<const PublishedRecord>, BoxEvent, RunEnded>;

class RecordingOutput final : public IJobOutput {
 public:
  void OnRunStarted(const RunStarted& run) override { Keep(run); }
  void OnHeader(const std::shared_ptr<const PublishedHeader>& header) override { Keep(header); }
  void OnRecord(const std::shared_ptr<const PublishedRecord>& record) override { Keep(record); }
  void OnBoxEvent(const BoxEvent& event) override { Keep(event); }
  void OnRunEnded(const RunEnded& end) override { Keep(end); }
  void AddHealth(HubHealth&) const override {}

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
};

}  // namespace tessamer::testkit

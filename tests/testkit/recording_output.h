#pragma once
// An output of the combined job that keeps every event it is handed, in order (a Recorder of
// them), and a gate that holds the output inside its operations while closed: a stand-in for an
// output whose disk or network has stopped.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "hub/core/job_output.h"
#include "testkit/recorders.h"

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
};

}  // namespace tessamer::testkit

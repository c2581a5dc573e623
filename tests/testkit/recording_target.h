#pragma once
// A message target that accepts and keeps every message it is offered, with the time it came, and
// lets a test wait, with a bound, for what it expects.

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include "hub/runtime/message_blocks.h"
#include "testkit/recorders.h"

namespace tessamer::testkit {

template <typename T>
class RecordingTarget final : public ITarget<T> {
 public:
  using Clock = std::chrono::steady_clock;
  struct Entry {
    T message;
    Clock::time_point at;
  };

  ~RecordingTarget() override { this->UnlinkFromSources(); }

  bool offer(const T& message) override {
    entries.Add({message, Clock::now()});
    return true;
  }

  std::vector<Entry> Entries() const { return entries.All(); }
  size_t Count() const { return entries.Count(); }
  size_t CountIf(const std::function<bool(const T&)>& match) const {
    return entries.CountIf([&](const Entry& e) { return match(e.message); });
  }

  // Waits until at least `count` messages have come. True when they did in time.
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout) const {
    return entries.WaitForCount(count, timeout);
  }
  // Waits until at least `count` messages matching `match` have come.
  bool WaitForMatching(const std::function<bool(const T&)>& match, size_t count,
                       std::chrono::milliseconds timeout) const {
    return entries.WaitForMatching([&](const Entry& e) { return match(e.message); }, count,
                                   timeout);
  }

 private:
  Recorder<Entry> entries;
};

}  // namespace tessamer::testkit

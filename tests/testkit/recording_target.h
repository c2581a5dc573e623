#pragma once
// A message target that accepts and keeps every message it is offered, with the time it came, and
// lets a test wait, with a bound, for what it expects.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "hub/runtime/message_blocks.h"

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
    {
      std::lock_guard guard(mutex);
      entries.push_back({message, Clock::now()});
    }
    changed.notify_all();
    return true;
  }

  std::vector<Entry> Entries() const {
    std::lock_guard guard(mutex);
    return entries;
  }
  size_t Count() const {
    std::lock_guard guard(mutex);
    return entries.size();
  }
  size_t CountIf(const std::function<bool(const T&)>& match) const {
    std::lock_guard guard(mutex);
    size_t n = 0;
    for (const auto& e : entries) n += match(e.message) ? 1 : 0;
    return n;
  }

  // Waits until at least `count` messages have come. True when they did in time.
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, timeout, [&] { return entries.size() >= count; });
  }
  // Waits until at least `count` messages matching `match` have come.
  bool WaitForMatching(const std::function<bool(const T&)>& match, size_t count,
                       std::chrono::milliseconds timeout) const {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, timeout, [&] {
      size_t n = 0;
      for (const auto& e : entries) n += match(e.message) ? 1 : 0;
      return n >= count;
    });
  }

 private:
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<Entry> entries;
};

}  // namespace tessamer::testkit

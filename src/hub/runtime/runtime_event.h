#pragma once
// A manual-reset event: once set it stays set, waking every waiter, until reset. One thread may
// wait for any one of several events with wait_for_multiple.
//
// Threads: every operation from any thread. Waiters block on a condition variable; set wakes
// them directly, nothing polls.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace tessamer {

class event {
 public:
  // wait_for_multiple's result when the time-out passed before any event was set.
  static constexpr size_t timeout_value = SIZE_MAX;
  // The time-out that means "wait as long as it takes".
  static constexpr std::chrono::milliseconds infinite = std::chrono::milliseconds::max();

  event() = default;
  ~event();
  event(const event&) = delete;
  event& operator=(const event&) = delete;

  void set();
  void reset();
  bool is_set() const;
  // Waits until the event is set.
  void wait();
  // Waits at most `timeout`; true when the event is set.
  bool wait_for(std::chrono::milliseconds timeout);

  // Waits until any one of `events` is set, or `timeout` passes. The index of a set event (the
  // lowest one among those already set when the call begins), or timeout_value.
  static size_t wait_for_multiple(const std::vector<event*>& events,
                                  std::chrono::milliseconds timeout = infinite);

 private:
  struct Waiter;

  void Register(Waiter* waiter, size_t index);
  void Unregister(Waiter* waiter);

  mutable std::mutex mutex;
  std::condition_variable changed;
  bool signaled = false;                                  // guarded by mutex
  std::vector<std::pair<Waiter*, size_t>> multiWaiters;   // guarded by mutex
};

}  // namespace tessamer

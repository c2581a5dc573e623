#pragma once
// A timer block: after each period it sends a copy of its value to its target, once or repeating
// until stopped. It runs on the shared pool with an asio::steady_timer. A repeating timer counts
// each period from the end of the previous send, so two sends are never closer than a period: a
// stalled pool or a slow target delays the next send, it never brings a burst of missed ones.
//
// Threads: start, stop and destruction from any thread (not from the target's offer). The send
// runs on a pool thread; destruction waits for a send in progress and for the cancelled wait.

#include <asio/steady_timer.hpp>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>

#include "hub/runtime/message_blocks.h"

namespace tessamer {

template <typename T>
class timer {
 public:
  // `target` must outlive the timer; the shared form keeps it alive instead.
  timer(std::chrono::milliseconds period, T value, ITarget<T>* target, bool repeating)
      : period(period), value(std::move(value)), target(target), repeating(repeating) {}
  timer(std::chrono::milliseconds period, T value, std::shared_ptr<ITarget<T>> target,
        bool repeating)
      : timer(period, std::move(value), target.get(), repeating) {
    keepAlive = std::move(target);
  }
  ~timer() {
    std::unique_lock lock(mutex);
    runningFlag = false;
    steady.cancel();
    idle.wait(lock, [this] { return pendingWaits == 0; });
  }
  timer(const timer&) = delete;
  timer& operator=(const timer&) = delete;

  // Starts the timer (the first send one period from now); does nothing while it runs.
  void start() {
    std::lock_guard lock(mutex);
    if (runningFlag) return;
    runningFlag = true;
    ++generation;
    steady.expires_after(period);
    ArmLocked();
  }

  // Stops the timer: no send begins after stop returns (one already under way may finish).
  void stop() {
    std::lock_guard lock(mutex);
    runningFlag = false;
    steady.cancel();
  }

  bool is_running() const {
    std::lock_guard lock(mutex);
    return runningFlag;
  }

 private:
  void ArmLocked() {
    ++pendingWaits;
    steady.async_wait([this, armed = generation](const std::error_code& error) {
      Fire(error, armed);
    });
  }

  void Fire(const std::error_code& error, unsigned armed) {
    std::unique_lock lock(mutex);
    if (!error && runningFlag && armed == generation) {
      if (!repeating) runningFlag = false;
      lock.unlock();
      send(target, value);
      lock.lock();
      if (repeating && runningFlag && armed == generation) {
        steady.expires_after(period);
        ArmLocked();
      }
    }
    --pendingWaits;
    // Notified under the lock: the destructor may go as soon as it sees no pending wait.
    idle.notify_all();
  }

  const std::chrono::milliseconds period;
  const T value;
  ITarget<T>* const target;
  std::shared_ptr<ITarget<T>> keepAlive;
  const bool repeating;

  mutable std::mutex mutex;
  std::condition_variable idle;
  asio::steady_timer steady{RuntimePool()};  // used under mutex
  bool runningFlag = false;                  // guarded by mutex
  unsigned generation = 0;                   // guarded by mutex; a restart outdates older waits
  int pendingWaits = 0;                      // guarded by mutex: waits whose handler has not run
};

}  // namespace tessamer

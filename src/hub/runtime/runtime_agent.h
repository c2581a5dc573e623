#pragma once
// An agent: a unit of work with its own thread. start runs the derived class's run on a new
// thread (never on the shared pool, since agents block for seconds); run ends with done.
// wait_for_all waits until every agent of a list is done, with an optional time-out.
//
// Threads: start, status and wait_for_all from any thread; run on the agent's own thread.
// A derived class whose run may still be going when it is destroyed must make run end (and call
// join) in its own destructor, before its members go.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tessamer {

enum class agent_status { created, started, done };

// Raised by agent::wait_for_all when the time-out passed first.
class operation_timed_out : public std::runtime_error {
 public:
  operation_timed_out() : std::runtime_error("operation timed out") {}
};

class agent {
 public:
  static constexpr std::chrono::milliseconds infinite = std::chrono::milliseconds::max();

  agent() = default;
  virtual ~agent();
  agent(const agent&) = delete;
  agent& operator=(const agent&) = delete;

  // Starts run on the agent's own thread. False when the agent was started before.
  bool start();
  agent_status status() const;

  // Waits until every agent in `agents` is done. Raises operation_timed_out when `timeout`
  // passes first. Agents that were never started count as not done.
  static void wait_for_all(const std::vector<agent*>& agents,
                           std::chrono::milliseconds timeout = infinite);

 protected:
  // The agent's work; should end with done (done is also called once run has returned).
  virtual void run() = 0;
  // Marks the agent done and wakes its waiters; true the first time.
  bool done();
  // Waits for the agent's thread to end (not from run itself). For derived destructors.
  void join();

 private:
  void Main();

  mutable std::mutex mutex;
  std::condition_variable finished;
  agent_status state = agent_status::created;  // guarded by mutex
  std::thread thread;                          // started once by start; joined by join
};

}  // namespace tessamer

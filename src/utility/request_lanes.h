#pragma once
// Jobs in named lanes: the jobs of one lane run one at a time in the order they were posted;
// different lanes run side by side, each on a thread of its own while it has work, so a lane whose
// job waits long (a box that does not answer) never holds up another lane.
//
//   Post(lane, job) ─> lanes[lane] ─┬─ lane was empty: a thread is started for it
//                                   └─ otherwise: waits behind the lane's earlier jobs
//   lane thread: front job, pop, next ... until the lane is empty; the lane and its thread go
//   WhenIdle(job) ─> runs once no lane has work (at once, on a thread of its own, when none has)
//
// There are as many threads as lanes with work (plus one for idle jobs), and none while nothing
// is to be done. A thread that cannot be started leaves its lane to the caller of Post, which
// then runs the lane's jobs itself before it returns: slower, but nothing is lost.
//
// Threads: Post and WhenIdle from any thread but a job's; Join and destruction on the owner's
// thread, never from a job. `lock` guards everything below it; jobs run without it.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tessamer {

class CRequestLanes {
 public:
  using Job = std::function<void()>;  // must not throw

  CRequestLanes() = default;
  ~CRequestLanes();  // Join()
  CRequestLanes(const CRequestLanes&) = delete;
  CRequestLanes& operator=(const CRequestLanes&) = delete;

  void Post(const std::string& lane, Job job);
  void WhenIdle(Job job);
  // Returns once every job posted (also by jobs meanwhile) has run and every thread has ended.
  void Join();

 private:
  void RunLane(const std::string& lane);
  void RunIdleJobs(std::unique_lock<std::mutex>& guard);  // with `idleRunning` set by the caller
  bool StartThread(std::function<void()> body);           // `lock` held; false when none started
  std::vector<std::thread> TakeEndedThreads();            // `lock` held

  std::mutex lock;
  std::condition_variable quiet;                 // a lane or the idle jobs have finished
  std::map<std::string, std::deque<Job>> lanes;  // lanes with work; each front job is running
  std::vector<Job> idleJobs;                     // waiting for every lane to empty
  bool idleRunning = false;                      // a thread runs (or is about to run) idle jobs
  uint64_t threadSerial = 0;                     // names the threads, as their ids can repeat
  std::map<uint64_t, std::thread> threads;       // started, not yet joined
  std::vector<uint64_t> ended;                   // of `threads`: done with their work
};

}  // namespace tessamer

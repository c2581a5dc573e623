#include "utility/request_lanes.h"

#include <system_error>
#include <utility>

namespace tessamer {

CRequestLanes::~CRequestLanes() { Join(); }

void CRequestLanes::Post(const std::string& lane, Job job) {
  std::vector<std::thread> finished;
  bool runHere = false;
  {
    std::lock_guard guard(lock);
    std::deque<Job>& queue = lanes[lane];
    queue.push_back(std::move(job));
    if (queue.size() > 1) return;  // the lane's thread comes to it
    finished = TakeEndedThreads();
    runHere = !StartThread([this, lane] { RunLane(lane); });
  }
  for (std::thread& thread : finished) thread.join();
  if (runHere) RunLane(lane);
}

void CRequestLanes::WhenIdle(Job job) {
  std::vector<std::thread> finished;
  bool runHere = false;
  {
    std::lock_guard guard(lock);
    idleJobs.push_back(std::move(job));
    if (!lanes.empty() || idleRunning) return;  // the last lane's thread, or that one, runs it
    idleRunning = true;
    finished = TakeEndedThreads();
    const auto body = [this] {
      std::unique_lock running(lock);
      RunIdleJobs(running);
    };
    runHere = !StartThread(body);
  }
  for (std::thread& thread : finished) thread.join();
  if (runHere) {
    std::unique_lock running(lock);
    RunIdleJobs(running);
  }
}

void CRequestLanes::Join() {
  std::map<uint64_t, std::thread> all;
  {
    std::unique_lock guard(lock);
    quiet.wait(guard, [this] { return lanes.empty() && idleJobs.empty() && !idleRunning; });
    all.swap(threads);
    ended.clear();
  }
  for (auto& entry : all) entry.second.join();
}

// Map iterators stay valid while other lanes come and go, and only this thread erases its lane.
void CRequestLanes::RunLane(const std::string& lane) {
  std::unique_lock guard(lock);
  const auto queue = lanes.find(lane);
  for (;;) {
    Job job = std::move(queue->second.front());
    guard.unlock();
    job();
    job = nullptr;  // what it holds goes outside the lock
    guard.lock();
    queue->second.pop_front();
    if (queue->second.empty()) break;
  }
  lanes.erase(queue);
  if (lanes.empty() && !idleJobs.empty() && !idleRunning) {
    idleRunning = true;
    RunIdleJobs(guard);
  }
  quiet.notify_all();
}

void CRequestLanes::RunIdleJobs(std::unique_lock<std::mutex>& guard) {
  while (lanes.empty() && !idleJobs.empty()) {
    std::vector<Job> jobs;
    jobs.swap(idleJobs);
    guard.unlock();
    for (Job& job : jobs) job();
    jobs.clear();
    guard.lock();
  }
  idleRunning = false;
  quiet.notify_all();
}

bool CRequestLanes::StartThread(std::function<void()> body) {
  const uint64_t serial = ++threadSerial;
  try {
    threads.emplace(serial, std::thread([this, serial, body = std::move(body)] {
                      body();
                      std::lock_guard guard(lock);
                      ended.push_back(serial);
                    }));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

std::vector<std::thread> CRequestLanes::TakeEndedThreads() {
  std::vector<std::thread> finished;
  for (const uint64_t serial : ended) {
    const auto thread = threads.find(serial);
    if (thread == threads.end()) continue;  // already taken by Join
    finished.push_back(std::move(thread->second));
    threads.erase(thread);
  }
  ended.clear();
  return finished;
}

}  // namespace tessamer

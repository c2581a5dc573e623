#include "hub/bridge/hub_probe.h"

#include <asio/post.hpp>

#include <condition_variable>
#include <mutex>

namespace tessamer {

namespace {

// Threads: the workers; `mutex` guards every member but `count`.
struct Meeting {
  explicit Meeting(int count) : count(count) {}

  const int count;
  std::mutex mutex;
  std::condition_variable changed;
  int present = 0;  // items waiting now, each on a worker of its own
  bool met = false;
};

// One item of a meeting. A thread runs one item at a time, so `present` items are on as many
// workers.
void Attend(asio::io_context::executor_type workers, std::shared_ptr<Meeting> meeting,
            std::shared_ptr<ProbeToken> token) {
  std::unique_lock lock(meeting->mutex);
  if (++meeting->present == meeting->count) {
    meeting->met = true;
    meeting->changed.notify_all();
  }
  if (meeting->changed.wait_for(lock, kWorkerMeetWait, [&meeting] { return meeting->met; })) return;
  --meeting->present;
  lock.unlock();
  asio::post(workers, [workers, meeting = std::move(meeting), token = std::move(token)]() mutable {
    Attend(workers, std::move(meeting), std::move(token));
  });
}

}  // namespace

void MeetWorkers(asio::io_context::executor_type workers, int count,
                 const std::shared_ptr<ProbeToken>& token) {
  auto meeting = std::make_shared<Meeting>(count);
  for (int i = 0; i < count; ++i) {
    asio::post(workers, [workers, meeting, token] { Attend(workers, meeting, token); });
  }
}

}  // namespace tessamer

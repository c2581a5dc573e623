#pragma once
// A probe of the hub's working threads, for a supervisor's watchdog: one token is handed to
// every place that does the hub's work and comes back only once each of them has let it through.
//
//   CHubBridge::Probe ─┬─ runtime pool: one item
//                      ├─ the run's routing (during a run): one item behind each block's messages
//                      └─ the data server: one item per worker, the workers meeting at once
//   the last holder of the token lets go ──► done
//
// A place that is stuck in its work holds its copy of the token forever, so done never comes; a
// place that closes (the run ends, the server stops) drops its copy unrun, which is going on as
// the probe would.
//
// Threads: a token is let go on whichever thread ends its last holder; `done` runs there.

#include <asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>

namespace tessamer {

// How long a worker waits at a meeting for the others before it steps out, leaves itself free
// for the clients and queues itself again.
inline constexpr std::chrono::milliseconds kWorkerMeetWait{100};

// Calls `done` when it is destroyed, that is when the last copy of its shared pointer goes.
class ProbeToken {
 public:
  explicit ProbeToken(std::function<void()> done) : done(std::move(done)) {}
  ~ProbeToken() {
    if (done) done();
  }
  ProbeToken(const ProbeToken&) = delete;
  ProbeToken& operator=(const ProbeToken&) = delete;

 private:
  std::function<void()> done;
};

// Lets `token` go once `count` items on `workers` have all been running at the same time, which
// takes each of `count` worker threads.
void MeetWorkers(asio::io_context::executor_type workers, int count,
                 const std::shared_ptr<ProbeToken>& token);

}  // namespace tessamer

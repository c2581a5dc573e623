#pragma once
// A hub for the window's and the headless runner's tests: it records what it is asked, answers as
// its script says and posts the script's notices to its sink from a thread of its own, as the
// real hub posts from its threads. Stop can be held until the test lets the run end, as a real
// run's end keeps the window waiting.
//
// Threads: the operations of IHubControl on the thread that drives the hub (Health from any);
// EndRun and SetHealth from any thread. `script` is changed and `calls` read on the driving
// thread, or once the driver has ended.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "hub/bridge/hub_control.h"
#include "hub/core/notices.h"

namespace tessamer::testkit {

// What a fake hub answers and posts.
struct FakeHubScript {
  bool serversStart = true;
  bool startResult = true;
  ErrorInfo startError;
  uint16_t dataPort = 0;
  uint16_t utilityPort = 0;
  HubHealth health;
  // Posted after the i-th Start; later starts post the last list again.
  std::vector<std::vector<Notice>> startNotices;
  bool stoppedOnStop = false;     // Stop posts a StoppedNotice, as a run's end does
  std::vector<Notice> onDestroy;  // posted while the hub is destroyed
  std::function<void()> onStop;   // runs as Stop begins, on the caller's thread
};

struct FakeHubRun {
  std::vector<Box> boxes;
  int channelLimit = 0;
};

// What a fake hub was asked. Shared, so that it outlives a hub that its owner destroys.
struct FakeHubCalls {
  int startServers = 0;
  std::vector<FakeHubRun> runs;
  int stops = 0;
  bool destroyed = false;
};

class FakeHub : public IHubControl {
 public:
  // Posts to `sink` (may be null: nothing is posted).
  explicit FakeHub(INoticeSink* sink = nullptr, FakeHubScript script = {},
                   std::shared_ptr<FakeHubCalls> calls = std::make_shared<FakeHubCalls>());
  ~FakeHub() override;
  FakeHub(const FakeHub&) = delete;
  FakeHub& operator=(const FakeHub&) = delete;

  bool StartServers() override;
  bool Start(const std::vector<Box>& boxes, int channelLimit) override;
  bool Stop() override;
  const ErrorInfo& StartError() const override { return script.startError; }
  uint16_t DataPort() const override { return script.dataPort; }
  uint16_t UtilityPort() const override { return script.utilityPort; }
  HubHealth Health() const override;
  // Threads that are all alive: the probe comes back at once.
  void Probe(std::function<void()> done) override { done(); }
  // Kept, for the test to feed them as a run would.
  void AddOutput(std::shared_ptr<IJobOutput> output) override { outputs.push_back(std::move(output)); }

  // Changes the health while another thread may be taking it (a status endpoint's).
  void SetHealth(HubHealth health);

  // Stop waits from now on until EndRun.
  void HoldRunEnd();
  void EndRun();

  FakeHubScript script;  // its health set directly only while no other thread takes it
  const std::shared_ptr<FakeHubCalls> calls;
  std::vector<std::shared_ptr<IJobOutput>> outputs;  // what AddOutput was given

 private:
  void Post(const std::vector<Notice>& notices);
  void JoinPoster();

  INoticeSink* sink;
  std::thread poster;  // posts one start's notices
  mutable std::mutex healthLock;  // guards script.health against SetHealth
  std::mutex mutex;    // guards runHeld
  std::condition_variable runEnded;
  bool runHeld = false;
};

}  // namespace tessamer::testkit

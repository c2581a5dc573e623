#pragma once
// A hub that records what the window asks of it. Stop can be made to wait until the test lets the
// run end, as a real run's end would keep the window waiting.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "hub/bridge/hub_control.h"

namespace tessamer::apptest {

class FakeHub : public IHubControl {
 public:
  bool StartServers() override {
    ++startServersCalls;
    return serversStart;
  }
  bool Start(const std::vector<Box>& boxes, int channelLimit) override {
    runs.push_back(Run{boxes, channelLimit});
    return startResult;
  }
  bool Stop() override {
    ++stopCalls;
    if (onStop) onStop();
    std::unique_lock lock(mutex);
    runEnded.wait(lock, [this] { return !runActive; });
    return true;
  }
  const ErrorInfo& StartError() const override { return startError; }
  uint16_t DataPort() const override { return dataPort; }
  uint16_t UtilityPort() const override { return 0; }
  HubHealth Health() const override { return health; }
  // Threads that are all alive: the probe comes back at once.
  void Probe(std::function<void()> done) override { done(); }

  // Stop waits from now on until EndRun.
  void BeginRun() {
    std::lock_guard guard(mutex);
    runActive = true;
  }
  // Any thread.
  void EndRun() {
    {
      std::lock_guard guard(mutex);
      runActive = false;
    }
    runEnded.notify_all();
  }

  struct Run {
    std::vector<Box> boxes;
    int channelLimit;
  };

  bool serversStart = true;
  bool startResult = true;
  ErrorInfo startError;
  uint16_t dataPort = 0;
  std::function<void()> onStop;  // runs on the window thread as Stop begins
  int startServersCalls = 0;
  int stopCalls = 0;
  std::vector<Run> runs;
  HubHealth health;  // what Health returns

 private:
  std::mutex mutex;
  std::condition_variable runEnded;
  bool runActive = false;
};

}  // namespace tessamer::apptest

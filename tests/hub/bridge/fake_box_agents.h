#pragma once
// Box agents played by a test: the bridge makes them through FakeBoxAgents::Factory, each sends
// its scripted first report from its own thread, and the test then feeds headers, records and
// later reports through them as the boxes would.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "hub/bridge/hub_bridge.h"
#include "hub/core/hub_config.h"
#include "hub/core/notices.h"
#include "hub/runtime/runtime_agent.h"
#include "hub/runtime/runtime_event.h"
#include "testkit/recorders.h"

namespace tessamer::testkit {

class FakeBoxAgents;

class FakeBoxAgent final : public IBoxAgent {
 public:
  FakeBoxAgent(FakeBoxAgents& owner, int32_t index, TcpOptions options,
               std::shared_ptr<ITarget<Activity>> activity, ActivityStatus first)
      : owner(owner), runner(index, std::move(activity), first), options(std::move(options)) {}
  ~FakeBoxAgent() override;

  void Start() override { runner.start(); }
  void SetTargets(std::shared_ptr<ITarget<HeaderNotification>> headerTarget,
                  std::shared_ptr<ITarget<DataNotification>> dataTarget) override;
  void RequestStop() override {
    if (!ignoresStop) runner.stop.set();
  }
  agent& Agent() override { return runner; }

  void SendHeader(const Header& header) {
    send(headerTarget, HeaderNotification{header, runner.index});
  }
  void SendData(const Data& data) { send(dataTarget, DataNotification{data, runner.index}); }
  // The record a lost box's agent repeats to hold the box's place.
  void SendHeld(const Data& data) { send(dataTarget, DataNotification{data, runner.index, true}); }
  void SendActivity(ActivityStatus status) {
    send(runner.activity, Activity{status, runner.index});
  }
  const TcpOptions& Options() const { return options; }

 private:
  // Sends the first report, then stays until asked to stop (a failed box ends at once), as a
  // box agent does.
  struct Runner : agent {
    Runner(int32_t index, std::shared_ptr<ITarget<Activity>> activity, ActivityStatus first)
        : index(index), activity(std::move(activity)), first(first) {}
    ~Runner() override { join(); }
    void run() override {
      send(activity, Activity{first, index});
      if (first == Connected) stop.wait();
      done();
    }
    const int32_t index;
    const std::shared_ptr<ITarget<Activity>> activity;
    const ActivityStatus first;
    event stop;
  };

  friend class FakeBoxAgents;
  FakeBoxAgents& owner;
  bool ignoresStop = false;  // set before Start
  Runner runner;
  const TcpOptions options;
  std::shared_ptr<ITarget<HeaderNotification>> headerTarget;
  std::shared_ptr<ITarget<DataNotification>> dataTarget;
};

// The boxes of the runs of one bridge. Threads: the factory runs on the bridge's task; the test
// reaches the agents while the run is routing (between WaitForTargets and Stop).
class FakeBoxAgents {
 public:
  // First report of the box with the given agent index in every run (Connected when not set).
  void SetFirstReport(int32_t index, ActivityStatus status) {
    std::lock_guard lock(mutex);
    firstReports[index] = status;
  }

  // The box with the given agent index does not react to a stop request (only to deletion).
  void SetIgnoresStop(int32_t index) {
    std::lock_guard lock(mutex);
    stubborn.push_back(index);
  }
  // The factory raises `failure` instead of making an agent.
  void SetFactoryFailure(std::string failure) {
    std::lock_guard lock(mutex);
    factoryFailure = std::move(failure);
  }

  BoxAgentFactory Factory() {
    return [this](int32_t index, const TcpOptions& options,
                  std::shared_ptr<ITarget<Activity>> activity) -> std::unique_ptr<IBoxAgent> {
      std::lock_guard lock(mutex);
      if (!factoryFailure.empty()) throw std::runtime_error(factoryFailure);
      auto first = firstReports.count(index) ? firstReports[index] : Connected;
      auto made = std::make_unique<FakeBoxAgent>(*this, index, options, std::move(activity), first);
      made->ignoresStop = std::find(stubborn.begin(), stubborn.end(), index) != stubborn.end();
      live[index] = made.get();
      changed.notify_all();
      return made;
    };
  }

  // Waits until `count` agents of the current run have their targets.
  bool WaitForTargets(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return withTargets.size() >= count; });
  }

  FakeBoxAgent& Box(int32_t index) {
    std::lock_guard lock(mutex);
    return *live.at(index);
  }
  size_t Live() {
    std::lock_guard lock(mutex);
    return live.size();
  }

 private:
  friend class FakeBoxAgent;
  void TargetsSet(int32_t index) {
    std::lock_guard lock(mutex);
    withTargets.push_back(index);
    changed.notify_all();
  }
  void Gone(int32_t index, FakeBoxAgent* agent) {
    std::lock_guard lock(mutex);
    if (live.count(index) && live[index] == agent) live.erase(index);
    std::erase(withTargets, index);
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::map<int32_t, ActivityStatus> firstReports;
  std::map<int32_t, FakeBoxAgent*> live;
  std::vector<int32_t> withTargets;
  std::vector<int32_t> stubborn;
  std::string factoryFailure;
};

inline FakeBoxAgent::~FakeBoxAgent() {
  runner.stop.set();
  owner.Gone(runner.index, this);
}

inline void FakeBoxAgent::SetTargets(std::shared_ptr<ITarget<HeaderNotification>> header,
                                     std::shared_ptr<ITarget<DataNotification>> data) {
  headerTarget = std::move(header);
  dataTarget = std::move(data);
  owner.TargetsSet(runner.index);
}

// A header of `count` channels named prefix + "0", prefix + "1", ... with units "u" + prefix + i.
inline Header MakeHeader(int count, const std::wstring& prefix) {
  Header header;
  header.count = count;
  for (int i = 0; i < count; ++i) {
    CopyText(header.names[i], std::wstring_view(prefix + std::to_wstring(i)));
    CopyText(header.units[i], std::wstring_view(L"u" + prefix + std::to_wstring(i)));
    header.variables[i] = 100 + i;
    header.vqi[i] = 7;
  }
  CopyText(header.serialNumber, std::wstring_view(L"SN-" + prefix));
  return header;
}

// A record at 12:34:<second> on 2026-03-04 whose value i is base + i.
inline Data MakeData(double base, int count, int second = 0) {
  Data data{};
  data.count = count;
  for (int i = 0; i < count; ++i) data.values[i] = base + i;
  data.time.tm_year = 126;
  data.time.tm_mon = 2;
  data.time.tm_mday = 4;
  data.time.tm_hour = 12;
  data.time.tm_min = 34;
  data.time.tm_sec = second;
  data.timestamp = 1772627640 + second;
  return data;
}

// A bridge whose boxes are FakeBoxAgents, listening on loopback ports chosen by the kernel, with
// a recording window. The run is stopped when it goes.
struct BridgeUnderTest {
  explicit BridgeUnderTest(HubConfig hubConfig = LoopbackConfig()) : config(std::move(hubConfig)) {
    bridge = std::make_unique<CHubBridge>(&window, config, boxes.Factory());
  }
  ~BridgeUnderTest() {
    if (bridge) bridge->Stop();
  }

  static HubConfig LoopbackConfig() {
    HubConfig config;
    config.listenAddress = "127.0.0.1";
    config.dataPort = 0;
    config.utilityPort = 0;
    config.boxUtilityPort = 1;  // nothing listens there: no test reaches a real box by accident
    return config;
  }

  // `count` boxes on 127.0.0.2 upwards, in rows 2 * i + 1 so rows and agent indices differ.
  static std::vector<Box> Boxes(int count, int32_t port = 5000) {
    std::vector<Box> list;
    for (int i = 0; i < count; ++i) {
      list.push_back(Box{BoxAddress(127, 0, 0, static_cast<uint8_t>(2 + i)), port, 2 * i + 1});
    }
    return list;
  }

  RecordingAlerts alerts;
  RecordingNoticeSink window;
  FakeBoxAgents boxes;
  HubConfig config;
  std::unique_ptr<CHubBridge> bridge;
};

}  // namespace tessamer::testkit

#pragma once
// The spine of the hub: owns the data server (through the publisher), the utility server, the
// agents of the current run and the message network that combines their boxes into one logger.
//
//   window thread: StartServers, Start ──> agentsTask (own thread): StartAgents
//                                            CreateAgents: one agent per box, wait for first reports
//                                            WorkOnDataAndHeader: routing network, wait loop
//                                          runEnd (continuation): StopAgents, WM_HUB_STOPPED
//   window thread: Stop ── sets stopEvent, waits for runEnd
//
//   agent i ─Activity─> activity buffer i ─> firstReports | laterReports ─> WM_HUB_ACTIVITY
//   agent i ─HeaderNotification─> headerQueues[i] ─> headerTagger ─> headerCollector
//              ─> combinedHeaderBuffer ─> headerPublishBlock ─> PublishHeader
//   agent i ─DataNotification─> dataQueues[i] ─> dataMerger ─> combinedDataBuffer
//              ─> dataPublishBlock ─> PublishData
//   utility server thread ─> OnUtilityRequest ─> cached box utility connection
//
// Threads: the public IHubControl operations and destruction on the window thread only.
// `layoutLock` guards `boxes`, `channelEnds` and `combined` (the routing's handlers, the wait loop
// and the utility requests take it). `utilities` is touched only on the utility server's thread.
// Every other thread tells the window about events only by posting notices.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/device.h"
#include "hub/bridge/hub_control.h"
#include "hub/core/hub_config.h"
#include "hub/core/notices.h"
#include "hub/core/records.h"
#include "hub/runtime/concurrent_containers.h"
#include "hub/runtime/message_blocks.h"
#include "hub/runtime/runtime_agent.h"
#include "hub/runtime/runtime_event.h"
#include "hub/runtime/runtime_task.h"
#include "server/data_publisher.h"
#include "support/error_info.h"

namespace tessamer {

class CUtilityServer;
class CVellumetricUtility;
class ICommandRelay;

inline constexpr int kRunDataPort = 9900;       // data port of a server first made by Start
inline constexpr int32_t kAgentMaxRecordsPerMinute = 60000;

// What the bridge needs of one box's agent. The production one wraps CVellumetricAgent; tests
// put their own in its place to play the boxes.
class IBoxAgent {
 public:
  virtual ~IBoxAgent() = default;  // a deleted agent sends nothing more
  // Connects on the agent's own thread and sends a first Activity (Connected or ConnectFailed).
  virtual void Start() = 0;
  // Hands over the header and data targets; the agent starts reading its box.
  virtual void SetTargets(std::shared_ptr<ITarget<HeaderNotification>> headerTarget,
                          std::shared_ptr<ITarget<DataNotification>> dataTarget) = 0;
  // Asks the agent to end soon; the bridge then waits for Agent() to be done.
  virtual void RequestStop() = 0;
  virtual agent& Agent() = 0;
};

// Makes the agent of one box: (agent index, link options, target of its Activity reports).
using BoxAgentFactory = std::function<std::unique_ptr<IBoxAgent>(
    int32_t agentIndex, const TcpOptions& options, std::shared_ptr<ITarget<Activity>> activity)>;

class CHubBridge : public IHubControl {
 public:
  // `window` receives every notice (may be null) and must outlive the bridge.
  explicit CHubBridge(INoticeSink* window, HubConfig config = {});
  // As above, with the agents made by `agentFactory` instead of real box agents.
  CHubBridge(INoticeSink* window, HubConfig config, BoxAgentFactory agentFactory);
  // Call Stop first: destruction closes the servers; agents still there are stopped too.
  ~CHubBridge() override;
  CHubBridge(const CHubBridge&) = delete;
  CHubBridge& operator=(const CHubBridge&) = delete;

  bool StartServers() override;
  bool Start(const std::vector<Box>& boxes, int channelLimit) override;
  bool Stop() override;
  const ErrorInfo& StartError() const override { return startError; }
  uint16_t DataPort() const override;
  uint16_t UtilityPort() const override;
  // True when the last run ended because a box failed its first connection.
  bool RunEndedByItself() const { return endedByItself.load(); }

  // The utility server's request handler (its thread only): routes a setpoint request for a
  // combined channel to the box that owns it and fills `reply` with the box's answer. Called
  // with (nullptr, 0, nullptr) when a utility client has gone: the box connections are closed.
  bool OnUtilityRequest(const char* request, int32_t length, std::string* reply);

  // The current channel layout: entry i is the end of box i's channels in the combined header.
  std::array<int32_t, MaxBoxes> ChannelEnds() const;
  // Box utility connections cached now (utility server's thread, or while it is idle).
  size_t CachedUtilityCount() const { return utilities.size(); }

 private:
  using HeaderQueue = unbounded_buffer<HeaderNotification>;
  using DataQueue = unbounded_buffer<DataNotification>;

  // Lifecycle (hub_bridge.cpp).
  bool StartAgents();
  bool CreateAgents();
  void StopAgents();
  void EndRun(const task<bool>& finished);
  void HandleFirstReport(const Activity& report);
  void PostActivity(const Activity& report);
  int32_t RowOf(int32_t agentIndex);

  // Routing (routing.cpp).
  bool WorkOnDataAndHeader();
  void WaitForDataOrStop();
  void DrainHandlers();
  HeaderNotification TagHeader(const HeaderNotification& notification);
  void CollectHeader(const HeaderNotification& notification);
  Header BuildCombinedHeader();
  void PublishCombinedHeader(const Header& header);
  void MergeData(const DataNotification& notification);
  void PublishCombinedData(const Data& data);
  void EndHandler();

  // Utility routing (utility_routing.cpp).
  using UtilityCommand = std::function<bool(CVellumetricUtility&)>;
  bool RunUtilityCommand(size_t box, std::string* reply, const UtilityCommand& command);

  const HubConfig config;
  const BoxAgentFactory agentFactory;
  INoticeSink* const window;

  std::vector<std::unique_ptr<IBoxAgent>> agents;  // agent index order; background task only
  std::vector<Box> boxes;                          // written under layoutLock
  event stopEvent;      // set by Stop: the routing ends
  event reportsDone;    // every agent has sent its first Activity
  event dataDelivered;  // a combined record has been handed to the clients
  std::atomic<int32_t> failedCount{0};
  std::atomic<int32_t> channelLimit{kDefaultChannelLimit};
  int port;  // port a server made by StartServers listens on
  CDataPublisher publisher;
  ErrorInfo startError;
  std::atomic<bool> headerPublished{false};
  Data combined{};  // guarded by layoutLock
  std::unique_ptr<call<DataNotification>> dataMerger;
  std::unique_ptr<call<Activity>> firstReports;
  std::unique_ptr<call<Activity>> laterReports;
  std::unique_ptr<transformer<HeaderNotification, HeaderNotification>> headerTagger;
  std::unique_ptr<call<HeaderNotification>> headerCollector;
  // The run's combined buffers; shared with the handlers that send into them, so a handler that
  // outlives the drain never sends into a buffer that is gone.
  std::shared_ptr<overwrite_buffer<Header>> combinedHeaderBuffer;
  std::shared_ptr<unbounded_buffer<Data>> combinedDataBuffer;
  concurrent_map<int32_t, Header> boxHeaders;
  concurrent_set<int32_t> contributors;
  std::vector<std::shared_ptr<DataQueue>> dataQueues;
  std::vector<std::shared_ptr<HeaderQueue>> headerQueues;
  std::array<int32_t, MaxBoxes> boxChannels{};  // channels taken from each box, headers so far
  std::array<int32_t, MaxBoxes> channelEnds{};  // guarded by layoutLock; 0 until the header is built
  std::atomic<int32_t> runBoxes{0};             // boxes of the run being routed
  std::atomic<int32_t> busy{0};                 // tagging and merge bodies in progress
  std::mutex busyMutex;                         // with busyZero: the drain's wait for busy == 0
  std::condition_variable busyZero;
  mutable std::mutex layoutLock;
  std::unique_ptr<ICommandRelay> commandRelay;  // viewers' "##" commands; outlives the server
  std::unique_ptr<CUtilityServer> utilityServer;
  task<bool> agentsTask;
  task<void> runEnd;
  std::map<std::string, std::shared_ptr<CVellumetricUtility>> utilities;
  std::atomic<int32_t> pendingReports{0};
  std::atomic<bool> endedByItself{false};
  std::atomic<bool> runActive{false};  // from Start until the run's end is posted
};

}  // namespace tessamer

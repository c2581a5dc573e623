#pragma once
// The spine of the hub, and the façade the window and the headless runner see: it owns what lives
// as long as the process (the data server through the publisher, the utility server, the viewer
// command relay, the box utility connections) and the current run (CHubRun, hub_run.h).
//
//   window thread: StartServers, Start ── makes the run ──> agentsTask (own thread): Serve
//     Serve: the run's Execute; a partial run whose waiting box answered (serve-available) is
//            ended there and a new run with every box made and executed in its place
//   runEnd (continuation): destroys the last run, WM_HUB_STOPPED
//   window thread: Stop ── tells the run to stop (and Serve to make no other), waits for runEnd
//   utility server thread: RouteRequest ─> the run's layout ─> the owning box and its command
//   utility request executor (a lane per box): the command over the box's cached connection
//   any thread: Health ─> the health recorder's snapshot (boxes, run, channels of the current or
//               last run) and the data server's viewers
//   window thread: Probe ─> runtime pool, the run's routing, every server worker (hub_probe.h)
//
// Threads: the public IHubControl operations and destruction on the window thread only, Health
// from any thread; RouteRequest on the utility server's thread, the commands it returns and
// UtilitiesGone on the utility request executor (side by side for different boxes; one box's one
// at a time, see utility_connections.h); Serve on the run task's thread, EndRun on its
// continuation's. `runLock` guards `run` and `stopRequested`: a utility request reads the
// current run's layout under it when it arrives, so it sees either a run's layout or, outside a
// run, no box owning any channel. Every other thread tells the window about events only by
// posting notices.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "hub/bridge/box_agent.h"
#include "hub/bridge/hub_control.h"
#include "hub/bridge/hub_run.h"
#include "hub/bridge/utility_connections.h"
#include "hub/core/health_recorder.h"
#include "hub/core/hub_config.h"
#include "hub/core/job_output.h"
#include "hub/core/notices.h"
#include "hub/core/records.h"
#include "hub/runtime/runtime_task.h"
#include "server/data_publisher.h"
#include "support/error_info.h"
#include "utility/utility_server.h"

namespace tessamer {

class ICommandRelay;

inline constexpr int kRunDataPort = 9900;  // data port of a server first made by Start

class CHubBridge : public IHubControl, private IUtilityRequestHandler {
 public:
  // `window` receives every notice (may be null) and must outlive the bridge.
  explicit CHubBridge(INoticeSink* window, HubConfig config = {});
  // As above, with the agents made by `agentFactory` instead of real box agents (an empty one
  // makes real agents).
  CHubBridge(INoticeSink* window, HubConfig config, BoxAgentFactory agentFactory);
  // Call Stop first: destruction closes the servers; a run still there is ended too.
  ~CHubBridge() override;
  CHubBridge(const CHubBridge&) = delete;
  CHubBridge& operator=(const CHubBridge&) = delete;

  bool StartServers() override;
  bool Start(const std::vector<Box>& boxes, int channelLimit) override;
  bool Stop() override;
  const ErrorInfo& StartError() const override { return startError; }
  uint16_t DataPort() const override;
  uint16_t UtilityPort() const override;
  HubHealth Health() const override;
  void Probe(std::function<void()> done) override;
  // Adds an output of the combined job (hub/core/job_output.h) beside the viewers' publisher;
  // call before StartServers. Every later run hands it its events; its health joins Health().
  void AddOutput(std::shared_ptr<IJobOutput> output) override { outputs.Add(std::move(output)); }
  // True when the last run ended because a box failed its first connection.
  bool RunEndedByItself() const { return endedByItself.load(); }

  // A utility request handled whole on the calling thread: routes a setpoint request for a
  // combined channel (`length` bytes, a zero among them included) to the box that owns it and
  // fills `reply` with the box's answer; the command's result, false for a malformed request.
  // (nullptr, 0, nullptr) closes the box connections, as when the last utility has gone. The
  // utility server takes the same road in two steps (RouteRequest, then the command).
  bool OnUtilityRequest(const char* request, int32_t length, std::string* reply);

  // The current channel layout: entry i is the end of box i's channels in the combined header;
  // all 0 outside a run.
  std::array<int32_t, MaxBoxes> ChannelEnds() const;
  // Box utility connections cached now.
  size_t CachedUtilityCount() const { return utilities.Count(); }

 private:
  // What Start was asked for: every run of it, the first and those made again, takes it.
  struct RunPlan {
    std::vector<Box> boxes;
    int channelLimit = kDefaultChannelLimit;
    bool serveAvailable = false;
  };

  // A routed utility request: the command for one box, or the result when none is to be run.
  struct BoxCommand {
    uint32_t box;  // Box::address
    CUtilityConnections::Command command;
  };
  using RoutedRequest = std::variant<bool, BoxCommand>;

  RoutedRequest RouteUtilityRequest(std::string_view request) const;
  UtilityRequestWork RouteRequest(std::string_view request) override;
  void UtilitiesGone() override { utilities.CloseAll(); }
  // Makes and installs a run of `plan`, unless a stop has been asked for; under runLock.
  bool InstallRunLocked(const RunPlan& plan);
  RunOutcome Serve(const RunPlan& plan);
  bool RunAgain(const RunPlan& plan);
  void EndRun(const task<RunOutcome>& finished);
  // Health and outputs learn how the run ended.
  void RecordEnd(const char* outcome);
  bool HasRun() const;
  std::unique_ptr<CHubRun> DetachRun();
  std::optional<ChannelOwner> OwnerOf(int64_t channel) const;

  const HubConfig config;
  CHealthRecorder health;  // the real agents report to it: it outlives them
  const BoxAgentFactory agentFactory;
  INoticeSink* const window;

  int port;  // port a server made by StartServers listens on
  CDataPublisher publisher;
  CJobOutputs outputs;  // every output of the combined job, the publisher first
  std::atomic<uint64_t> runCount{0};  // runs started (Start), read at their end
  ErrorInfo startError;
  std::unique_ptr<ICommandRelay> commandRelay;  // viewers' "##" commands; outlives the server
  std::unique_ptr<CUtilityServer> utilityServer;
  CUtilityConnections utilities;  // the box connections of utility requests

  mutable std::mutex runLock;
  // Guarded by runLock: the current run, from Start until it has ended (a run whose start raised
  // stays until destruction).
  std::unique_ptr<CHubRun> run;
  bool stopRequested = false;    // guarded by runLock: Stop was called after the last Start
  task<RunOutcome> agentsTask;   // the runs' body: Serve
  task<void> runEnd;             // EndRun, once agentsTask has finished
  std::atomic<bool> endedByItself{false};
};

}  // namespace tessamer

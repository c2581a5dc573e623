#include "hub/bridge/hub_bridge.h"

#include <asio/post.hpp>

#include <exception>
#include <string>
#include <utility>

#include "hub/bridge/hub_probe.h"
#include "hub/bridge/viewer_command_relay.h"
#include "hub/core/alerts.h"
#include "server/command_relay.h"
#include "server/data_server.h"
#include "support/simple_log_file.h"
#include "support/text.h"
#include "utility/utility_server.h"

namespace tessamer {

namespace {

std::wstring PortText(int port) { return std::to_wstring(port); }

}  // namespace

CHubBridge::CHubBridge(INoticeSink* window, HubConfig config)
    : CHubBridge(window, std::move(config), BoxAgentFactory()) {}

CHubBridge::CHubBridge(INoticeSink* window, HubConfig config, BoxAgentFactory agentFactory)
    : config(std::move(config)),
      health(this->config.health),
      agentFactory(agentFactory ? std::move(agentFactory)
                                : MakeBoxAgentFactory(this->config.acquisition, &health)),
      window(window),
      port(this->config.dataPort),
      utilities(this->config.defaultBoxAddress, this->config.boxUtilityPort,
                this->config.hub.utilityOpen) {
  // The publisher is a member: the outputs hold it without owning it.
  outputs.Add(std::shared_ptr<IJobOutput>(std::shared_ptr<IJobOutput>(), &publisher));
  for (const auto& output : this->config.outputs) AddOutput(output);
}

CHubBridge::~CHubBridge() {
  // The utility server's request executor is the one user of the box connections: it goes first
  // (waiting for the requests in progress).
  utilityServer.reset();
  utilities.CloseAll();
  Stop();
  runEnd = {};
  agentsTask = {};
  // A run whose start raised still has its agents.
  DetachRun().reset();
  // The relay must outlive the data server's stop; the publisher deletes the server later.
  if (publisher.Server() != nullptr) publisher.Server()->Stop();
}

bool CHubBridge::StartServers() {
  bool result = true;
  auto server = std::make_unique<CDataServer>(static_cast<uint16_t>(port), window,
                                              config.listenAddress, config.hub.serverStopWait);
  if (!commandRelay) {
    commandRelay = std::make_unique<CViewerCommandRelay>(
        config.defaultBoxAddress, config.boxUtilityPort, config.hub.utilityOpen);
  }
  server->SetCommandRelay(commandRelay.get());
  publisher.SetServer(std::move(server), port);
  if (!publisher.StartServer()) {
    const ErrorInfo& serverError = publisher.StartError();
    if (serverError.code != 0) {
      startError.failed = true;
      startError.code = serverError.code;
      startError.text = L"The data server could not be started on port: " + PortText(port) +
                        L".\r\n\r\nError details: " + serverError.text;
      result = false;
    }
  }

  utilityServer.reset();
  IUtilityRequestHandler& requests = *this;
  utilityServer = std::make_unique<CUtilityServer>(requests, config.listenAddress,
                                                   config.utilityPort, config.hub.utilityIdle);
  if (!utilityServer->Start()) {
    ShowAlert(L"Utility server could not be started.", AlertIcon::Error);
  }
  return result;
}

bool CHubBridge::Start(const std::vector<Box>& boxes, int channelLimit) {
  if (HasRun()) {
    // The window never starts a run while one is active; a second one would share its boxes.
    DiagnosticLog().WriteRecord(L"Start ignored: a run is still active");
    return true;
  }
  // The last run has told the window it ended; let its continuation finish returning.
  if (runEnd.valid()) runEnd.wait();
  port = kRunDataPort;
  if (publisher.Server() == nullptr && !StartServers()) return true;
  const RunEnvironment environment{window,       &outputs,   &health,
                                   agentFactory, config.hub, ++runCount};
  auto next = std::make_unique<CHubRun>(environment, boxes, channelLimit);
  CHubRun* started = next.get();
  {
    std::lock_guard lock(runLock);
    run = std::move(next);
  }
  endedByItself = false;
  agentsTask = create_task([started] { return started->Execute(); });
  runEnd = agentsTask.then([this](task<RunOutcome> finished) { EndRun(finished); });
  return true;
}

bool CHubBridge::Stop() {
  {
    std::lock_guard lock(runLock);
    if (run) run->RequestStop();
  }
  if (!runEnd.valid()) return true;
  if (!runEnd.is_done()) runEnd.wait();
  return true;
}

uint16_t CHubBridge::DataPort() const {
  CDataServer* server = publisher.Server();
  return server != nullptr && !publisher.StartError().failed ? server->Port() : 0;
}

uint16_t CHubBridge::UtilityPort() const {
  return utilityServer != nullptr ? utilityServer->Port() : 0;
}

HubHealth CHubBridge::Health() const {
  HubHealth snapshot = health.Snapshot();
  outputs.AddHealth(snapshot);
  return snapshot;
}

void CHubBridge::Probe(std::function<void()> done) {
  auto token = std::make_shared<ProbeToken>(std::move(done));
  asio::post(RuntimePool(), [token] {});
  {
    std::lock_guard lock(runLock);
    if (run) run->Probe([token] {});
  }
  if (DataPort() != 0) MeetWorkers(publisher.Server()->Executor(), kWorkerCount, token);
}

std::array<int32_t, MaxBoxes> CHubBridge::ChannelEnds() const {
  std::lock_guard lock(runLock);
  return run ? run->ChannelEnds() : std::array<int32_t, MaxBoxes>{};
}

// A run whose start raised is left with its agents running (the window is not told it ended);
// destruction ends it.
void CHubBridge::EndRun(const task<RunOutcome>& finished) {
  RunOutcome outcome;
  try {
    outcome = finished.get();
  } catch (const std::exception& e) {
    ShowAlert(L"A problem occurred while starting agents. Detail: " + Widen(e.what()),
              AlertIcon::Error);
    RecordEnd(kOutcomeStartFailed);
    return;
  }
  endedByItself = outcome == RunOutcome::EndedByItself;
  DetachRun().reset();  // drains the routing, stops and deletes the agents
  RecordEnd(endedByItself ? kOutcomeBoxUnreachable : kOutcomeStopped);
  PostNotice(window, StoppedNotice{});
}

// Every box that took part is told stopped (a failed one stays failed), then the run's end.
void CHubBridge::RecordEnd(const char* outcome) {
  health.EndRun(outcome);
  const HubHealth figures = health.Snapshot();
  const WallClock::time_point now = WallClock::now();
  for (const BoxHealth& box : figures.boxes) {
    if (box.state != BoxState::Stopped) continue;
    outputs.OnBoxEvent(BoxEvent{runCount, now, box.row, box.agent, BoxEventKind::Stopped, {}});
  }
  outputs.OnRunEnded(RunEnded{runCount, now, outcome, figures.run.recordsPublished,
                              figures.run.repeatsSent});
}

bool CHubBridge::HasRun() const {
  std::lock_guard lock(runLock);
  return run != nullptr;
}

// From here on no box owns a combined channel; the run is destroyed outside the lock, so that a
// utility request never waits for a run's end.
std::unique_ptr<CHubRun> CHubBridge::DetachRun() {
  std::lock_guard lock(runLock);
  return std::move(run);
}

std::optional<ChannelOwner> CHubBridge::OwnerOf(int64_t channel) const {
  std::lock_guard lock(runLock);
  return run ? run->OwnerOf(channel) : std::nullopt;
}

}  // namespace tessamer

#include "hub/bridge/hub_bridge.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <string>
#include <utility>

#include "acquisition/vellumetric_agent.h"
#include "hub/bridge/viewer_command_relay.h"
#include "hub/core/alerts.h"
#include "server/command_relay.h"
#include "server/data_server.h"
#include "support/simple_log_file.h"
#include "support/text.h"
#include "utility/utility_server.h"
#include "utility/vellumetric_utility.h"

namespace tessamer {

namespace {

// The production agent: one CVellumetricAgent per box.
class CBoxAgent final : public IBoxAgent {
 public:
  CBoxAgent(int32_t agentIndex, const TcpOptions& options,
            std::shared_ptr<ITarget<Activity>> activity, const AcquisitionTimeouts& timeouts)
      : boxAgent(agentIndex, options, std::move(activity), timeouts) {}
  void Start() override { boxAgent.start(); }
  void SetTargets(std::shared_ptr<ITarget<HeaderNotification>> headerTarget,
                  std::shared_ptr<ITarget<DataNotification>> dataTarget) override {
    boxAgent.SetTargets(std::move(headerTarget), std::move(dataTarget));
  }
  void RequestStop() override { boxAgent.RequestStop(); }
  agent& Agent() override { return boxAgent; }

 private:
  CVellumetricAgent boxAgent;
};

BoxAgentFactory MakeBoxAgentFactory(const AcquisitionTimeouts& timeouts) {
  return [timeouts](int32_t agentIndex, const TcpOptions& options,
                    std::shared_ptr<ITarget<Activity>> activity) -> std::unique_ptr<IBoxAgent> {
    return std::make_unique<CBoxAgent>(agentIndex, options, std::move(activity), timeouts);
  };
}

std::wstring PortText(int port) { return std::to_wstring(port); }

}  // namespace

CHubBridge::CHubBridge(INoticeSink* window, HubConfig config)
    : CHubBridge(window, config, MakeBoxAgentFactory(config.acquisition)) {}

CHubBridge::CHubBridge(INoticeSink* window, HubConfig config, BoxAgentFactory agentFactory)
    : config(std::move(config)),
      agentFactory(std::move(agentFactory)),
      window(window),
      port(this->config.dataPort) {}

CHubBridge::~CHubBridge() {
  // The utility server's thread is the one user of the box connections: it goes first.
  utilityServer.reset();
  utilities.clear();
  // A run the window did not stop (or whose start failed) still has its task and agents.
  stopEvent.set();
  if (runEnd.valid()) runEnd.wait();
  runEnd = {};
  agentsTask = {};
  StopAgents();
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
  utilityServer = std::make_unique<CUtilityServer>(
      [this](const char* request, int32_t length, std::string* reply) {
        return OnUtilityRequest(request, length, reply);
      },
      config.listenAddress, config.utilityPort, config.hub.utilityIdle);
  if (!utilityServer->Start()) {
    ShowAlert(L"Utility server could not be started.", AlertIcon::Error);
  }
  return result;
}

bool CHubBridge::Start(const std::vector<Box>& boxList, int limit) {
  if (runActive) {
    // The window never starts a run while one is active; a second one would share its agents.
    DiagnosticLog().WriteRecord(L"Start ignored: a run is still active");
    return true;
  }
  // The last run has told the window it ended; let its continuation finish returning.
  if (runEnd.valid()) runEnd.wait();
  port = kRunDataPort;
  // Beyond these bounds the combined header would not fit its MaxChannels channels.
  channelLimit = std::clamp(limit, kMinChannelLimit, kMaxChannelLimit);
  {
    std::lock_guard lock(layoutLock);
    boxes.assign(boxList.begin(),
                 boxList.begin() + static_cast<std::ptrdiff_t>(
                                       std::min(boxList.size(), static_cast<size_t>(MaxBoxes))));
  }
  if (publisher.Server() == nullptr && !StartServers()) return true;
  stopEvent.reset();
  reportsDone.reset();
  endedByItself = false;
  runActive = true;
  agentsTask = create_task([this] { return StartAgents(); });
  runEnd = agentsTask.then([this](task<bool> finished) { EndRun(finished); });
  return true;
}

bool CHubBridge::Stop() {
  stopEvent.set();
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

void CHubBridge::EndRun(const task<bool>& finished) {
  bool result = false;
  try {
    result = finished.get();
  } catch (const std::exception& e) {
    ShowAlert(L"A problem occurred while starting agents. Detail: " + Widen(e.what()),
              AlertIcon::Error);
    return;
  }
  if (result) StopAgents();
  runActive = false;
  PostNotice(window, WM_HUB_STOPPED, 0, 0);
}

bool CHubBridge::StartAgents() {
  size_t count;
  {
    std::lock_guard lock(layoutLock);
    count = boxes.size();
  }
  pendingReports = static_cast<int32_t>(count);
  firstReports = std::make_unique<call<Activity>>(
      [this](const Activity& report) { HandleFirstReport(report); },
      [this](const Activity& report) {
        return (report.status == Connected || report.status == ConnectFailed) &&
               pendingReports.load() > 0;
      });
  laterReports = std::make_unique<call<Activity>>(
      [this](const Activity& report) { PostActivity(report); },
      [this](const Activity&) { return pendingReports.load() == 0; });
  if (CreateAgents()) {
    WorkOnDataAndHeader();
  } else {
    endedByItself = true;
  }
  return true;
}

bool CHubBridge::CreateAgents() {
  failedCount = 0;
  std::vector<Box> list;
  {
    std::lock_guard lock(layoutLock);
    list = boxes;
  }
  for (size_t i = 0; i < list.size(); ++i) {
    TcpOptions options;
    options.host = Widen(DottedText(list[i].address));
    options.port = list[i].port;
    options.MaxRecordsPerMinute = kAgentMaxRecordsPerMinute;
    auto activity = std::make_shared<unbounded_buffer<Activity>>();
    activity->link_target(firstReports.get());
    activity->link_target(laterReports.get());
    agents.push_back(agentFactory(static_cast<int32_t>(i), options, activity));
    agents.back()->Start();
  }
  if (list.empty()) reportsDone.set();  // nothing to wait for
  reportsDone.wait();
  return failedCount == 0 && !list.empty();
}

void CHubBridge::HandleFirstReport(const Activity& report) {
  if (report.status != Connected) ++failedCount;
  PostActivity(report);
  if (pendingReports.fetch_sub(1) == 1) reportsDone.set();
}

void CHubBridge::PostActivity(const Activity& report) {
  PostNotice(window, WM_HUB_ACTIVITY, static_cast<uintptr_t>(report.status), RowOf(report.agent));
}

int32_t CHubBridge::RowOf(int32_t agentIndex) {
  std::lock_guard lock(layoutLock);
  if (agentIndex < 0 || static_cast<size_t>(agentIndex) >= boxes.size()) return -1;
  return boxes[static_cast<size_t>(agentIndex)].row;
}

void CHubBridge::StopAgents() {
  if (agents.empty()) return;
  for (auto& boxAgent : agents) boxAgent->RequestStop();
  std::vector<agent*> running;
  for (auto& boxAgent : agents) running.push_back(&boxAgent->Agent());
  try {
    agent::wait_for_all(running, config.hub.agentsStopWait);
  } catch (const operation_timed_out&) {
    ShowAlert(L"Background agents could not be stopped. Please restart application",
              AlertIcon::None);
  }
  agents.clear();
  dataMerger.reset();
  headerTagger.reset();
  firstReports.reset();
  laterReports.reset();
  dataQueues.clear();
  headerQueues.clear();
  boxHeaders.clear();
  contributors.clear();
  std::lock_guard lock(layoutLock);
  channelEnds.fill(0);  // no box owns a combined channel outside a run
}

}  // namespace tessamer

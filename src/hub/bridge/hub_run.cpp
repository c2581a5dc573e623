#include "hub/bridge/hub_run.h"

#include <algorithm>
#include <cstddef>
#include <string>

#include "hub/core/alerts.h"
#include "hub/core/health_recorder.h"
#include "server/data_publisher.h"
#include "support/simple_log_file.h"
#include "support/text.h"

namespace tessamer {

namespace {

// Appends `suffix` to a fixed name field, cut to fit the field with its terminator.
template <size_t N>
void AppendToField(wchar_t (&field)[N], const std::wstring& suffix) {
  std::wstring text(TextOf(field));
  text += suffix;
  CopyText(field, std::wstring_view(text));
}

std::wstring AgentSuffix(int32_t agentIndex) { return L"_" + std::to_wstring(agentIndex); }

std::vector<Box> FirstBoxes(const std::vector<Box>& boxes) {
  const size_t count = std::min(boxes.size(), static_cast<size_t>(MaxBoxes));
  return {boxes.begin(), boxes.begin() + static_cast<std::ptrdiff_t>(count)};
}

std::vector<BoxIdentity> IdentitiesOf(const std::vector<Box>& boxes) {
  std::vector<BoxIdentity> identities;
  for (const Box& box : boxes) {
    identities.push_back(
        BoxIdentity{box.row, DottedText(box.address), static_cast<uint16_t>(box.port)});
  }
  return identities;
}

}  // namespace

CHubRun::CHubRun(const RunEnvironment& environment, const std::vector<Box>& boxList,
                 int limit)
    : environment(environment),
      boxes(FirstBoxes(boxList)),
      // Beyond these bounds the combined header would not fit its MaxChannels channels.
      channelLimit(std::clamp(limit, kMinChannelLimit, kMaxChannelLimit)),
      pendingReports(BoxCount()),
      headerPublishBlock([this](const Header& h) { PublishCombinedHeader(h); }),
      dataPublishBlock([this](const Combined& record) { PublishCombinedData(record); }),
      headerCollector([this](const HeaderNotification& n) { CollectHeader(n); }),
      headerTagger([this](const HeaderNotification& n) { return TagHeader(n); }),
      dataMerger([this](const DataNotification& n) { MergeData(n); }),
      firstReports([this](const Activity& report) { HandleFirstReport(report); },
                   [this](const Activity& report) { return AcceptsFirstReport(report); }),
      laterReports([this](const Activity& report) { PostActivity(report); },
                   [this](const Activity&) { return pendingReports.load() == 0; }) {
  holding.set();  // no box has delivered a record of its own yet
  environment.health->BeginRun(IdentitiesOf(boxes));
  LinkNetwork();
}

CHubRun::~CHubRun() {
  probe.reset();
  UnlinkRouting();
  DrainHandlers();
  StopAgents();
}

// Every agent's Activity queue is offered to firstReports first; its header and data queues
// carry nothing until Execute hands them to the agent.
void CHubRun::LinkNetwork() {
  headerTagger.link_target(headerCollector);
  combinedHeaderBuffer.link_target(headerPublishBlock);
  combinedDataBuffer.link_target(dataPublishBlock);
  for (size_t i = 0; i < boxes.size(); ++i) {
    auto activity = std::make_shared<ActivityQueue>();
    activity->link_target(firstReports);
    activity->link_target(laterReports);
    activityQueues.push_back(activity);
    auto headerQueue = std::make_shared<HeaderQueue>();
    headerQueue->link_target(headerTagger);
    headerQueues.push_back(headerQueue);
    auto dataQueue = std::make_shared<DataQueue>();
    dataQueue->link_target(dataMerger);
    dataQueues.push_back(dataQueue);
  }
}

RunOutcome CHubRun::Execute() {
  RunStarted started{environment.number, WallClock::now(), {}, channelLimit};
  for (const Box& box : boxes) {
    started.boxes.push_back(RunBox{box.row, DottedText(box.address), static_cast<uint16_t>(box.port)});
  }
  environment.output->OnRunStarted(started);
  if (!CreateAgents()) return RunOutcome::EndedByItself;
  return RouteUntilStopped();
}

std::optional<ChannelOwner> CHubRun::OwnerOf(int64_t channel) const {
  if (channel < 0) return std::nullopt;  // no box owns a negative channel
  std::lock_guard lock(layoutLock);
  size_t box = 0;
  while (box < boxes.size() && channel >= channelEnds[box]) ++box;
  if (box == boxes.size()) return std::nullopt;
  const int32_t start = box == 0 ? 0 : channelEnds[box - 1];
  return ChannelOwner{boxes[box].address, static_cast<int32_t>(channel - start)};
}

std::array<int32_t, MaxBoxes> CHubRun::ChannelEnds() const {
  std::lock_guard lock(layoutLock);
  return channelEnds;
}

// Each block is visited on its own, so a block stuck in its action keeps its copy from running
// whatever the others do.
void CHubRun::Probe(const std::function<void()>& visit) {
  firstReports.post_after(visit);
  laterReports.post_after(visit);
  headerTagger.post_after(visit);
  headerCollector.post_after(visit);
  headerPublishBlock.post_after(visit);
  dataMerger.post_after(visit);
  dataPublishBlock.post_after(visit);
}

bool CHubRun::CreateAgents() {
  for (size_t i = 0; i < boxes.size(); ++i) {
    agents.push_back(environment.agentFactory(static_cast<int32_t>(i), BoxLinkOptions(boxes[i]),
                                              activityQueues[i]));
    agents.back()->Start();
  }
  if (boxes.empty()) return false;  // nothing to wait for, nothing to route
  reportsDone.wait();
  return MayRoute();
}

// Every box connected; or, in a run that serves the boxes that answer, some did.
bool CHubRun::MayRoute() {
  if (failedCount == 0) return true;
  return environment.serveAvailable && failedCount < BoxCount();
}

// While first reports are awaited only Connected and ConnectFailed are taken; a ConnectionLost
// stays in its queue until the agent's next message, then goes to laterReports.
bool CHubRun::AcceptsFirstReport(const Activity& report) const {
  return (report.status == Connected || report.status == ConnectFailed) &&
         pendingReports.load() > 0;
}

void CHubRun::HandleFirstReport(const Activity& report) {
  if (report.status != Connected) {
    ++failedCount;
    std::lock_guard lock(layoutLock);
    if (report.agent >= 0 && report.agent < BoxCount()) absent.set(static_cast<size_t>(report.agent));
  }
  PostActivity(report);
  if (pendingReports.fetch_sub(1) == 1) reportsDone.set();
}

void CHubRun::PostActivity(const Activity& report) {
  const bool known = report.agent >= 0 && report.agent < BoxCount();
  const int32_t row = known ? boxes[static_cast<size_t>(report.agent)].row : -1;
  environment.health->BoxReport(report.agent, static_cast<ActivityStatus>(report.status));
  PostNotice(environment.window, ActivityNotice{static_cast<ActivityStatus>(report.status), row});
  if (!known) return;
  TellOutputs(report.agent, report.status == Connected       ? BoxEventKind::Connected
                            : report.status == ConnectFailed ? BoxEventKind::Failed
                                                             : BoxEventKind::Lost);
}

// A failure carries the box's last error as its reason.
void CHubRun::TellOutputs(int32_t agentIndex, BoxEventKind kind) {
  const auto index = static_cast<size_t>(agentIndex);
  BoxEvent event{environment.number, WallClock::now(), boxes[index].row, agentIndex, kind, {}};
  if (kind == BoxEventKind::Lost || kind == BoxEventKind::Failed) {
    const HubHealth health = environment.health->Snapshot();
    if (index < health.boxes.size()) event.detail = health.boxes[index].lastError;
  }
  environment.output->OnBoxEvent(event);
}

void CHubRun::StopAgents() {
  if (agents.empty()) return;
  for (auto& boxAgent : agents) boxAgent->RequestStop();
  std::vector<agent*> running;
  for (auto& boxAgent : agents) running.push_back(&boxAgent->Agent());
  try {
    agent::wait_for_all(running, environment.timeouts.agentsStopWait);
  } catch (const operation_timed_out&) {
    ShowAlert(L"Background agents could not be stopped. Please restart application",
              AlertIcon::None);
  }
  agents.clear();
}

RunOutcome CHubRun::RouteUntilStopped() {
  std::bitset<MaxBoxes> absentBoxes;
  {
    std::lock_guard lock(layoutLock);
    absentBoxes = absent;
  }
  // A partial run is told before any header can flow, so that it is told before the layout.
  if (absentBoxes.any()) WaitForAbsentBoxes(absentBoxes);
  for (size_t i = 0; i < agents.size(); ++i) {
    if (!absentBoxes.test(i)) agents[i]->SetTargets(headerQueues[i], dataQueues[i]);
  }
  return WaitForDataOrStop();
}

// A partial run says which boxes it goes without, and has them tried in the background.
void CHubRun::WaitForAbsentBoxes(const std::bitset<MaxBoxes>& absentBoxes) {
  std::vector<Box> waiting;
  std::vector<int32_t> rows;
  std::wstring listed;
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (!absentBoxes.test(i)) continue;
    waiting.push_back(boxes[i]);
    rows.push_back(boxes[i].row);
    listed += (listed.empty() ? L"" : L", ") + Widen(DottedText(boxes[i].address));
  }
  DiagnosticLog().WriteRecord(L"Serving the boxes that answered; waiting for " + listed);
  environment.health->RunPartial(rows);
  PostNotice(environment.window, RunPartialNotice{rows});
  probe = std::make_unique<CWaitingBoxProbe>(waiting, environment.timeouts.waitingRetry,
                                             environment.timeouts.waitingConnect,
                                             [this] { boxAnswered.set(); });
}

// Waits for the end of the run. Once records flow, the current combined record is published
// again whenever a repeat period passes without a publication. The wait also ends at the next
// silence deadline of a connected box, so that its silence is told when it begins.
RunOutcome CHubRun::WaitForDataOrStop() {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> repeatAt;  // none until records flow
  for (;;) {
    const size_t which = event::wait_for_multiple({&stopEvent, &dataDelivered, &boxAnswered},
                                                  NextWake(repeatAt));
    if (which == 0) return RunOutcome::Stopped;
    if (which == 2) return RunOutcome::BoxAnswered;
    if (which == 1) {
      dataDelivered.reset();
      repeatAt = Clock::now() + environment.timeouts.repeatPeriod;
      continue;
    }
    ReportSilence();
    if (repeatAt && Clock::now() >= *repeatAt) {
      repeatAt = Clock::now() + environment.timeouts.repeatPeriod;
      RepeatCombinedRecord();
    }
  }
}

std::chrono::milliseconds CHubRun::NextWake(
    const std::optional<std::chrono::steady_clock::time_point>& repeatAt) const {
  using std::chrono::milliseconds;
  milliseconds wait = event::infinite;
  if (repeatAt) {
    const auto left = std::chrono::ceil<milliseconds>(*repeatAt - std::chrono::steady_clock::now());
    wait = std::max(milliseconds(0), left);
  }
  if (const auto silence = environment.health->UntilSilence()) wait = std::min(wait, *silence);
  return wait;
}

void CHubRun::ReportSilence() {
  for (const SilenceChange& change : environment.health->CheckSilence()) {
    PostNotice(environment.window, BoxSilenceNotice{change.row, change.seconds});
    for (size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].row == change.row) TellOutputs(static_cast<int32_t>(i), BoxEventKind::Silent);
    }
  }
}

void CHubRun::RepeatCombinedRecord() {
  Combined copy;
  copy.repeat = true;
  {
    std::lock_guard lock(layoutLock);
    copy.data = combined;
    copy.missing = MissingLocked();
  }
  environment.health->CombinedRecord(copy.data, copy.missing, true);
  send(combinedDataBuffer, copy);
}

// From here on no message reaches a routing handler.
void CHubRun::UnlinkRouting() {
  for (auto& queue : dataQueues) queue->unlink_targets();
  for (auto& queue : headerQueues) queue->unlink_targets();
  headerTagger.unlink_targets();
  combinedHeaderBuffer.unlink_targets();
  combinedDataBuffer.unlink_targets();
}

// Gives handler bodies still running up to the drain wait to finish; the run ends anyway.
void CHubRun::DrainHandlers() {
  std::unique_lock lock(busyMutex);
  if (!busyZero.wait_for(lock, environment.timeouts.drainWait,
                         [this] { return busy.load() == 0; })) {
    DiagnosticLog().WriteRecord(L"Routing handlers still busy at the end of the run");
  }
}

void CHubRun::EndHandler() {
  if (busy.fetch_sub(1) == 1) {
    std::lock_guard lock(busyMutex);
    busyZero.notify_all();
  }
}

HeaderNotification CHubRun::TagHeader(const HeaderNotification& notification) {
  ++busy;
  environment.health->BoxHeader(notification.agent, notification.header);
  HeaderNotification tagged = notification;
  const int32_t count = std::clamp(tagged.header.count, 0, MaxChannels);
  const std::wstring suffix = AgentSuffix(tagged.agent);
  for (int32_t i = 0; i < count; ++i) AppendToField(tagged.header.names[i], suffix);
  EndHandler();
  return tagged;
}

void CHubRun::CollectHeader(const HeaderNotification& notification) {
  const int32_t agentIndex = notification.agent;
  if (agentIndex < 0 || agentIndex >= BoxCount()) return;  // no box of this run
  if (!boxHeaders.insert(agentIndex, notification.header)) return;  // later headers: dropped
  boxChannels[static_cast<size_t>(agentIndex)] =
      std::clamp(std::min(notification.header.count, channelLimit), 0, MaxChannels);
  int32_t present = 0;
  {
    std::lock_guard lock(layoutLock);
    present = PresentLocked();
  }
  if (static_cast<int32_t>(boxHeaders.size()) != present) return;
  // The layout's ends are published first: a utility request sent on the notice finds its box.
  const Header combined = BuildCombinedHeader();
  PostNotice(environment.window, HeadersCompleteNotice{});
  send(combinedHeaderBuffer, combined);
}

// The channels of every box side by side, each box's own first channels in its own order; an
// absent box takes no place. The dial is the first present box's. The layout's running ends are
// published here, in one step under the lock, so that a utility request never sees a half-built
// layout.
Header CHubRun::BuildCombinedHeader() {
  Header result;
  result.count = 0;
  std::lock_guard lock(layoutLock);
  int32_t end = 0;
  int32_t dialBox = -1;
  for (int32_t b = 0; b < BoxCount(); ++b) {
    const auto index = static_cast<size_t>(b);
    const int32_t start = end;
    const std::optional<Header> box = boxHeaders.find(b);
    if (box && dialBox < 0) dialBox = b;
    if (box) end = std::min(start + boxChannels[index], MaxChannels);
    channelEnds[index] = end;
    for (int32_t j = start; j < end; ++j) {
      CopyText(result.names[j], TextOf(box->names[j - start]));
      CopyText(result.units[j], TextOf(box->units[j - start]));
      result.variables[j] = j;
      ++result.count;
    }
  }
  const std::optional<Header> first = boxHeaders.find(dialBox);
  std::wstring dialName(TextOf(first->dialName));
  dialName += AgentSuffix(dialBox);
  CopyText(result.dialName, std::wstring_view(dialName));
  result.dialIndex = first->dialIndex;
  result.jobType = first->jobType;
  result.dialMin = first->dialMin;
  result.dialMax = first->dialMax;
  result.secondary = false;
  return result;
}

void CHubRun::PublishCombinedHeader(const Header& header) {
  {
    std::lock_guard lock(layoutLock);
    combined.count = header.count;
  }
  const std::shared_ptr<const PublishedHeader> described = DescribeHeader(header);
  environment.health->CombinedHeader(described->channels);
  environment.output->OnHeader(described);
  headerPublished = true;
  PostNotice(environment.window, PublishedNotice{false});
}

// The header as the outputs take it: its block as viewers receive it, each channel's box and
// what each box's own header said of it.
std::shared_ptr<const PublishedHeader> CHubRun::DescribeHeader(const Header& header) const {
  auto described = std::make_shared<PublishedHeader>();
  described->run = environment.number;
  described->at = WallClock::now();
  described->header = header;
  described->block = CDataPublisher::HeaderBlock(header);
  const std::array<int32_t, MaxBoxes> ends = ChannelEnds();
  int32_t box = 0;
  for (int32_t j = 0; j < std::clamp(header.count, 0, MaxChannels); ++j) {
    while (box < BoxCount() - 1 && j >= ends[static_cast<size_t>(box)]) ++box;
    described->channels.push_back(ChannelSource{Utf8(TextOf(header.names[j])),
                                                Utf8(TextOf(header.units[j])), box});
  }
  for (int32_t b = 0; b < BoxCount(); ++b) {
    const std::optional<Header> own = boxHeaders.find(b);
    if (!own) continue;
    described->boxes.push_back(BoxFacts{b, Utf8(TextOf(own->serialNumber)),
                                        Utf8(TextOf(own->firmwareVersion)),
                                        JobTypeName(own->jobType)});
  }
  return described;
}

void CHubRun::MergeData(const DataNotification& notification) {
  const int32_t agentIndex = notification.agent;
  if (agentIndex < 0 || agentIndex >= BoxCount()) return;  // no box of this run
  if (!notification.repeat) NoteRecord(agentIndex);
  if (!headerPublished) return;
  ++busy;
  const auto index = static_cast<size_t>(agentIndex);
  bool emit = false;
  Combined copy;
  {
    std::lock_guard lock(layoutLock);
    const int32_t start = agentIndex == 0 ? 0 : channelEnds[index - 1];
    const int32_t end = channelEnds[index];
    for (int32_t j = start; j < end; ++j) combined.values[j] = notification.data.values[j - start];
    const bool replacesRecord = !holding[index];  // if this box has contributed already
    holding[index] = notification.repeat;
    if (agentIndex == 0) {
      combined.fraction = notification.data.fraction;
      combined.time = notification.data.time;
      combined.timestamp = notification.data.timestamp;
    }
    const bool first = contributors.insert(agentIndex);
    if (!first && replacesRecord) environment.health->BoxRecordReplaced(agentIndex);
    if (first && static_cast<int32_t>(contributors.size()) == PresentLocked()) {
      copy.data = combined;
      copy.missing = MissingLocked();
      emit = true;
      contributors.clear();
    }
  }
  if (emit) {
    environment.health->CombinedRecord(copy.data, copy.missing, false);
    send(combinedDataBuffer, copy);
  }
  PostNotice(environment.window, BoxDataNotice{boxes[index].row});
  EndHandler();
}

// The channels of the boxes that hold their place.
std::bitset<MaxChannels> CHubRun::MissingLocked() const {
  std::bitset<MaxChannels> missing;
  for (size_t b = 0; b < boxes.size(); ++b) {
    if (!holding[b]) continue;
    for (int32_t j = b == 0 ? 0 : channelEnds[b - 1]; j < channelEnds[b]; ++j) missing.set(static_cast<size_t>(j));
  }
  return missing;
}

// A record of a silent box ends its silence.
void CHubRun::NoteRecord(int32_t agentIndex) {
  if (!environment.health->BoxRecord(agentIndex)) return;
  PostNotice(environment.window, BoxSilenceNotice{boxes[static_cast<size_t>(agentIndex)].row, 0});
  TellOutputs(agentIndex, BoxEventKind::Speaking);
}

// The data line is made once here, on the publishing block, for every output.
void CHubRun::PublishCombinedData(const Combined& record) {
  dataDelivered.set();
  auto published = std::make_shared<PublishedRecord>();
  published->run = environment.number;
  published->at = WallClock::now();
  published->data = record.data;
  published->missing = record.missing;
  published->line = CDataPublisher::DataLine(record.data);
  published->repeat = record.repeat;
  environment.output->OnRecord(published);
  PostNotice(environment.window, PublishedNotice{true});
}

}  // namespace tessamer

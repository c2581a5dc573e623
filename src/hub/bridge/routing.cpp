// The routing of one run: tagging and collecting the boxes' headers into the combined header,
// merging the boxes' records into the combined record, publishing both, and repeating the
// combined record while the boxes are silent. See hub_bridge.h for the network.

#include <algorithm>
#include <optional>
#include <string>

#include "hub/bridge/hub_bridge.h"
#include "support/simple_log_file.h"

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

}  // namespace

bool CHubBridge::WorkOnDataAndHeader() {
  combinedDataBuffer = std::make_shared<unbounded_buffer<Data>>();
  combinedHeaderBuffer = std::make_shared<overwrite_buffer<Header>>();

  headerPublished = false;
  busy = 0;
  boxHeaders.clear();
  contributors.clear();
  boxChannels.fill(0);
  dataDelivered.reset();
  {
    std::lock_guard lock(layoutLock);
    combined = Data{};
    channelEnds.fill(0);
  }
  runBoxes = static_cast<int32_t>(agents.size());

  headerTagger = std::make_unique<transformer<HeaderNotification, HeaderNotification>>(
      [this](const HeaderNotification& n) { return TagHeader(n); });
  headerCollector = std::make_unique<call<HeaderNotification>>(
      [this](const HeaderNotification& n) { CollectHeader(n); });
  dataMerger = std::make_unique<call<DataNotification>>(
      [this](const DataNotification& n) { MergeData(n); });
  auto headerPublishBlock =
      std::make_unique<call<Header>>([this](const Header& h) { PublishCombinedHeader(h); });
  auto dataPublishBlock =
      std::make_unique<call<Data>>([this](const Data& d) { PublishCombinedData(d); });

  headerTagger->link_target(headerCollector.get());
  combinedHeaderBuffer->link_target(headerPublishBlock.get());
  combinedDataBuffer->link_target(dataPublishBlock.get());

  for (auto& boxAgent : agents) {
    auto dataQueue = std::make_shared<DataQueue>();
    auto headerQueue = std::make_shared<HeaderQueue>();
    dataQueues.push_back(dataQueue);
    headerQueues.push_back(headerQueue);
    headerQueue->link_target(headerTagger.get());
    dataQueue->link_target(dataMerger.get());
    boxAgent->SetTargets(headerQueue, dataQueue);
  }

  WaitForDataOrStop();

  for (auto& queue : dataQueues) queue->unlink_targets();
  for (auto& queue : headerQueues) queue->unlink_targets();
  headerTagger->unlink_targets();
  combinedHeaderBuffer->unlink_targets();
  combinedDataBuffer->unlink_targets();

  DrainHandlers();

  dataPublishBlock.reset();
  headerPublishBlock.reset();
  headerCollector.reset();
  return true;
}

// Waits for the end of the run. Once records flow, the current combined record is published
// again whenever a repeat period passes without a publication.
void CHubBridge::WaitForDataOrStop() {
  auto timeout = event::infinite;
  for (;;) {
    const size_t which = event::wait_for_multiple({&stopEvent, &dataDelivered}, timeout);
    if (which == 0) return;
    if (which == 1) {
      dataDelivered.reset();
      timeout = config.hub.repeatPeriod;
      continue;
    }
    Data copy;
    {
      std::lock_guard lock(layoutLock);
      copy = combined;
    }
    send(*combinedDataBuffer, copy);
  }
}

// Gives handler bodies still running up to the drain wait to finish; the run ends anyway.
void CHubBridge::DrainHandlers() {
  std::unique_lock lock(busyMutex);
  if (!busyZero.wait_for(lock, config.hub.drainWait, [this] { return busy.load() == 0; })) {
    DiagnosticLog().WriteRecord(L"Routing handlers still busy at the end of the run");
  }
}

void CHubBridge::EndHandler() {
  if (busy.fetch_sub(1) == 1) {
    std::lock_guard lock(busyMutex);
    busyZero.notify_all();
  }
}

HeaderNotification CHubBridge::TagHeader(const HeaderNotification& notification) {
  ++busy;
  HeaderNotification tagged = notification;
  const int32_t count = std::clamp(tagged.header.count, 0, MaxChannels);
  const std::wstring suffix = AgentSuffix(tagged.agent);
  for (int32_t i = 0; i < count; ++i) AppendToField(tagged.header.names[i], suffix);
  EndHandler();
  return tagged;
}

void CHubBridge::CollectHeader(const HeaderNotification& notification) {
  const int32_t agentIndex = notification.agent;
  if (agentIndex < 0 || agentIndex >= runBoxes.load()) return;  // no box of this run
  if (!boxHeaders.insert(agentIndex, notification.header)) return;  // later headers: dropped
  boxChannels[static_cast<size_t>(agentIndex)] =
      std::clamp(std::min(notification.header.count, channelLimit.load()), 0, MaxChannels);
  if (static_cast<int32_t>(boxHeaders.size()) != runBoxes.load()) return;
  PostNotice(window, WM_HUB_HEADERS_COMPLETE, 0, 0);
  send(*combinedHeaderBuffer, BuildCombinedHeader());
}

// The channels of every box side by side, each box's own first channels in its own order.
// The layout's running ends are published here, in one step under the lock, so that a utility
// request never sees a half-built layout.
Header CHubBridge::BuildCombinedHeader() {
  Header result;
  result.count = 0;
  const int32_t count = runBoxes.load();
  std::lock_guard lock(layoutLock);
  int32_t end = 0;
  for (int32_t b = 0; b < count; ++b) {
    const auto index = static_cast<size_t>(b);
    const int32_t start = end;
    end = std::min(start + boxChannels[index], MaxChannels);
    channelEnds[index] = end;
    const std::optional<Header> box = boxHeaders.find(b);
    for (int32_t j = start; j < end; ++j) {
      CopyText(result.names[j], TextOf(box->names[j - start]));
      CopyText(result.units[j], TextOf(box->units[j - start]));
      result.variables[j] = j;
      ++result.count;
    }
  }
  const std::optional<Header> first = boxHeaders.find(0);
  std::wstring dialName(TextOf(first->dialName));
  dialName += AgentSuffix(0);
  CopyText(result.dialName, std::wstring_view(dialName));
  result.dialIndex = first->dialIndex;
  result.jobType = first->jobType;
  result.dialMin = first->dialMin;
  result.dialMax = first->dialMax;
  result.secondary = false;
  return result;
}

void CHubBridge::PublishCombinedHeader(const Header& header) {
  {
    std::lock_guard lock(layoutLock);
    combined.count = header.count;
  }
  publisher.PublishHeader(header);
  headerPublished = true;
  PostNotice(window, WM_HUB_PUBLISHED, 0, 0);
}

void CHubBridge::MergeData(const DataNotification& notification) {
  if (!headerPublished) return;
  const int32_t agentIndex = notification.agent;
  if (agentIndex < 0 || agentIndex >= runBoxes.load()) return;  // no box of this run
  ++busy;
  int32_t row = -1;
  bool emit = false;
  Data copy;
  {
    std::lock_guard lock(layoutLock);
    const auto index = static_cast<size_t>(agentIndex);
    const int32_t start = agentIndex == 0 ? 0 : channelEnds[index - 1];
    const int32_t end = channelEnds[index];
    for (int32_t j = start; j < end; ++j) combined.values[j] = notification.data.values[j - start];
    if (agentIndex == 0) {
      combined.fraction = notification.data.fraction;
      combined.time = notification.data.time;
      combined.timestamp = notification.data.timestamp;
    }
    if (contributors.insert(agentIndex) &&
        static_cast<int32_t>(contributors.size()) == runBoxes.load()) {
      copy = combined;
      emit = true;
      contributors.clear();
    }
    if (index < boxes.size()) row = boxes[index].row;
  }
  if (emit) send(*combinedDataBuffer, copy);
  PostNotice(window, WM_HUB_BOX_DATA, static_cast<uintptr_t>(row), 0);
  EndHandler();
}

void CHubBridge::PublishCombinedData(const Data& data) {
  dataDelivered.set();
  publisher.PublishData(data);
  PostNotice(window, WM_HUB_PUBLISHED, 1, 0);
}

}  // namespace tessamer

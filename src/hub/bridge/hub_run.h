#pragma once
// One run of the hub: the agents of the run's boxes, their reports to the window, and the message
// network that presents the boxes as one logger. Each Start makes a new run and the run is
// destroyed once it has ended, so every run begins from fresh state.
//
//   agent i ─Activity─> activityQueues[i] ─> firstReports | laterReports ─> WM_HUB_ACTIVITY
//   agent i ─HeaderNotification─> headerQueues[i] ─> headerTagger ─> headerCollector
//              ─> combinedHeaderBuffer ─> headerPublishBlock ─> outputs: OnHeader
//   agent i ─DataNotification─> dataQueues[i] ─> dataMerger ─> combinedDataBuffer
//              ─> dataPublishBlock ─> outputs: OnRecord, sets dataDelivered
//   Execute (run task): wait loop ─ a repeat period without a publication ─> combinedDataBuffer
//                                 ─ a box's silence deadline ─> WM_HUB_BOX_SILENCE
//   every report, header and record above also goes to the health recorder (health_recorder.h);
//   the run's start, the boxes' reports and silences go to the outputs too (job_output.h)
//
// Life: the constructor makes every block and queue above and links them. Execute makes and
// starts the agents, waits for every first report and, when every box connected, hands each
// agent its queues and waits until RequestStop. The destructor unlinks the routing, gives
// running handlers the drain wait to finish, stops and deletes the agents; then the blocks go.
//
// Threads: construction, and destruction once Execute has returned, raised or never ran, on the
// owner's thread; Execute on the run's task thread; RequestStop, OwnerOf, ChannelEnds and Probe
// from any thread; block actions and filters on the runtime pool. `layoutLock` guards
// `channelEnds` and `combined`. `boxChannels` and `boxHeaders` belong to headerCollector,
// `contributors` to dataMerger (under `layoutLock`), `agents` to Execute and then the destructor.

#include <array>
#include <bitset>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "hub/bridge/box_agent.h"
#include "hub/core/hub_config.h"
#include "hub/core/job_output.h"
#include "hub/core/notices.h"
#include "hub/core/records.h"
#include "hub/runtime/concurrent_containers.h"
#include "hub/runtime/message_blocks.h"
#include "hub/runtime/runtime_event.h"

namespace tessamer {

class CHealthRecorder;

// What a run uses of the process that starts it; the window, the outputs and the health
// recorder outlive the run.
struct RunEnvironment {
  INoticeSink* window = nullptr;      // every notice of the run (may be null)
  IJobOutput* output = nullptr;       // the combined job goes to the viewers and beyond here
  CHealthRecorder* health = nullptr;  // the run's figures (not null)
  BoxAgentFactory agentFactory;
  HubTimeouts timeouts;
  uint64_t number = 0;  // the run's number in this process, from 1
};

// How a run ended.
enum class RunOutcome {
  Stopped,        // RequestStop ended the routing
  EndedByItself,  // a box failed its first connection (or there was no box)
};

// The box that owns a combined channel, and the channel's number on that box.
struct ChannelOwner {
  uint32_t address;  // the box's address (Box::address)
  int32_t channel;
};

class CHubRun {
 public:
  // A run over the first MaxBoxes of `boxes`, taking at most `channelLimit` (held to 1 to 6)
  // channels from each box. Links the network; nothing connects before Execute.
  CHubRun(const RunEnvironment& environment, const std::vector<Box>& boxes, int channelLimit);
  // Drains and unlinks the routing, stops and deletes the agents.
  ~CHubRun();
  CHubRun(const CHubRun&) = delete;
  CHubRun& operator=(const CHubRun&) = delete;

  // The body of the run's task: returns once a box failed its first connection, or once the
  // routing has been told to stop. Raises what making an agent raised.
  RunOutcome Execute();
  // Ends the routing; a run still connecting ends once every agent has reported.
  void RequestStop() { stopEvent.set(); }

  // The owner of combined channel `channel`; none before the combined header is built.
  std::optional<ChannelOwner> OwnerOf(int64_t channel) const;
  // Entry i is the end of box i's channels in the combined header; 0 until it is built.
  std::array<int32_t, MaxBoxes> ChannelEnds() const;
  // Queues a copy of `visit` behind the messages of every routing block, each to run in that
  // block's turn; a copy the run's end drops is destroyed unrun.
  void Probe(const std::function<void()>& visit);

 private:
  using ActivityQueue = unbounded_buffer<Activity>;
  using HeaderQueue = unbounded_buffer<HeaderNotification>;
  using DataQueue = unbounded_buffer<DataNotification>;

  // A combined record on its way to the outputs.
  struct Combined {
    Data data;
    std::bitset<MaxChannels> missing;  // see PublishedRecord
    bool repeat = false;
  };

  // Start of the run: agents and their reports.
  void LinkNetwork();
  bool CreateAgents();
  bool AcceptsFirstReport(const Activity& report) const;
  void HandleFirstReport(const Activity& report);
  void PostActivity(const Activity& report);
  void TellOutputs(int32_t agentIndex, BoxEventKind kind);
  void StopAgents();

  // Routing.
  void RouteUntilStopped();
  void WaitForDataOrStop();
  std::chrono::milliseconds NextWake(
      const std::optional<std::chrono::steady_clock::time_point>& repeatAt) const;
  void ReportSilence();
  void NoteRecord(int32_t agentIndex);
  void RepeatCombinedRecord();
  void UnlinkRouting();
  void DrainHandlers();
  void EndHandler();
  HeaderNotification TagHeader(const HeaderNotification& notification);
  void CollectHeader(const HeaderNotification& notification);
  Header BuildCombinedHeader();
  void PublishCombinedHeader(const Header& header);
  std::shared_ptr<const PublishedHeader> DescribeHeader(const Header& header) const;
  void MergeData(const DataNotification& notification);
  std::bitset<MaxChannels> MissingLocked() const;
  void PublishCombinedData(const Combined& record);
  int32_t BoxCount() const { return static_cast<int32_t>(boxes.size()); }

  const RunEnvironment environment;
  const std::vector<Box> boxes;  // agent index order, at most MaxBoxes
  const int32_t channelLimit;

  event stopEvent;      // set by RequestStop: the routing ends
  event reportsDone;    // every agent has sent its first Activity
  event dataDelivered;  // a combined record has been handed to the clients
  std::atomic<int32_t> pendingReports;  // first reports not yet handled
  std::atomic<int32_t> failedCount{0};  // first reports that were not Connected
  std::atomic<bool> headerPublished{false};
  std::atomic<int32_t> busy{0};  // tagging and merge bodies in progress
  std::mutex busyMutex;          // with busyZero: the drain's wait for busy == 0
  std::condition_variable busyZero;

  mutable std::mutex layoutLock;
  std::array<int32_t, MaxBoxes> channelEnds{};  // guarded by layoutLock; 0 until header is built
  Data combined{};                              // guarded by layoutLock
  // Guarded by layoutLock: boxes whose last contribution held their place (a lost box, or one
  // without a record of its own yet) rather than being a record.
  std::bitset<MaxBoxes> holding;
  std::array<int32_t, MaxBoxes> boxChannels{};  // channels taken from each box, headers so far
  concurrent_map<int32_t, Header> boxHeaders;
  concurrent_set<int32_t> contributors;

  // Each block comes after everything its action uses: it goes first, and destroying a block
  // waits for its running action.
  unbounded_buffer<Combined> combinedDataBuffer;
  overwrite_buffer<Header> combinedHeaderBuffer;
  call<Header> headerPublishBlock;
  call<Combined> dataPublishBlock;
  call<HeaderNotification> headerCollector;
  transformer<HeaderNotification, HeaderNotification> headerTagger;
  call<DataNotification> dataMerger;
  call<Activity> firstReports;
  call<Activity> laterReports;
  // Shared with the agents, which send into them; one per box.
  std::vector<std::shared_ptr<ActivityQueue>> activityQueues;
  std::vector<std::shared_ptr<HeaderQueue>> headerQueues;
  std::vector<std::shared_ptr<DataQueue>> dataQueues;
  std::vector<std::unique_ptr<IBoxAgent>> agents;  // agent index order
};

}  // namespace tessamer

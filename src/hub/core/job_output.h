#pragma once
// The one seam through which the combined job leaves the merge: every consumer of the combined
// header and records (the data publisher that serves viewers, the recording, remote delivery,
// the web page's event stream) is an IJobOutput, and the run hands each event to all of them
// through one CJobOutputs.
//
//   run task ─ start, end ─────────────────────────────┐
//   header publishing block ─ PublishedHeader ──────────┤
//   data publishing block ─ PublishedRecord ────────────┼─► CJobOutputs ─► data publisher (viewers)
//   report blocks, wait loop ─ BoxEvent ────────────────┘    (one lock)  ├─► recording's queue
//                                                                         └─► ... each its own queue
//
// Contract of an output: every operation returns at once. An output whose work can wait (a
// disk, a network, a slow client) takes a copy or a reference of the event into a queue of its
// own and does the work on a thread of its own; when that queue is full, dropping and counting is
// the output's own affair. No output ever makes the merge, another output or a viewer wait.
//
// Order: for one hub, calls never overlap and arrive in the order of the events: OnRunStarted,
// then a run's header before the records that use it, records in publication order, box events
// where they happened, OnRunEnded last. Header and records are shared, immutable and may be kept.

#include <bitset>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hub/core/health.h"
#include "hub/core/records.h"

namespace tessamer {

// A box of a run: its row in the window and the address it was given.
struct RunBox {
  int32_t row = -1;
  std::string address;  // dotted IPv4 as the run connects to it
  uint16_t port = 0;
};

struct RunStarted {
  uint64_t run = 0;  // counts the runs of this process from 1
  WallClock::time_point at{};
  std::vector<RunBox> boxes;  // agent order
  int32_t channelLimit = 0;
};

// A combined channel and the box (agent index) it comes from.
struct ChannelSource {
  std::string name;  // with its box tag ("Pressure_0"), UTF-8
  std::string unit;
  int32_t box = -1;
};

// What a box's own header said of it.
struct BoxFacts {
  int32_t box = -1;  // agent index
  std::string serialNumber;
  std::string firmware;
  std::string jobType;  // JobTypeName
};

struct PublishedHeader {
  uint64_t run = 0;
  WallClock::time_point at{};
  Header header;      // the combined header
  std::string block;  // the header block exactly as viewers receive it (CR LF line ends)
  std::vector<ChannelSource> channels;  // header order
  std::vector<BoxFacts> boxes;          // agent order
};

struct PublishedRecord {
  uint64_t run = 0;
  WallClock::time_point at{};  // when the combined record was published
  Data data;                   // as viewers receive it: a missing channel's value is 0
  // Channels of a box that is lost, or has not delivered a record of its own this run: viewers
  // get 0 there, everything that is ours shows no value.
  std::bitset<MaxChannels> missing;
  std::string line;  // the data line exactly as viewers receive it (CR LF at its end)
  bool repeat = false;  // the same record again after a repeat period without a new one
};

enum class BoxEventKind { Connected, Lost, Failed, Silent, Speaking, Stopped };

// "connected", "lost", "failed", "silent", "speaking", "stopped".
const char* BoxEventName(BoxEventKind kind);

struct BoxEvent {
  uint64_t run = 0;
  WallClock::time_point at{};
  int32_t row = -1;
  int32_t box = -1;  // agent index
  BoxEventKind kind = BoxEventKind::Connected;
  std::string detail;  // the reason, when there is one (the link's last error text), UTF-8
};

struct RunEnded {
  uint64_t run = 0;
  WallClock::time_point at{};
  std::string outcome;  // one of kOutcome... (health.h)
  uint64_t records = 0;  // combined records published, repeats not counted
  uint64_t repeats = 0;  // repeats sent
};

class IJobOutput {
 public:
  virtual ~IJobOutput() = default;
  virtual void OnRunStarted(const RunStarted& run) = 0;
  virtual void OnHeader(const std::shared_ptr<const PublishedHeader>& header) = 0;
  virtual void OnRecord(const std::shared_ptr<const PublishedRecord>& record) = 0;
  virtual void OnBoxEvent(const BoxEvent& event) = 0;
  virtual void OnRunEnded(const RunEnded& end) = 0;
  // Adds what the output knows of its own health to a snapshot the hub is taking; from any
  // thread, never waiting for the output's work.
  virtual void AddHealth(HubHealth& health) const = 0;
};

// An output that takes only some of the events: the others do nothing.
class CJobOutputBase : public IJobOutput {
 public:
  void OnRunStarted(const RunStarted&) override {}
  void OnHeader(const std::shared_ptr<const PublishedHeader>&) override {}
  void OnRecord(const std::shared_ptr<const PublishedRecord>&) override {}
  void OnBoxEvent(const BoxEvent&) override {}
  void OnRunEnded(const RunEnded&) override {}
  void AddHealth(HubHealth&) const override {}
};

// Hands every event to each output in the order they were added, one event at a time.
//
// Threads: Add before the first event, on the owner's thread; the events and AddHealth from any
// thread. `lock` serialises the events, so outputs see them one at a time and in order; AddHealth
// does not take it (the list no longer changes once events flow).
class CJobOutputs final : public IJobOutput {
 public:
  CJobOutputs() = default;
  CJobOutputs(const CJobOutputs&) = delete;
  CJobOutputs& operator=(const CJobOutputs&) = delete;

  // `output` is kept alive as long as this.
  void Add(std::shared_ptr<IJobOutput> output);

  void OnRunStarted(const RunStarted& run) override;
  void OnHeader(const std::shared_ptr<const PublishedHeader>& header) override;
  void OnRecord(const std::shared_ptr<const PublishedRecord>& record) override;
  void OnBoxEvent(const BoxEvent& event) override;
  void OnRunEnded(const RunEnded& end) override;
  void AddHealth(HubHealth& health) const override;

 private:
  mutable std::mutex lock;
  std::vector<std::shared_ptr<IJobOutput>> outputs;
};

}  // namespace tessamer

#pragma once
// The hub's health figures, kept up where the events happen and copied out as one snapshot.
//
//   the run (its task thread, the routing's pool threads): BeginRun, BoxReport, BoxRecord,
//     BoxHeader, CombinedHeader, CombinedRecord, EndRun ──────────────────────┐
//   a box's agent and driver (their own threads): BoxReconnecting,            ├─► figures ─► Snapshot
//     BoxReconnected, BoxError, BoxRejectedLine ──────────────────────────────┤   (any thread)
//   the run's wait loop, woken at UntilSilence(): CheckSilence ───────────────┘
//
// Nothing polls: a box falls silent only when the run's wait loop, which wakes at the earliest
// silence deadline, calls CheckSilence; its next record clears the silence (BoxRecord says so).
// Silence is decided here alone, by the time since the box's newest record (or since its link
// was made, before its first one), whatever its link does meanwhile: the driver's reconnections
// of a box that sends nothing are counted, and the box stays silent through them. A silent box
// whose link is given up shows as lost; its silence ends only with a record.
// Records per second count whole seconds of the clock in a ring of kRateWindow buckets, so a
// record costs a lock, a clock reading and a few increments.
//
// Threads: every operation from any thread. `lock` guards every figure; it is held for a few
// field updates only and never while calling out (the clock aside).

#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hub/core/health.h"
#include "hub/core/hub_config.h"
#include "hub/core/job_output.h"
#include "hub/core/records.h"

namespace tessamer {

// A box of a run as the window lists it.
struct BoxIdentity {
  int32_t row = -1;
  std::string address;
  uint16_t port = 0;
};

// A box that fell silent (`seconds` since its last record, at least 1) or spoke again (0).
struct SilenceChange {
  int32_t row = -1;
  int64_t seconds = 0;
};

// "Cementing", "Slickline", "Pumping", "CoiledTubing", "Acid", "Drilling"; the number otherwise.
std::string JobTypeName(int32_t jobType);

class CHealthRecorder {
 public:
  explicit CHealthRecorder(HealthSettings settings = {});
  CHealthRecorder(const CHealthRecorder&) = delete;
  CHealthRecorder& operator=(const CHealthRecorder&) = delete;

  WallClock::time_point Now() const;

  // A new run of `boxes` (agent order): every box connecting, the run's figures from zero.
  void BeginRun(const std::vector<BoxIdentity>& boxes);
  // The run has ended: every box stopped but a failed one, which stays failed.
  void EndRun(const std::string& outcome);

  // A box's events by agent index; an index outside the run is ignored.
  void BoxReport(int32_t agent, ActivityStatus status);  // the run's Activity reports
  void BoxReconnecting(int32_t agent);  // the driver's first attempt to reconnect a lost link
  void BoxReconnected(int32_t agent);   // ... and its success
  void BoxError(int32_t agent, std::string text);
  void BoxRejectedLine(int32_t agent);
  void BoxHeader(int32_t agent, const Header& header);
  // A record of the box (not a lost box's repeat). True when the box was silent: it speaks again.
  bool BoxRecord(int32_t agent);
  // A record of the box that a newer one of the same box replaced before it was published.
  void BoxRecordReplaced(int32_t agent);

  // Connected boxes that have had no record for the silence time become silent; each is
  // returned once, when it falls silent.
  std::vector<SilenceChange> CheckSilence();
  // Time until the next connected box would fall silent; none while no box is connected.
  std::optional<std::chrono::milliseconds> UntilSilence() const;

  // The combined header's channels and each combined record, with the channels that have no
  // reading in it.
  void CombinedHeader(const std::vector<ChannelSource>& channels);
  void CombinedRecord(const Data& data, const std::bitset<MaxChannels>& missing, bool repeat);

  // Boxes, run and channels as of now; viewers are the data server's (left empty here).
  HubHealth Snapshot() const;

 private:
  // A box's figures and what the figures derive from.
  struct Box {
    BoxHealth health;
    WallClock::time_point quietSince{};   // its link made (see SetState), or its last record
    bool silent = false;                  // no record for the silence time; until its next one
    WallClock::time_point silentSince{};
    WallClock::time_point lastRecord{};
    std::array<uint32_t, kRateWindow.count()> perSecond{};  // records by clock second
    int64_t newestSecond = 0;             // the second of the newest bucket
  };

  static bool MaySilenceLocked(const Box& box);
  Box* Find(int32_t agent);
  void SetState(Box& box, BoxState state, WallClock::time_point now);
  static int64_t SecondOf(WallClock::time_point time);
  static void Advance(Box& box, int64_t second);
  double RateLocked(const Box& box, WallClock::time_point now) const;

  const std::chrono::milliseconds silentAfter;
  const std::function<WallClock::time_point()> clock;

  mutable std::mutex lock;
  std::vector<Box> boxes;  // guarded by lock; agent order
  RunHealth run;           // guarded by lock
  std::vector<CombinedChannel> channels;  // guarded by lock
};

}  // namespace tessamer

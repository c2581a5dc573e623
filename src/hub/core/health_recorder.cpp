#include "hub/core/health_recorder.h"

#include <algorithm>
#include <utility>

#include "support/text.h"

namespace tessamer {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

constexpr int64_t kBuckets = kRateWindow.count();

size_t BucketOf(int64_t second) {
  return static_cast<size_t>(((second % kBuckets) + kBuckets) % kBuckets);
}

// The link is up, or the driver is making it again: the box can be silent.
bool LinkHeld(BoxState state) { return state == BoxState::Connected || state == BoxState::Connecting; }

}  // namespace

std::string JobTypeName(int32_t jobType) {
  switch (jobType) {
    case Cementing:
      return "Cementing";
    case Slickline:
      return "Slickline";
    case Pumping:
      return "Pumping";
    case CoiledTubing:
      return "CoiledTubing";
    case Acid:
      return "Acid";
    case Drilling:
      return "Drilling";
    default:
      return std::to_string(jobType);
  }
}

CHealthRecorder::CHealthRecorder(HealthSettings settings)
    : silentAfter(settings.silentAfter),
      clock(settings.clock ? std::move(settings.clock)
                           : std::function<WallClock::time_point()>(WallClock::now)) {}

WallClock::time_point CHealthRecorder::Now() const { return clock(); }

void CHealthRecorder::BeginRun(const std::vector<BoxIdentity>& identities) {
  const WallClock::time_point now = Now();
  std::lock_guard guard(lock);
  boxes.clear();
  for (size_t i = 0; i < identities.size(); ++i) {
    Box box;
    box.health.row = identities[i].row;
    box.health.agent = static_cast<int32_t>(i);
    box.health.address = identities[i].address;
    box.health.port = identities[i].port;
    box.health.state = BoxState::Connecting;
    box.health.stateSince = now;
    box.newestSecond = SecondOf(now);
    boxes.push_back(std::move(box));
  }
  run = RunHealth{};
  run.active = true;
  run.startedAt = now;
  run.outcome = kOutcomeRunning;
  channels.clear();
}

void CHealthRecorder::EndRun(const std::string& outcome) {
  const WallClock::time_point now = Now();
  std::lock_guard guard(lock);
  for (Box& box : boxes) {
    if (box.health.state != BoxState::Failed) SetState(box, BoxState::Stopped, now);
  }
  run.active = false;
  run.outcome = outcome;
}

void CHealthRecorder::BoxReport(int32_t agent, ActivityStatus status) {
  const WallClock::time_point now = Now();
  std::lock_guard guard(lock);
  Box* box = Find(agent);
  if (box == nullptr) return;
  switch (status) {
    case Connected:
      SetState(*box, BoxState::Connected, now);
      break;
    case ConnectionLost:
      SetState(*box, BoxState::Lost, now);
      break;
    case ConnectFailed:
      SetState(*box, BoxState::Failed, now);
      break;
  }
}

void CHealthRecorder::BoxReconnecting(int32_t agent) {
  const WallClock::time_point now = Now();
  std::lock_guard guard(lock);
  if (Box* box = Find(agent)) SetState(*box, BoxState::Connecting, now);
}

void CHealthRecorder::BoxReconnected(int32_t agent) {
  const WallClock::time_point now = Now();
  std::lock_guard guard(lock);
  if (Box* box = Find(agent)) SetState(*box, BoxState::Connected, now);
}

void CHealthRecorder::BoxError(int32_t agent, std::string text) {
  std::lock_guard guard(lock);
  if (Box* box = Find(agent)) box->health.lastError = std::move(text);
}

void CHealthRecorder::BoxRejectedLine(int32_t agent) {
  std::lock_guard guard(lock);
  if (Box* box = Find(agent)) ++box->health.rejectedLines;
}

void CHealthRecorder::BoxHeader(int32_t agent, const Header& header) {
  std::string serial = Utf8(TextOf(header.serialNumber));
  std::string firmware = Utf8(TextOf(header.firmwareVersion));
  std::string jobType = JobTypeName(header.jobType);
  std::lock_guard guard(lock);
  Box* box = Find(agent);
  if (box == nullptr) return;
  box->health.serialNumber = std::move(serial);
  box->health.firmware = std::move(firmware);
  box->health.jobType = std::move(jobType);
}

bool CHealthRecorder::BoxRecord(int32_t agent) {
  const WallClock::time_point now = Now();
  std::lock_guard guard(lock);
  Box* box = Find(agent);
  if (box == nullptr) return false;
  ++box->health.records;
  box->lastRecord = now;
  box->quietSince = now;
  const int64_t second = SecondOf(now);
  Advance(*box, second);
  ++box->perSecond[BucketOf(second)];
  if (!box->silent) return false;
  box->silent = false;
  box->health.stateSince = now;
  return true;
}

void CHealthRecorder::BoxRecordReplaced(int32_t agent) {
  std::lock_guard guard(lock);
  if (Box* box = Find(agent)) ++box->health.replacedRecords;
}

std::vector<SilenceChange> CHealthRecorder::CheckSilence() {
  const WallClock::time_point now = Now();
  std::vector<SilenceChange> fallen;
  std::lock_guard guard(lock);
  for (Box& box : boxes) {
    if (!MaySilenceLocked(box) || now - box.quietSince < silentAfter) continue;
    box.silent = true;
    box.silentSince = box.quietSince + silentAfter;
    const auto quiet = std::chrono::duration_cast<std::chrono::seconds>(now - box.quietSince);
    fallen.push_back(SilenceChange{box.health.row, std::max<int64_t>(quiet.count(), 1)});
  }
  return fallen;
}

std::optional<milliseconds> CHealthRecorder::UntilSilence() const {
  const WallClock::time_point now = Now();
  std::optional<milliseconds> soonest;
  std::lock_guard guard(lock);
  for (const Box& box : boxes) {
    if (!MaySilenceLocked(box)) continue;
    const auto left = std::max(milliseconds(0),
                               duration_cast<milliseconds>(box.quietSince + silentAfter - now));
    if (!soonest || left < *soonest) soonest = left;
  }
  return soonest;
}

void CHealthRecorder::CombinedHeader(const std::vector<ChannelSource>& sources) {
  std::vector<CombinedChannel> list;
  for (size_t i = 0; i < sources.size() && i < static_cast<size_t>(MaxChannels); ++i) {
    // No reading before the first combined record.
    list.push_back(CombinedChannel{sources[i].name, sources[i].unit, 0.0, true, sources[i].box});
  }
  std::lock_guard guard(lock);
  channels = std::move(list);
}

void CHealthRecorder::CombinedRecord(const Data& data, const std::bitset<MaxChannels>& missing,
                                     bool repeat) {
  std::lock_guard guard(lock);
  ++(repeat ? run.repeatsSent : run.recordsPublished);
  const size_t count = std::min(channels.size(), static_cast<size_t>(MaxChannels));
  for (size_t i = 0; i < count; ++i) {
    channels[i].value = data.values[i];
    channels[i].missing = missing.test(i);
  }
}

HubHealth CHealthRecorder::Snapshot() const {
  HubHealth health;
  health.takenAt = Now();
  std::lock_guard guard(lock);
  health.boxes.reserve(boxes.size());
  for (const Box& box : boxes) {
    BoxHealth figures = box.health;
    if (box.silent && LinkHeld(figures.state)) {
      figures.state = BoxState::Silent;
      figures.stateSince = std::max(box.silentSince, figures.stateSince);
    }
    figures.recordsPerSecond = RateLocked(box, health.takenAt);
    if (figures.records > 0) {
      figures.newestRecordAge =
          std::max(milliseconds(0), duration_cast<milliseconds>(health.takenAt - box.lastRecord));
    }
    health.boxes.push_back(std::move(figures));
  }
  health.run = run;
  health.channels = channels;
  return health;
}

// A box can fall silent once it has had a link this run, while that link is up or being made
// again, unless it is silent already.
bool CHealthRecorder::MaySilenceLocked(const Box& box) {
  return !box.silent && box.health.connections > 0 && LinkHeld(box.health.state);
}

CHealthRecorder::Box* CHealthRecorder::Find(int32_t agent) {
  if (agent < 0 || static_cast<size_t>(agent) >= boxes.size()) return nullptr;
  return &boxes[static_cast<size_t>(agent)];
}

// Entering Connected counts a connection; leaving a link that was up for a new attempt or for
// good counts a reconnection begun. The silence clock starts with the run's first link and with
// a link made again after the box was lost; the driver's own reconnections of a link that it had
// not given up leave it running: a box that keeps its link and sends nothing stays silent.
void CHealthRecorder::SetState(Box& box, BoxState state, WallClock::time_point since) {
  const BoxState old = box.health.state;
  if (old == state) return;
  if (state == BoxState::Connected) {
    if (box.health.connections == 0 || old == BoxState::Lost) {
      box.quietSince = std::max(box.quietSince, since);
    }
    ++box.health.connections;
  }
  if (old == BoxState::Connected && (state == BoxState::Connecting || state == BoxState::Lost)) {
    ++box.health.reconnections;
  }
  box.health.state = state;
  box.health.stateSince = since;
}

int64_t CHealthRecorder::SecondOf(WallClock::time_point time) {
  return std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count();
}

// Empties the buckets of the seconds after the newest one up to `second`.
void CHealthRecorder::Advance(Box& box, int64_t second) {
  if (second <= box.newestSecond) return;
  const int64_t stale = std::min(second - box.newestSecond, kBuckets);
  for (int64_t s = second - stale + 1; s <= second; ++s) {
    box.perSecond[BucketOf(s)] = 0;
  }
  box.newestSecond = second;
}

// The records of the buckets inside the window that ends now (the current second so far and the
// whole seconds before it), over the time the window covers: at most the time since the run
// began, at least a second.
double CHealthRecorder::RateLocked(const Box& box, WallClock::time_point now) const {
  const int64_t second = SecondOf(now);
  const int64_t oldest = second - kBuckets + 1;
  uint64_t counted = 0;
  for (int64_t s = std::max(oldest, box.newestSecond - kBuckets + 1); s <= box.newestSecond; ++s) {
    counted += box.perSecond[BucketOf(s)];
  }
  using Seconds = std::chrono::duration<double>;
  const double partial = Seconds(now - WallClock::time_point(std::chrono::seconds(second))).count();
  const double covered = static_cast<double>(kBuckets - 1) + partial;
  const double elapsed = Seconds(now - run.startedAt).count();
  return static_cast<double>(counted) / std::max(1.0, std::min(elapsed, covered));
}

}  // namespace tessamer

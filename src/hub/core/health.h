#pragma once
// What the hub knows of its own health, as one snapshot: every box of the current (or last) run,
// every viewer, the run itself and the combined channels with their newest values. Plain records,
// copied by value; the window, the headless output and the status endpoint read them. Texts are
// UTF-8.
//
// The figures are gathered where the events happen (the agents and drivers, the data server, the
// run's routing). Boxes, run and channels are kept by CHealthRecorder (health_recorder.h) and
// copied out under its one lock, so they agree with each other; the viewers are copied under the
// data server's pool lock.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessamer {

using WallClock = std::chrono::system_clock;

inline constexpr std::chrono::milliseconds kSilentAfter{10000};  // a connected box says nothing
inline constexpr std::chrono::seconds kRateWindow{60};            // records per second over this

enum class BoxState {
  Idle,        // not part of a run (yet)
  Connecting,  // the run's first connection attempt, or a reconnection in progress
  Connected,   // the link is up and records arrive
  Silent,      // the link is up or being made again, but no record for `silentAfter`; cleared
               // by the next record
  Lost,        // a link that was up is gone; the hub keeps trying
  Failed,      // the run's first connection attempt failed
  Stopped,     // the run has ended
};

// "idle", "connecting", "connected", "silent", "lost", "failed", "stopped".
const char* BoxStateName(BoxState state);

struct BoxHealth {
  int32_t row = -1;    // the window's row
  int32_t agent = -1;  // the box's place in the run: its channels carry "_<agent>"
  std::string address;  // as given: dotted IPv4 or a host name
  uint16_t port = 0;
  BoxState state = BoxState::Idle;
  WallClock::time_point stateSince{};  // when the box entered `state`
  int32_t connections = 0;    // links made this run, the first one included
  int32_t reconnections = 0;  // reconnections begun this run
  uint64_t records = 0;       // data records received this run
  double recordsPerSecond = 0.0;  // over the last kRateWindow (or since the run started)
  std::optional<std::chrono::milliseconds> newestRecordAge;  // none before the first record
  uint64_t rejectedLines = 0;  // lines the parser could make nothing of
  uint64_t replacedRecords = 0;  // records a newer one replaced before the merge published it
  std::string serialNumber;    // from the box's job header; empty before it came
  std::string firmware;
  std::string jobType;
  std::string lastError;  // the link's or the driver's last error text; empty for none
};

struct ViewerHealth {
  int64_t socket = 0;  // as the "client connected socket=<n>" line shows it
  std::string peerAddress;
  uint16_t peerPort = 0;
  WallClock::time_point connectedSince{};
  uint64_t linesSent = 0;
  uint64_t bytesSent = 0;
  uint64_t bytesQueued = 0;
  bool connected = true;               // false for a viewer kept a while after it went
  bool closedForFallingBehind = false;
};

// The run's outcome as RunHealth::outcome says it.
inline constexpr const char* kOutcomeRunning = "running";
inline constexpr const char* kOutcomeStopped = "stopped";                 // asked to stop
inline constexpr const char* kOutcomeBoxUnreachable = "box unreachable";  // a first connect failed
inline constexpr const char* kOutcomeStartFailed = "start failed";        // making an agent raised

struct RunHealth {
  bool active = false;
  WallClock::time_point startedAt{};
  uint64_t recordsPublished = 0;  // combined records published (repeats not counted)
  uint64_t repeatsSent = 0;       // combined records repeated while the boxes were silent
  std::string outcome;            // one of kOutcome...; empty: no run yet
};

struct CombinedChannel {
  std::string name;  // with its box tag ("Pressure_0")
  std::string unit;
  double value = 0.0;  // in the newest combined record
  // No reading: its box is lost or has not delivered a record yet (viewers get 0 there).
  bool missing = false;
  int32_t box = -1;  // the agent index of the box it comes from
};

// The job recording, when the hub keeps one.
struct RecordingHealth {
  std::string file;
  std::string state;  // "recording", "failed" (retrying) or "stopped"
  uint64_t sizeBytes = 0;
  uint64_t records = 0;           // records in the file
  std::string oldest;             // received_at of the oldest record in the file (UTC ISO 8601)
  std::string newest;             // ... and of the newest; both empty while the file has none
  uint64_t waiting = 0;           // records not yet written
  uint64_t dropped = 0;           // records given up because the unwritten bound was reached
  std::string lastError;          // empty for none
};

// Delivery to a message broker off the site, when the hub has one.
struct UplinkHealth {
  std::string broker;  // host:port
  std::string state;   // "connected", "connecting" or "lost"
  uint64_t cursor = 0;      // every record up to this sequence number is acknowledged
  uint64_t backlog = 0;     // recorded records after the cursor
  uint64_t inFlight = 0;    // sent, not yet acknowledged
  uint64_t sent = 0;        // records acknowledged since the hub started
  uint64_t reconnections = 0;
  std::string lastError;    // empty for none
};

struct HubHealth {
  WallClock::time_point takenAt{};
  std::vector<BoxHealth> boxes;  // agent order
  std::vector<ViewerHealth> viewers;
  RunHealth run;
  std::vector<CombinedChannel> channels;  // empty until the combined header is built
  std::optional<RecordingHealth> recording;  // none without a recording
  std::optional<UplinkHealth> uplink;        // none without delivery to a broker
};

}  // namespace tessamer

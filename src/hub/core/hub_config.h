#pragma once
// The hub's configuration: every port, address and time-out of a run, with the system's values as
// defaults, and the outputs of the combined job the program adds beside the viewers'. The window
// and the headless runner fill it from the command line; tests shrink the time-outs and use port
// 0 (any free port) so they never touch the well-known ports.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hub/core/health.h"
#include "hub/core/job_output.h"

namespace tessamer {

inline constexpr uint16_t kDataPort = 5000;         // the hub's data server, as a box would offer
inline constexpr uint16_t kUtilityPort = 5009;      // the hub's utility server
inline constexpr uint16_t kBoxDataPort = 5000;      // a box's data port
inline constexpr uint16_t kBoxUtilityPort = 5009;   // a box's utility port
// Channels taken from each box in a run: the operator chooses 1 to 6.
inline constexpr int kMinChannelLimit = 1;
inline constexpr int kMaxChannelLimit = 6;
inline constexpr int kDefaultChannelLimit = kMaxChannelLimit;
// Where a viewer's "##" command goes when nothing else names a box: a fixed private address.
inline constexpr const char* kDefaultBoxAddress = "192.168.100.100";

struct AcquisitionTimeouts {
  std::chrono::milliseconds connect{10000};           // one connection attempt to a box
  std::chrono::milliseconds firstReceive{5000};       // a receive before any Close
  std::chrono::milliseconds receiveAfterClose{10000}; // a receive after any Close
  std::chrono::milliseconds receive{6000};            // once a waited receive has completed
  std::chrono::milliseconds reconnectWindow{60000};   // the driver's own reconnection effort
  std::chrono::milliseconds stopWait{5000};           // each wait for a driver thread to end
  std::chrono::milliseconds refusalPause{5000};       // after a firmware refusal
  std::chrono::milliseconds reopenPause{1000};        // after a failed reopen by the agent
  std::chrono::milliseconds holdPeriod{1000};         // a lost box's record is repeated this often
};

struct HubTimeouts {
  std::chrono::milliseconds repeatPeriod{2000};       // the combined record repeats when silent
  std::chrono::milliseconds drainWait{5000};          // running handlers at the end of a run
  std::chrono::milliseconds agentsStopWait{5000};     // all agents done after a stop request
  std::chrono::milliseconds serverStopWait{5000};     // data server workers on destruction
  std::chrono::milliseconds utilityOpen{5000};        // connect and banner of a box utility link
  std::chrono::milliseconds utilityIdle{5000};        // a silent setpoint utility is let go
};

// How the hub judges its boxes' health. Tests shorten the silence and bring their own clock.
struct HealthSettings {
  std::chrono::milliseconds silentAfter = kSilentAfter;  // a connected box without a record
  std::function<WallClock::time_point()> clock;          // empty: the system clock
};

struct HubConfig {
  std::string listenAddress = "0.0.0.0";          // where both servers listen
  uint16_t dataPort = kDataPort;                  // 0: any free port
  uint16_t utilityPort = kUtilityPort;            // 0: any free port
  uint16_t boxUtilityPort = kBoxUtilityPort;      // utility port of every box
  std::string defaultBoxAddress = kDefaultBoxAddress;
  AcquisitionTimeouts acquisition;
  HubTimeouts hub;
  HealthSettings health;
  // Further outputs of the combined job (the recording), after the viewers' publisher; the
  // bridge adds them before its servers start.
  std::vector<std::shared_ptr<IJobOutput>> outputs;
};

}  // namespace tessamer

#pragma once
// What the headless hub tells the service manager that started it (systemd, through
// NOTIFY_SOCKET): that it is ready, a short status line whenever the line changes, that it is
// stopping, and the watchdog's heartbeat. A heartbeat is sent only when a probe through the hub's
// own working threads (IHubControl::Probe) has come back, so a hub stuck in its work stays silent
// and is restarted.
//
//   runner (main thread): Heartbeat ── previous probe back? ── WATCHDOG=1, new probe ──► hub
//                                        └─ still out: nothing ◄── done (any hub thread) ──┘
//
// Without libsystemd at build time FromEnvironment gives no notifier and the program skips all
// of this.
//
// Threads: every operation on the runner's (main) thread; a probe's completion only sets the
// probe's own flag, from whichever thread lets it through.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "hub/bridge/hub_control.h"
#include "hub/core/notices.h"

namespace tessamer {

// The status line: "4 of 4 boxes connected, 3 viewers".
std::string ServiceStatusLine(size_t connected, size_t boxes, size_t viewers);

class CServiceNotifier {
 public:
  // Hands one state text ("READY=1") to the service manager.
  using Sender = std::function<void(const std::string& state)>;

  // `watchdog` is the manager's watchdog interval; zero when it keeps none.
  CServiceNotifier(Sender send, std::chrono::microseconds watchdog);
  CServiceNotifier(const CServiceNotifier&) = delete;
  CServiceNotifier& operator=(const CServiceNotifier&) = delete;

  // The notifier for the manager named by NOTIFY_SOCKET, with the interval of WATCHDOG_USEC;
  // null when the process was not started by one or the program was built without libsystemd.
  static std::unique_ptr<CServiceNotifier> FromEnvironment();

  void Ready();
  // The hub is ending; no status line follows.
  void Stopping();
  // A run of `boxes` boxes begins: none of them is connected yet.
  void RunStarted(size_t boxes);
  // Follows box and viewer notices; says STATUS= when the line has changed.
  void Follow(const Notice& notice);

  // Half the watchdog interval: how often Heartbeat is due; zero when there is no watchdog.
  std::chrono::milliseconds HeartbeatPeriod() const;
  // One beat: WATCHDOG=1 when the probe of the last beat has come back, then a new probe through
  // `hub`; nothing at all while that probe is still out.
  void Heartbeat(IHubControl& hub);

 private:
  void SendStatus();

  const Sender send;
  const std::chrono::microseconds watchdog;
  std::shared_ptr<std::atomic<bool>> probeBack;  // the last probe's flag; null before the first
  std::string statusSent;
  bool stopping = false;  // the end is told: no status after it
  size_t boxes = 0;
  std::set<int32_t> connectedRows;
  std::set<uintptr_t> viewers;  // sockets of connected viewers
};

}  // namespace tessamer

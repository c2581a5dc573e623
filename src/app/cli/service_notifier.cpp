#include "app/cli/service_notifier.h"

#include <cstdlib>
#include <variant>

#if defined(TESSAMER_WITH_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

#include "hub/core/records.h"

namespace tessamer {
namespace {

// Puts `key` in `set` or takes it out.
template <typename Key>
void Mark(std::set<Key>& set, Key key, bool in) {
  if (in) {
    set.insert(key);
  } else {
    set.erase(key);
  }
}

}  // namespace

std::string ServiceStatusLine(size_t connected, size_t boxes, size_t viewers) {
  return std::to_string(connected) + " of " + std::to_string(boxes) + " boxes connected, " +
         std::to_string(viewers) + (viewers == 1 ? " viewer" : " viewers");
}

CServiceNotifier::CServiceNotifier(Sender send, std::chrono::microseconds watchdog)
    : send(std::move(send)), watchdog(watchdog) {}

std::unique_ptr<CServiceNotifier> CServiceNotifier::FromEnvironment() {
#if defined(TESSAMER_WITH_SYSTEMD)
  const char* socket = std::getenv("NOTIFY_SOCKET");
  if (socket == nullptr || *socket == '\0') return nullptr;
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0) usec = 0;
  return std::make_unique<CServiceNotifier>(
      [](const std::string& state) { sd_notify(0, state.c_str()); },
      std::chrono::microseconds(usec));
#else
  return nullptr;
#endif
}

void CServiceNotifier::Ready() {
  send("READY=1");
  SendStatus();
}

void CServiceNotifier::Stopping() {
  stopping = true;
  send("STOPPING=1");
}

void CServiceNotifier::RunStarted(size_t count) {
  boxes = count;
  connectedRows.clear();
  SendStatus();
}

void CServiceNotifier::Follow(const Notice& notice) {
  if (const auto* box = std::get_if<ActivityNotice>(&notice)) {
    Mark(connectedRows, box->row, box->status == Connected);
  } else if (std::holds_alternative<StoppedNotice>(notice)) {
    connectedRows.clear();
  } else if (const auto* viewer = std::get_if<ClientConnectionNotice>(&notice)) {
    Mark(viewers, viewer->socket, viewer->connected);
  } else {
    return;  // nothing the status line counts
  }
  SendStatus();
}

void CServiceNotifier::SendStatus() {
  const std::string line = ServiceStatusLine(connectedRows.size(), boxes, viewers.size());
  if (stopping || line == statusSent) return;
  statusSent = line;
  send("STATUS=" + line);
}

std::chrono::milliseconds CServiceNotifier::HeartbeatPeriod() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(watchdog / 2);
}

void CServiceNotifier::Heartbeat(IHubControl& hub) {
  if (probeBack) {
    if (!probeBack->load()) return;
    send("WATCHDOG=1");
  }
  probeBack = std::make_shared<std::atomic<bool>>(false);
  hub.Probe([back = probeBack] { back->store(true); });
}

}  // namespace tessamer

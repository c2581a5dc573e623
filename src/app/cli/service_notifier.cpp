#include "app/cli/service_notifier.h"

#include <cstdlib>

#if defined(TESSAMER_WITH_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

#include "hub/core/records.h"

namespace tessamer {

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
  switch (notice.message) {
    case WM_HUB_ACTIVITY:
      if (notice.wParam == Connected) {
        connectedRows.insert(notice.lParam);
      } else {
        connectedRows.erase(notice.lParam);
      }
      break;
    case WM_HUB_STOPPED:
      connectedRows.clear();
      break;
    case WM_HUB_CLIENT_CONNECTION:
      if ((notice.lParam & 0xff) == 0) {
        viewers.insert(notice.wParam);
      } else {
        viewers.erase(notice.wParam);
      }
      break;
    default:
      return;
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

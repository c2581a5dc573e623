#pragma once
// The headless program's side of delivery to an MQTT broker: the uplink's settings made from the
// options (the defaults named after this machine, the password read from its file), and the
// health document the uplink publishes, read from whichever hub is live at the moment.
//
//   options ── MqttSettingsOf ──► MqttSettings ──► CMqttUplink (start, and at SIGHUP Reconfigure)
//   runner's hub factory ── WithLiveHealth ──► each hub registers itself in CLiveHealth
//   uplink's thread ── CLiveHealth::Document ──► HealthJson(hub's Health()) or "{}" between hubs
//
// Threads: MqttSettingsOf anywhere; CLiveHealth's operations from any thread (`lock` guards the
// live hub, so a hub being destroyed is never read).

#include <memory>
#include <mutex>
#include <string>

#include "app/cli/command_line.h"
#include "app/cli/headless_runner.h"
#include "mqtt/mqtt_settings.h"

namespace tessamer {

// The uplink's settings for `options` (its url set). False with `error` (one line, never the
// password) when the password file cannot be read.
bool MqttSettingsOf(const MqttOptions& options, MqttSettings& settings, std::string& error);

class CLiveHealth {
 public:
  // The /status document of the live hub; "{}" when there is none.
  std::string Document() const;
  void Attach(const IHubControl* hub);
  void Detach(const IHubControl* hub);

 private:
  mutable std::mutex lock;
  const IHubControl* live = nullptr;  // guarded by lock
};

// `makeHub`, with every hub it makes attached to `health` while it lives. `health` must outlive
// the hubs.
CHeadlessRunner::HubFactory WithLiveHealth(CHeadlessRunner::HubFactory makeHub,
                                           CLiveHealth& health);

}  // namespace tessamer

#pragma once
// The headless program's side of delivery to an MQTT broker: the uplink's settings made from the
// options (the defaults named after this machine, the password read from its file), and the
// health document the uplink publishes, read from whichever hub is live at the moment.
//
//   options ── MqttSettingsOf ──► MqttSettings ──► CMqttUplink (start, and at SIGHUP Reconfigure)
//   runner's hub factory ── WithLiveHealth ──► each hub registers itself in CLiveHealth
//   uplink's thread ── CLiveHealth::Document ──► HealthJson(hub's Health()), empty between hubs
//
// Threads: MqttSettingsOf anywhere; CLiveHealth's operations from any thread (`lock` guards the
// live hub, so a hub being destroyed is never read).

#include <memory>
#include <mutex>
#include <string>

#include "app/cli/command_line.h"
#include "app/cli/headless_runner.h"
#include "app/cli/job_recording.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/mqtt_uplink.h"

namespace tessamer {

// The uplink's settings for `options` (its url set). False with `error` (one line, never the
// password) when the password file cannot be read.
bool MqttSettingsOf(const MqttOptions& options, MqttSettings& settings, std::string& error);

// The recording `choice` names as the outbox of the delivery `options` ask for, with the
// recording's hooks set in `choice` (open the recording with it afterwards) and its "mqtt
// dropped" lines told to `dropped`. Null when no delivery is asked for, there is no recording,
// or this build has no uplink.
std::shared_ptr<IOutbox> RecordingOutboxFor(const MqttOptions& options, RecordingChoice& choice,
                                            MqttReport dropped);

class CLiveHealth {
 public:
  // The /status document of the live hub; empty when there is none (nothing is published).
  std::string Document() const;
  void Attach(const IHubControl* hub);
  void Detach(const IHubControl* hub);

 private:
  mutable std::mutex lock;
  const IHubControl* live = nullptr;  // guarded by lock
};

// The uplink of a hub (headless or the window's): started before the hub (it is one of the hub's outputs), given
// new settings at SIGHUP, stopped cleanly after the hub has gone.
// Threads: the program's (the runner's) thread.
class CMqttDelivery {
 public:
  CMqttDelivery() = default;
  ~CMqttDelivery() { Stop(); }
  CMqttDelivery(const CMqttDelivery&) = delete;
  CMqttDelivery& operator=(const CMqttDelivery&) = delete;

  // Starts the uplink when `options` ask for one, sending from `outbox` (null: there is no
  // recording). False with `error` (one line) when the program must not start: no recording,
  // a build without MQTT, a password file that cannot be read.
  bool Start(const MqttOptions& options, std::shared_ptr<IOutbox> outbox, MqttReport report,
             std::string& error);
  // The uplink as an output of the hub; null when there is none.
  std::shared_ptr<IJobOutput> Output() const { return uplink; }
  void SetHealth(HealthDocument document);
  // The settings re-read at SIGHUP: a change reconnects with them. --mqtt given or taken away
  // needs a restart: "mqtt" is added to `kept`. False with `error` when they cannot be taken (a
  // password file that cannot be read); the uplink then goes on as it was.
  bool Reload(const CommandLine& reread, std::vector<std::string>& kept, std::string& error);
  void Stop();

 private:
  std::shared_ptr<CMqttUplink> uplink;
  std::string url;  // as started
};

// `hub`, attached to `health` while it lives. `health` must outlive it.
std::unique_ptr<IHubControl> WithLiveHealth(std::unique_ptr<IHubControl> hub, CLiveHealth& health);

// `makeHub`, with every hub it makes attached to `health` while it lives. `health` must outlive
// the hubs.
CHeadlessRunner::HubFactory WithLiveHealth(CHeadlessRunner::HubFactory makeHub,
                                           CLiveHealth& health);

}  // namespace tessamer

#pragma once
// Delivery of every record off the site: an output of the combined job that publishes the
// outbox's records (the job recording's) to an MQTT broker, losing nothing across broker
// outages and hub restarts. docs/mqtt.md has the topics, payloads and the cursor's meaning.
//
//   recording's writer ─ commit ─► Wake ─┐
//   run's threads ─ OnBoxEvent ──────────┼─► CPollLoop (the uplink's thread) ─► CMqttSender
//   program ─ Reconfigure, Stop ─────────┘        │                             ├─► broker
//   any thread ─ AddHealth ◄── figures ───────────┘                             └─► outbox's cursor
//
// The uplink takes no records from the run: it reads them from the outbox once they are
// committed (a seq sent before its commit could be given again after a kill). It adds its
// figures to the hub's health (UplinkHealth) and publishes the health document the program
// gives it.
//
// A build without libmosquitto (the Windows build) has no uplink: Start says so.
//
// Threads: Start, Reconfigure, SetHealth and Stop on the program's thread; the output's
// operations from the run's threads (through CJobOutputs); AddHealth from any thread.

#include <memory>
#include <string>

#include "hub/core/job_output.h"
#include "mqtt/mqtt_lines.h"
#include "mqtt/mqtt_settings.h"
#include "mqtt/outbox.h"

namespace tessamer {

// The hub's health as the /status document (empty: none now, nothing is published); called on
// the uplink's thread.
using HealthDocument = std::function<std::string()>;

// Whether this build can deliver to a broker.
bool HasMqtt();

class CMqttUplink final : public CJobOutputBase {
 public:
  // Starts delivering from `outbox` at once: the cursor is read, the connection begun. Null
  // with `error` (one line) when the uplink cannot run at all (this build has none, no thread).
  // `report` gets the lines of mqtt_lines.h.
  static std::shared_ptr<CMqttUplink> Start(MqttSettings settings, std::shared_ptr<IOutbox> outbox,
                                            MqttReport report, std::string& error);
  // Stops as Stop does.
  ~CMqttUplink() override;
  CMqttUplink(const CMqttUplink&) = delete;
  CMqttUplink& operator=(const CMqttUplink&) = delete;

  // Every box event changes a box's state: the health topic is published soon after.
  void OnBoxEvent(const BoxEvent& event) override;
  void AddHealth(HubHealth& health) const override;

  // What the health topic publishes from now on (empty: nothing). Call Stop before whatever
  // `document` reads goes.
  void SetHealth(HealthDocument document);
  // Settings re-read (SIGHUP): a change ends the connection and begins one with the new ones.
  void Reconfigure(MqttSettings settings);
  // The clean stop: the cursor written, the offline status published (its acknowledgement
  // awaited a short while), the connection ended and the thread joined. Once is enough.
  void Stop();

 private:
  struct Parts;
  explicit CMqttUplink(std::unique_ptr<Parts> parts);

  std::unique_ptr<Parts> parts;
};

}  // namespace tessamer

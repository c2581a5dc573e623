// A build without libmosquitto (the Windows build): no delivery to a broker.
#include "mqtt/mqtt_uplink.h"

namespace tessamer {

struct CMqttUplink::Parts {};

bool HasMqtt() { return false; }

std::shared_ptr<CMqttUplink> CMqttUplink::Start(MqttSettings, std::shared_ptr<IOutbox>,
                                                MqttReport, std::string& error) {
  error = "this build has no MQTT delivery (it was built without libmosquitto)";
  return nullptr;
}

CMqttUplink::CMqttUplink(std::unique_ptr<Parts> parts) : parts(std::move(parts)) {}
CMqttUplink::~CMqttUplink() = default;
void CMqttUplink::OnBoxEvent(const BoxEvent&) {}
void CMqttUplink::AddHealth(HubHealth&) const {}
void CMqttUplink::SetHealth(HealthDocument) {}
void CMqttUplink::Reconfigure(MqttSettings) {}
void CMqttUplink::Stop() {}

}  // namespace tessamer

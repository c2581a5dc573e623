#include "mqtt/mqtt_lines.h"

#include "support/line_fields.h"

namespace tessamer {

std::string MqttConnectedLine(const std::string& broker) {
  return "mqtt connected broker=" + broker;
}

std::string MqttLostLine(const std::string& reason, std::chrono::milliseconds retryIn) {
  return "mqtt lost reason=" + QuotedField(reason) + " retry-in=" + SecondsText(retryIn);
}

std::string MqttCaughtUpLine(uint64_t seq) { return "mqtt caught-up seq=" + std::to_string(seq); }

std::string MqttStalledLine(const std::string& reason) {
  return "mqtt stalled reason=" + QuotedField(reason);
}

std::string MqttDroppedLine(uint64_t first, uint64_t last) {
  return "mqtt dropped seq=" + std::to_string(first) + "-" + std::to_string(last) +
         " reason=retention";
}

}  // namespace tessamer

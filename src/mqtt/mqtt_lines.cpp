#include "mqtt/mqtt_lines.h"

namespace tessamer {
namespace {

// The reason as one quoted field: a double quote becomes a single one, a line end a blank.
std::string Quoted(const std::string& reason) {
  std::string text = reason;
  for (char& c : text) {
    if (c == '"') c = '\'';
    if (c == '\r' || c == '\n') c = ' ';
  }
  return "\"" + text + "\"";
}

// Seconds with up to three decimals, trailing zeros left out: "0.2", "1.6", "60".
std::string Seconds(std::chrono::milliseconds wait) {
  const int64_t ms = wait.count();
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 == 0) return text;
  std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
  while (fraction.back() == '0') fraction.pop_back();
  return text + "." + fraction;
}

}  // namespace

std::string MqttConnectedLine(const std::string& broker) {
  return "mqtt connected broker=" + broker;
}

std::string MqttLostLine(const std::string& reason, std::chrono::milliseconds retryIn) {
  return "mqtt lost reason=" + Quoted(reason) + " retry-in=" + Seconds(retryIn);
}

std::string MqttCaughtUpLine(uint64_t seq) { return "mqtt caught-up seq=" + std::to_string(seq); }

std::string MqttStalledLine(const std::string& reason) {
  return "mqtt stalled reason=" + Quoted(reason);
}

std::string MqttDroppedLine(uint64_t first, uint64_t last) {
  return "mqtt dropped seq=" + std::to_string(first) + "-" + std::to_string(last) +
         " reason=retention";
}

}  // namespace tessamer

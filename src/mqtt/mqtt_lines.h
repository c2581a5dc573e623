#pragma once
// The lines that tell of delivery to the broker, one per event, as the headless program prints
// them (they are an interface: scripts read them; a line may gain further "key=value" fields at
// its end):
//
//   mqtt connected broker=<host:port>
//   mqtt lost reason="<why>" retry-in=<seconds>    (a connection lost, or an attempt that failed)
//   mqtt caught-up seq=<N>                          (every record up to N acknowledged)
//   mqtt stalled reason="<why>"                     (the outbox cannot be read or written)
//   mqtt dropped seq=<A>-<B> reason=retention       (the recording's size limit took them)
//
// Threads: plain functions of their arguments; any thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace tessamer {

// Where the lines go; called on the uplink's thread (and the recording's for "dropped").
using MqttReport = std::function<void(const std::string& line)>;

std::string MqttConnectedLine(const std::string& broker);
std::string MqttLostLine(const std::string& reason, std::chrono::milliseconds retryIn);
std::string MqttCaughtUpLine(uint64_t seq);
std::string MqttStalledLine(const std::string& reason);
std::string MqttDroppedLine(uint64_t first, uint64_t last);

}  // namespace tessamer

#pragma once
// The hub's health in the Prometheus text exposition format (version 0.0.4), the body of the
// status endpoint's GET /metrics. Every name begins with "tessamer_"; a box's figures carry the
// label box="ADDRESS:PORT", a viewer's viewer="ADDRESS:PORT" and socket="N", a combined
// channel's channel, unit and the box it comes from. Counters count from the start of the
// current run (a new run starts them again, which Prometheus reads as a reset); the recording's,
// the uplink's and the endpoint's count from the start of the process. Beside them, what every
// exporter gives: tessamer_build_info and the process_... figures.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/status/process_figures.h"
#include "hub/core/health.h"

namespace tessamer {

// The status endpoint's own figures.
struct EndpointFigures {
  uint64_t connections = 0;     // open now
  uint64_t eventStreams = 0;    // open now
  uint64_t refused = 0;         // connections closed at once: no room
  uint64_t evicted = 0;         // idle connections closed to make room
  uint64_t timedOut = 0;        // connections closed at a deadline
  uint64_t streamsDropped = 0;  // event streams closed for falling behind
};

// What the process and the endpoint add to the hub's own figures.
struct MetricsExtras {
  std::string version;                      // tessamer_build_info; empty: left out
  std::optional<ProcessFigures> process;    // process_...; none: left out
  std::optional<EndpointFigures> endpoint;  // tessamer_status_...; none: left out
};

// The whole exposition: a "# HELP" and a "# TYPE" line before each family's samples; families
// without a sample are left out.
std::string HealthMetrics(const HubHealth& health, const MetricsExtras& extras = {});

// A label value as the format quotes it: backslash, double quote and line feed escaped.
std::string EscapedLabelValue(std::string_view value);

}  // namespace tessamer

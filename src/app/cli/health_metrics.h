#pragma once
// The hub's health in the Prometheus text exposition format (version 0.0.4), the body of the
// status endpoint's GET /metrics. Every name begins with "tessamer_"; a box's figures carry the
// label box="ADDRESS:PORT", a viewer's viewer="ADDRESS:PORT" and socket="N", a combined
// channel's channel, unit and the box it comes from. Counters count from the start of the
// current run (a new run starts them again, which Prometheus reads as a reset).

#include <string>
#include <string_view>

#include "hub/core/health.h"

namespace tessamer {

// The whole exposition: a "# HELP" and a "# TYPE" line before each family's samples; families
// without a sample are left out.
std::string HealthMetrics(const HubHealth& health);

// A label value as the format quotes it: backslash, double quote and line feed escaped.
std::string EscapedLabelValue(std::string_view value);

}  // namespace tessamer

#pragma once
// The hub's health as JSON, the body of the status endpoint's GET /status and of the web page's
// health events: one object with "takenAt", "run", "boxes", "viewers" and "channels", field names
// as in the health records, and, when the hub has them, "recording" and "uplink" (their keys the
// fields' names in snake_case). A box's "replacedRecords" counts the records a newer one
// replaced before the merge published them. Each channel names its box (the agent index) and that
// box's state ("box", "boxState"); a channel without a reading (its box lost, or no record of it
// yet) has the value null, where viewers get 0. Times are UTC in ISO 8601 with milliseconds
// ("2026-12-09T18:06:14.123Z"), or null where the record holds none (a run not yet started); an
// age not yet known is null as well.

#include <string>

#include "hub/core/health.h"

namespace tessamer {

// The snapshot as one line of JSON (UTF-8; a text that is not UTF-8 has its bad bytes replaced).
std::string HealthJson(const HubHealth& health);

// "2026-12-09T18:06:14.123Z"; an empty text for the clock's epoch (no time recorded).
std::string IsoUtcTime(WallClock::time_point time);

}  // namespace tessamer

#pragma once
// The recording's times as text: UTC in ISO 8601 with milliseconds ("2024-05-01T02:14:00.123Z"),
// which sorts as the times do, and a box's own date and time as its data line states them
// ("2024-05-01T04:14:00", no zone: the box's local time). Reading accepts what a user types.
// Independent of the process's locale and time zone.

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "hub/core/health.h"

namespace tessamer {

// "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string UtcText(WallClock::time_point at);
// The same to the second without separators, for file names: "YYYYMMDDTHHMMSSZ".
std::string CompactUtcText(WallClock::time_point at);
// The date and time of a box's record: "YYYY-MM-DDTHH:MM:SS".
std::string BoxTimeText(const std::tm& time);

// Reads ISO 8601 date and time: "YYYY-MM-DD", then optionally "T" (or a blank) and "HH:MM",
// ":SS", ".fraction", then optionally "Z" or an offset "+HH:MM", "-HH:MM", "+HHMM", "+HH".
// Without a zone the time is UTC. A blank where the offset's sign belongs is read as "+" (a
// query string's "+" arrives as a blank). None for anything else, or a date that does not
// exist.
std::optional<WallClock::time_point> ParseTimeText(std::string_view text);

}  // namespace tessamer

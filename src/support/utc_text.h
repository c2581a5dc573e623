#pragma once
// A moment as UTC text in ISO 8601 with milliseconds ("2026-12-09T18:06:14.123Z"): sorts as the
// moments do, independent of the process's locale and time zone.
//
// Threads: a plain function of its argument; any thread.

#include <chrono>
#include <string>

namespace tessamer {

std::string UtcIsoText(std::chrono::system_clock::time_point at);

}  // namespace tessamer

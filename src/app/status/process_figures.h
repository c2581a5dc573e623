#pragma once
// The figures every Prometheus client library gives of its process: CPU time, resident memory,
// open descriptors and the start time. Read from the system at each call.
//
// Threads: from any thread.

#include <cstdint>
#include <optional>

namespace tessamer {

struct ProcessFigures {
  double cpuSeconds = 0.0;     // user and system time
  uint64_t residentBytes = 0;  // resident memory
  uint64_t openDescriptors = 0;
  double startTime = 0.0;      // seconds since the Unix epoch
};

// Now; none where the system does not tell (every platform but Linux).
std::optional<ProcessFigures> ReadProcessFigures();

}  // namespace tessamer

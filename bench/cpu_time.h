#pragma once
// CPU time of another process or of one thread, read from /proc: what the benchmarks report as a
// program's own cost, apart from the load generator's.

#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace tessamer::bench {

// User and system time in seconds from a /proc stat file (fields 14 and 15); 0 when unreadable.
inline double StatCpuSeconds(const std::string& statFile) {
  std::ifstream stat(statFile);
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');  // the command name may hold spaces and parentheses
  if (close == std::string::npos || close + 2 > text.size()) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::atoll(field.c_str());
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline double ProcessCpuSeconds(pid_t pid) {
  return StatCpuSeconds("/proc/" + std::to_string(pid) + "/stat");
}

// CPU time in seconds of the thread whose clock is `clock`; by default the calling thread's.
inline double ThreadCpuSeconds(clockid_t clock = CLOCK_THREAD_CPUTIME_ID) {
  timespec used{};
  if (::clock_gettime(clock, &used) != 0) return 0;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) * 1e-9;
}

}  // namespace tessamer::bench

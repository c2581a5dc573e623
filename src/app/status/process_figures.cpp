#include "app/status/process_figures.h"

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#endif

namespace tessamer {

#if defined(__linux__)
namespace {

// The process's start in clock ticks after boot: the 22nd field of /proc/self/stat, counted
// after the command name, which may hold blanks and parentheses itself.
bool StartTicks(uint64_t& ticks) {
  std::ifstream file("/proc/self/stat");
  const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) {
      std::istringstream number(field);
      return static_cast<bool>(number >> ticks);
    }
  }
  return false;
}

// When the system booted, in seconds since the Unix epoch (/proc/stat's "btime").
bool BootTime(uint64_t& seconds) {
  std::ifstream file("/proc/stat");
  for (std::string key; file >> key;) {
    if (key == "btime") return static_cast<bool>(file >> seconds);
    file.ignore(1 << 16, '\n');
  }
  return false;
}

uint64_t ResidentBytes() {
  std::ifstream file("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  if (!(file >> size >> resident)) return 0;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t OpenDescriptors() {
  std::error_code error;
  uint64_t count = 0;
  for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end; !error && entry != end;
       entry.increment(error)) {
    ++count;
  }
  return count;
}

}  // namespace

std::optional<ProcessFigures> ReadProcessFigures() {
  ProcessFigures figures;
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return std::nullopt;
  figures.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  figures.residentBytes = ResidentBytes();
  figures.openDescriptors = OpenDescriptors();
  uint64_t ticks = 0, boot = 0;
  if (StartTicks(ticks) && BootTime(boot)) {
    figures.startTime = static_cast<double>(boot) + static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return figures;
}

#else

std::optional<ProcessFigures> ReadProcessFigures() { return std::nullopt; }

#endif

}  // namespace tessamer

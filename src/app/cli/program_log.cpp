#include "app/cli/program_log.h"

#include <cstdio>
#include <system_error>

#include "support/platform.h"
#include "support/simple_log_file.h"
#include "support/text.h"

namespace tessamer {

std::filesystem::path DefaultLogPath() {
  const std::filesystem::path base = UserDataFolder();
  if (base.empty()) return {};
  return base / kCompanyName / kProgramName / kLogFileName;
}

std::filesystem::path OpenDiagnosticLog(const std::string& file) {
  const std::filesystem::path path = file.empty() ? DefaultLogPath() : std::filesystem::path(file);
  if (path.empty()) return {};
  std::error_code ignored;  // a folder that cannot be made shows as the file's failure below
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ignored);
  CSimpleLogFile& log = DiagnosticLog();
  if (!log.Open(path.string())) {
    std::fprintf(stderr, "tessamer: the log file %s could not be opened: %s\n",
                 path.string().c_str(), Narrow(log.LastError().text).c_str());
    return {};
  }
  log.WriteBanner();
  return path;
}

}  // namespace tessamer

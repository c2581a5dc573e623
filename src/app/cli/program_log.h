#pragma once
// Where the program's diagnostic log lives and how it is opened: one way for the window and the
// program without a window. By default "tessamer-log.txt" in the user's application-data folder,
// under the company's and the program's folders (%APPDATA%\Vellumetric Systems\Tessamer on
// Windows, ~/.local/share/Vellumetric Systems/Tessamer elsewhere), where the window's settings
// live as well.
//
// Threads: the main thread, before the hub starts.

#include <filesystem>
#include <string>

namespace tessamer {

// The company and the program as the user's folders and settings name them.
inline constexpr const char* kCompanyName = "Vellumetric Systems";
inline constexpr const char* kProgramName = "Tessamer";
inline constexpr const char* kLogFileName = "tessamer-log.txt";

// The log's default path; empty when the environment names no application-data folder.
std::filesystem::path DefaultLogPath();

// Opens the diagnostic log at `file` (empty: DefaultLogPath), creating its folder when missing,
// and writes its banner first. Returns the path opened, or an empty path (and one line on
// standard error) when it could not be opened.
std::filesystem::path OpenDiagnosticLog(const std::string& file);

}  // namespace tessamer

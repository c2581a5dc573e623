#pragma once
// The program's version and build texts, as the about box shows them.

#include <QString>
#include <optional>
#include <string_view>

namespace tessamer {

// The four parts of the program's product version.
struct ProductVersion {
  int major = 0;
  int minor = 0;
  int build = 0;
  int revision = 0;
};

// "major.minor.build" of `version`; "x.x" when there is none.
QString VersionText(const std::optional<ProductVersion>& version);

// The version text of this program, from the version it was built with.
QString ReadVersionText();

// 1 to 12 for "Jan" ... "Dec" (exact, case-sensitive), 0 for anything else.
int MonthNumber(std::string_view name);

// "Build: MMDD.hhmm" from a date like "Jul 14 2024" and a time like "09:26:53", in the form the
// compiler's __DATE__ and __TIME__ give them. Missing or unreadable numbers count as 0.
QString BuildStampText(std::string_view date, std::string_view time);

// The build stamp of this program.
QString BuildStampText();

}  // namespace tessamer

#include "support/utc_text.h"

#include <cstdio>

namespace tessamer {

std::string UtcIsoText(std::chrono::system_clock::time_point at) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(at);
  const auto day = floor<days>(ms);
  const year_month_day date{day};
  const hh_mm_ss clock{ms - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()),
                static_cast<int>(clock.subseconds().count()));
  return text;
}

}  // namespace tessamer

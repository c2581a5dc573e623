#include "recording/recording_time.h"

#include <chrono>

namespace tessamer {
namespace {

using namespace std::chrono;

void AppendDigits(std::string& out, int64_t value, int width) {
  std::string digits(static_cast<size_t>(width), '0');
  for (int i = width - 1; i >= 0 && value > 0; --i, value /= 10) {
    digits[static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
  }
  out += digits;
}

struct UtcParts {
  year_month_day date;
  hh_mm_ss<milliseconds> time;
};

UtcParts PartsOf(WallClock::time_point at) {
  const auto ms = floor<milliseconds>(at);
  const auto day = floor<days>(ms);
  return UtcParts{year_month_day(day), hh_mm_ss<milliseconds>(ms - day)};
}

// Reads exactly `width` digits at `at`, moving past them.
bool ReadDigits(std::string_view text, size_t& at, size_t width, int& value) {
  if (at + width > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < width; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  at += width;
  return true;
}

bool ReadSeparated(std::string_view text, size_t& at, char separator, int& value) {
  if (at >= text.size() || text[at] != separator) return false;
  ++at;
  return ReadDigits(text, at, 2, value);
}

// "HH:MM[:SS[.fff]]" at `at`, as a duration since midnight.
bool ReadTimeOfDay(std::string_view text, size_t& at, milliseconds& since) {
  int hour = 0, minute = 0, second = 0;
  if (!ReadDigits(text, at, 2, hour) || !ReadSeparated(text, at, ':', minute)) return false;
  if (at < text.size() && text[at] == ':' && !ReadSeparated(text, at, ':', second)) return false;
  int64_t fraction = 0, scale = 1000;
  if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
    ++at;
    const size_t first = at;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
      if (scale > 1) fraction += (text[at] - '0') * (scale /= 10);
    }
    if (at == first) return false;
  }
  if (hour > 23 || minute > 59 || second > 59) return false;
  since = hours(hour) + minutes(minute) + seconds(second) + milliseconds(fraction);
  return true;
}

// "Z", "+HH:MM", "-HH:MM", "+HHMM" or "+HH" from `at` to the end, as the offset east of UTC.
bool ReadZone(std::string_view text, size_t at, minutes& offset) {
  offset = minutes(0);
  if (at == text.size()) return true;
  if (text[at] == 'Z' || text[at] == 'z') return at + 1 == text.size();
  const char sign = text[at];
  if (sign != '+' && sign != '-' && sign != ' ') return false;
  ++at;
  int hour = 0, minute = 0;
  if (!ReadDigits(text, at, 2, hour)) return false;
  if (at < text.size() && text[at] == ':') ++at;
  if (at < text.size() && !ReadDigits(text, at, 2, minute)) return false;
  if (at != text.size() || hour > 23 || minute > 59) return false;
  offset = hours(hour) + minutes(minute);
  if (sign == '-') offset = -offset;
  return true;
}

}  // namespace

std::string UtcText(WallClock::time_point at) {
  const UtcParts parts = PartsOf(at);
  std::string text;
  text.reserve(24);
  AppendDigits(text, static_cast<int>(parts.date.year()), 4);
  text += '-';
  AppendDigits(text, static_cast<unsigned>(parts.date.month()), 2);
  text += '-';
  AppendDigits(text, static_cast<unsigned>(parts.date.day()), 2);
  text += 'T';
  AppendDigits(text, parts.time.hours().count(), 2);
  text += ':';
  AppendDigits(text, parts.time.minutes().count(), 2);
  text += ':';
  AppendDigits(text, parts.time.seconds().count(), 2);
  text += '.';
  AppendDigits(text, parts.time.subseconds().count(), 3);
  text += 'Z';
  return text;
}

std::string CompactUtcText(WallClock::time_point at) {
  std::string text;
  for (const char c : UtcText(at).substr(0, 19)) {
    if (c != '-' && c != ':') text += c;
  }
  return text + 'Z';
}

std::string BoxTimeText(const std::tm& time) {
  std::string text;
  text.reserve(19);
  AppendDigits(text, time.tm_year + 1900, 4);
  text += '-';
  AppendDigits(text, time.tm_mon + 1, 2);
  text += '-';
  AppendDigits(text, time.tm_mday, 2);
  text += 'T';
  AppendDigits(text, time.tm_hour, 2);
  text += ':';
  AppendDigits(text, time.tm_min, 2);
  text += ':';
  AppendDigits(text, time.tm_sec, 2);
  return text;
}

std::optional<WallClock::time_point> ParseTimeText(std::string_view text) {
  size_t at = 0;
  int year = 0, month = 0, day = 0;
  if (!ReadDigits(text, at, 4, year) || !ReadSeparated(text, at, '-', month) ||
      !ReadSeparated(text, at, '-', day)) {
    return std::nullopt;
  }
  const year_month_day date{std::chrono::year(year),
                            std::chrono::month(static_cast<unsigned>(month)),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  milliseconds since(0);
  if (at < text.size() && (text[at] == 'T' || text[at] == 't' || text[at] == ' ')) {
    ++at;
    if (!ReadTimeOfDay(text, at, since)) return std::nullopt;
  }
  minutes offset(0);
  if (!ReadZone(text, at, offset)) return std::nullopt;
  return time_point_cast<WallClock::duration>(sys_days(date) + since - offset);
}

}  // namespace tessamer

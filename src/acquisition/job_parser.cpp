#include "acquisition/job_parser.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

#include "support/number_text.h"
#include "support/platform.h"
#include "support/text.h"

namespace tessamer {
namespace {

constexpr size_t kHeaderTextLimit = kHeaderTextChars;  // header.text, terminator included
constexpr size_t kLastLineBytes = kHeaderLineBytes - 1;

constexpr std::array<const char*, kDiagnosticsValues> kDiagnosticsNames = {
    "3V", "5V", "OverV", "Accl", "ADSVcc", "ADSRef", "ADSTemp"};

struct JobTypeWord {
  const char* word;
  int32_t jobType;
};
constexpr JobTypeWord kJobTypes[] = {
    {"Cementing", Cementing}, {"Slickline", Slickline}, {"Pumping", Pumping},
    {"CoiledTubing", CoiledTubing}, {"Coiled", CoiledTubing}, {"Drilling", Drilling},
    {"Generic", Pumping}, {"Fracturing", Pumping}, {"Acid", Acid}};

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

int32_t ClampToInt(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// The leading decimal integer of a token (strtol rules), 0 when there is none. Bounded well
// inside int64_t so that the date arithmetic below cannot overflow.
int64_t IntOf(std::string_view text) {
  constexpr int64_t kBound = int64_t{1} << 40;
  int64_t value = 0;
  ParseInt(text, value);
  return std::clamp(value, -kBound, kBound);
}

// A number token of a data line or a header line. One that does not read as a finite number
// (no number at all, "inf", "nan", or out of range like 1e400) is 0, so that neither inf nor nan
// ever reaches a viewer.
double FiniteOf(std::string_view text) {
  double value = 0;
  ParseDouble(text, value);
  return std::isfinite(value) ? value : 0.0;
}

template <size_t N>
void CopyNarrow(wchar_t (&field)[N], std::string_view text) {
  CopyText(field, std::wstring_view(Widen(text.substr(0, N - 1))));
}

void AppendText(JobHeaderWork& work, std::string_view line) {
  std::copy(line.begin(), line.end(), work.header.text + work.textLength);
  work.textLength += line.size();
  work.header.text[work.textLength++] = '\n';
  work.header.text[work.textLength] = '\0';
}

void ParseJobType(Header& header, Tokenizer& tokens) {
  std::string_view value;
  if (!tokens.Next(value)) return;
  for (const JobTypeWord& entry : kJobTypes) {
    if (Contains(value, entry.word)) {
      header.jobType = entry.jobType;
      return;
    }
  }
}

void ParseDialVariable(Header& header, Tokenizer& tokens) {
  std::string_view token;
  if (!tokens.Next(token)) return;
  CopyNarrow(header.dialName, token);
  if (!tokens.Next(token) || !Contains(token, "Min")) return;
  header.dialMin = tokens.Next(token) ? FiniteOf(token) : 0.0;
  if (tokens.Next(token) && Contains(token, "Max")) {
    header.dialMax = tokens.Next(token) ? FiniteOf(token) : 5000.0;
  } else {
    header.dialMax = header.dialMin;
  }
}

void ParseDiagnostics(Header& header, Tokenizer& tokens) {
  header.diagnostics = std::make_unique<DiagnosticsBlock>();
  DiagnosticsBlock& block = *header.diagnostics;
  for (size_t i = 0; i < kDiagnosticsValues; ++i) {
    std::string_view token;
    if (!tokens.Next(token)) break;
    if (token != kDiagnosticsNames[i]) continue;
    if (!tokens.Next(token)) break;
    block.values[i] = FiniteOf(token);
  }
  std::string_view rest = tokens.Rest();
  while (!rest.empty() && Tokenizer::IsSeparator(rest.front())) rest.remove_prefix(1);
  CopyNarrow(block.text, rest);
}

// The version text that begins 8 characters after "Version" in the rest of a line.
template <size_t N>
void ParseVersion(wchar_t (&field)[N], std::string_view rest) {
  const size_t at = rest.find("Version");
  if (at == std::string_view::npos) return;
  const size_t start = std::min(at + 8, rest.size());
  CopyNarrow(field, rest.substr(start));
}

void ParseFamilyLine(JobHeaderWork& work, Tokenizer& tokens) {
  work.isJobHeader = true;
  std::string_view value;
  work.header.secondary = tokens.Next(value) && Contains("Secondary", value);
}

void ParseKeyword(JobHeaderWork& work, std::string_view keyword, Tokenizer& tokens) {
  Header& header = work.header;
  std::string_view token;
  if (Contains(keyword, "JobType")) {
    ParseJobType(header, tokens);
  } else if (Contains(keyword, "SerialNumber")) {
    header.diagnostics.reset();
    if (tokens.Next(token)) CopyNarrow(header.serialNumber, token);
  } else if (Contains(keyword, "DialVariable")) {
    ParseDialVariable(header, tokens);
  } else if (Contains(keyword, "VariableList")) {
    for (int i = 0; i < MaxChannels && tokens.Next(token); ++i) {
      header.variables[i] = ClampToInt(IntOf(token));
    }
  } else if (Contains(keyword, "UnitList")) {
    for (int i = 0; i < MaxChannels && tokens.Next(token); ++i) CopyNarrow(header.units[i], token);
  } else if (Contains(keyword, "Quintrel") || Contains(keyword, "Vellumetric") ||
             Contains(keyword, "Kestrelgrid")) {
    ParseFamilyLine(work, tokens);
  } else if (Contains(keyword, "VQIData")) {
    for (int i = 0; i < MaxChannels && tokens.Next(token); ++i) {
      int64_t value = 0;
      ParseInt(token, value);
      header.vqi[i] = static_cast<uint8_t>(value);
    }
  } else if (Contains(keyword, "DiagInfo")) {
    ParseDiagnostics(header, tokens);
  } else if (Contains(keyword, "Firmware")) {
    ParseVersion(header.firmwareVersion, tokens.Rest());
  } else if (Contains(keyword, "FPGA")) {
    ParseVersion(header.fpgaVersion, tokens.Rest());
  }
}

// Splits "a<sep>b<sep>rest" into its pieces; a missing piece is empty.
std::string_view TakeUntil(std::string_view& text, char separator) {
  const size_t at = text.find(separator);
  std::string_view piece = text.substr(0, at);
  text = at == std::string_view::npos ? std::string_view() : text.substr(at + 1);
  return piece;
}

int32_t YearsSince1900(int64_t year) {
  if (year > 1900) return ClampToInt(year - 1900);
  if (year >= 70) return ClampToInt(year);
  return ClampToInt(year + 100);
}

void ParseDate(std::string_view token, std::tm& time) {
  const std::string_view month = TakeUntil(token, '/');
  const std::string_view day = TakeUntil(token, '/');
  time.tm_mon = ClampToInt(IntOf(month) - 1);
  time.tm_mday = ClampToInt(IntOf(day));
  time.tm_year = YearsSince1900(IntOf(token));
}

void ParseTime(std::string_view token, Data& record) {
  const std::string_view hour = TakeUntil(token, ':');
  const std::string_view minute = TakeUntil(token, ':');
  const std::string_view second = TakeUntil(token, '.');
  record.time.tm_hour = ClampToInt(IntOf(hour));
  record.time.tm_min = ClampToInt(IntOf(minute));
  record.time.tm_sec = ClampToInt(IntOf(second));
  int64_t fraction = 0;
  ParseInt(token, fraction);
  record.fraction = static_cast<uint8_t>(fraction);
}

}  // namespace

bool Tokenizer::Next(std::string_view& token) {
  while (pos < text.size() && IsSeparator(text[pos])) ++pos;
  if (pos == text.size()) return false;
  const size_t start = pos;
  while (pos < text.size() && !IsSeparator(text[pos])) ++pos;
  token = text.substr(start, pos - start);
  return true;
}

JobHeaderWork::JobHeaderWork() {
  for (int i = 0; i < MaxChannels; ++i) header.variables[i] = i;
}

void ParseHeaderLine(JobHeaderWork& work, const char* line, size_t length) {
  std::string_view text(line, length);
  if (text.size() <= 2) {
    if (work.textLength + text.size() + 2 <= kHeaderTextLimit) AppendText(work, text);
    return;
  }
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  if (work.textLength + text.size() + 2 < kHeaderTextLimit) AppendText(work, text);
  if (text.empty()) return;
  const std::string_view body = text.substr(1);
  work.lastLine.assign(body.substr(0, kLastLineBytes));

  Tokenizer tokens(body);
  std::string_view keyword;
  if (!tokens.Next(keyword)) return;
  ParseKeyword(work, keyword, tokens);
}

void BuildHeader(JobHeaderWork& work, Header& header) {
  Header& built = work.header;
  std::string_view line = work.lastLine;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  built.dialIndex = -1;
  Tokenizer tokens(line);
  std::string_view token;
  while (built.count < MaxChannels && tokens.Next(token)) CopyNarrow(built.names[built.count++], token);

  const std::wstring_view dialName = TextOf(built.dialName);
  for (int i = 0; i < built.count; ++i) {
    if (TextOf(built.names[i]) == dialName) {
      built.dialIndex = i;
      break;
    }
  }
  if (built.dialIndex < 0) {
    CopyText(built.dialName, L"Weight*");
    built.dialIndex = 2;
  }
  header = built;
}

bool ParseDataLine(std::string_view line, Data& record) {
  Tokenizer tokens(line);
  std::string_view token;
  if (!tokens.Next(token)) return false;
  ParseDate(token, record.time);
  if (!tokens.Next(token)) return false;
  ParseTime(token, record);
  while (record.count < MaxChannels && tokens.Next(token)) {
    if (token.front() == '\r' || token.front() == '\n') continue;
    record.values[record.count++] = FiniteOf(token);
  }
  return true;
}

int64_t CLocalClock::ToTimestamp(std::tm& time) {
  const bool inMinute = time.tm_sec >= 0 && time.tm_sec <= 59;
  if (valid && inMinute && time.tm_min == cached.tm_min && time.tm_hour == cached.tm_hour &&
      time.tm_mday == cached.tm_mday && time.tm_mon == cached.tm_mon &&
      time.tm_year == cached.tm_year) {
    time.tm_wday = cached.tm_wday;
    time.tm_yday = cached.tm_yday;
    time.tm_isdst = cached.tm_isdst;
    return cachedBase + time.tm_sec;
  }
  const std::tm sent = time;
  time.tm_isdst = -1;  // the library decides whether summer time is in force
  const int64_t timestamp = static_cast<int64_t>(std::mktime(&time));
  // Cache only a wall clock that existed as sent (not normalised, not in a summer-time gap).
  valid = inMinute && timestamp != -1 && time.tm_sec == sent.tm_sec && time.tm_min == sent.tm_min &&
          time.tm_hour == sent.tm_hour && time.tm_mday == sent.tm_mday &&
          time.tm_mon == sent.tm_mon && time.tm_year == sent.tm_year;
  if (valid) {
    cached = time;
    cached.tm_sec = 0;
    cachedBase = timestamp - time.tm_sec;
  }
  return timestamp;
}

std::tm CLocalClock::ToLocal(int64_t timestamp) {
  return LocalTime(static_cast<std::time_t>(timestamp));
}

bool CDataRecordReader::Filter(std::unique_ptr<Data>& record, std::unique_ptr<Data>& released) {
  const int64_t now = record->timestamp;
  if (!held) {
    if (lastTimestamp != 0 && (now - lastTimestamp > kSecondsPerDay || lastTimestamp - now > kSecondsPerDay)) {
      held = std::move(record);
      return false;
    }
    return true;
  }
  const int64_t distance = now - held->timestamp;
  if (distance >= kSecondsPerDay || -distance >= kSecondsPerDay) {
    // The held record was a glitch: place it halfway between its neighbours.
    held->timestamp = lastTimestamp + (now - lastTimestamp) / 2;
    held->time = CLocalClock::ToLocal(held->timestamp);
    held->fraction = static_cast<uint8_t>(lastFraction + (record->fraction - lastFraction) / 2);
  }
  released = std::move(held);
  return true;
}

void CDataRecordReader::Remember(const Data& record) {
  lastFraction = record.fraction;
  lastTimestamp = record.timestamp;
}

bool IsFirmwareTooOld(std::string_view firmware) {
  const int64_t major = IntOf(firmware);
  const size_t dot = firmware.find('.');
  if (dot == std::string_view::npos) return false;
  size_t at = dot + 1;
  int64_t minor = 0;
  while (at < firmware.size() && firmware[at] >= '0' && firmware[at] <= '9') {
    minor = std::min<int64_t>(minor * 10 + (firmware[at] - '0'), INT32_MAX);
    ++at;
  }
  if (at >= firmware.size()) return false;
  const unsigned char letter = static_cast<unsigned char>(firmware[at]);
  return major < 8 || (major == 8 && minor < 6) || (major == 8 && minor == 6 && letter < 'v');
}

}  // namespace tessamer

#pragma once
// The grammar of a box's text: the header lines of a job block and the data lines that follow.
//
// A header block is parsed line by line into a JobHeaderWork, then turned into a Header by
// BuildHeader. A data line is split into a Data record by ParseDataLine; CDataRecordReader adds
// the per-box state that spans lines (the time-jump filter and the local-time conversion cache).
//
// Every number is read independently of the process locale.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "hub/core/records.h"

namespace tessamer {

inline constexpr size_t kHeaderLineBytes = 1024;  // line buffer of a header line
inline constexpr size_t kDataLineBytes = 1024;    // line buffer of a data line
inline constexpr int64_t kSecondsPerDay = 86400;

// Splits a line into tokens at blanks, commas and tabs; runs of them count as one separator.
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view text) : text(text) {}

  // The next token, or false when the line has no more.
  bool Next(std::string_view& token);
  // What follows the last token taken (its separator included).
  std::string_view Rest() const { return text.substr(pos); }

  static bool IsSeparator(char c) { return c == ' ' || c == ',' || c == '\t'; }

 private:
  std::string_view text;
  size_t pos = 0;
};

// The record one header block is parsed into. Lives for one block.
struct JobHeaderWork {
  JobHeaderWork();  // header defaults, variables preset to 0..95

  Header header;
  size_t textLength = 0;     // bytes used in header.text
  std::string lastLine;      // latest line of more than two characters, without its "#"
  bool isJobHeader = false;  // a logger-family line has been seen
};

// Parses one header line (line end already removed). Never rejects a line.
void ParseHeaderLine(JobHeaderWork& work, const char* line, size_t length);

// Takes the column names from the block's last line, finds the dial variable among them and
// copies the result into `header`.
void BuildHeader(JobHeaderWork& work, Header& header);

// Parses a data line (line end removed) into `record`, which must start all zero. False when the
// line has no date or no time token. `timestamp` is left for the caller (see CLocalClock).
bool ParseDataLine(std::string_view line, Data& record);

// The box's wall clock to seconds since the epoch, as mktime reads local time with the library
// deciding daylight saving itself: a summer-time record keeps the hour the box sent. Caches the
// minute of the last conversion, since consecutive records almost always share it.
//
// Threads: one at a time (each driver's reader thread owns its own).
class CLocalClock {
 public:
  // Normalises `time` as mktime does and returns its timestamp.
  int64_t ToTimestamp(std::tm& time);
  // The local broken-down time of `timestamp`.
  static std::tm ToLocal(int64_t timestamp);

 private:
  bool valid = false;     // `cached` holds a clean conversion
  std::tm cached{};       // the last conversion, second 0
  int64_t cachedBase = 0; // its timestamp at second 0
};

// The data-record state of one box for the whole life of its driver: the time-jump filter and
// the clock. Threads: the driver's reader thread only.
class CDataRecordReader {
 public:
  // Parses one data line and hands zero, one or two records to `queue` (called with a
  // std::unique_ptr<Data>), in order. True when the line held a record: handed over, or held
  // back by the time-jump filter until the next line decides its time.
  template <typename Queue>
  bool Read(std::string_view line, Queue&& queue) {
    auto record = std::make_unique<Data>();
    if (!ParseDataLine(line, *record)) return false;
    record->timestamp = clock.ToTimestamp(record->time);
    std::unique_ptr<Data> released;
    if (!Filter(record, released)) return true;
    if (released) queue(std::move(released));
    Remember(*record);
    queue(std::move(record));
    return true;
  }

  bool Holding() const { return held != nullptr; }

 private:
  // The time-jump filter. Returns false when `record` is held back (it is taken); otherwise
  // `released` may receive a held record to queue before it.
  bool Filter(std::unique_ptr<Data>& record, std::unique_ptr<Data>& released);
  void Remember(const Data& record);

  CLocalClock clock;
  uint8_t lastFraction = 0;      // head of the last record queued
  int64_t lastTimestamp = 0;     // 0 before the first record
  std::unique_ptr<Data> held;    // the record held back by the filter, if any
};

// True when a firmware text names a version older than 8.6v. A text without a "." or without a
// character after the minor number passes.
bool IsFirmwareTooOld(std::string_view firmware);

}  // namespace tessamer

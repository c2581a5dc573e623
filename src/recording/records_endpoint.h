#pragma once
// The answer to GET /records?from=&to=&format=csv|jsonl&limit= from the recording: the
// parameters are checked and the file opened at once (so the status code is known before the
// body), and the body is produced later, in chunks, by whatever thread sends it.
//
//   from, to   ISO 8601 (UTC, or with an offset); received at or after `from`, before `to`
//   format     csv (default) or jsonl, as `tessamer export` writes them
//   limit      at most this many records, 1 to kRecordsMaxLimit (default kRecordsDefaultLimit)
//
// Threads: AnswerRecords on any thread; the producer on one thread at a time, any thread.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "recording/record_reader.h"

namespace tessamer {

inline constexpr uint64_t kRecordsDefaultLimit = 10000;
inline constexpr uint64_t kRecordsMaxLimit = 100000000;

struct RecordsAnswer {
  int status = 200;         // 200, 400 (a bad parameter), 404 (no recording), 500 (unreadable)
  std::string contentType;  // "text/csv; charset=utf-8", "application/x-ndjson", "text/plain"
  // Hands the body to the sink, in chunks; once. False when reading failed after the body began
  // (the sender then ends the response early).
  std::function<bool(const ChunkSink& sink)> produce;
};

// The answer for the recording `file` to the query string `query` (after the '?', still
// percent-encoded; a '+' is a blank).
RecordsAnswer AnswerRecords(const std::string& file, std::string_view query);

}  // namespace tessamer

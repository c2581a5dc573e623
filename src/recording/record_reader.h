#pragma once
// Reads a recording back, in constant memory: the records a query selects, one at a time with
// the header they belong to, or written as text to a sink in chunks. `tessamer export`, the
// status endpoint's GET /records, the window's first trend and remote delivery (records after a
// seq, in order, in batches) all read through it.
//
// Formats:
//   box    the header block and the data lines exactly as viewers received them (CR LF), a
//          header block again wherever the header changes: a stream a simulated box can replay
//   csv    "seq,box_time,received_at,<name (unit)>..." and one row per record, the numbers as
//          the data line writes them, an empty field for a channel without a value; a new
//          header row wherever the header changes (RFC 4180: CR LF, quotes where needed)
//   jsonl  one JSON object per line: seq, box_time, received_at, values (name → number or null)
//
// Threads: one reader is used by one thread at a time; readers on other connections run beside
// the recording's writer (the file is in WAL mode) and see what was committed when they began.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hub/core/job_output.h"
#include "recording/sqlite_db.h"

namespace tessamer {

enum class RecordFormat { Box, Csv, Jsonl };

// "box", "csv", "jsonl"; false for anything else.
bool ParseRecordFormat(std::string_view text, RecordFormat& format);

struct RecordQuery {
  std::optional<WallClock::time_point> from;  // received at or after
  std::optional<WallClock::time_point> to;    // received before
  std::optional<int64_t> run;                 // of this run only
  std::optional<int64_t> afterSeq;            // with a greater seq only
  uint64_t limit = 0;                         // at most this many; 0: all
};

// A record as read back; the texts are valid during the call that hands it over.
struct RecordRow {
  int64_t seq = 0;
  int64_t runId = 0;
  int64_t headerId = 0;
  std::string_view boxTime;
  std::string_view receivedAt;
  std::string_view line;    // the data line without its line end
  std::string_view values;  // the JSON array
};

// The header a record belongs to.
struct RecordHeader {
  int64_t headerId = 0;  // 0: none (no record read yet, or its header is gone)
  std::string block;
  std::vector<ChannelSource> channels;
};

// Called for each record; false stops the reading (not an error).
using RowTaker = std::function<bool(const RecordRow& row, const RecordHeader& header)>;
// Takes a chunk of text; false stops the writing (the receiver has gone; not an error).
using ChunkSink = std::function<bool(std::string_view chunk)>;

inline constexpr size_t kChunkBytes = 64 * 1024;  // text handed to a sink at a time, about

class CRecordReader {
 public:
  CRecordReader() = default;
  CRecordReader(const CRecordReader&) = delete;
  CRecordReader& operator=(const CRecordReader&) = delete;

  // Opens `file` read-only. False with `error` (one line naming the file) when it is missing,
  // not a recording or of a newer schema.
  bool Open(const std::string& file, std::string& error);

  // Hands `take` each record the query selects: in seq order, or with a time range in the order
  // received (the same but for a clock set back meanwhile). False with `error` when reading
  // failed.
  bool Read(const RecordQuery& query, const RowTaker& take, std::string& error);
  // Writes the records the query selects as `format` to `sink`.
  bool Write(const RecordQuery& query, RecordFormat format, const ChunkSink& sink,
             std::string& error);

 private:
  bool LoadHeader(int64_t headerId, RecordHeader& header);

  CSqliteDb db;
  std::string file;
};

}  // namespace tessamer

#pragma once
// Keeps a recording within its limits: records older than the days to keep go (but not those a
// delivery cursor has not passed), and the file is held below its size (the oldest records go
// whatever the cursors say, and the free pages beyond the limit are given back to the disk).
// Records go in chunks, one transaction each; what a record leaves behind goes with it (events
// and ended runs older than what is kept, headers no kept record uses).
//
// Threads: the recording's writer thread alone, with the writer's connection.

#include <cstdint>
#include <optional>
#include <string>

#include "recording/recording_settings.h"
#include "recording/sqlite_db.h"

namespace tessamer {

inline constexpr int64_t kRetentionChunk = 10000;  // records deleted in one transaction
inline constexpr int kRetentionChunksPerPass = 20;  // the rest waits for the next pass

class CRetention {
 public:
  CRetention(int keepDays, uint64_t maxBytes, UndeliveredDeleted undelivered);

  // Deletes records received before `now` less the days to keep, up to the lowest cursor.
  // Adds the records deleted to `deleted`; false on an error (Error() says which).
  bool ByAge(CSqliteDb& db, WallClock::time_point now, int64_t& deleted);
  // Deletes the oldest records while the file's pages in use are above its high mark, down to
  // its low mark, then gives back the pages beyond the limit. The marks are 95 % and 90 % of the
  // limit, lower when a batch as large as `batchPages` (up to a quarter of the limit) would not
  // fit in between: so the next batch fits below the limit too. Adds the records deleted to
  // `deleted`.
  bool BySize(CSqliteDb& db, int64_t batchPages, int64_t& deleted);
  // Pages in use (not free) of the file; none on an error.
  static std::optional<int64_t> UsedPages(CSqliteDb& db);
  const SqlError& Error() const { return error; }

 private:
  template <typename Body>
  bool InTransaction(CSqliteDb& db, Body body);
  bool Failed(const CSqliteDb& db);
  bool Housekeep(CSqliteDb& db, const std::string& horizon);
  bool DeleteOldest(CSqliteDb& db, int64_t count, int64_t& deleted);
  void TellUndelivered(CSqliteDb& db, int64_t first, int64_t last);

  const int keepDays;
  const uint64_t maxBytes;
  const UndeliveredDeleted undelivered;
  SqlError error;  // the last failure
};

}  // namespace tessamer

#pragma once
// The recording's file: its schema (docs/recording.md is its description for users, and the two
// must agree), its version in PRAGMA user_version, and opening a file for writing or reading.
//
// Opening for writing makes a missing file, upgrades an older schema in place, refuses a newer
// one and a database that is not a recording, and moves a file that is not a database at all
// (or whose first pages are damaged) aside as FILE.corrupt-<UTC time> and begins a new one.
// Threads: the caller's; one file at a time per CSqliteDb.

#include <string>

#include "hub/core/health.h"
#include "recording/sqlite_db.h"

namespace tessamer {

inline constexpr int kSchemaVersion = 1;

enum class FileOpening {
  Ready,    // open, the schema current
  Refused,  // a newer schema, or not a recording: the file is left as it is
  Failed,   // cannot be opened or written now (permissions, a full disk, ...)
};

struct OpenedFile {
  FileOpening opening = FileOpening::Failed;
  std::string error;     // why it was refused or failed, one line
  std::string movedTo;   // where a damaged file was moved before a new one was begun; or empty
  std::string damage;    // what was wrong with it
};

// Opens `path` for the recording's writer: WAL journal, synchronous NORMAL, incremental vacuum.
OpenedFile OpenForWriting(const std::string& path, WallClock::time_point now, CSqliteDb& db);

// Opens `path` read-only for a reader; never makes nor changes a file. Refuses a file that does
// not exist, is not a recording or is of a newer schema.
OpenedFile OpenForReading(const std::string& path, CSqliteDb& db);

}  // namespace tessamer

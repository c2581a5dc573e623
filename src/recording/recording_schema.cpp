#include "recording/recording_schema.h"

#include <sqlite3.h>

#include <filesystem>
#include <optional>
#include <system_error>

#include "recording/recording_time.h"

namespace tessamer {
namespace {

// Version 0 (a new file) to 1: every table. A later version appends its step here; a step
// runs inside the upgrade's transaction.
constexpr const char* kUpgradeSteps[kSchemaVersion] = {
    R"sql(
CREATE TABLE runs (
  run_id INTEGER PRIMARY KEY,
  started_at TEXT NOT NULL,
  ended_at TEXT,
  boxes TEXT NOT NULL,
  channel_limit INTEGER NOT NULL,
  outcome TEXT NOT NULL,
  repeats INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE headers (
  header_id INTEGER PRIMARY KEY,
  run_id INTEGER NOT NULL,
  received_at TEXT NOT NULL,
  block TEXT NOT NULL,
  channels TEXT NOT NULL
);
CREATE TABLE records (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  run_id INTEGER NOT NULL,
  header_id INTEGER NOT NULL,
  box_time TEXT NOT NULL,
  received_at TEXT NOT NULL,
  line TEXT NOT NULL,
  "values" TEXT NOT NULL
);
CREATE INDEX records_received_at ON records(received_at);
CREATE INDEX records_run ON records(run_id);
CREATE TABLE events (
  event_id INTEGER PRIMARY KEY,
  at TEXT NOT NULL,
  run_id INTEGER NOT NULL,
  box INTEGER NOT NULL,
  address TEXT NOT NULL,
  kind TEXT NOT NULL,
  detail TEXT
);
CREATE INDEX events_at ON events(at);
CREATE TABLE cursors (
  name TEXT PRIMARY KEY,
  seq INTEGER NOT NULL,
  updated_at TEXT NOT NULL
);
)sql"};

constexpr const char* kPageSize = "PRAGMA page_size = 16384";
// A checkpoint once the WAL holds 4 MiB of pages (SQLite's own 1000 pages are 16 MiB of these).
constexpr const char* kCheckpointPages = "PRAGMA wal_autocheckpoint = 256";
// The WAL file may stay this large after a checkpoint, no larger.
constexpr const char* kJournalSizeLimit = "PRAGMA journal_size_limit = 4194304";

bool IsDamage(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

OpenedFile Failure(FileOpening opening, const std::string& path, const std::string& why) {
  OpenedFile result;
  result.opening = opening;
  result.error = path + ": " + why;
  return result;
}

OpenedFile SqlFailure(const std::string& path, const CSqliteDb& db) {
  return Failure(FileOpening::Failed, path, db.LastError().text);
}

// The schema's version, or none when the file cannot be read as a database.
std::optional<int64_t> VersionOf(CSqliteDb& db) {
  return db.QueryInteger("PRAGMA user_version");
}

// A database whose version is 0 but that holds tables is somebody else's.
bool HoldsTables(CSqliteDb& db) {
  return db.QueryInteger("SELECT count(*) FROM sqlite_schema").value_or(0) > 0;
}

std::string NewerText(int64_t version) {
  return "the recording is of schema version " + std::to_string(version) +
         ", newer than this program's " + std::to_string(kSchemaVersion) +
         " (a newer Tessamer made it); use a newer program or another file";
}

bool Upgrade(CSqliteDb& db, int64_t from) {
  if (!db.Execute("BEGIN IMMEDIATE")) return false;
  for (int64_t step = from; step < kSchemaVersion; ++step) {
    if (!db.Execute(kUpgradeSteps[step])) {
      db.Execute("ROLLBACK");
      return false;
    }
  }
  if (!db.Execute("PRAGMA user_version = " + std::to_string(kSchemaVersion)) ||
      !db.Execute("COMMIT")) {
    db.Execute("ROLLBACK");
    return false;
  }
  return true;
}

// Moves `path` and its WAL and shared-memory files aside; the new name, or empty on failure.
std::string MoveAside(const std::string& path, WallClock::time_point now) {
  const std::string base = path + ".corrupt-" + CompactUtcText(now);
  std::string aside = base;
  std::error_code error;
  for (int n = 2; std::filesystem::exists(aside, error); ++n) {
    aside = base + "-" + std::to_string(n);
  }
  std::filesystem::rename(path, aside, error);
  if (error) return {};
  for (const char* suffix : {"-wal", "-shm"}) {
    std::error_code ignored;
    if (std::filesystem::exists(path + suffix, ignored)) {
      std::filesystem::rename(path + suffix, aside + suffix, ignored);
    }
  }
  return aside;
}

OpenedFile Prepare(const std::string& path, CSqliteDb& db, int64_t version) {
  if (version > kSchemaVersion) return Failure(FileOpening::Refused, path, NewerText(version));
  if (version == 0 && HoldsTables(db)) {
    return Failure(FileOpening::Refused, path, "an SQLite database, but not a recording");
  }
  // The page size and incremental vacuum only take before the first page is written (WAL's
  // header included). A record of 96 channels takes about 2 kB: 16 kB pages write a batch in a
  // quarter of the pages' writes that 4 kB pages need.
  if (version == 0 && (!db.Execute(kPageSize) || !db.Execute("PRAGMA auto_vacuum = INCREMENTAL"))) {
    return SqlFailure(path, db);
  }
  if (!db.Execute("PRAGMA journal_mode = WAL") || !db.Execute("PRAGMA synchronous = NORMAL") ||
      !db.Execute(kCheckpointPages) || !db.Execute(kJournalSizeLimit)) {
    return SqlFailure(path, db);
  }
  if (version < kSchemaVersion && !Upgrade(db, version)) return SqlFailure(path, db);
  return OpenedFile{FileOpening::Ready, {}, {}, {}};
}

}  // namespace

OpenedFile OpenForWriting(const std::string& path, WallClock::time_point now, CSqliteDb& db) {
  if (!db.Open(path, false)) return SqlFailure(path, db);
  std::optional<int64_t> version = VersionOf(db);
  if (version) return Prepare(path, db, *version);
  const SqlError damage = db.LastError();
  if (!IsDamage(damage.code)) return Failure(FileOpening::Failed, path, damage.text);
  db.Close();
  OpenedFile result;
  result.movedTo = MoveAside(path, now);
  result.damage = damage.text;
  if (result.movedTo.empty()) {
    return Failure(FileOpening::Failed, path, damage.text + "; it could not be moved aside");
  }
  if (!db.Open(path, false) || !(version = VersionOf(db))) return SqlFailure(path, db);
  OpenedFile prepared = Prepare(path, db, *version);
  prepared.movedTo = result.movedTo;
  prepared.damage = result.damage;
  return prepared;
}

OpenedFile OpenForReading(const std::string& path, CSqliteDb& db) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    return Failure(FileOpening::Failed, path, "no such recording");
  }
  if (!db.Open(path, true)) return SqlFailure(path, db);
  const std::optional<int64_t> version = VersionOf(db);
  if (!version) return SqlFailure(path, db);
  if (*version > kSchemaVersion) return Failure(FileOpening::Refused, path, NewerText(*version));
  if (*version == 0) return Failure(FileOpening::Refused, path, "not a recording");
  return OpenedFile{FileOpening::Ready, {}, {}, {}};
}

}  // namespace tessamer

#include "recording/retention.h"

#include <sqlite3.h>

#include <algorithm>
#include <optional>

#include "recording/recording_time.h"

namespace tessamer {
namespace {

constexpr int64_t kHighPercent = 95;  // above this share of the limit the oldest records go
constexpr int64_t kLowPercent = 90;   // ... down to this share
constexpr int64_t kMinLimitPages = 16;
constexpr int kSizeRounds = 8;  // deletions to bring the pages in use below the low mark

// Records whose received_at is before ?1 and whose seq is at most ?2, ?3 at a time.
constexpr const char* kDeleteAged =
    "DELETE FROM records WHERE seq IN (SELECT seq FROM records WHERE received_at < ?1 "
    "AND seq <= ?2 LIMIT ?3)";

struct Pages {
  int64_t size = 0;
  int64_t count = 0;
  int64_t free = 0;
};

std::optional<Pages> PagesOf(CSqliteDb& db) {
  const auto size = db.QueryInteger("PRAGMA page_size");
  const auto count = db.QueryInteger("PRAGMA page_count");
  const auto free = db.QueryInteger("PRAGMA freelist_count");
  if (!size || !count || !free || *size <= 0) return std::nullopt;
  return Pages{*size, *count, *free};
}

}  // namespace

CRetention::CRetention(int keepDays, uint64_t maxBytes, UndeliveredDeleted undelivered)
    : keepDays(keepDays), maxBytes(maxBytes), undelivered(std::move(undelivered)) {}

// Runs `body` in one transaction; false (rolled back, the error kept) when any part fails.
template <typename Body>
bool CRetention::InTransaction(CSqliteDb& db, Body body) {
  if (db.Execute("BEGIN IMMEDIATE") && body() && db.Execute("COMMIT")) return true;
  error = db.LastError();
  db.Execute("ROLLBACK");
  return false;
}

bool CRetention::ByAge(CSqliteDb& db, WallClock::time_point now, int64_t& deleted) {
  const std::string cutoff = UtcText(now - std::chrono::days(keepDays));
  const int64_t floor = db.QueryInteger("SELECT min(seq) FROM cursors").value_or(INT64_MAX);
  for (int chunk = 0; chunk < kRetentionChunksPerPass; ++chunk) {
    int64_t gone = 0;
    const bool ok = InTransaction(db, [&] {
      CSqliteStatement statement = db.Prepare(kDeleteAged);
      if (!statement.Valid()) return false;
      statement.Bind(1, cutoff);
      statement.Bind(2, floor);
      statement.Bind(3, kRetentionChunk);
      if (!statement.Run()) return false;
      gone = db.Changes();
      return Housekeep(db, cutoff);
    });
    if (!ok) return false;
    deleted += gone;
    if (gone < kRetentionChunk) break;
  }
  return true;
}

std::optional<int64_t> CRetention::UsedPages(CSqliteDb& db) {
  const std::optional<Pages> pages = PagesOf(db);
  if (!pages) return std::nullopt;
  return pages->count - pages->free;
}

bool CRetention::BySize(CSqliteDb& db, int64_t batchPages, int64_t& deleted) {
  std::optional<Pages> pages = PagesOf(db);
  if (!pages) return Failed(db);
  const int64_t limit = std::max(kMinLimitPages, static_cast<int64_t>(maxBytes) / pages->size);
  // Room for the next batch, but never more than a quarter of the limit: what was just written
  // stays.
  const int64_t room = std::clamp<int64_t>(batchPages, 0, limit / 4);
  const int64_t high = std::min(limit * kHighPercent / 100, limit - room);
  const int64_t low = std::min(limit * kLowPercent / 100, high - room);
  if (pages->count - pages->free > high) {
    // A page is free only once every record on it is gone: estimate, delete, look again.
    for (int round = 0; round < kSizeRounds && pages->count - pages->free > low; ++round) {
      const int64_t used = pages->count - pages->free;
      const auto records = db.QueryInteger("SELECT count(*) FROM records").value_or(0);
      if (records == 0) break;
      const int64_t excess = records * (used - low) / used + 1;
      if (!DeleteOldest(db, std::min(records, excess), deleted)) return false;
      if (!(pages = PagesOf(db))) return Failed(db);
    }
  }
  if (pages->count <= limit) return true;
  // The pages go at the next checkpoint; one now, so that the file itself is held too (it does
  // not wait for a reader that holds older pages).
  return (db.Execute("PRAGMA incremental_vacuum(" + std::to_string(pages->count - limit) + ")") &&
          db.Execute("PRAGMA wal_checkpoint(PASSIVE)")) ||
         Failed(db);
}

bool CRetention::DeleteOldest(CSqliteDb& db, int64_t count, int64_t& deleted) {
  for (int64_t left = count; left > 0;) {
    const int64_t chunk = std::min(left, kRetentionChunk);
    const auto first = db.QueryInteger("SELECT min(seq) FROM records");
    const auto last = db.QueryInteger("SELECT seq FROM records ORDER BY seq LIMIT 1 OFFSET " +
                                      std::to_string(chunk - 1));
    if (!first || !last) return true;  // nothing left
    int64_t gone = 0;
    const bool ok = InTransaction(db, [&] {
      if (!db.Execute("DELETE FROM records WHERE seq <= " + std::to_string(*last))) return false;
      gone = db.Changes();
      const auto oldest = db.QueryText("SELECT received_at FROM records ORDER BY seq LIMIT 1");
      return !oldest || Housekeep(db, *oldest);
    });
    if (!ok) return false;
    deleted += gone;
    TellUndelivered(db, *first, *last);
    left -= chunk;
  }
  return true;
}

void CRetention::TellUndelivered(CSqliteDb& db, int64_t first, int64_t last) {
  const auto cursor = db.QueryInteger("SELECT min(seq) FROM cursors");
  if (!cursor || !undelivered || last <= *cursor) return;
  undelivered(static_cast<uint64_t>(std::max(first, *cursor + 1)), static_cast<uint64_t>(last));
}

// What nothing kept needs any more: events before `horizon`, ended runs before it without
// records, headers of runs that are gone or older than the oldest record's.
bool CRetention::Housekeep(CSqliteDb& db, const std::string& horizon) {
  CSqliteStatement events = db.Prepare("DELETE FROM events WHERE at < ?1");
  CSqliteStatement runs = db.Prepare(
      "DELETE FROM runs WHERE ended_at IS NOT NULL AND ended_at < ?1 AND NOT EXISTS "
      "(SELECT 1 FROM records WHERE records.run_id = runs.run_id)");
  if (!events.Valid() || !runs.Valid()) return false;
  events.Bind(1, horizon);
  runs.Bind(1, horizon);
  return events.Run() && runs.Run() &&
         db.Execute(
             "DELETE FROM headers WHERE NOT EXISTS (SELECT 1 FROM runs WHERE runs.run_id = "
             "headers.run_id) OR header_id < (SELECT header_id FROM records ORDER BY seq LIMIT 1)");
}

bool CRetention::Failed(const CSqliteDb& db) {
  error = db.LastError();
  return false;
}

}  // namespace tessamer

#include "mqtt/recording_outbox.h"

#include <sqlite3.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "recording/sqlite_db.h"
#include "support/utc_text.h"

namespace tessamer {

struct CRecordingOutbox::Connection {
  CSqliteDb db;
  CSqliteStatement after, header, cursor, writeCursor;
  ~Connection() {  // the statements before the connection
    after = {};
    header = {};
    cursor = {};
    writeCursor = {};
  }
};

namespace {

// Resets a statement when the read is over, so that no read stays open on the file.
struct ResetAtEnd {
  CSqliteStatement& statement;
  ~ResetAtEnd() { statement.Reset(); }
};

std::vector<ChannelSource> ChannelsOf(std::string_view text) {
  std::vector<ChannelSource> channels;
  const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
  if (!parsed.is_array()) return channels;
  for (const nlohmann::json& channel : parsed) {
    if (!channel.is_object()) continue;
    channels.push_back({channel.value("name", std::string()), channel.value("unit", std::string()),
                        channel.value("box", int32_t{-1})});
  }
  return channels;
}

}  // namespace

CRecordingOutbox::CRecordingOutbox(std::string file) : file(std::move(file)) {}

CRecordingOutbox::~CRecordingOutbox() = default;

void CRecordingOutbox::Committed(uint64_t newest) {
  std::lock_guard guard(hookLock);
  if (wake) wake(newest);
}

void CRecordingOutbox::Dropped(uint64_t first, uint64_t last) {
  std::lock_guard guard(hookLock);
  if (dropped) dropped(MqttDroppedLine(first, last));
}

void CRecordingOutbox::SetDroppedReport(MqttReport report) {
  std::lock_guard guard(hookLock);
  dropped = std::move(report);
}

void CRecordingOutbox::SetWake(Wake changed) {
  std::lock_guard guard(hookLock);
  wake = std::move(changed);
}

CRecordingOutbox::Connection* CRecordingOutbox::Open(std::string& error) {
  if (broken) connection.reset();
  broken = false;
  if (connection) return connection.get();
  auto opened = std::make_unique<Connection>();
  if (!opened->db.Open(file, false)) {
    error = file + ": " + opened->db.LastError().text;
    return nullptr;
  }
  opened->after = opened->db.Prepare(
      "SELECT seq, run_id, header_id, box_time, received_at, \"values\" FROM records "
      "WHERE seq > ?1 ORDER BY seq LIMIT ?2");
  opened->header =
      opened->db.Prepare("SELECT run_id, received_at, channels FROM headers WHERE header_id = ?1");
  opened->cursor = opened->db.Prepare("SELECT seq FROM cursors WHERE name = ?1");
  opened->writeCursor = opened->db.Prepare(
      "INSERT INTO cursors (name, seq, updated_at) VALUES (?1, ?2, ?3) "
      "ON CONFLICT (name) DO UPDATE SET seq = excluded.seq, updated_at = excluded.updated_at");
  for (const CSqliteStatement* s :
       {&opened->after, &opened->header, &opened->cursor, &opened->writeCursor}) {
    if (!s->Valid()) {
      error = file + ": " + opened->db.LastError().text;
      return nullptr;
    }
  }
  connection = std::move(opened);
  return connection.get();
}

// The last error; the next use opens the file again (it may have been moved aside and begun
// anew meanwhile).
bool CRecordingOutbox::Failed(std::string& error) {
  if (connection) error = file + ": " + connection->db.LastError().text;
  broken = true;
  return false;
}

bool CRecordingOutbox::ReadAfter(uint64_t after, size_t limit, std::vector<OutboxRecord>& records,
                                 std::string& error) {
  Connection* c = Open(error);
  if (c == nullptr) return false;
  const ResetAtEnd reset{c->after};
  c->after.Bind(1, static_cast<int64_t>(after));
  c->after.Bind(2, static_cast<int64_t>(limit));
  int step = SQLITE_ROW;
  while ((step = c->after.Step()) == SQLITE_ROW) {
    records.push_back(OutboxRecord{static_cast<uint64_t>(c->after.Integer(0)),
                                   c->after.Integer(1), c->after.Integer(2),
                                   std::string(c->after.Text(3)), std::string(c->after.Text(4)),
                                   std::string(c->after.Text(5))});
  }
  return step == SQLITE_DONE || Failed(error);
}

bool CRecordingOutbox::ReadHeader(int64_t headerId, OutboxHeader& header, std::string& error) {
  Connection* c = Open(error);
  if (c == nullptr) return false;
  const ResetAtEnd reset{c->header};
  c->header.Bind(1, headerId);
  const int step = c->header.Step();
  if (step == SQLITE_DONE) {
    error = file + ": header " + std::to_string(headerId) + " is gone";
    return false;
  }
  if (step != SQLITE_ROW) return Failed(error);
  header = OutboxHeader{headerId, c->header.Integer(0), std::string(c->header.Text(1)),
                        ChannelsOf(c->header.Text(2)), {}};
  return true;
}

bool CRecordingOutbox::NewestSeq(uint64_t& seq, std::string& error) {
  Connection* c = Open(error);
  if (c == nullptr) return false;
  // The highest seq ever given, also when retention has taken every record since.
  const auto newest = c->db.QueryInteger(
      "SELECT max(coalesce((SELECT max(seq) FROM records), 0), "
      "coalesce((SELECT seq FROM sqlite_sequence WHERE name = 'records'), 0))");
  if (!newest) return Failed(error);
  seq = static_cast<uint64_t>(*newest);
  return true;
}

bool CRecordingOutbox::ReadCursor(const std::string& name, std::optional<uint64_t>& seq,
                                  std::string& error) {
  Connection* c = Open(error);
  if (c == nullptr) return false;
  const ResetAtEnd reset{c->cursor};
  c->cursor.Bind(1, name);
  const int step = c->cursor.Step();
  if (step != SQLITE_ROW && step != SQLITE_DONE) return Failed(error);
  seq = step == SQLITE_ROW ? std::optional<uint64_t>(c->cursor.Integer(0)) : std::nullopt;
  return true;
}

bool CRecordingOutbox::WriteCursor(const std::string& name, uint64_t seq, std::string& error) {
  Connection* c = Open(error);
  if (c == nullptr) return false;
  const ResetAtEnd reset{c->writeCursor};
  c->writeCursor.Bind(1, name);
  c->writeCursor.Bind(2, static_cast<int64_t>(seq));
  c->writeCursor.Bind(3, UtcIsoText(std::chrono::system_clock::now()));
  return c->writeCursor.Step() == SQLITE_DONE || Failed(error);
}

}  // namespace tessamer

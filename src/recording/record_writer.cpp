#include "recording/record_writer.h"

#include <sqlite3.h>

#include "recording/json_text.h"
#include "recording/recording_time.h"
#include "support/line_fields.h"

namespace tessamer {
namespace {

constexpr const char* kInsertRun =
    "INSERT INTO runs (started_at, boxes, channel_limit, outcome) VALUES (?1, ?2, ?3, 'running')";
constexpr const char* kEndRun =
    "UPDATE runs SET ended_at = ?2, outcome = ?3, repeats = ?4 WHERE run_id = ?1";
constexpr const char* kAddRepeat = "UPDATE runs SET repeats = repeats + 1 WHERE run_id = ?1";
constexpr const char* kInsertHeader =
    "INSERT INTO headers (run_id, received_at, block, channels) VALUES (?1, ?2, ?3, ?4)";
constexpr const char* kInsertRecord =
    "INSERT INTO records (run_id, header_id, box_time, received_at, line, \"values\") "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
constexpr const char* kInsertEvent =
    "INSERT INTO events (at, run_id, box, address, kind, detail) VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
// A run left open by a crash ends with its newest record or event.
constexpr const char* kCloseInterrupted = R"sql(
UPDATE runs SET outcome = 'interrupted', ended_at = max(started_at,
  coalesce((SELECT received_at FROM records WHERE records.run_id = runs.run_id
            ORDER BY seq DESC LIMIT 1), started_at),
  coalesce((SELECT max(at) FROM events WHERE events.run_id = runs.run_id), started_at))
WHERE ended_at IS NULL)sql";

constexpr const char* kStateRecording = "recording";
constexpr const char* kStateFailed = "failed";

std::string BoxesJson(const RunStarted& run) {
  std::string json = "[";
  for (const RunBox& box : run.boxes) {
    if (json.size() > 1) json += ',';
    AppendJsonString(json, box.address + ":" + std::to_string(box.port));
  }
  return json + "]";
}

std::string ChannelsJson(const PublishedHeader& header) {
  std::string json = "[";
  for (const ChannelSource& channel : header.channels) {
    if (json.size() > 1) json += ',';
    json += "{\"name\":";
    AppendJsonString(json, channel.name);
    json += ",\"unit\":";
    AppendJsonString(json, channel.unit);
    json += ",\"box\":" + std::to_string(channel.box) + "}";
  }
  return json + "]";
}

// The data line without its line end.
std::string_view LineText(const std::string& line) {
  std::string_view text(line);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

}  // namespace

CRecordWriter::CRecordWriter(RecordingSettings recordingSettings, RecordingReport report)
    : settings(std::move(recordingSettings)),
      report(std::move(report)),
      retention(settings.keepDays, settings.maxBytes, settings.undeliveredDeleted) {
  figures.file = settings.file;
}

CRecordWriter::~CRecordWriter() {
  if (batchRecords > 0) OnDropped(batchRecords);
  ReportDropsIfDue(true);
  CloseFile();
}

void CRecordWriter::OnHeader(const std::shared_ptr<const PublishedHeader>& header) {
  batch.emplace_back(header);
}

void CRecordWriter::OnRecord(const std::shared_ptr<const PublishedRecord>& record) {
  batch.emplace_back(record);
  if (!record->repeat) ++batchRecords;
}

void CRecordWriter::AddHealth(HubHealth& health) const {
  std::lock_guard guard(figuresLock);
  health.recording = figures;
  health.recording->waiting += batchRecords;
}

WallClock::time_point CRecordWriter::Now() const {
  return settings.clock ? settings.clock() : WallClock::now();
}

OpenedFile CRecordWriter::Open() {
  OpenedFile opened = OpenForWriting(settings.file, Now(), db);
  if (opened.opening == FileOpening::Refused) {
    db.Close();
    return opened;
  }
  Opened(opened);
  return opened;
}

bool CRecordWriter::EnsureOpen() {
  return db.IsOpen() || Opened(OpenForWriting(settings.file, Now(), db));
}

bool CRecordWriter::Opened(const OpenedFile& opened) {
  if (!opened.movedTo.empty()) {
    Note(RecordingNoteKind::MovedAside,
         "recording moved-aside file=" + QuotedField(settings.file) + " to=" +
             QuotedField(opened.movedTo) + " reason=" + QuotedField(opened.damage));
  }
  if (opened.opening != FileOpening::Ready) return Fail(opened.error);
  if (!PrepareStatements() || (!interruptedClosed && !CloseInterruptedRuns())) {
    return Fail(db.LastError().text);
  }
  interruptedClosed = true;
  CheckPlace();
  LoadFigures();
  return true;
}

void CRecordWriter::CloseFile() {
  statements = Statements{};
  db.Close();
}

bool CRecordWriter::PrepareStatements() {
  statements.insertRun = db.Prepare(kInsertRun);
  statements.endRun = db.Prepare(kEndRun);
  statements.addRepeat = db.Prepare(kAddRepeat);
  statements.insertHeader = db.Prepare(kInsertHeader);
  statements.insertRecord = db.Prepare(kInsertRecord);
  statements.insertEvent = db.Prepare(kInsertEvent);
  for (const CSqliteStatement* s :
       {&statements.insertRun, &statements.endRun, &statements.addRepeat,
        &statements.insertHeader, &statements.insertRecord, &statements.insertEvent}) {
    if (!s->Valid()) return false;
  }
  return true;
}

bool CRecordWriter::CloseInterruptedRuns() { return db.Execute(kCloseInterrupted); }

void CRecordWriter::CheckPlace() {
  if (place.runId) {
    CSqliteStatement run = db.Prepare("SELECT 1 FROM runs WHERE run_id = ?1 AND started_at = ?2");
    run.Bind(1, *place.runId);
    run.Bind(2, UtcText(place.run->at));
    if (run.Step() != SQLITE_ROW) place.runId.reset();
  }
  if (place.headerId && place.runId) {
    CSqliteStatement header =
        db.Prepare("SELECT 1 FROM headers WHERE header_id = ?1 AND run_id = ?2");
    header.Bind(1, *place.headerId);
    header.Bind(2, *place.runId);
    if (header.Step() == SQLITE_ROW) return;
  }
  place.headerId.reset();
}

void CRecordWriter::LoadFigures() {
  const auto count = db.QueryInteger("SELECT count(*) FROM records").value_or(0);
  const auto oldest = db.QueryText("SELECT received_at FROM records ORDER BY seq LIMIT 1");
  const auto newestKept = db.QueryText("SELECT received_at FROM records ORDER BY seq DESC LIMIT 1");
  const auto pages = db.QueryInteger("PRAGMA page_count").value_or(0);
  const auto pageSize = db.QueryInteger("PRAGMA page_size").value_or(0);
  std::lock_guard guard(figuresLock);
  figures.state = failing ? kStateFailed : kStateRecording;
  figures.records = static_cast<uint64_t>(count);
  figures.oldest = oldest.value_or("");
  figures.newest = newestKept.value_or("");
  figures.sizeBytes = static_cast<uint64_t>(pages * pageSize);
}

bool CRecordWriter::Flush() {
  if (!EnsureOpen()) return false;
  const Place before = place;
  const int64_t usedBefore = CRetention::UsedPages(db).value_or(0);
  if (!WriteBatch()) {
    const std::string reason = db.LastError().text;
    db.Execute("ROLLBACK");
    place = before;
    return Fail(reason);
  }
  batch.clear();
  batchRecords = 0;
  Written();
  if (inserted > 0 && settings.recordsCommitted) {
    settings.recordsCommitted(static_cast<uint64_t>(newestSeq));
  }
  if (!Retain(CRetention::UsedPages(db).value_or(usedBefore) - usedBefore)) {
    return Fail(retention.Error().text);
  }
  if (failing) {
    failing = false;
    {
      std::lock_guard guard(figuresLock);
      figures.state = kStateRecording;
    }
    Note(RecordingNoteKind::Resumed, "recording resumed");
  }
  ReportDropsIfDue(false);
  return true;
}

bool CRecordWriter::WriteBatch() {
  inserted = 0;
  first.clear();
  newest.clear();
  if (batch.empty()) return true;
  if (!db.Execute("BEGIN IMMEDIATE")) return false;
  for (const Event& event : batch) {
    if (!Write(event)) return false;
  }
  return db.Execute("COMMIT");
}

bool CRecordWriter::Write(const Event& event) {
  return std::visit([this](const auto& e) { return Write(e); }, event);
}

bool CRecordWriter::Write(const RunStarted& run) {
  place = Place{run, nullptr, std::nullopt, std::nullopt};
  return EnsureRun();
}

// A header or an event of another run than the one begun last cannot be placed: it is left out
// (the seam's order makes this impossible).
bool CRecordWriter::Write(const std::shared_ptr<const PublishedHeader>& header) {
  if (!place.run || header->run != place.run->run) return true;
  place.header = header;
  place.headerId.reset();
  return EnsureHeader();
}

bool CRecordWriter::Write(const std::shared_ptr<const PublishedRecord>& record) {
  if (!place.run || record->run != place.run->run) return true;
  if (record->repeat) {
    if (!EnsureRun()) return false;
    CSqliteStatement& repeat = statements.addRepeat;
    repeat.Bind(1, *place.runId);
    return repeat.Run();
  }
  if (!place.header) return true;  // a record before its run's header: impossible by the seam
  if (!EnsureHeader()) return false;
  CSqliteStatement& insert = statements.insertRecord;
  const std::string receivedAt = UtcText(record->at);
  insert.Bind(1, *place.runId);
  insert.Bind(2, *place.headerId);
  insert.Bind(3, BoxTimeText(record->data.time));
  insert.Bind(4, receivedAt);
  insert.Bind(5, LineText(record->line));
  insert.Bind(6, ValuesJson(record->data, record->missing));
  if (!insert.Run()) return false;
  if (inserted++ == 0) first = receivedAt;
  newest = receivedAt;
  newestSeq = db.LastInsertId();
  return true;
}

bool CRecordWriter::Write(const BoxEvent& event) {
  if (!place.run || event.run != place.run->run) return true;
  if (!EnsureRun()) return false;
  CSqliteStatement& insert = statements.insertEvent;
  insert.Bind(1, UtcText(event.at));
  insert.Bind(2, *place.runId);
  insert.Bind(3, static_cast<int64_t>(event.row));
  insert.Bind(4, AddressOf(event.box));
  insert.Bind(5, BoxEventName(event.kind));
  if (event.detail.empty()) {
    insert.BindNull(6);
  } else {
    insert.Bind(6, event.detail);
  }
  return insert.Run();
}

bool CRecordWriter::Write(const RunEnded& end) {
  if (!place.run || end.run != place.run->run) return true;
  if (!EnsureRun()) return false;
  CSqliteStatement& update = statements.endRun;
  update.Bind(1, *place.runId);
  update.Bind(2, UtcText(end.at));
  update.Bind(3, end.outcome);
  update.Bind(4, static_cast<int64_t>(end.repeats));
  return update.Run();
}

bool CRecordWriter::EnsureRun() {
  if (place.runId) return true;
  CSqliteStatement& insert = statements.insertRun;
  insert.Bind(1, UtcText(place.run->at));
  insert.Bind(2, BoxesJson(*place.run));
  insert.Bind(3, static_cast<int64_t>(place.run->channelLimit));
  if (!insert.Run()) return false;
  place.runId = db.LastInsertId();
  return true;
}

bool CRecordWriter::EnsureHeader() {
  if (place.headerId) return true;
  if (!EnsureRun()) return false;
  CSqliteStatement& insert = statements.insertHeader;
  insert.Bind(1, *place.runId);
  insert.Bind(2, UtcText(place.header->at));
  insert.Bind(3, place.header->block);
  insert.Bind(4, ChannelsJson(*place.header));
  if (!insert.Run()) return false;
  place.headerId = db.LastInsertId();
  return true;
}

std::string CRecordWriter::AddressOf(int32_t box) const {
  if (box < 0 || static_cast<size_t>(box) >= place.run->boxes.size()) return {};
  const RunBox& runBox = place.run->boxes[static_cast<size_t>(box)];
  return runBox.address + ":" + std::to_string(runBox.port);
}

// Age is looked at every ageRetentionPeriod, size after every batch (leaving room for another as
// large as this one grew the file).
bool CRecordWriter::Retain(int64_t batchPages) {
  int64_t deleted = 0;
  const WallClock::time_point now = Now();
  if (!lastAgeRetention || now - *lastAgeRetention >= settings.ageRetentionPeriod) {
    if (!retention.ByAge(db, now, deleted)) return false;
    lastAgeRetention = now;
  }
  if (!retention.BySize(db, batchPages, deleted)) return false;
  if (deleted > 0) LoadFigures();
  return true;
}

void CRecordWriter::Written() {
  const auto pages = db.QueryInteger("PRAGMA page_count").value_or(0);
  const auto pageSize = db.QueryInteger("PRAGMA page_size").value_or(0);
  std::lock_guard guard(figuresLock);
  figures.records += static_cast<uint64_t>(inserted);
  if (!newest.empty()) figures.newest = newest;
  if (figures.oldest.empty()) figures.oldest = first;
  figures.sizeBytes = static_cast<uint64_t>(pages * pageSize);
}

bool CRecordWriter::Fail(std::string reason) {
  CloseFile();
  bool changed = !failing;
  {
    std::lock_guard guard(figuresLock);
    changed = changed || figures.lastError != reason;
    figures.state = kStateFailed;
    figures.lastError = reason;
  }
  failing = true;
  if (changed) Note(RecordingNoteKind::Failed, "recording failed reason=" + QuotedField(reason));
  ReportDropsIfDue(false);
  return false;
}

void CRecordWriter::OnDropped(uint64_t records) {
  {
    std::lock_guard guard(figuresLock);
    figures.dropped += records;
  }
  unreportedDrops += records;
  ReportDropsIfDue(false);
}

// At most once every kDropReportPeriod, unless `now`.
void CRecordWriter::ReportDropsIfDue(bool now) {
  if (unreportedDrops == 0) return;
  const auto time = std::chrono::steady_clock::now();
  if (!now && lastDropReport && time - *lastDropReport < kDropReportPeriod) return;
  uint64_t total = 0;
  {
    std::lock_guard guard(figuresLock);
    total = figures.dropped;
  }
  Note(RecordingNoteKind::Dropped, "recording dropped records=" + std::to_string(unreportedDrops) +
                                       " total=" + std::to_string(total));
  unreportedDrops = 0;
  lastDropReport = time;
}

void CRecordWriter::Note(RecordingNoteKind kind, std::string line) const {
  if (report) report(RecordingNote{kind, std::move(line)});
}

}  // namespace tessamer

#include "recording/record_reader.h"

#include <sqlite3.h>

#include "recording/json_text.h"
#include "recording/recording_schema.h"
#include "recording/recording_time.h"

namespace tessamer {
namespace {

constexpr const char* kColumns =
    "SELECT seq, run_id, header_id, box_time, received_at, line, \"values\" FROM records";

// The statement for `query`; parameters ?1 from, ?2 to, ?3 run, ?4 after, ?5 limit. With a time
// range the received_at index gives the order, without one the seq; a run's records come from
// its own index only without a time range, so no order ever needs sorting (constant memory).
std::string SelectFor(const RecordQuery& query) {
  const bool byTime = query.from || query.to;
  std::string sql = kColumns;
  sql += " WHERE 1";
  if (query.from) sql += " AND received_at >= ?1";
  if (query.to) sql += " AND received_at < ?2";
  if (query.run) sql += byTime ? " AND +run_id = ?3" : " AND run_id = ?3";
  if (query.afterSeq) sql += " AND seq > ?4";
  sql += byTime ? " ORDER BY received_at, seq" : " ORDER BY seq";
  return sql + " LIMIT ?5";
}

// The numbers of a values array as written by the recording: "[1.5000,null]" → "1.5000", "null".
template <typename Take>
void ForEachValue(std::string_view values, Take take) {
  if (values.size() < 2) return;
  values = values.substr(1, values.size() - 2);
  size_t index = 0;
  while (!values.empty()) {
    const size_t comma = values.find(',');
    take(index++, values.substr(0, comma));
    if (comma == std::string_view::npos) break;
    values.remove_prefix(comma + 1);
  }
}

void AppendCsvField(std::string& out, std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += field;
    return;
  }
  out += '"';
  for (const char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

std::string ChannelTitle(const ChannelSource& channel) {
  return channel.unit.empty() ? channel.name : channel.name + " (" + channel.unit + ")";
}

// Turns records into one format's text.
class CFormatter {
 public:
  explicit CFormatter(RecordFormat format) : format(format) {}
  void Header(std::string& out, const RecordHeader& header) const;
  void Row(std::string& out, const RecordRow& row, const RecordHeader& header) const;

 private:
  void CsvRow(std::string& out, const RecordRow& row) const;
  void JsonRow(std::string& out, const RecordRow& row, const RecordHeader& header) const;

  const RecordFormat format;
};

void CFormatter::Header(std::string& out, const RecordHeader& header) const {
  if (format == RecordFormat::Box) {
    out += header.block;
  } else if (format == RecordFormat::Csv) {
    out += "seq,box_time,received_at";
    for (const ChannelSource& channel : header.channels) {
      out += ',';
      AppendCsvField(out, ChannelTitle(channel));
    }
    out += "\r\n";
  }
}

void CFormatter::Row(std::string& out, const RecordRow& row, const RecordHeader& header) const {
  switch (format) {
    case RecordFormat::Box:
      out += row.line;
      out += "\r\n";
      break;
    case RecordFormat::Csv:
      CsvRow(out, row);
      break;
    case RecordFormat::Jsonl:
      JsonRow(out, row, header);
      break;
  }
}

void CFormatter::CsvRow(std::string& out, const RecordRow& row) const {
  out += std::to_string(row.seq);
  out += ',';
  out += row.boxTime;
  out += ',';
  out += row.receivedAt;
  ForEachValue(row.values, [&out](size_t, std::string_view value) {
    out += ',';
    if (value != "null") out += value;
  });
  out += "\r\n";
}

void CFormatter::JsonRow(std::string& out, const RecordRow& row,
                         const RecordHeader& header) const {
  out += "{\"seq\":" + std::to_string(row.seq) + ",\"box_time\":";
  AppendJsonString(out, row.boxTime);
  out += ",\"received_at\":";
  AppendJsonString(out, row.receivedAt);
  out += ",\"values\":{";
  ForEachValue(row.values, [&](size_t index, std::string_view value) {
    if (index >= header.channels.size()) return;
    if (index > 0) out += ',';
    AppendJsonString(out, header.channels[index].name);
    out += ':';
    out += value;
  });
  out += "}}\n";
}

}  // namespace

bool ParseRecordFormat(std::string_view text, RecordFormat& format) {
  if (text == "box") {
    format = RecordFormat::Box;
  } else if (text == "csv") {
    format = RecordFormat::Csv;
  } else if (text == "jsonl") {
    format = RecordFormat::Jsonl;
  } else {
    return false;
  }
  return true;
}

bool CRecordReader::Open(const std::string& path, std::string& error) {
  file = path;
  const OpenedFile opened = OpenForReading(path, db);
  if (opened.opening == FileOpening::Ready) return true;
  error = opened.error;
  db.Close();
  return false;
}

bool CRecordReader::LoadHeader(int64_t headerId, RecordHeader& header) {
  header = RecordHeader{};
  CSqliteStatement block = db.Prepare("SELECT block FROM headers WHERE header_id = ?1");
  CSqliteStatement channels = db.Prepare(
      "SELECT json_extract(c.value, '$.name'), json_extract(c.value, '$.unit'), "
      "json_extract(c.value, '$.box') FROM headers, json_each(headers.channels) AS c "
      "WHERE header_id = ?1 ORDER BY c.key");
  if (!block.Valid() || !channels.Valid()) return false;
  block.Bind(1, headerId);
  if (!block.Next()) return true;  // gone: the records go on without one
  header.headerId = headerId;
  header.block = block.Text(0);
  channels.Bind(1, headerId);
  while (channels.Next()) {
    header.channels.push_back(ChannelSource{std::string(channels.Text(0)),
                                            std::string(channels.Text(1)),
                                            static_cast<int32_t>(channels.Integer(2))});
  }
  return true;
}

bool CRecordReader::Read(const RecordQuery& query, const RowTaker& take, std::string& error) {
  CSqliteStatement select = db.Prepare(SelectFor(query));
  if (!select.Valid()) {
    error = file + ": " + db.LastError().text;
    return false;
  }
  if (query.from) select.Bind(1, UtcText(*query.from));
  if (query.to) select.Bind(2, UtcText(*query.to));
  if (query.run) select.Bind(3, *query.run);
  if (query.afterSeq) select.Bind(4, *query.afterSeq);
  select.Bind(5, query.limit == 0 ? int64_t{-1} : static_cast<int64_t>(query.limit));
  RecordHeader header;
  int64_t loaded = -1;
  int result = 0;
  while ((result = select.Step()) == SQLITE_ROW) {
    RecordRow row{select.Integer(0), select.Integer(1), select.Integer(2), select.Text(3),
                  select.Text(4),    select.Text(5),    select.Text(6)};
    if (row.headerId != loaded) {
      if (!LoadHeader(row.headerId, header)) break;
      loaded = row.headerId;
    }
    if (!take(row, header)) return true;
  }
  if (result == SQLITE_DONE) return true;
  error = file + ": " + db.LastError().text;
  return false;
}

bool CRecordReader::Write(const RecordQuery& query, RecordFormat format, const ChunkSink& sink,
                          std::string& error) {
  const CFormatter formatter(format);
  std::string out;
  out.reserve(kChunkBytes + 4096);
  int64_t shown = -1;  // the header whose text went out last
  bool open = true;
  const bool read = Read(query, [&](const RecordRow& row, const RecordHeader& header) {
    if (header.headerId != shown) {
      formatter.Header(out, header);
      shown = header.headerId;
    }
    formatter.Row(out, row, header);
    if (out.size() < kChunkBytes) return true;
    open = sink(out);
    out.clear();
    return open;
  }, error);
  if (open && !out.empty()) sink(out);
  return read;
}

}  // namespace tessamer

// The programs' recording, with SQLite.

#include "app/cli/job_recording.h"

#include <optional>

#include "recording/record_reader.h"
#include "recording/records_endpoint.h"
#include "recording/recording.h"
#include "recording/recording_time.h"
#include "support/number_text.h"

namespace tessamer {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;

// The record's values by its header's channels; a channel without a value is left out.
void TakeValues(const RecordRow& row, const RecordHeader& header, WallClock::time_point at,
                RecentValues& recent) {
  std::string_view values = row.values.substr(1, row.values.size() - 2);
  for (const ChannelSource& channel : header.channels) {
    const size_t comma = values.find(',');
    const std::string_view value = values.substr(0, comma);
    double number = 0;
    if (value != "null" && ParseDouble(value, number) == value.size()) {
      recent.values[channel.name].emplace_back(at, number);
    }
    if (comma == std::string_view::npos) break;
    values.remove_prefix(comma + 1);
  }
}

}  // namespace

bool HasJobRecording() { return true; }

void AddRecordsRoute(const std::string& file, StatusEndpoint& endpoint) {
  if (file.empty()) return;
  endpoint.produced["/records"] = [file](std::string_view query) {
    RecordsAnswer answer = AnswerRecords(file, query);
    return ProducedAnswer{answer.status, std::move(answer.contentType), std::move(answer.produce)};
  };
}

bool OpenJobRecording(const RecordingChoice& choice, RecordingReport report,
                      std::shared_ptr<IJobOutput>& recording, std::string& error) {
  recording.reset();
  if (choice.file.empty()) return true;
  RecordingSettings settings;
  settings.file = choice.file;
  settings.keepDays = choice.keepDays;
  settings.maxBytes = static_cast<uint64_t>(choice.maxMiB) * kMiB;
  settings.recordsCommitted = choice.committed;
  settings.undeliveredDeleted = choice.undelivered;
  recording = CRecording::Open(std::move(settings), std::move(report), error);
  return recording != nullptr;
}

RecentValues ReadRecentValues(const std::string& file, WallClock::time_point since,
                              std::chrono::milliseconds spacing) {
  RecentValues recent;
  CRecordReader reader;
  std::string error;
  if (file.empty() || !reader.Open(file, error)) return recent;
  std::optional<WallClock::time_point> last;
  RecordQuery query;
  query.from = since;
  reader.Read(query, [&](const RecordRow& row, const RecordHeader& header) {
    const auto at = ParseTimeText(row.receivedAt);
    if (!at || row.values.size() < 2 || (last && *at - *last < spacing)) return true;
    last = at;
    recent.channels = header.channels;
    TakeValues(row, header, *at, recent);
    return true;
  }, error);
  return recent;
}

}  // namespace tessamer

// The job recording's own figures, on one thread (one core): records written per second with the
// recording's schema at 96 channels, in the recording's batches, beside the naive way (one INSERT
// per transaction, through the same library, same schema and settings), and records exported per
// second as CSV. With --retention MIB, a long generated run into a file held below MIB, in batches
// of 100 records (the hub's 100 ms at 1000 records a second): its size as it goes, and the
// records kept.
//
//   record_bench [--records N] [--folder DIR] [--retention MIB] [--retention-records N]
//
// The files go to DIR (default /tmp) and are removed afterwards.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <time.h>

#include "cpu_time.h"
#include "recording/record_reader.h"
#include "recording/record_writer.h"
#include "recording/recording_schema.h"
#include "recording/sqlite_db.h"
#include "support/number_text.h"

namespace tessamer {
namespace {

using Clock = std::chrono::steady_clock;
using bench::ThreadCpuSeconds;

constexpr int kChannels = MaxChannels;
constexpr double kTargetWritesPerSecond = 50000;
constexpr double kTargetExportPerSecond = 200000;
constexpr int64_t kNaiveRecords = 5000;
constexpr int64_t kDefaultRecords = 200000;
constexpr int64_t kSamples = 20;  // sizes shown over a retention run
constexpr size_t kRetentionBatch = 100;
const WallClock::time_point kStart = WallClock::from_time_t(1714529640);  // 2024-05-01 02:14 UTC

struct Options {
  int64_t records = kDefaultRecords;
  std::string folder = "/tmp";
  int64_t retentionMiB = 0;  // 0: no retention run
  int64_t retentionRecords = 0;  // 0: ten times what the limit holds
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Wall-clock and CPU seconds of one measured piece of work.
struct Spent {
  double wall = 0;
  double cpu = 0;
  void Add(Clock::time_point wallFrom, double cpuFrom) {
    wall += Seconds(Clock::now() - wallFrom);
    cpu += ThreadCpuSeconds() - cpuFrom;
  }
};

std::string Fixed(double value, int decimals) { return FormatFixed(value, decimals); }

// A combined record of 96 channels as the publishing block makes it, received at `at`.
std::shared_ptr<PublishedRecord> MakeRecord(int64_t n) {
  auto record = std::make_shared<PublishedRecord>();
  record->run = 1;
  record->data.count = kChannels;
  record->data.time.tm_year = 124;
  record->data.time.tm_mon = 4;
  record->data.time.tm_mday = 1;
  record->line = "05/01/24 02:14:00 ";
  for (int c = 0; c < kChannels; ++c) {
    record->data.values[c] = 1000.0 + static_cast<double>((n * 7 + c * 13) % 10000) / 8.0;
    AppendFixed(record->line, record->data.values[c], 4);
    record->line += ' ';
  }
  record->line += "\r\n";
  return record;
}

std::shared_ptr<PublishedHeader> MakeHeader() {
  auto header = std::make_shared<PublishedHeader>();
  header->run = 1;
  header->at = kStart;
  header->block = "#  Quintrel Job Data\r\n#";
  for (int c = 0; c < kChannels; ++c) {
    header->channels.push_back({"Channel" + std::to_string(c) + "_" + std::to_string(c / 6), "psi",
                                c / 6});
    header->block += header->channels.back().name + " ";
  }
  header->block += "\r\n";
  return header;
}

RecordingSettings SettingsFor(const std::string& file, uint64_t maxBytes) {
  RecordingSettings settings;
  settings.file = file;
  settings.maxBytes = maxBytes;
  settings.keepDays = 36500;
  settings.clock = [] { return kStart; };
  return settings;
}

void Remove(const std::string& file) {
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file + suffix);
}

// Writes `count` records through the recording's writer in its batches; the time spent in the
// writer alone (making the records is not counted), none on a failure. `sample` is called after
// each batch.
template <typename Sample>
std::optional<Spent> WriteBatched(CRecordWriter& writer, int64_t count, size_t batchSize,
                                  Sample sample) {
  std::vector<std::shared_ptr<PublishedRecord>> pool;
  for (size_t i = 0; i < batchSize; ++i) pool.push_back(MakeRecord(static_cast<int64_t>(i)));
  writer.OnRunStarted(RunStarted{1, kStart, {{0, "127.0.0.2", 5000}}, 6});
  writer.OnHeader(MakeHeader());
  Spent spent;
  for (int64_t written = 0; written < count;) {
    const int64_t batch = std::min<int64_t>(count - written, static_cast<int64_t>(pool.size()));
    for (int64_t i = 0; i < batch; ++i) {
      pool[static_cast<size_t>(i)]->at = kStart + std::chrono::milliseconds(written + i);
    }
    const auto begun = Clock::now();
    const double cpu = ThreadCpuSeconds();
    for (int64_t i = 0; i < batch; ++i) writer.OnRecord(pool[static_cast<size_t>(i)]);
    if (!writer.Flush()) return std::nullopt;
    spent.Add(begun, cpu);
    written += batch;
    sample(written);
  }
  return spent;
}

// The naive way: the same statement, each record its own transaction.
std::optional<Spent> WriteNaive(const std::string& file, int64_t count) {
  CSqliteDb db;
  if (OpenForWriting(file, kStart, db).opening != FileOpening::Ready) return std::nullopt;
  db.Execute("INSERT INTO runs (started_at, boxes, channel_limit, outcome) "
             "VALUES ('2024-05-01T02:14:00.000Z', '[]', 6, 'running')");
  db.Execute("INSERT INTO headers (run_id, received_at, block, channels) "
             "VALUES (1, '2024-05-01T02:14:00.000Z', '', '[]')");
  CSqliteStatement insert = db.Prepare(
      "INSERT INTO records (run_id, header_id, box_time, received_at, line, \"values\") "
      "VALUES (1, 1, ?1, ?2, ?3, ?4)");
  const auto record = MakeRecord(0);
  std::string values = "[";
  for (int c = 0; c < kChannels; ++c) {
    if (c > 0) values += ',';
    AppendFixed(values, record->data.values[c], 4);
  }
  values += ']';
  Spent spent;
  const auto begun = Clock::now();
  const double cpu = ThreadCpuSeconds();
  for (int64_t i = 0; i < count; ++i) {
    insert.Bind(1, std::string_view("2024-05-01T02:14:00"));
    insert.Bind(2, std::string_view("2024-05-01T02:14:00.000Z"));
    insert.Bind(3, std::string_view(record->line).substr(0, record->line.size() - 2));
    insert.Bind(4, values);
    if (!insert.Run()) return std::nullopt;
  }
  spent.Add(begun, cpu);
  return spent;
}

std::optional<Spent> ExportCsv(const std::string& file, uint64_t& bytes) {
  CRecordReader reader;
  std::string error;
  if (!reader.Open(file, error)) return std::nullopt;
  Spent spent;
  const auto begun = Clock::now();
  const double cpu = ThreadCpuSeconds();
  if (!reader.Write({}, RecordFormat::Csv, [&bytes](std::string_view chunk) {
        bytes += chunk.size();
        return true;
      }, error)) {
    return std::nullopt;
  }
  spent.Add(begun, cpu);
  return spent;
}

void Row(const char* name, const std::string& value, const char* target, bool met) {
  std::printf("  %-44s %14s   %-10s %s\n", name, value.c_str(), target,
              target[0] == '\0' ? "" : met ? "met" : "MISSED");
}

bool Speeds(const Options& options) {
  const std::string batchedFile = options.folder + "/record_bench.batched.sqlite";
  const std::string naiveFile = options.folder + "/record_bench.naive.sqlite";
  Remove(batchedFile);
  Remove(naiveFile);
  std::optional<Spent> batched;
  {
    CRecordWriter writer(SettingsFor(batchedFile, UINT64_MAX / 2), {});
    if (writer.Open().opening != FileOpening::Ready) return false;
    batched = WriteBatched(writer, options.records, kRecordBatchEvents, [](int64_t) {});
  }
  const std::optional<Spent> naive = WriteNaive(naiveFile, kNaiveRecords);
  uint64_t bytes = 0;
  const std::optional<Spent> exported = ExportCsv(batchedFile, bytes);
  const auto fileBytes = std::filesystem::file_size(batchedFile);
  Remove(batchedFile);
  Remove(naiveFile);
  if (!batched || !naive || !exported) return false;
  const auto records = static_cast<double>(options.records);
  const double perCpuSecond = records / batched->cpu;
  const double naivePerCpuSecond = static_cast<double>(kNaiveRecords) / naive->cpu;
  const double exportPerCpuSecond = records / exported->cpu;
  std::printf("\njob recording: %d channels, %lld records, batches of %zu, in %s\n", kChannels,
              static_cast<long long>(options.records), kRecordBatchEvents, options.folder.c_str());
  std::printf("  (per CPU second: one core's work; per second: the wall clock, the machine's\n"
              "  other load and the disk's syncs included)\n");
  Row("records written per CPU second (batches)", Fixed(perCpuSecond, 0), ">= 50000",
      perCpuSecond >= kTargetWritesPerSecond);
  Row("  per second", Fixed(records / batched->wall, 0), "", true);
  Row("records written per CPU second (1 a transaction)", Fixed(naivePerCpuSecond, 0), "", true);
  Row("  per second", Fixed(static_cast<double>(kNaiveRecords) / naive->wall, 0), "", true);
  Row("  batches : one per transaction, CPU", Fixed(perCpuSecond / naivePerCpuSecond, 1) + "x",
      "", true);
  Row("  batches : one per transaction, wall clock",
      Fixed((records / batched->wall) / (static_cast<double>(kNaiveRecords) / naive->wall), 1) +
          "x", "", true);
  Row("bytes in the file per record", Fixed(static_cast<double>(fileBytes) / records, 0), "",
      true);
  Row("records exported per CPU second (CSV)", Fixed(exportPerCpuSecond, 0), ">= 200000",
      exportPerCpuSecond >= kTargetExportPerSecond);
  Row("  per second", Fixed(records / exported->wall, 0), "", true);
  Row("  CSV MiB per second", Fixed(static_cast<double>(bytes) / exported->wall / 1048576.0, 1),
      "", true);
  return perCpuSecond >= kTargetWritesPerSecond && exportPerCpuSecond >= kTargetExportPerSecond;
}

bool Retention(const Options& options) {
  const std::string file = options.folder + "/record_bench.retention.sqlite";
  Remove(file);
  const uint64_t limit = static_cast<uint64_t>(options.retentionMiB) * 1024 * 1024;
  const int64_t total = options.retentionRecords > 0
                            ? options.retentionRecords
                            : static_cast<int64_t>(10 * limit / 2100);  // ~2.1 kB a record
  std::printf("\nretention: a run of %lld records of %d channels in batches of %zu into a file "
              "held below %lld MiB\n",
              static_cast<long long>(total), kChannels, kRetentionBatch,
              static_cast<long long>(options.retentionMiB));
  std::printf("  %12s %12s %12s %12s %12s\n", "written", "kept", "file MiB", "WAL MiB", "pages MiB");
  uint64_t largest = 0;
  bool ok = true;
  CRecordWriter writer(SettingsFor(file, limit), {});
  if (writer.Open().opening != FileOpening::Ready) return false;
  const int64_t every = std::max<int64_t>(total / kSamples, 1);
  int64_t next = every;
  const auto mib = [](uint64_t b) { return Fixed(static_cast<double>(b) / 1048576.0, 1); };
  const auto sampleSizes = [&](int64_t written) {
    std::error_code ignored;
    const uint64_t size = std::filesystem::file_size(file, ignored);
    largest = std::max(largest, size);
    if (written < next && written < total) return;
    next += every;
    HubHealth health;
    writer.AddHealth(health);
    std::printf("  %12lld %12llu %12s %12s %12s\n", static_cast<long long>(written),
                static_cast<unsigned long long>(health.recording->records), mib(size).c_str(),
                mib(std::filesystem::file_size(file + "-wal", ignored)).c_str(),
                mib(health.recording->sizeBytes).c_str());
    ok = ok && health.recording->sizeBytes <= limit;
  };
  const std::optional<Spent> spent = WriteBatched(writer, total, kRetentionBatch, sampleSizes);
  if (!spent) return false;
  std::printf("  largest file %s MiB (limit %lld MiB); %s records per CPU second with retention\n",
              mib(largest).c_str(), static_cast<long long>(options.retentionMiB),
              Fixed(static_cast<double>(total) / spent->cpu, 0).c_str());
  Remove(file);
  return ok && largest <= limit;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string_view value(argv[++i]);
    int64_t number = 0;
    const bool isNumber = ParseInt(value, number) == value.size() && number > 0;
    if (arg == "--folder") {
      options.folder = std::string(value);
    } else if (arg == "--records" && isNumber) {
      options.records = number;
    } else if (arg == "--retention" && isNumber) {
      options.retentionMiB = number;
    } else if (arg == "--retention-records" && isNumber) {
      options.retentionRecords = number;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace tessamer

int main(int argc, char** argv) {
  tessamer::Options options;
  if (!tessamer::ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: record_bench [--records N] [--folder DIR] [--retention MIB "
                         "[--retention-records N]]\n");
    return 2;
  }
  const bool speeds = tessamer::Speeds(options);
  const bool retention = options.retentionMiB == 0 || tessamer::Retention(options);
  return speeds && retention ? 0 : 1;
}

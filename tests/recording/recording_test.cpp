// The recording as an output of the combined job: what it keeps and in which form, across runs
// and restarts; what it does when the file cannot be written, is damaged or is not its own.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <fstream>

#include "recording/recording.h"
#include "recording/sqlite_db.h"
#include "testkit/job_events.h"
#include "testkit/recorders.h"
#include "testkit/scratch_folder.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::HasSubstr;
using testkit::MakeHeader;
using testkit::MakeRecord;
using testkit::MakeRun;

const WallClock::time_point kStart = WallClock::from_time_t(1714529640);  // 2024-05-01 02:14 UTC

std::vector<ChannelSource> Channels() {
  return {{"Pressure_0", "psi", 0}, {"Rate_0", "bpm", 0}, {"Density_1", "ppg", 1}};
}

std::bitset<MaxChannels> Missing(size_t channel) {
  std::bitset<MaxChannels> missing;
  missing.set(channel);
  return missing;
}

class RecordingTest : public testing::Test {
 protected:
  RecordingSettings Settings() const {
    RecordingSettings settings;
    settings.file = file;
    settings.batching.retry = 20ms;
    settings.clock = [] { return kStart + 1h; };  // nothing here is old enough to go
    return settings;
  }
  std::shared_ptr<CRecording> Open(RecordingSettings settings) {
    std::string error;
    auto recording = CRecording::Open(std::move(settings),
                                      [this](const RecordingNote& note) { notes.Add(note.line); },
                                      error);
    EXPECT_TRUE(recording) << error;
    return recording;
  }
  // The first column of every row of `sql`, as text ("NULL" for none), on a connection of its
  // own.
  std::vector<std::string> Strings(const std::string& sql) const {
    CSqliteDb db;
    EXPECT_TRUE(db.Open(file, false));
    CSqliteStatement statement = db.Prepare(sql);
    EXPECT_TRUE(statement.Valid()) << db.LastError().text << " in " << sql;
    std::vector<std::string> rows;
    while (statement.Valid() && statement.Next()) {
      rows.emplace_back(statement.IsNull(0) ? "NULL" : std::string(statement.Text(0)));
    }
    return rows;
  }
  std::string String(const std::string& sql) const {
    const auto rows = Strings(sql);
    return rows.empty() ? std::string("(none)") : rows.front();
  }
  void Execute(const std::string& sql) const {
    CSqliteDb db;
    ASSERT_TRUE(db.Open(file, false));
    ASSERT_TRUE(db.Execute(sql)) << db.LastError().text;
  }
  // A run of one header and `count` records from `at` on, a second apart.
  static void Feed(IJobOutput& output, uint64_t run, WallClock::time_point at, int count) {
    output.OnRunStarted(MakeRun(run, at));
    output.OnHeader(MakeHeader(run, at, Channels()));
    for (int i = 0; i < count; ++i) {
      output.OnRecord(MakeRecord(run, at + std::chrono::seconds(i + 1), {1.0 * i, 2.0, 3.0}));
    }
  }

  testkit::ScratchFolder folder{"tessamer-recording"};
  const std::string file = folder.File("job.sqlite");
  testkit::Recorder<std::string> notes;
};

TEST_F(RecordingTest, KeepsRunsHeadersRecordsAndEventsWithSeqNeverGivenTwiceAcrossRestarts) {
  const auto header = MakeHeader(1, kStart + 1s, Channels());
  const auto first = MakeRecord(1, kStart + 2s + 250ms, {1.5, 2.25, 0.0}, Missing(2));
  {
    auto recording = Open(Settings());
    recording->OnRunStarted(MakeRun(1, kStart));
    recording->OnHeader(header);
    recording->OnBoxEvent(BoxEvent{1, kStart + 1s, 0, 0, BoxEventKind::Connected, {}});
    recording->OnRecord(first);
    recording->OnRecord(MakeRecord(1, kStart + 4s, {1.5, 2.25, 0.0}, Missing(2), true));
    recording->OnRecord(MakeRecord(1, kStart + 5s, {1.75, -2.5, 8.5}));
    recording->OnBoxEvent(BoxEvent{1, kStart + 6s, 3, 1, BoxEventKind::Lost, "Connection reset"});
    recording->OnRunEnded(RunEnded{1, kStart + 7s, "stopped", 2, 1});
    Feed(*recording, 2, kStart + 10s, 2);  // and no end: as a crash leaves it
    ASSERT_TRUE(recording->WaitUntilWritten(10s));
    HubHealth health;
    recording->AddHealth(health);
    ASSERT_TRUE(health.recording);
    EXPECT_EQ(health.recording->file, file);
    EXPECT_EQ(health.recording->state, "recording");
    EXPECT_EQ(health.recording->records, 4u);
    EXPECT_EQ(health.recording->oldest, "2024-05-01T02:14:02.250Z");
    EXPECT_EQ(health.recording->newest, "2024-05-01T02:14:12.000Z");
    EXPECT_EQ(health.recording->waiting, 0u);
    EXPECT_GT(health.recording->sizeBytes, 0u);
  }
  Execute("DELETE FROM records WHERE seq = 4");  // the newest record's seq is still spent
  {
    auto recording = Open(Settings());
    Feed(*recording, 1, kStart + 20s, 1);  // the process counts its runs from 1 again
  }

  EXPECT_EQ(String("PRAGMA user_version"), "1");
  EXPECT_EQ(String("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(String("PRAGMA auto_vacuum"), "2");  // incremental
  EXPECT_THAT(Strings("SELECT seq || ' ' || run_id || ' ' || header_id FROM records ORDER BY seq"),
              ElementsAre("1 1 1", "2 1 1", "3 2 2", "5 3 3"));
  EXPECT_THAT(Strings("SELECT printf('%s|%s|%s|%s|%d|%d', run_id, started_at, "
                      "coalesce(ended_at, 'NULL'), outcome, repeats, channel_limit) FROM runs "
                      "ORDER BY run_id"),
              ElementsAre("1|2024-05-01T02:14:00.000Z|2024-05-01T02:14:07.000Z|stopped|1|6",
                          "2|2024-05-01T02:14:10.000Z|2024-05-01T02:14:11.000Z|interrupted|0|6",
                          "3|2024-05-01T02:14:20.000Z|NULL|running|0|6"));
  EXPECT_EQ(String("SELECT boxes FROM runs WHERE run_id = 1"),
            R"(["127.0.0.2:5000","127.0.0.3:5000"])");
  EXPECT_EQ(String("SELECT line FROM records WHERE seq = 1") + "\r\n", first->line);
  EXPECT_THAT(Strings("SELECT box_time || ' ' || received_at || ' ' || \"values\" FROM records "
                      "WHERE run_id = 1 ORDER BY seq"),
              ElementsAre("2024-05-01T02:14:02 2024-05-01T02:14:02.250Z [1.5000,2.2500,null]",
                          "2024-05-01T02:14:05 2024-05-01T02:14:05.000Z [1.7500,-2.5000,8.5000]"));
  EXPECT_EQ(String("SELECT block FROM headers WHERE header_id = 1"), header->block);
  EXPECT_EQ(String("SELECT received_at || ' ' || channels FROM headers WHERE header_id = 1"),
            R"(2024-05-01T02:14:01.000Z [{"name":"Pressure_0","unit":"psi","box":0},)"
            R"({"name":"Rate_0","unit":"bpm","box":0},{"name":"Density_1","unit":"ppg","box":1}])");
  EXPECT_THAT(Strings("SELECT printf('%s|%d|%d|%s|%s|%s', at, run_id, box, address, kind, "
                      "coalesce(detail, 'NULL')) FROM events ORDER BY event_id"),
              ElementsAre("2024-05-01T02:14:01.000Z|1|0|127.0.0.2:5000|connected|NULL",
                          "2024-05-01T02:14:06.000Z|1|3|127.0.0.3:5000|lost|Connection reset"));
  // Without our code: the sqlite3 shell's JSON functions read the values by channel name.
  EXPECT_EQ(String("SELECT json_extract(r.\"values\", '$[' || c.key || ']') FROM records r "
                   "JOIN headers h USING (header_id), json_each(h.channels) c "
                   "WHERE r.seq = 2 AND json_extract(c.value, '$.name') = 'Rate_0'"),
            "-2.5");
}

TEST_F(RecordingTest, RefusesANewerSchemaAndADatabaseThatIsNotARecordingLeavingThemAlone) {
  Execute("PRAGMA user_version = 2");
  std::string error;
  EXPECT_FALSE(CRecording::Open(Settings(), {}, error));
  EXPECT_THAT(error, HasSubstr(file + ": the recording is of schema version 2, newer than this "
                                      "program's 1"));
  EXPECT_EQ(String("PRAGMA user_version"), "2");
  EXPECT_EQ(String("SELECT count(*) FROM sqlite_schema"), "0");

  std::filesystem::remove(file);
  Execute("CREATE TABLE inventory (item TEXT)");
  EXPECT_FALSE(CRecording::Open(Settings(), {}, error));
  EXPECT_THAT(error, HasSubstr("not a recording"));
  EXPECT_EQ(String("SELECT group_concat(name) FROM sqlite_schema"), "inventory");
}

TEST_F(RecordingTest, ADamagedFileIsMovedAsideAndANewOneBegun) {
  const std::string damaged(3000, 'x');
  std::ofstream(file, std::ios::binary) << damaged;
  {
    auto recording = Open(Settings());
    Feed(*recording, 1, kStart, 2);
  }
  const std::string note = testkit::WaitForLineStarting(notes, "recording moved-aside", 0s);
  EXPECT_THAT(note, HasSubstr("file=\"" + file + "\" to=\"" + file + ".corrupt-"));
  EXPECT_THAT(note, HasSubstr("reason=\"file is not a database\""));
  std::vector<std::filesystem::path> aside;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
    if (entry.path().filename().string().rfind("job.sqlite.corrupt-", 0) == 0) {
      aside.push_back(entry.path());
    }
  }
  ASSERT_EQ(aside.size(), 1u);
  std::ifstream kept(aside.front(), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), damaged);
  EXPECT_EQ(String("SELECT count(*) FROM records"), "2");
}

// The process may not write beyond 0 bytes into any file while the limit holds: the disk is full.
class FileSizeLimit {
 public:
  FileSizeLimit() {
    getrlimit(RLIMIT_FSIZE, &previous);
    previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit none = previous;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_FSIZE, &none);
  }
  ~FileSizeLimit() { Lift(); }
  void Lift() {
    if (lifted) return;
    lifted = true;
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
  }

 private:
  rlimit previous{};
  void (*previousHandler)(int) = nullptr;
  bool lifted = false;
};

TEST_F(RecordingTest, AFullDiskKeepsTheNewestRecordsWaitingToTheBoundAndWritesThemWhenThereIsRoom) {
  constexpr int kKept = 5;
  constexpr int kMore = 12;
  RecordingSettings settings = Settings();
  settings.queueBytes =
      kKept * (sizeof(PublishedRecord) + MakeRecord(1, kStart, {200, 2, 3})->line.size());
  auto recording = Open(settings);
  recording->OnRunStarted(MakeRun(1, kStart));
  recording->OnHeader(MakeHeader(1, kStart, Channels()));  // larger than the bound by itself
  ASSERT_TRUE(recording->WaitUntilWritten(10s));
  recording->OnRecord(MakeRecord(1, kStart + 1s, {0, 2, 3}));
  ASSERT_TRUE(recording->WaitUntilWritten(10s));

  FileSizeLimit full;
  recording->OnRecord(MakeRecord(1, kStart + 100s, {100, 2, 3}));
  ASSERT_NE(testkit::WaitForLineStarting(notes, "recording failed reason=\""), "");
  for (int i = 0; i < kMore; ++i) {  // held in memory, the oldest of them dropped
    recording->OnRecord(MakeRecord(1, kStart + std::chrono::seconds(200 + i), {200.0 + i, 2, 3}));
  }
  HubHealth health;
  recording->AddHealth(health);
  EXPECT_EQ(health.recording->state, "failed");
  EXPECT_NE(health.recording->lastError, "");
  EXPECT_EQ(health.recording->waiting, 1u + kKept);  // the batch that failed, and the queue
  EXPECT_EQ(health.recording->dropped, static_cast<uint64_t>(kMore - kKept));
  ASSERT_NE(testkit::WaitForLineStarting(notes, "recording dropped records="), "");

  full.Lift();
  ASSERT_NE(testkit::WaitForLineStarting(notes, "recording resumed"), "");
  ASSERT_TRUE(recording->WaitUntilWritten(10s));
  recording.reset();
  EXPECT_THAT(Strings("SELECT json_extract(\"values\", '$[0]') FROM records ORDER BY seq"),
              ElementsAre("0.0", "100.0", "207.0", "208.0", "209.0", "210.0", "211.0"));
  EXPECT_EQ(String("SELECT group_concat(seq) FROM records"), "1,2,3,4,5,6,7");
  uint64_t told = 0;
  for (const std::string& line : notes.All()) {
    if (line.rfind("recording dropped records=", 0) == 0) told += std::stoull(line.substr(26));
  }
  EXPECT_EQ(told, static_cast<uint64_t>(kMore - kKept)) << testing::PrintToString(notes.All());
}

TEST_F(RecordingTest, AFileThatCannotBeOpenedIsTriedAgainAndWhatWaitedIsWritten) {
  std::filesystem::create_directory(file);  // not a file any program could write to
  auto recording = Open(Settings());
  EXPECT_NE(testkit::WaitForLineStarting(notes, "recording failed reason=\"" + file + ": ", 0s),
            "");
  HubHealth health;
  recording->AddHealth(health);
  EXPECT_EQ(health.recording->state, "failed");
  Feed(*recording, 1, kStart, 3);
  recording->OnRunEnded(RunEnded{1, kStart + 5s, "stopped", 3, 0});
  std::filesystem::remove(file);
  ASSERT_NE(testkit::WaitForLineStarting(notes, "recording resumed"), "");
  recording.reset();
  EXPECT_EQ(String("SELECT count(*) || ' ' || max(seq) FROM records"), "3 3");
  EXPECT_EQ(String("SELECT outcome FROM runs"), "stopped");
}

}  // namespace
}  // namespace tessamer

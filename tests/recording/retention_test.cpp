// Retention: records go by age (but not those a delivery cursor has not passed) and by size
// (then whatever the cursors say, and the seq ranges past the lowest cursor are told); what the
// records leave behind goes with them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>

#include "recording/recording.h"
#include "recording/sqlite_db.h"
#include "testkit/job_events.h"
#include "testkit/scratch_folder.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::MakeHeader;
using testkit::MakeRecord;
using testkit::MakeRun;

const WallClock::time_point kNow = WallClock::from_time_t(1717977600);  // 2024-06-10 00:00 UTC
constexpr std::chrono::days kDay{1};

class RetentionTest : public testing::Test {
 protected:
  RecordingSettings Settings() {
    RecordingSettings settings;
    settings.file = file;
    settings.clock = [] { return kNow; };
    settings.ageRetentionPeriod = 0ms;  // after every batch
    return settings;
  }
  std::shared_ptr<CRecording> Open(RecordingSettings settings) {
    std::string error;
    auto recording = CRecording::Open(std::move(settings), {}, error);
    EXPECT_TRUE(recording) << error;
    return recording;
  }
  std::string Query(const std::string& sql) const {
    CSqliteDb db;
    EXPECT_TRUE(db.Open(file, false));
    const auto text = db.QueryText(sql);
    return text.value_or("NULL");
  }
  void Execute(const std::string& sql) const {
    CSqliteDb db;
    ASSERT_TRUE(db.Open(file, false));
    ASSERT_TRUE(db.Execute(sql)) << db.LastError().text;
  }
  // `count` records of `channels` values each, a second apart from `at` on.
  static void Records(IJobOutput& output, uint64_t run, WallClock::time_point at, int count,
                      int channels = 3) {
    for (int i = 0; i < count; ++i) {
      output.OnRecord(MakeRecord(run, at + std::chrono::seconds(i),
                                 std::vector<double>(static_cast<size_t>(channels), 1000.0 + i)));
    }
  }
  static std::vector<ChannelSource> Channels(int count) {
    std::vector<ChannelSource> channels;
    for (int i = 0; i < count; ++i) channels.push_back({"C" + std::to_string(i) + "_0", "psi", 0});
    return channels;
  }

  testkit::ScratchFolder folder{"tessamer-retention"};
  const std::string file = folder.File("job.sqlite");
};

TEST_F(RetentionTest, OldRecordsGoByAgeButNotPastTheLowestDeliveryCursor) {
  auto recording = Open(Settings());
  Execute("INSERT INTO cursors VALUES ('uplink', 3, '2024-06-01T00:00:00.000Z'), "
          "('archive', 7, '2024-06-01T00:00:00.000Z')");
  const auto old = kNow - 40 * kDay;
  recording->OnRunStarted(MakeRun(1, old));
  recording->OnHeader(MakeHeader(1, old, Channels(3)));
  recording->OnBoxEvent(BoxEvent{1, old + 1s, 0, 0, BoxEventKind::Connected, {}});
  Records(*recording, 1, old + 2s, 6);  // seq 1 to 6
  recording->OnRunEnded(RunEnded{1, old + 10s, "stopped", 6, 0});
  recording->OnRunStarted(MakeRun(2, kNow - kDay));
  recording->OnHeader(MakeHeader(2, kNow - kDay, Channels(3)));
  Records(*recording, 2, kNow - kDay + 1s, 2);  // seq 7, 8
  ASSERT_TRUE(recording->WaitUntilWritten(10s));
  EXPECT_EQ(Query("SELECT group_concat(seq) FROM records"), "4,5,6,7,8");
  EXPECT_EQ(Query("SELECT count(*) FROM runs"), "2");

  Execute("UPDATE cursors SET seq = 8 WHERE name = 'uplink'");
  Records(*recording, 2, kNow - kDay + 10s, 1);  // seq 9, and the next pass
  ASSERT_TRUE(recording->WaitUntilWritten(10s));
  EXPECT_EQ(Query("SELECT group_concat(seq) FROM records"), "7,8,9");
  EXPECT_EQ(Query("SELECT group_concat(run_id) FROM runs"), "2");
  EXPECT_EQ(Query("SELECT group_concat(run_id) FROM headers"), "2");
  EXPECT_EQ(Query("SELECT count(*) FROM events"), "0");
  HubHealth health;
  recording->AddHealth(health);
  EXPECT_EQ(health.recording->records, 3u);
  EXPECT_EQ(health.recording->oldest, "2024-06-09T00:00:01.000Z");
}

TEST_F(RetentionTest, TheFileIsHeldBelowItsLimitAndUndeliveredRecordsThatMustGoAreTold) {
  constexpr uint64_t kLimit = 512 * 1024;
  constexpr int kChannels = MaxChannels;
  std::mutex toldLock;
  std::vector<std::pair<uint64_t, uint64_t>> told;
  RecordingSettings settings = Settings();
  settings.maxBytes = kLimit;
  settings.undeliveredDeleted = [&](uint64_t first, uint64_t last) {
    std::lock_guard guard(toldLock);
    told.emplace_back(first, last);
  };
  auto recording = Open(settings);
  Execute("INSERT INTO cursors VALUES ('uplink', 50, '2024-06-01T00:00:00.000Z')");
  recording->OnRunStarted(MakeRun(1, kNow));
  recording->OnHeader(MakeHeader(1, kNow, Channels(kChannels)));
  uint64_t largest = 0;
  for (int chunk = 0; chunk < 20; ++chunk) {  // about 4 MB of records
    Records(*recording, 1, kNow + std::chrono::seconds(100 * chunk), 100, kChannels);
    ASSERT_TRUE(recording->WaitUntilWritten(10s));
    largest = std::max<uint64_t>(largest,
                                 std::stoull(Query("SELECT page_count * page_size FROM "
                                                   "pragma_page_count, pragma_page_size")));
  }
  EXPECT_LE(largest, kLimit);
  EXPECT_EQ(Query("SELECT max(seq) FROM records"), "2000");
  const uint64_t oldest = std::stoull(Query("SELECT min(seq) FROM records"));
  EXPECT_GT(oldest, 1000u);
  HubHealth health;
  recording->AddHealth(health);
  EXPECT_EQ(health.recording->records, 2001 - oldest);
  EXPECT_LE(health.recording->sizeBytes, kLimit);
  recording.reset();
  EXPECT_LE(std::filesystem::file_size(file), kLimit);

  std::lock_guard guard(toldLock);
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(told.front().first, 51u);  // what the cursor had passed went unsaid
  for (size_t i = 1; i < told.size(); ++i) EXPECT_EQ(told[i].first, told[i - 1].second + 1);
  EXPECT_EQ(told.back().second, oldest - 1);
}

}  // namespace
}  // namespace tessamer

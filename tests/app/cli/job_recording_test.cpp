// The programs' recording: `tessamer export` and its exit statuses, the recording's notes among
// the headless lines, and the window's first trend read back.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/cli/job_recording.h"
#include "app/cli/mqtt_delivery.h"
#include "recording/record_reader.h"
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
using testing::StartsWith;

class JobRecordingTest : public testing::Test {
 protected:
  void SetUp() override {
    CommandLine options;
    options.recordFile = file;
    std::shared_ptr<IJobOutput> recording;
    std::string error;
    ASSERT_TRUE(OpenJobRecording(RecordingChoiceOf(options), {}, recording, error)) << error;
    const WallClock::time_point now = WallClock::now();
    for (uint64_t run = 1; run <= 2; ++run) {
      const auto start = now - 5min + std::chrono::minutes(2 * run);
      recording->OnRunStarted(testkit::MakeRun(run, start));
      recording->OnHeader(testkit::MakeHeader(run, start, {{"P_0", "psi", 0}, {"Q_1", "", 1}}));
      for (int i = 0; i < 3; ++i) {
        recording->OnRecord(testkit::MakeRecord(run, start + std::chrono::milliseconds(600 * i),
                                                {10.0 * run + i, -1.0 * i}));
      }
    }
  }
  int Export(std::vector<std::string> args) {
    out.clear();
    err.clear();
    return RunExport(args,
                     [this](std::string_view chunk) {
                       out += chunk;
                       return true;
                     },
                     [this](const std::string& line) { err.push_back(line); });
  }
  std::string Read(const RecordQuery& query, RecordFormat format) {
    CRecordReader reader;
    std::string error;
    std::string text;
    EXPECT_TRUE(reader.Open(file, error));
    reader.Write(query, format, [&text](std::string_view chunk) {
      text += chunk;
      return true;
    }, error);
    return text;
  }

  testkit::ScratchFolder folder{"tessamer-export"};
  const std::string file = folder.File("job.sqlite");
  std::string out;
  std::vector<std::string> err;
};

TEST_F(JobRecordingTest, ExportWritesWhatTheOptionsSelectAndStopsWithOneLineOnBadInput) {
  EXPECT_EQ(Export({file}), 0);
  EXPECT_EQ(out, Read({}, RecordFormat::Csv));
  EXPECT_EQ(Export({file, "--format", "box", "--run", "2"}), 0);
  EXPECT_EQ(out, Read({{}, {}, 2, {}, 0}, RecordFormat::Box));
  EXPECT_THAT(out, testing::StartsWith("#  Quintrel Job Data\r\n"));
  EXPECT_EQ(
      Export({"--format=jsonl", file, "--from", "2000-01-01T00:00+01:00", "--to", "2100-01-01"}),
      0);
  EXPECT_EQ(out, Read({}, RecordFormat::Jsonl));
  EXPECT_TRUE(err.empty());

  EXPECT_EQ(Export({file, "--from", "02:14"}), 2);
  EXPECT_THAT(err, ElementsAre("tessamer export: --from takes an ISO 8601 time: 02:14"));
  EXPECT_EQ(Export({file, "--format", "xml"}), 2);
  EXPECT_THAT(err, ElementsAre(HasSubstr("--format takes box, csv or jsonl")));
  EXPECT_EQ(Export({folder.File("missing.sqlite")}), 2);
  EXPECT_THAT(err, ElementsAre(HasSubstr("missing.sqlite: no such recording")));
  EXPECT_EQ(Export({}), 2);
  EXPECT_EQ(err.size(), 1u);
  {
    CSqliteDb db;
    ASSERT_TRUE(db.Open(file, false));
    ASSERT_TRUE(db.Execute("PRAGMA user_version = 7"));
  }
  EXPECT_EQ(Export({file}), 2);
  EXPECT_THAT(err, ElementsAre(HasSubstr("schema version 7, newer than this program's")));
  EXPECT_EQ(out, "");
}

TEST_F(JobRecordingTest, TheWindowsTrendBeginsWithTheRecordingsLastMinutesAPointASecond) {
  const RecentValues recent = ReadRecentValues(file, WallClock::now() - 10min, 1s);
  ASSERT_EQ(recent.channels.size(), 2u);
  EXPECT_EQ(recent.channels[1].name, "Q_1");
  // Three records 600 ms apart per run: the second is too close to the first, the third is not.
  ASSERT_EQ(recent.values.at("P_0").size(), 4u);
  EXPECT_DOUBLE_EQ(recent.values.at("P_0")[0].second, 10.0);
  EXPECT_DOUBLE_EQ(recent.values.at("P_0")[1].second, 12.0);
  EXPECT_DOUBLE_EQ(recent.values.at("P_0")[3].second, 22.0);
  EXPECT_TRUE(ReadRecentValues(file, WallClock::now(), 1s).values.empty());
  EXPECT_TRUE(ReadRecentValues(folder.File("none.sqlite"), WallClock::now() - 10min, 1s)
                  .channels.empty());
}

TEST(RecordingLinesTest, TheRecordingsNotesWaitForTheListeningLineThenGoOutAsTheyCome) {
  testkit::Recorder<std::string> printed;
  CRecordingLines lines(printed.Adder());
  const RecordingReport report = lines.Report();
  const auto runner = lines.RunnerWriter();
  report(RecordingNote{RecordingNoteKind::MovedAside, "recording moved-aside file=\"x\""});
  EXPECT_TRUE(printed.All().empty());
  runner("listening data=5000 utility=5009");
  report(RecordingNote{RecordingNoteKind::Failed, "recording failed reason=\"full\""});
  runner("stopped");
  EXPECT_THAT(printed.All(),
              ElementsAre("listening data=5000 utility=5009", "recording moved-aside file=\"x\"",
                          "recording failed reason=\"full\"", "stopped"));

  testkit::Recorder<std::string> unheard;  // a hub that never listened: the notes come at the end
  {
    CRecordingLines early(unheard.Adder());
    early.Report()(RecordingNote{RecordingNoteKind::Failed, "recording failed reason=\"x\""});
    EXPECT_TRUE(unheard.All().empty());
  }
  EXPECT_THAT(unheard.All(), ElementsAre("recording failed reason=\"x\""));
}

#if defined(TESSAMER_RECORDING_OUTBOX)
// The delivery's outbox is the recording: records its size limit forces out before the broker had
// them are told as "mqtt dropped" lines, from the first the delivery had not sent.
TEST(RecordingOutboxTest, RecordsTheSizeLimitTakesBeforeDeliveryAreToldAsDropped) {
  testkit::ScratchFolder folder{"tessamer-outbox"};
  CommandLine options;
  options.recordFile = folder.File("job.sqlite");
  options.mqtt.url = "mqtt://127.0.0.1:1";  // no uplink is started here
  RecordingChoice choice = RecordingChoiceOf(options);
  choice.maxMiB = 1;
  testkit::Recorder<std::string> dropped;
  const auto outbox = RecordingOutboxFor(options.mqtt, choice, dropped.Adder());
  ASSERT_NE(outbox, nullptr);
  std::shared_ptr<IJobOutput> recording;
  std::string error;
  ASSERT_TRUE(OpenJobRecording(choice, {}, recording, error)) << error;
  ASSERT_TRUE(outbox->WriteCursor("uplink", 10, error)) << error;  // the broker has 1 to 10

  const WallClock::time_point start = WallClock::now() - 1h;
  recording->OnRunStarted(testkit::MakeRun(1, start));
  std::vector<ChannelSource> channels;
  for (int i = 0; i < MaxChannels; ++i) channels.push_back({"C" + std::to_string(i), "", 0});
  recording->OnHeader(testkit::MakeHeader(1, start, channels));
  for (int i = 0; i < 4000; ++i) {  // several times the limit
    recording->OnRecord(testkit::MakeRecord(
        1, start + std::chrono::milliseconds(100 * i),
        std::vector<double>(MaxChannels, 1000.0 + i)));
  }
  ASSERT_TRUE(dropped.WaitFor([](const auto& lines) { return !lines.empty(); }));
  EXPECT_THAT(dropped.All().front(), StartsWith("mqtt dropped seq=11-"));
  EXPECT_THAT(dropped.All().front(), HasSubstr(" reason=retention"));
}
#endif

}  // namespace
}  // namespace tessamer

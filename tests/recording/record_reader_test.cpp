// Reading a recording back: the three formats over a recording with two headers, the queries
// (time range, run, after a seq with a limit), chunks in constant memory, and GET /records.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "recording/record_reader.h"
#include "recording/recording.h"
#include "recording/records_endpoint.h"
#include "testkit/job_events.h"
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

class RecordReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    RecordingSettings settings;
    settings.file = file;
    settings.clock = [] { return kStart; };
    std::string error;
    auto recording = CRecording::Open(settings, {}, error);
    ASSERT_TRUE(recording) << error;
    std::bitset<MaxChannels> missing;
    missing.set(1);
    recording->OnRunStarted(MakeRun(1, kStart));
    recording->OnHeader(first);
    recording->OnRecord(lines.emplace_back(MakeRecord(1, kStart + 1s, {1.5, 9.0}, missing)));
    recording->OnRecord(lines.emplace_back(MakeRecord(1, kStart + 2s, {2.0, 3.0})));
    recording->OnRunEnded(RunEnded{1, kStart + 3s, "stopped", 2, 0});
    recording->OnRunStarted(MakeRun(2, kStart + 10s));
    recording->OnHeader(second);
    recording->OnRecord(lines.emplace_back(MakeRecord(2, kStart + 11s, {4.0, -5.25, 6.0})));
    recording->OnRecord(lines.emplace_back(MakeRecord(2, kStart + 12s, {7.0, 8.0, 9.0})));
  }
  std::string Written(const RecordQuery& query, RecordFormat format) {
    CRecordReader reader;
    std::string error;
    EXPECT_TRUE(reader.Open(file, error)) << error;
    std::string text;
    EXPECT_TRUE(reader.Write(query, format, [&text](std::string_view chunk) {
      text += chunk;
      return true;
    }, error)) << error;
    return text;
  }
  std::vector<int64_t> Seqs(const RecordQuery& query) {
    CRecordReader reader;
    std::string error;
    EXPECT_TRUE(reader.Open(file, error)) << error;
    std::vector<int64_t> seqs;
    EXPECT_TRUE(reader.Read(query, [&seqs](const RecordRow& row, const RecordHeader&) {
      seqs.push_back(row.seq);
      return true;
    }, error));
    return seqs;
  }
  static std::string Body(const RecordsAnswer& answer) {
    std::string body;
    answer.produce([&body](std::string_view chunk) {
      body += chunk;
      return true;
    });
    return body;
  }

  testkit::ScratchFolder folder{"tessamer-reader"};
  const std::string file = folder.File("job.sqlite");
  const std::shared_ptr<const PublishedHeader> first =
      MakeHeader(1, kStart, {{"Pressure_0", "psi", 0}, {"Rate_0", "", 0}});
  const std::shared_ptr<const PublishedHeader> second =
      MakeHeader(2, kStart + 10s,
                 {{"Pressure_0", "psi", 0},
                  {"Temp, \"top\"_1", "\xC2\xB0""C", 1},
                  {"Rate_1", "bpm", 1}});
  std::vector<std::shared_ptr<const PublishedRecord>> lines;
};

TEST_F(RecordReaderTest, EachFormatWritesEveryRecordAndEachHeaderWhereItBegins) {
  EXPECT_EQ(Written({}, RecordFormat::Box),
            first->block + lines[0]->line + lines[1]->line + second->block + lines[2]->line +
                lines[3]->line);
  EXPECT_EQ(Written({}, RecordFormat::Csv),
            "seq,box_time,received_at,Pressure_0 (psi),Rate_0\r\n"
            "1,2024-05-01T02:14:01,2024-05-01T02:14:01.000Z,1.5000,\r\n"
            "2,2024-05-01T02:14:02,2024-05-01T02:14:02.000Z,2.0000,3.0000\r\n"
            "seq,box_time,received_at,Pressure_0 (psi),\"Temp, \"\"top\"\"_1 (\xC2\xB0""C)\","
            "Rate_1 (bpm)\r\n"
            "3,2024-05-01T02:14:11,2024-05-01T02:14:11.000Z,4.0000,-5.2500,6.0000\r\n"
            "4,2024-05-01T02:14:12,2024-05-01T02:14:12.000Z,7.0000,8.0000,9.0000\r\n");
  EXPECT_EQ(Written({}, RecordFormat::Jsonl),
            R"({"seq":1,"box_time":"2024-05-01T02:14:01","received_at":"2024-05-01T02:14:01.000Z",)"
            R"("values":{"Pressure_0":1.5000,"Rate_0":null}})" "\n"
            R"({"seq":2,"box_time":"2024-05-01T02:14:02","received_at":"2024-05-01T02:14:02.000Z",)"
            R"("values":{"Pressure_0":2.0000,"Rate_0":3.0000}})" "\n"
            R"({"seq":3,"box_time":"2024-05-01T02:14:11","received_at":"2024-05-01T02:14:11.000Z",)"
            R"("values":{"Pressure_0":4.0000,"Temp, \"top\"_1":-5.2500,"Rate_1":6.0000}})" "\n"
            R"({"seq":4,"box_time":"2024-05-01T02:14:12","received_at":"2024-05-01T02:14:12.000Z",)"
            R"("values":{"Pressure_0":7.0000,"Temp, \"top\"_1":8.0000,"Rate_1":9.0000}})" "\n");
}

TEST_F(RecordReaderTest, QueriesSelectByTimeRunAndSeqAndAHeaderComesWithItsFirstRecord) {
  EXPECT_THAT(Seqs({kStart + 2s, kStart + 12s, {}, {}, 0}), ElementsAre(2, 3));
  EXPECT_THAT(Seqs({{}, {}, 2, {}, 0}), ElementsAre(3, 4));
  EXPECT_THAT(Seqs({kStart, {}, 1, {}, 0}), ElementsAre(1, 2));
  EXPECT_THAT(Seqs({{}, {}, {}, 1, 2}), ElementsAre(2, 3));  // delivery: after seq 1, two
  EXPECT_EQ(Written({kStart + 11s, {}, {}, {}, 0}, RecordFormat::Box),
            second->block + lines[2]->line + lines[3]->line);
}

TEST_F(RecordReaderTest, ABigExportGoesOutInBoundedChunksAndStopsWhenTheReceiverHasGone) {
  {
    RecordingSettings settings;
    settings.file = file;
    settings.clock = [] { return kStart; };
    std::string error;
    auto recording = CRecording::Open(settings, {}, error);
    recording->OnRunStarted(MakeRun(1, kStart + 20s));
    recording->OnHeader(
        MakeHeader(1, kStart + 20s, std::vector<ChannelSource>(96, {"P_0", "psi", 0})));
    for (int i = 0; i < 2000; ++i) {
      recording->OnRecord(MakeRecord(1, kStart + 21s, std::vector<double>(96, 1000.0 + i)));
    }
  }
  CRecordReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(file, error));
  std::vector<size_t> chunks;
  ASSERT_TRUE(reader.Write({}, RecordFormat::Csv, [&chunks](std::string_view chunk) {
    chunks.push_back(chunk.size());
    return true;
  }, error));
  ASSERT_GT(chunks.size(), 10u);
  for (const size_t size : chunks) EXPECT_LT(size, kChunkBytes + 4096);
  chunks.clear();
  ASSERT_TRUE(reader.Write({}, RecordFormat::Csv, [&chunks](std::string_view chunk) {
    chunks.push_back(chunk.size());
    return chunks.size() < 2;
  }, error));
  EXPECT_EQ(chunks.size(), 2u);
}

TEST_F(RecordReaderTest, RecordsEndpointAnswersFromTheQueryStringAndRejectsBadParameters) {
  const RecordsAnswer csv = AnswerRecords(file, "from=2024-05-01T04%3A14%3A02+02:00&limit=2");
  EXPECT_EQ(csv.status, 200);
  EXPECT_EQ(csv.contentType, "text/csv; charset=utf-8");
  EXPECT_EQ(Body(csv), Written({kStart + 2s, {}, {}, {}, 2}, RecordFormat::Csv));
  const RecordsAnswer jsonl = AnswerRecords(file, "format=jsonl&to=2024-05-01T02:14:02Z");
  EXPECT_EQ(jsonl.status, 200);
  EXPECT_EQ(jsonl.contentType, "application/x-ndjson");
  EXPECT_EQ(Body(jsonl), Written({{}, kStart + 2s, {}, {}, 0}, RecordFormat::Jsonl));

  for (const char* bad : {"from=yesterday", "to=2024-02-30", "limit=0", "limit=-3",
                          "format=box", "format=xml", "run=1"}) {
    const RecordsAnswer answer = AnswerRecords(file, bad);
    EXPECT_EQ(answer.status, 400) << bad;
    EXPECT_EQ(answer.contentType, "text/plain; charset=utf-8");
    EXPECT_THAT(Body(answer), testing::EndsWith("\n")) << bad;
  }
  EXPECT_THAT(Body(AnswerRecords(file, "limit=x")), HasSubstr("limit takes 1 to"));
  EXPECT_EQ(AnswerRecords(folder.File("none.sqlite"), "").status, 404);
  EXPECT_EQ(AnswerRecords("", "").status, 404);
}

}  // namespace
}  // namespace tessamer

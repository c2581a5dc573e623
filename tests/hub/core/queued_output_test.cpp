// An output behind its own queue: the run never waits for it, a full queue costs the oldest
// records only, and what is queued is handed on in order, also at the end. A batched output is
// flushed by count and when the queue runs dry; a failed batch holds everything behind it until
// a retry succeeds.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hub/core/queued_output.h"
#include "testkit/recording_output.h"

namespace tessamer {
namespace {

using testkit::RecordingOutput;

std::shared_ptr<const PublishedRecord> Record(int n) {
  auto record = std::make_shared<PublishedRecord>();
  record->line = std::to_string(n);
  return record;
}

template <typename Event>
Event OfRun(uint64_t run) {
  Event event;
  event.run = run;
  return event;
}

std::vector<std::string> LinesOf(const RecordingOutput& output) {
  std::vector<std::string> lines;
  for (const auto& record : output.EventsOf<std::shared_ptr<const PublishedRecord>>()) {
    lines.push_back(record->line);
  }
  return lines;
}

TEST(QueuedOutputTest, AStuckOutputCostsItsOldestRecordsOnlyAndGetsTheRestInOrder) {
  auto inner = std::make_shared<RecordingOutput>();
  inner->SetGate(false);  // the output's disk has stopped
  const size_t oneRecord = sizeof(PublishedRecord) + 1;
  {
    CQueuedOutput queued(inner, 3 * oneRecord);
    queued.OnRunStarted(OfRun<RunStarted>(7));
    for (int n = 0; n < 6; ++n) queued.OnRecord(Record(n));  // none of these waits
    queued.OnBoxEvent(OfRun<BoxEvent>(7));
    queued.OnRecord(Record(6));
    queued.OnRunEnded(OfRun<RunEnded>(7));
    // The worker holds the run's start; of the records the three newest are kept.
    EXPECT_EQ(queued.Dropped(), 4u);
    inner->SetGate(true);
    EXPECT_TRUE(queued.WaitUntilIdle(std::chrono::seconds(10)));
    EXPECT_EQ(queued.Waiting(), 0u);
  }
  EXPECT_EQ(LinesOf(*inner), (std::vector<std::string>{"4", "5", "6"}));
  const auto events = inner->events.All();
  ASSERT_EQ(events.size(), 6u);
  EXPECT_TRUE(std::holds_alternative<RunStarted>(events.front()));
  EXPECT_TRUE(std::holds_alternative<BoxEvent>(events[3]));
  EXPECT_TRUE(std::holds_alternative<RunEnded>(events.back()));
}

TEST(QueuedOutputTest, WhatIsQueuedAtTheEndIsHandedOnBeforeTheOutputGoes) {
  auto inner = std::make_shared<RecordingOutput>();
  {
    CQueuedOutput queued(inner);
    for (int n = 0; n < 100; ++n) queued.OnRecord(Record(n));
    queued.OnRunEnded(OfRun<RunEnded>(1));
  }
  EXPECT_EQ(LinesOf(*inner).size(), 100u);
  EXPECT_TRUE(std::holds_alternative<RunEnded>(inner->events.All().back()));
}

TEST(QueuedOutputTest, BatchesEndAtTheirSizeAndWhenTheQueueRunsDry) {
  auto inner = std::make_shared<RecordingOutput>();
  inner->SetGate(false);  // everything below is queued before the first event is handed on
  {
    CQueuedOutput queued(inner, BatchSettings{std::chrono::hours(1), 4, std::chrono::hours(1)});
    for (int n = 0; n < 10; ++n) queued.OnRecord(Record(n));
    inner->SetGate(true);
    EXPECT_TRUE(queued.WaitUntilIdle(std::chrono::seconds(10)));
  }
  EXPECT_EQ(inner->Batches(), (std::vector<size_t>{4, 4, 2}));
}

TEST(QueuedOutputTest, AFailedBatchHoldsTheQueueUntilARetrySucceedsAndDropsAreTold) {
  auto inner = std::make_shared<RecordingOutput>();
  inner->SetFlushing(false);  // the disk is full
  const size_t oneRecord = sizeof(PublishedRecord) + 1;
  {
    CQueuedOutput queued(inner, BatchSettings{std::chrono::milliseconds(100), 4096,
                                              std::chrono::milliseconds(20)},
                         3 * oneRecord);
    queued.OnRecord(Record(0));
    ASSERT_TRUE(inner->WaitForFailedFlushes(1));
    for (int n = 1; n < 6; ++n) queued.OnRecord(Record(n));
    ASSERT_TRUE(inner->WaitForFailedFlushes(3));  // retried, and nothing handed on meanwhile
    EXPECT_EQ(LinesOf(*inner), (std::vector<std::string>{"0"}));
    EXPECT_EQ(queued.WaitingRecords(), 3u);
    EXPECT_EQ(queued.Dropped(), 2u);
    inner->SetFlushing(true);
    EXPECT_TRUE(queued.WaitUntilIdle(std::chrono::seconds(10)));
  }
  EXPECT_EQ(LinesOf(*inner), (std::vector<std::string>{"0", "3", "4", "5"}));
  EXPECT_EQ(inner->DroppedTold(), 2u);
}

TEST(QueuedOutputTest, AnOutputThatStillFailsAtTheEndHasWhatIsLeftCountedAsDropped) {
  auto inner = std::make_shared<RecordingOutput>();
  inner->SetFlushing(false);
  auto queued = std::make_unique<CQueuedOutput>(
      inner, BatchSettings{std::chrono::milliseconds(100), 4096, std::chrono::hours(1)});
  queued->OnRecord(Record(0));
  ASSERT_TRUE(inner->WaitForFailedFlushes(1));
  queued->OnRecord(Record(1));
  queued->OnRecord(Record(2));
  queued.reset();  // one more try, then what is queued is given up
  EXPECT_EQ(LinesOf(*inner), (std::vector<std::string>{"0"}));
  EXPECT_EQ(inner->DroppedTold(), 2u);
}

}  // namespace
}  // namespace tessamer

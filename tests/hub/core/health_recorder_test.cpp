// The health recorder on a clock of the test's own: a box's states through its life, the silence
// and its end, records per second and ages, and the run's figures.

#include <gtest/gtest.h>

#include <atomic>

#include "hub/core/health_recorder.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;

class HealthRecorderTest : public ::testing::Test {
 protected:
  HealthRecorderTest() {
    recorder.BeginRun({BoxIdentity{3, "127.0.0.2", 5000}, BoxIdentity{5, "127.0.0.3", 5001}});
  }
  static HealthSettings Settings(std::atomic<int64_t>& ms) {
    HealthSettings settings;
    settings.silentAfter = 10s;
    settings.clock = [&ms] { return WallClock::time_point(std::chrono::milliseconds(ms.load())); };
    return settings;
  }
  void Advance(std::chrono::milliseconds by) { nowMs += by.count(); }
  BoxHealth Box(size_t agent) const { return recorder.Snapshot().boxes.at(agent); }

  std::atomic<int64_t> nowMs{1'700'000'000'000};
  CHealthRecorder recorder{Settings(nowMs)};
};

TEST_F(HealthRecorderTest, ABoxGoesThroughEveryStateOfItsLife) {
  const WallClock::time_point begun = recorder.Now();
  EXPECT_EQ(Box(0).state, BoxState::Connecting);
  EXPECT_EQ(Box(0).row, 3);
  EXPECT_EQ(Box(1).address, "127.0.0.3");
  EXPECT_EQ(Box(1).port, 5001);
  EXPECT_FALSE(recorder.UntilSilence().has_value());

  Advance(1s);
  recorder.BoxReport(0, Connected);
  recorder.BoxReport(1, ConnectFailed);
  EXPECT_EQ(Box(0).state, BoxState::Connected);
  EXPECT_EQ(Box(0).stateSince, begun + 1s);
  EXPECT_EQ(Box(0).connections, 1);
  EXPECT_EQ(recorder.UntilSilence(), std::chrono::milliseconds(10s));

  // Silent once the silence time has passed without a record; told once.
  recorder.BoxRecord(0);
  Advance(9999ms);
  EXPECT_TRUE(recorder.CheckSilence().empty());
  EXPECT_EQ(recorder.UntilSilence(), 1ms);
  Advance(2001ms);
  const std::vector<SilenceChange> fallen = recorder.CheckSilence();
  ASSERT_EQ(fallen.size(), 1u);
  EXPECT_EQ(fallen[0].row, 3);
  EXPECT_EQ(fallen[0].seconds, 12);
  EXPECT_TRUE(recorder.CheckSilence().empty());
  EXPECT_EQ(Box(0).state, BoxState::Silent);
  EXPECT_EQ(Box(0).stateSince, begun + 11s);
  EXPECT_EQ(Box(0).newestRecordAge, 12s);
  EXPECT_FALSE(recorder.UntilSilence().has_value());

  // The next record ends the silence; a second record does not say so again.
  EXPECT_TRUE(recorder.BoxRecord(0));
  EXPECT_FALSE(recorder.BoxRecord(0));
  EXPECT_EQ(Box(0).state, BoxState::Connected);
  EXPECT_EQ(Box(0).connections, 1);

  // Lost: the driver's attempt begins a reconnection, the report makes it lost, the error stays.
  recorder.BoxError(0, "The device has closed the connection");
  recorder.BoxReconnecting(0);
  EXPECT_EQ(Box(0).state, BoxState::Connecting);
  recorder.BoxError(0, "Connection refused");
  recorder.BoxReport(0, ConnectionLost);
  recorder.BoxReport(0, ConnectionLost);
  EXPECT_EQ(Box(0).state, BoxState::Lost);
  EXPECT_EQ(Box(0).reconnections, 1);
  EXPECT_EQ(Box(0).lastError, "Connection refused");

  // Back, and a reconnection that the driver made by itself.
  recorder.BoxReport(0, Connected);
  recorder.BoxReconnecting(0);
  recorder.BoxReconnected(0);
  EXPECT_EQ(Box(0).connections, 3);
  EXPECT_EQ(Box(0).reconnections, 2);
  EXPECT_EQ(Box(0).records, 3u);

  recorder.EndRun(kOutcomeStopped);
  const HubHealth ended = recorder.Snapshot();
  EXPECT_EQ(ended.boxes[0].state, BoxState::Stopped);
  EXPECT_EQ(ended.boxes[1].state, BoxState::Failed);
  EXPECT_FALSE(ended.run.active);
  EXPECT_EQ(ended.run.outcome, "stopped");
  EXPECT_FALSE(recorder.UntilSilence().has_value());
}

// A box that keeps its link and sends nothing is reconnected by its driver every few seconds:
// its silence runs from its newest record through those reconnections, is told once, shows in
// every snapshot while the link is up or being made, and ends with its next record only.
TEST_F(HealthRecorderTest, SilenceOutlastsTheDriversReconnectionsAndEndsWithARecord) {
  recorder.BoxReport(0, Connected);
  recorder.BoxRecord(0);
  std::vector<SilenceChange> told;
  for (int cycle = 0; cycle < 4; ++cycle) {  // 24 s of reconnections every 6 s
    Advance(6s);
    recorder.BoxReconnecting(0);
    for (const SilenceChange& change : recorder.CheckSilence()) told.push_back(change);
    recorder.BoxReconnected(0);
    for (const SilenceChange& change : recorder.CheckSilence()) told.push_back(change);
  }
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].seconds, 12);  // seen at the second reconnection
  EXPECT_EQ(Box(0).state, BoxState::Silent);
  EXPECT_EQ(Box(0).reconnections, 4);
  recorder.BoxReconnecting(0);
  EXPECT_EQ(Box(0).state, BoxState::Silent);

  // Given up: lost; made again without a record: silent still, and not told again.
  recorder.BoxReport(0, ConnectionLost);
  EXPECT_EQ(Box(0).state, BoxState::Lost);
  recorder.BoxReport(0, Connected);
  EXPECT_EQ(Box(0).state, BoxState::Silent);
  EXPECT_TRUE(recorder.CheckSilence().empty());
  EXPECT_TRUE(recorder.BoxRecord(0));
  EXPECT_EQ(Box(0).state, BoxState::Connected);

  // A box lost at once and back 77 s later has its silence time again from its new link.
  recorder.BoxReport(0, ConnectionLost);
  Advance(77s);
  recorder.BoxReport(0, Connected);
  EXPECT_TRUE(recorder.CheckSilence().empty());
  EXPECT_EQ(recorder.UntilSilence(), std::chrono::milliseconds(10s));
}

TEST_F(HealthRecorderTest, RatesCountTheLastMinuteAndAgesComeFromTheClock) {
  recorder.BoxReport(0, Connected);
  // Two records a second for the first 90 seconds of the run.
  for (int i = 0; i < 180; ++i) {
    recorder.BoxRecord(0);
    Advance(500ms);
  }
  EXPECT_DOUBLE_EQ(Box(0).recordsPerSecond, 2.0);
  EXPECT_EQ(Box(0).newestRecordAge, 500ms);
  // Half a minute without a record: half the window still holds records.
  Advance(30s);
  EXPECT_NEAR(Box(0).recordsPerSecond, 1.0, 0.05);
  EXPECT_EQ(Box(0).newestRecordAge, 30500ms);
  Advance(2min);
  EXPECT_DOUBLE_EQ(Box(0).recordsPerSecond, 0.0);
  EXPECT_EQ(Box(0).records, 180u);
  // Before the first minute is over, the rate is over the time since the run began.
  recorder.BeginRun({BoxIdentity{0, "127.0.0.2", 5000}});
  for (int i = 0; i < 10; ++i) {
    recorder.BoxRecord(0);
    Advance(1s);
  }
  EXPECT_DOUBLE_EQ(Box(0).recordsPerSecond, 1.0);
  EXPECT_TRUE(recorder.Snapshot().boxes.at(0).newestRecordAge.has_value());
  EXPECT_EQ(recorder.Snapshot().takenAt, recorder.Now());
}

TEST_F(HealthRecorderTest, TheRunCountsRecordsRepeatsAndKeepsTheNewestValues) {
  Header header;
  header.count = 2;
  CopyText(header.names[0], L"Pressure_0");
  CopyText(header.names[1], L"Dichte\u00b0_1");
  CopyText(header.units[0], L"psi");
  CopyText(header.serialNumber, L"VM-20417");
  CopyText(header.firmwareVersion, L"8.7c");
  header.jobType = CoiledTubing;
  recorder.BoxHeader(1, header);
  recorder.BoxHeader(7, header);  // no box of the run
  recorder.BoxRejectedLine(1);
  recorder.CombinedHeader({{"Pressure_0", "psi", 0}, {"Dichte\xc2\xb0_1", "", 1}});
  EXPECT_TRUE(recorder.Snapshot().channels[0].missing);  // no record yet
  Data data{};
  data.values[0] = 1.5;
  data.values[1] = -2.0;
  recorder.CombinedRecord(data, {}, false);
  data.values[0] = 3.0;
  recorder.CombinedRecord(data, std::bitset<MaxChannels>().set(1), true);

  const HubHealth health = recorder.Snapshot();
  EXPECT_TRUE(health.run.active);
  EXPECT_EQ(health.run.outcome, "running");
  EXPECT_EQ(health.run.recordsPublished, 1u);
  EXPECT_EQ(health.run.repeatsSent, 1u);
  ASSERT_EQ(health.channels.size(), 2u);
  EXPECT_EQ(health.channels[0].name, "Pressure_0");
  EXPECT_EQ(health.channels[0].unit, "psi");
  EXPECT_EQ(health.channels[0].value, 3.0);
  EXPECT_EQ(health.channels[1].name, "Dichte\xc2\xb0_1");
  EXPECT_EQ(health.channels[1].value, -2.0);
  EXPECT_EQ(health.channels[1].box, 1);
  EXPECT_FALSE(health.channels[0].missing);
  EXPECT_TRUE(health.channels[1].missing);
  EXPECT_EQ(health.boxes[1].serialNumber, "VM-20417");
  EXPECT_EQ(health.boxes[1].firmware, "8.7c");
  EXPECT_EQ(health.boxes[1].jobType, "CoiledTubing");
  EXPECT_EQ(health.boxes[1].rejectedLines, 1u);
  EXPECT_TRUE(health.boxes[0].serialNumber.empty());

  // A new run starts from nothing.
  recorder.BeginRun({BoxIdentity{0, "127.0.0.2", 5000}});
  const HubHealth next = recorder.Snapshot();
  EXPECT_EQ(next.run.recordsPublished, 0u);
  EXPECT_TRUE(next.channels.empty());
  EXPECT_EQ(next.boxes.size(), 1u);
}

}  // namespace
}  // namespace tessamer

#include "acquisition/vellumetric_agent.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/text.h"
#include "testkit/fake_box.h"
#include "testkit/log_capture.h"
#include "testkit/recording_target.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::FakeBox;
using testkit::FakeBoxScript;
using testkit::RecordingTarget;

constexpr int32_t kAgentIndex = 3;

const std::string kHeaderBlock =
    "#Vellumetric Primary\r\n"
    "#SerialNumber VM1234\r\n"
    "#Date Time Pressure Rate Weight\r\n";

// One data line of the box at 13:45:<second>, its values telling the second apart.
std::string DataLine(int second) {
  const std::string ss = (second < 10 ? "0" : "") + std::to_string(second);
  return "03/15/24 13:45:" + ss + ".5 " + std::to_string(second) + ".25 2 -3\r\n";
}

std::string DataLines(int from, int to) {
  std::string text;
  for (int s = from; s <= to; ++s) text += DataLine(s);
  return text;
}

bool IsActivity(const Activity& a, ActivityStatus status) { return a.status == status; }

class VellumetricAgentTest : public ::testing::Test {
 protected:
  VellumetricAgentTest() {
    timeouts.connect = 1000ms;
    timeouts.firstReceive = 5000ms;
    timeouts.receiveAfterClose = 5000ms;
    timeouts.receive = 5000ms;
    timeouts.reconnectWindow = 3000ms;
    timeouts.stopWait = 2000ms;
    timeouts.refusalPause = 200ms;
    timeouts.reopenPause = 200ms;
    timeouts.holdPeriod = 100ms;
  }

  std::unique_ptr<CVellumetricAgent> MakeAgent(uint16_t port) {
    TcpOptions options;
    options.host = L"127.0.0.1";
    options.port = port;
    return std::make_unique<CVellumetricAgent>(kAgentIndex, options, activities, timeouts);
  }

  void GiveTargets(CVellumetricAgent& agent) { agent.SetTargets(headers, data); }

  // An agent whose box delivered its first record and then went away for good (it now refuses
  // connections); null when any step did not happen in time.
  std::unique_ptr<CVellumetricAgent> LoseBoxAfterFirstRecord(FakeBox& box) {
    box.SetScript(testkit::PlayAll(kHeaderBlock + DataLines(1, 1)));
    auto agent = MakeAgent(box.Port());
    agent->start();
    const bool connected = WaitForActivity(Connected, 1);
    if (connected) GiveTargets(*agent);
    if (!connected || !WaitForRecords(1)) {
      agent->RequestStop();
      agent::wait_for_all({agent.get()}, 5000ms);
      return nullptr;
    }
    box.Refuse();
    box.CloseConnections();
    return agent;
  }

  // Stops the agent and checks it is done within the bridge's bound.
  void StopWithinBounds(CVellumetricAgent& agent) {
    agent.RequestStop();
    EXPECT_NO_THROW(agent::wait_for_all({&agent}, 2000ms));
  }

  size_t CountOf(ActivityStatus status) const {
    return activities->CountIf([status](const Activity& a) { return a.status == status; });
  }

  bool WaitForActivity(ActivityStatus status, size_t count, std::chrono::milliseconds timeout = 10s) {
    return activities->WaitForMatching(
        [status](const Activity& a) { return IsActivity(a, status); }, count, timeout);
  }

  // Data notifications with real values (not the hold timer's repeats).
  bool WaitForRecords(size_t count, std::chrono::milliseconds timeout = 10s) {
    return data->WaitForMatching([](const DataNotification& n) { return n.data.count > 0; },
                                 count, timeout);
  }

  testkit::LogCapture log;
  AcquisitionTimeouts timeouts;
  std::shared_ptr<RecordingTarget<Activity>> activities =
      std::make_shared<RecordingTarget<Activity>>();
  std::shared_ptr<RecordingTarget<HeaderNotification>> headers =
      std::make_shared<RecordingTarget<HeaderNotification>>();
  std::shared_ptr<RecordingTarget<DataNotification>> data =
      std::make_shared<RecordingTarget<DataNotification>>();
};

TEST_F(VellumetricAgentTest, ReportsConnectedThenFeedsHeadersAndRecordsOnceTargetsAreSet) {
  FakeBox box("127.0.0.1");
  box.SetScript(testkit::PlayAll(kHeaderBlock + DataLines(1, 3)));
  auto agent = MakeAgent(box.Port());
  agent->start();
  ASSERT_TRUE(activities->WaitForCount(1, 5s));
  EXPECT_EQ(activities->Entries()[0].message.status, Connected);
  EXPECT_EQ(activities->Entries()[0].message.agent, kAgentIndex);
  // Nothing is read before the targets are set.
  EXPECT_EQ(data->Count(), 0u);

  GiveTargets(*agent);
  ASSERT_TRUE(headers->WaitForCount(1, 5s));
  ASSERT_TRUE(WaitForRecords(3));
  const auto header = headers->Entries()[0].message;
  EXPECT_EQ(header.agent, kAgentIndex);
  EXPECT_EQ(TextOf(header.header.serialNumber), L"VM1234");
  const auto records = data->Entries();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(records[i].message.agent, kAgentIndex);
    EXPECT_EQ(records[i].message.data.time.tm_sec, i + 1);
    EXPECT_DOUBLE_EQ(records[i].message.data.values[0], i + 1 + 0.25);
    EXPECT_EQ(records[i].message.data.count, 3);
  }
  StopWithinBounds(*agent);
  EXPECT_EQ(activities->Count(), 1u);  // a stop is not reported as a lost connection
}

TEST_F(VellumetricAgentTest, FirstAttemptRefusedReportsConnectFailedAndEnds) {
  FakeBox box("127.0.0.1");
  box.Refuse();
  auto agent = MakeAgent(box.Port());
  agent->start();
  EXPECT_NO_THROW(agent::wait_for_all({agent.get()}, 3000ms));
  ASSERT_EQ(activities->Count(), 1u);
  EXPECT_EQ(activities->Entries()[0].message.status, ConnectFailed);
  EXPECT_EQ(activities->Entries()[0].message.agent, kAgentIndex);
}

TEST_F(VellumetricAgentTest, FirstAttemptUnansweredReportsConnectFailedAfterTheConnectTimeout) {
  testkit::UnansweredPort port("127.0.0.1");
  timeouts.connect = 300ms;
  auto agent = MakeAgent(port.Port());
  const auto start = std::chrono::steady_clock::now();
  agent->start();
  EXPECT_NO_THROW(agent::wait_for_all({agent.get()}, 3000ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 280ms);
  ASSERT_EQ(activities->Count(), 1u);
  EXPECT_EQ(activities->Entries()[0].message.status, ConnectFailed);
}

TEST_F(VellumetricAgentTest, BoxBackWithinTheReconnectionWindowGoesUnnoticed) {
  FakeBox box("127.0.0.1");
  box.SetScripts({testkit::PlayAll(kHeaderBlock + DataLines(1, 2), true),
                  testkit::PlayAll(kHeaderBlock + DataLines(3, 4))});
  auto agent = MakeAgent(box.Port());
  agent->start();
  ASSERT_TRUE(WaitForActivity(Connected, 1));
  GiveTargets(*agent);
  ASSERT_TRUE(WaitForRecords(4));
  EXPECT_GE(box.Accepted(), 2u);
  const auto records = data->Entries();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(records[i].message.data.time.tm_sec, i + 1);
  EXPECT_EQ(activities->Count(), 1u);
  StopWithinBounds(*agent);
}

TEST_F(VellumetricAgentTest, BoxAwayLongerIsHeldUntilItReturns) {
  FakeBox box("127.0.0.1");
  box.SetScripts({testkit::PlayAll(kHeaderBlock + DataLines(1, 2)),
                  testkit::PlayAll(kHeaderBlock + DataLines(3, 4))});
  auto agent = MakeAgent(box.Port());
  agent->start();
  ASSERT_TRUE(WaitForActivity(Connected, 1));
  GiveTargets(*agent);
  ASSERT_TRUE(WaitForRecords(2));
  const Data last = data->Entries()[1].message.data;

  // The box drops off and refuses: the driver gives up at once, the agent reports the loss and
  // holds the box's place with the last record's time and no values.
  box.Refuse();
  box.CloseConnections();
  ASSERT_TRUE(WaitForActivity(ConnectionLost, 1));
  auto isHold = [](const DataNotification& n) { return n.data.count == 0; };
  ASSERT_TRUE(data->WaitForMatching(isHold, 3, 5s));
  std::vector<std::chrono::steady_clock::time_point> holdTimes;
  for (const auto& entry : data->Entries()) {
    if (!isHold(entry.message)) continue;
    holdTimes.push_back(entry.at);
    EXPECT_EQ(entry.message.agent, kAgentIndex);
    EXPECT_EQ(entry.message.data.timestamp, last.timestamp);
    EXPECT_EQ(entry.message.data.fraction, last.fraction);
    EXPECT_EQ(entry.message.data.time.tm_sec, last.time.tm_sec);
    EXPECT_EQ(entry.message.data.values[0], 0.0);
  }
  for (size_t i = 1; i < holdTimes.size(); ++i) {
    EXPECT_GE(holdTimes[i] - holdTimes[i - 1], timeouts.holdPeriod - 30ms);
  }

  // The box returns: Connected, the repeats stop and real records flow again.
  box.Listen();
  ASSERT_TRUE(WaitForActivity(Connected, 2));
  ASSERT_TRUE(WaitForRecords(4));
  Activity reconnected{};
  std::chrono::steady_clock::time_point reconnectedAt;
  for (const auto& entry : activities->Entries()) {
    if (entry.message.status == Connected) {
      reconnected = entry.message;
      reconnectedAt = entry.at;
    }
  }
  EXPECT_EQ(reconnected.agent, kAgentIndex);
  for (const auto& entry : data->Entries()) {
    if (isHold(entry.message)) {
      EXPECT_LE(entry.at, reconnectedAt);
    }
  }
  const auto records = data->Entries();
  EXPECT_EQ(records.back().message.data.time.tm_sec, 4);
  StopWithinBounds(*agent);
}

TEST_F(VellumetricAgentTest, RefusingBoxIsRetriedAtAPaceNotInAHotLoop) {
  FakeBox box("127.0.0.1");
  auto agent = LoseBoxAfterFirstRecord(box);
  ASSERT_NE(agent, nullptr);
  ASSERT_TRUE(WaitForActivity(ConnectionLost, 1));
  const auto start = std::chrono::steady_clock::now();
  // Wait for a few retries; each failed reopen reports the loss again. The first reopen follows
  // the reader's end at once, each later one only after a pause.
  ASSERT_TRUE(WaitForActivity(ConnectionLost, 5, 5s));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 3 * timeouts.reopenPause - 30ms);
  const size_t losses = CountOf(ConnectionLost);
  const auto window = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_LE(losses, 2 + static_cast<size_t>(window / timeouts.reopenPause));
  StopWithinBounds(*agent);
}

TEST_F(VellumetricAgentTest, StopWhileConnectingEndsTheAttemptAtOnce) {
  testkit::UnansweredPort port("127.0.0.1");
  timeouts.connect = 10s;
  auto agent = MakeAgent(port.Port());
  agent->start();
  const auto start = std::chrono::steady_clock::now();
  StopWithinBounds(*agent);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_EQ(CountOf(Connected), 0u);
}

TEST_F(VellumetricAgentTest, StopBeforeStartEndsWithoutConnecting) {
  FakeBox box("127.0.0.1");
  auto agent = MakeAgent(box.Port());
  agent->RequestStop();
  agent->start();
  EXPECT_NO_THROW(agent::wait_for_all({agent.get()}, 2000ms));
  EXPECT_EQ(box.Accepted(), 0u);
  EXPECT_EQ(activities->Count(), 0u);
}

TEST_F(VellumetricAgentTest, StopWhileHoldingEndsWithinBounds) {
  FakeBox box("127.0.0.1");
  auto agent = LoseBoxAfterFirstRecord(box);
  ASSERT_NE(agent, nullptr);
  ASSERT_TRUE(data->WaitForMatching([](const DataNotification& n) { return n.data.count == 0; },
                                    1, 5s));
  const auto start = std::chrono::steady_clock::now();
  StopWithinBounds(*agent);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  // The hold timer went with the stop.
  const size_t held = data->Count();
  agent.reset();
  EXPECT_EQ(data->Count(), held);
}

}  // namespace
}  // namespace tessamer

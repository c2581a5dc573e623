// The bridge's lifecycle: servers, first and later reports, a run that ends by itself, Stop and
// the failures the operator is told about. Boxes are played by fake agents here; whole runs
// against simulated boxes are in hub_bridge_boxes_test.cpp.

#include <gtest/gtest.h>

#include <asio.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "hub/bridge/fake_box_agents.h"
#include "testkit/environment.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::BridgeUnderTest;
using testkit::MakeHeader;

std::vector<std::pair<ActivityStatus, int32_t>> ActivitiesOf(
    const testkit::RecordingNoticeSink& sink) {
  std::vector<std::pair<ActivityStatus, int32_t>> result;
  for (const ActivityNotice& notice : sink.Of<ActivityNotice>()) {
    result.emplace_back(notice.status, notice.row);
  }
  std::sort(result.begin(), result.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  return result;
}

TEST(HubBridge, StopWithoutAnyRunReturnsAtOnce) {
  BridgeUnderTest hub;
  EXPECT_TRUE(hub.bridge->Stop());
  EXPECT_EQ(hub.window.CountOf<StoppedNotice>(), 0u);
  EXPECT_EQ(hub.bridge->DataPort(), 0);
}

TEST(HubBridge, StartServersListensOnTheConfiguredAddress) {
  BridgeUnderTest hub;
  ASSERT_TRUE(hub.bridge->StartServers());
  EXPECT_NE(hub.bridge->DataPort(), 0);
  EXPECT_NE(hub.bridge->UtilityPort(), 0);
  EXPECT_FALSE(hub.bridge->StartError().failed);
  testkit::TextClient viewer;
  EXPECT_TRUE(viewer.Connect("127.0.0.1", hub.bridge->DataPort()));
  testkit::TextClient utility;
  ASSERT_TRUE(utility.Connect("127.0.0.1", hub.bridge->UtilityPort()));
  std::string greeting;
  ASSERT_TRUE(utility.ReadLine(greeting));
  EXPECT_EQ(greeting, "Vellumetric-VMC: connected\r\n");
}

TEST(HubBridge, DataServerThatCannotListenGivesTheOperatorsText) {
  asio::io_context io;
  asio::ip::tcp::acceptor taken(io, {asio::ip::make_address("127.0.0.1"), 0});
  HubConfig config = BridgeUnderTest::LoopbackConfig();
  config.dataPort = taken.local_endpoint().port();
  BridgeUnderTest hub(config);
  EXPECT_FALSE(hub.bridge->StartServers());
  const ErrorInfo& error = hub.bridge->StartError();
  EXPECT_TRUE(error.failed);
  EXPECT_EQ(error.code, 10048);
  const std::wstring expectedStart = L"The data server could not be started on port: " +
                                     std::to_wstring(config.dataPort) +
                                     L".\r\n\r\nError details: ";
  EXPECT_EQ(error.text.substr(0, expectedStart.size()), expectedStart);
  if (!testkit::UnderWine()) {  // Wine's message table has no text for 10048
    EXPECT_GT(error.text.size(), expectedStart.size());
  }
  EXPECT_EQ(hub.bridge->DataPort(), 0);
  EXPECT_NE(hub.bridge->UtilityPort(), 0);  // the utility server starts anyway
}

TEST(HubBridge, UtilityServerThatCannotListenIsShownAndTheRestGoesOn) {
  asio::io_context io;
  asio::ip::tcp::acceptor taken(io, {asio::ip::make_address("127.0.0.1"), 0});
  HubConfig config = BridgeUnderTest::LoopbackConfig();
  config.utilityPort = taken.local_endpoint().port();
  BridgeUnderTest hub(config);
  EXPECT_TRUE(hub.bridge->StartServers());
  ASSERT_TRUE(hub.alerts.WaitForCount(1));
  EXPECT_EQ(hub.alerts.Alerts()[0].text, L"Utility server could not be started.");
  EXPECT_EQ(hub.alerts.Alerts()[0].icon, AlertIcon::Error);
  EXPECT_NE(hub.bridge->DataPort(), 0);
}

TEST(HubBridge, AgentsGetTheBoxesAddressPortAndRecordRate) {
  BridgeUnderTest hub;
  ASSERT_TRUE(hub.bridge->StartServers());
  std::vector<Box> boxes = BridgeUnderTest::Boxes(2, 5123);
  ASSERT_TRUE(hub.bridge->Start(boxes, 6));
  ASSERT_TRUE(hub.boxes.WaitForTargets(2));
  EXPECT_EQ(hub.boxes.Box(0).Options().host, L"127.0.0.2");
  EXPECT_EQ(hub.boxes.Box(1).Options().host, L"127.0.0.3");
  EXPECT_EQ(hub.boxes.Box(1).Options().port, 5123);
  EXPECT_EQ(hub.boxes.Box(1).Options().MaxRecordsPerMinute, 60000);
  // Every first report is on a lamp: row of the box, not its agent index.
  ASSERT_TRUE(hub.window.WaitForCount<ActivityNotice>(2));
  EXPECT_EQ(ActivitiesOf(hub.window),
            (std::vector<std::pair<ActivityStatus, int32_t>>{{Connected, 1}, {Connected, 3}}));
}

TEST(HubBridge, ABoxUnreachableAtTheStartEndsTheRunAndANewStartRunsNormally) {
  BridgeUnderTest hub;
  ASSERT_TRUE(hub.bridge->StartServers());
  hub.boxes.SetFirstReport(1, ConnectFailed);
  ASSERT_TRUE(hub.bridge->Start(BridgeUnderTest::Boxes(3), 6));
  ASSERT_TRUE(hub.window.WaitForCount<StoppedNotice>(1));
  EXPECT_EQ(ActivitiesOf(hub.window), (std::vector<std::pair<ActivityStatus, int32_t>>{
                                          {Connected, 1}, {ConnectFailed, 3}, {Connected, 5}}));
  // The lamps are told before the end of the run.
  const auto notices = hub.window.Notices();
  EXPECT_TRUE(std::holds_alternative<StoppedNotice>(notices.back()));
  EXPECT_TRUE(hub.bridge->RunEndedByItself());
  EXPECT_EQ(hub.window.CountOf<PublishedNotice>(), 0u);
  EXPECT_EQ(hub.boxes.Live(), 0u);  // every agent of the run is gone, the connected ones too

  // The window may press "Connect" again as soon as it is told the run ended.
  hub.boxes.SetFirstReport(1, Connected);
  ASSERT_TRUE(hub.bridge->Start(BridgeUnderTest::Boxes(3), 6));
  ASSERT_TRUE(hub.boxes.WaitForTargets(3));
  EXPECT_FALSE(hub.bridge->RunEndedByItself());
  for (int i = 0; i < 3; ++i) hub.boxes.Box(i).SendHeader(MakeHeader(2, L"N"));
  ASSERT_TRUE(hub.window.WaitForCount<PublishedNotice>(1, testkit::Published(false)));
  EXPECT_EQ(hub.bridge->ChannelEnds()[2], 6);
  EXPECT_TRUE(hub.bridge->Stop());
  EXPECT_EQ(hub.window.CountOf<StoppedNotice>(), 2u);
  EXPECT_EQ(hub.bridge->ChannelEnds()[2], 0);  // no layout outside a run
}

TEST(HubBridge, StopAfterARunThatEndedByItselfReturnsAtOnce) {
  BridgeUnderTest hub;
  ASSERT_TRUE(hub.bridge->StartServers());
  hub.boxes.SetFirstReport(0, ConnectFailed);
  ASSERT_TRUE(hub.bridge->Start(BridgeUnderTest::Boxes(1), 6));
  ASSERT_TRUE(hub.window.WaitForCount<StoppedNotice>(1));
  EXPECT_TRUE(hub.bridge->Stop());
  EXPECT_EQ(hub.window.CountOf<StoppedNotice>(), 1u);
  EXPECT_EQ(hub.window.CountOf<ActivityNotice>(), 1u);
}

TEST(HubBridge, ReportsAfterTheFirstOnesReachTheLamps) {
  BridgeUnderTest hub;
  ASSERT_TRUE(hub.bridge->StartServers());
  ASSERT_TRUE(hub.bridge->Start(BridgeUnderTest::Boxes(2), 6));
  ASSERT_TRUE(hub.boxes.WaitForTargets(2));
  hub.boxes.Box(1).SendActivity(ConnectionLost);
  ASSERT_TRUE(hub.window.WaitForCount<ActivityNotice>(3));
  const ActivityNotice last = hub.window.Of<ActivityNotice>().back();
  EXPECT_EQ(last.status, ConnectionLost);
  EXPECT_EQ(last.row, 3);
  hub.boxes.Box(1).SendActivity(Connected);
  ASSERT_TRUE(hub.window.WaitForCount<ActivityNotice>(4));
  EXPECT_EQ(hub.window.Of<ActivityNotice>().back().status, Connected);
}

TEST(HubBridge, AgentsThatDoNotStopInTimeAreReportedAndDeletedAnyway) {
  HubConfig config = BridgeUnderTest::LoopbackConfig();
  config.hub.agentsStopWait = 50ms;
  BridgeUnderTest hub(config);
  hub.boxes.SetIgnoresStop(0);
  ASSERT_TRUE(hub.bridge->StartServers());
  ASSERT_TRUE(hub.bridge->Start(BridgeUnderTest::Boxes(2), 6));
  ASSERT_TRUE(hub.boxes.WaitForTargets(2));
  EXPECT_TRUE(hub.bridge->Stop());
  ASSERT_EQ(hub.alerts.Alerts().size(), 1u);
  EXPECT_EQ(hub.alerts.Alerts()[0].text,
            L"Background agents could not be stopped. Please restart application");
  EXPECT_EQ(hub.alerts.Alerts()[0].icon, AlertIcon::None);
  EXPECT_EQ(hub.boxes.Live(), 0u);
  EXPECT_EQ(hub.window.CountOf<StoppedNotice>(), 1u);
}

TEST(HubBridge, AFailureWhileStartingAgentsIsShownAndTheWindowIsNotToldTheRunEnded) {
  BridgeUnderTest hub;
  hub.boxes.SetFactoryFailure("no room for another agent");
  ASSERT_TRUE(hub.bridge->StartServers());
  ASSERT_TRUE(hub.bridge->Start(BridgeUnderTest::Boxes(1), 6));
  ASSERT_TRUE(hub.alerts.WaitForCount(1));
  EXPECT_EQ(hub.alerts.Alerts()[0].text,
            L"A problem occurred while starting agents. Detail: no room for another agent");
  EXPECT_TRUE(hub.bridge->Stop());
  EXPECT_EQ(hub.window.CountOf<StoppedNotice>(), 0u);
}

TEST(HubBridge, StopWhileAgentsAreStillConnectingEndsOnceTheyReport) {
  BridgeUnderTest hub;
  ASSERT_TRUE(hub.bridge->StartServers());
  ASSERT_TRUE(hub.bridge->Start(BridgeUnderTest::Boxes(4), 6));
  // Stop right after Start is never lost: the run ends as soon as the agents have reported.
  EXPECT_TRUE(hub.bridge->Stop());
  EXPECT_EQ(hub.window.CountOf<StoppedNotice>(), 1u);
  EXPECT_EQ(hub.boxes.Live(), 0u);
}

TEST(HubBridge, ChannelLimitOutsideItsRangeIsHeldToIt) {
  BridgeUnderTest hub;
  ASSERT_TRUE(hub.bridge->StartServers());
  ASSERT_TRUE(hub.bridge->Start(BridgeUnderTest::Boxes(16), 40));
  ASSERT_TRUE(hub.boxes.WaitForTargets(16));
  for (int i = 0; i < 16; ++i) hub.boxes.Box(i).SendHeader(MakeHeader(MaxChannels, L"W"));
  ASSERT_TRUE(hub.window.WaitForCount<PublishedNotice>(1, testkit::Published(false)));
  EXPECT_EQ(hub.bridge->ChannelEnds()[15], 16 * 6);
}

}  // namespace
}  // namespace tessamer

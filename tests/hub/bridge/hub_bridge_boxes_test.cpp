// Whole runs of the bridge with its real box agents against simulated boxes on loopback.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "box_simulator.h"
#include "hub/bridge/hub_bridge.h"
#include "testkit/fake_box.h"
#include "testkit/health_wait.h"
#include "testkit/recorders.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::RecordingAlerts;
using testkit::RecordingNoticeSink;
using testkit::TextClient;

constexpr auto kBound = 10s;

sim::BoxSetup BoxWithChannels(const std::string& prefix, int count) {
  sim::BoxSetup setup;
  for (int i = 0; i < count; ++i) {
    setup.channels.push_back(
        sim::ChannelSetup{prefix + static_cast<char>('a' + i), "u", 10.0 * (i + 1), 1.0, 0.0});
  }
  setup.recordPeriod = 40ms;
  return setup;
}

// Values on a data line after its date and time.
size_t ValueCount(const std::string& line) {
  std::istringstream words(line);
  std::string word;
  size_t n = 0;
  while (words >> word) ++n;
  return n >= 2 ? n - 2 : 0;
}

// The message numbers of every notice so far, an activity's with its status and row, for a
// failure message.
std::string NoticeTrail(const testkit::RecordingNoticeSink& window) {
  std::string text;
  for (const Notice& n : window.Notices()) {
    text += std::to_string(MessageOf(n));
    if (const auto* activity = std::get_if<ActivityNotice>(&n)) {
      text += "/" + std::to_string(activity->status) + "/" + std::to_string(activity->row);
    }
    text += " ";
  }
  return text;
}

class BridgeWithBoxesTest : public ::testing::Test {
 protected:
  void StartSimulator(std::vector<sim::BoxSetup> setups) {
    sim::SimulatorOptions options;
    options.boxes = std::move(setups);
    simulator = std::make_unique<sim::CBoxSimulator>(options);
    std::string error;
    ASSERT_TRUE(simulator->Start(&error)) << error;
  }
  // Both servers on loopback at free ports, the boxes' utility port `boxUtilityPort`.
  static HubConfig LoopbackConfig(uint16_t boxUtilityPort) {
    HubConfig config;
    config.listenAddress = "127.0.0.1";
    config.dataPort = 0;
    config.utilityPort = 0;
    config.boxUtilityPort = boxUtilityPort;
    config.acquisition.connect = 1000ms;
    return config;
  }
  // As above, with a lost box given up on and reconnected quickly.
  static HubConfig QuickReconnectConfig(uint16_t boxUtilityPort) {
    HubConfig config = LoopbackConfig(boxUtilityPort);
    config.acquisition.reconnectWindow = 300ms;
    config.acquisition.reopenPause = 100ms;
    config.acquisition.holdPeriod = 50ms;
    return config;
  }
  void StartBridge(const HubConfig& config) {
    bridge = std::make_unique<CHubBridge>(&window, config);
    ASSERT_TRUE(bridge->StartServers());
  }
  void MakeBridge(std::chrono::milliseconds repeat = 2000ms) {
    HubConfig config = LoopbackConfig(simulator->Box(0).UtilityPort());
    config.hub.repeatPeriod = repeat;
    StartBridge(config);
  }
  std::vector<Box> BoxList() {
    std::vector<Box> boxes;
    for (size_t i = 0; i < simulator->BoxCount(); ++i) {
      boxes.push_back(Box{BoxAddress(127, 0, 0, static_cast<uint8_t>(2 + i)),
                          simulator->Box(i).DataPort(), static_cast<int32_t>(10 + i)});
    }
    return boxes;
  }
  void TearDown() override {
    if (bridge) {
      bridge->Stop();
      bridge.reset();
    }
    simulator.reset();
  }
  // Reads lines until one that does not begin with "#" (a data line); header lines go to `header`.
  std::string ReadToDataLine(TextClient& viewer, std::vector<std::string>* header = nullptr) {
    std::string line;
    while (viewer.ReadLine(line)) {
      if (line.rfind("#", 0) != 0) return line;
      if (header != nullptr) header->push_back(line);
    }
    return {};
  }

  RecordingAlerts alerts;
  RecordingNoticeSink window;
  std::unique_ptr<sim::CBoxSimulator> simulator;
  std::unique_ptr<CHubBridge> bridge;
};

TEST_F(BridgeWithBoxesTest, TwoBoxesAreServedAsOneLoggerWithTheCombinedHeader) {
  StartSimulator({BoxWithChannels("P", 4), BoxWithChannels("Q", 8)});
  MakeBridge();
  ASSERT_TRUE(bridge->Start(BoxList(), 6));
  ASSERT_TRUE(window.WaitForCount<HeadersCompleteNotice>(1, {}, kBound));
  ASSERT_TRUE(window.WaitForCount<PublishedNotice>(1, testkit::Published(true), kBound));

  TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", bridge->DataPort()));
  std::vector<std::string> header;
  std::string line = ReadToDataLine(viewer, &header);
  ASSERT_FALSE(header.empty());
  EXPECT_EQ(header.back(), "#Pa_0 Pb_0 Pc_0 Pd_0 Qa_1 Qb_1 Qc_1 Qd_1 Qe_1 Qf_1 \r\n");
  bool variables = false;
  for (const std::string& h : header) {
    if (h.rfind("# VariableList ", 0) == 0) {
      variables = true;
      EXPECT_EQ(h, "# VariableList 0 1 2 3 4 5 6 7 8 9 \r\n");
    }
    if (h.rfind("# DialVariable ", 0) == 0) {
      EXPECT_NE(h.find("_0 Min "), std::string::npos) << h;
    }
  }
  EXPECT_TRUE(variables);
  // Records keep flowing, each with both boxes' values side by side.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(ValueCount(line), 10u) << line;
    line = ReadToDataLine(viewer);
  }
  EXPECT_EQ(bridge->ChannelEnds()[1], 10);
  EXPECT_GE(window.CountOf<BoxDataNotice>(testkit::OfRow<BoxDataNotice>(10)), 1u);
  EXPECT_GE(window.CountOf<BoxDataNotice>(testkit::OfRow<BoxDataNotice>(11)), 1u);

  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(bridge->Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 6s);
  EXPECT_EQ(window.CountOf<StoppedNotice>(), 1u);
}

TEST_F(BridgeWithBoxesTest, SilentBoxesGetTheLastCombinedRecordRepeated) {
  StartSimulator({BoxWithChannels("P", 2), BoxWithChannels("Q", 2)});
  MakeBridge(150ms);
  ASSERT_TRUE(bridge->Start(BoxList(), 6));
  TextClient viewer;
  ASSERT_TRUE(window.WaitForCount<HeadersCompleteNotice>(1, {}, kBound));
  ASSERT_TRUE(viewer.Connect("127.0.0.1", bridge->DataPort()));
  ASSERT_FALSE(ReadToDataLine(viewer).empty());
  simulator->Box(0).SetSilent(true);
  simulator->Box(1).SetSilent(true);
  // Lines still in flight when the boxes fell silent may differ; then the same line repeats.
  std::string previous = ReadToDataLine(viewer);
  std::string line = ReadToDataLine(viewer);
  for (int i = 0; i < 10 && line != previous; ++i) {
    previous = line;
    line = ReadToDataLine(viewer);
  }
  ASSERT_EQ(line, previous);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadToDataLine(viewer), line);
  EXPECT_EQ(ReadToDataLine(viewer), line);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 250ms);
}

TEST_F(BridgeWithBoxesTest, AnUnreachableBoxEndsTheRunAndTheNextStartRunsNormally) {
  StartSimulator({BoxWithChannels("P", 2), BoxWithChannels("Q", 2), BoxWithChannels("R", 2)});
  MakeBridge();
  // In the first run the second box is one that refuses every connection.
  testkit::FakeBox refusing("127.0.0.9");
  refusing.Refuse();
  std::vector<Box> firstList = BoxList();
  firstList[1].address = BoxAddress(127, 0, 0, 9);
  firstList[1].port = refusing.Port();
  ASSERT_TRUE(bridge->Start(firstList, 6));
  ASSERT_TRUE(window.WaitForCount<StoppedNotice>(1, {}, kBound)) << NoticeTrail(window);
  std::vector<std::pair<ActivityStatus, int32_t>> reports;
  for (const ActivityNotice& n : window.Of<ActivityNotice>()) reports.emplace_back(n.status, n.row);
  std::sort(reports.begin(), reports.end(),
            [](const auto& a, const auto& b) { return a.second < b.second; });
  EXPECT_EQ(reports, (std::vector<std::pair<ActivityStatus, int32_t>>{
                         {Connected, 10}, {ConnectFailed, 11}, {Connected, 12}}));
  EXPECT_TRUE(bridge->RunEndedByItself());
  EXPECT_EQ(window.CountOf<PublishedNotice>(), 0u);
  EXPECT_EQ(window.CountOf<HeadersCompleteNotice>(), 0u);
  const HubHealth ended = bridge->Health();
  EXPECT_FALSE(ended.run.active);
  EXPECT_EQ(ended.run.outcome, "box unreachable");
  ASSERT_EQ(ended.boxes.size(), 3u);
  EXPECT_EQ(ended.boxes[1].state, BoxState::Failed);
  EXPECT_EQ(ended.boxes[1].address, "127.0.0.9");
  EXPECT_THAT(ended.boxes[1].lastError, ::testing::HasSubstr("refused"));
  EXPECT_EQ(ended.boxes[0].state, BoxState::Stopped);
  EXPECT_EQ(ended.boxes[0].connections, 1);

  ASSERT_TRUE(bridge->Start(BoxList(), 6));
  ASSERT_TRUE(window.WaitForCount<HeadersCompleteNotice>(1, {}, kBound)) << NoticeTrail(window);
  ASSERT_TRUE(window.WaitForCount<PublishedNotice>(2, {}, kBound));
  EXPECT_FALSE(bridge->RunEndedByItself());
  EXPECT_EQ(bridge->ChannelEnds()[2], 6);
}

TEST_F(BridgeWithBoxesTest, AViewersBoxCommandIsAnsweredToThatViewerAlone) {
  StartSimulator({BoxWithChannels("P", 2)});
  HubConfig config = LoopbackConfig(simulator->Box(0).UtilityPort());
  config.defaultBoxAddress = simulator->Box(0).Address();
  StartBridge(config);
  TextClient asking;
  TextClient other;
  ASSERT_TRUE(asking.Connect("127.0.0.1", bridge->DataPort()));
  ASSERT_TRUE(other.Connect("127.0.0.1", bridge->DataPort()));
  ASSERT_TRUE(window.WaitForCount<ClientConnectionNotice>(2, {}, kBound));
  ASSERT_TRUE(asking.Send("## RESET 4\r\n"));
  std::string line;
  ASSERT_TRUE(asking.ReadLine(line, kBound));
  EXPECT_EQ(line.rfind("## DCC OK_OT ", 0), 0u) << line;
  ASSERT_TRUE(simulator->Box(0).WaitForCommands(1, kBound));
  EXPECT_EQ(simulator->Box(0).ReceivedCommands()[0], "GC RESET 4");
  EXPECT_FALSE(other.ReadLine(line, 200ms));
}

TEST_F(BridgeWithBoxesTest, ALostBoxIsShownAndTheOthersDataKeepsFlowingUntilItIsBack) {
  StartSimulator({BoxWithChannels("P", 2), BoxWithChannels("Q", 2)});
  StartBridge(QuickReconnectConfig(simulator->Box(0).UtilityPort()));
  ASSERT_TRUE(bridge->Start(BoxList(), 6));
  ASSERT_TRUE(window.WaitForCount<HeadersCompleteNotice>(1, {}, kBound));

  simulator->Box(1).SetRefusing(true);
  simulator->Box(1).Drop();
  ASSERT_TRUE(
      window.WaitForCount<ActivityNotice>(1, testkit::ActivityOf(ConnectionLost, 11), kBound));
  // While box 1 is away its agent repeats its last record without values: lines keep coming,
  // with zeros in box 1's place.
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", bridge->DataPort()));
  std::string line = ReadToDataLine(viewer);
  for (int i = 0; i < 5; ++i) line = ReadToDataLine(viewer);
  ASSERT_FALSE(line.empty());
  EXPECT_NE(line.find(" 0.0000 0.0000 \r\n"), std::string::npos) << line;
  EXPECT_EQ(line.find(" 0.0000 0.0000 0.0000 0.0000 \r\n"), std::string::npos) << line;

  simulator->Box(1).SetRefusing(false);
  ASSERT_TRUE(window.WaitForCount<ActivityNotice>(2, testkit::ActivityOf(Connected, 11), kBound));
  EXPECT_EQ(window.CountOf<ActivityNotice>(testkit::ActivityOf(ConnectionLost, 10)), 0u);
}

// A job header with its firmware and serial number, a line the box should not have sent, and
// three records.
constexpr const char* kJobStart =
    "#  Vellumetric Primary Job Data\r\n"
    "# SerialNumber VM-20417\r\n"
    "# Firmware Version 8.7c\r\n"
    "# FPGA Version 3.12\r\n"
    "# JobType Cementing\r\n"
    "# DialVariable Weight Min 0 Max 50000\r\n"
    "# VariableList 0 1\r\n"
    "# UnitList psi bpm\r\n"
    "#Pressure Rate\r\n"
    "garbage\r\n"
    "03/14/25 09:30:00 1512.2500 4.2000\r\n"
    "03/14/25 09:30:01 1549.7500 4.2500\r\n"
    "03/14/25 09:30:02 1587.2500 4.3000\r\n";

// Matches silence notices of `row`: falling silent (`silent`) or speaking again.
std::function<bool(const BoxSilenceNotice&)> SilenceOf(int32_t row, bool silent) {
  return [row, silent](const BoxSilenceNotice& n) { return n.row == row && n.Silent() == silent; };
}

TEST_F(BridgeWithBoxesTest, ABoxsHealthFollowsItThroughItsWholeLife) {
  testkit::FakeBox box("127.0.0.2");
  box.SetScript(testkit::PlayAll(kJobStart));
  HubConfig config = QuickReconnectConfig(1);
  config.health.silentAfter = 300ms;
  StartBridge(config);
  ASSERT_TRUE(bridge->Start({Box{BoxAddress(127, 0, 0, 2), box.Port(), 4}}, 6));
  // Connected, then silent after its three records.
  HubHealth health;
  ASSERT_TRUE(testkit::WaitForHealth(
      *bridge,
      [](const HubHealth& h) { return h.boxes[0].records == 3 && h.boxes[0].state == BoxState::Silent; },
      kBound, &health))
      << NoticeTrail(window);
  ASSERT_TRUE(window.WaitForCount<BoxSilenceNotice>(1, SilenceOf(4, true), kBound));
  const BoxHealth& silent = health.boxes[0];
  EXPECT_EQ(silent.state, BoxState::Silent);
  EXPECT_EQ(silent.address, "127.0.0.2");
  EXPECT_EQ(silent.port, box.Port());
  EXPECT_EQ(silent.row, 4);
  EXPECT_EQ(silent.connections, 1);
  EXPECT_EQ(silent.records, 3u);
  EXPECT_EQ(silent.rejectedLines, 1u);
  EXPECT_EQ(silent.serialNumber, "VM-20417");
  EXPECT_EQ(silent.firmware, "8.7c");
  EXPECT_EQ(silent.jobType, "Cementing");
  ASSERT_TRUE(silent.newestRecordAge.has_value());
  EXPECT_GE(*silent.newestRecordAge, 300ms);
  EXPECT_TRUE(health.run.active);
  ASSERT_EQ(health.channels.size(), 2u);
  EXPECT_EQ(health.channels[0].name, "Pressure_0");
  EXPECT_EQ(health.channels[1].unit, "bpm");

  // Its next record ends the silence and is published.
  const size_t spoken = window.CountOf<BoxSilenceNotice>(SilenceOf(4, false));
  box.Send("03/14/25 09:30:03 1624.7500 4.3500\r\n");
  ASSERT_TRUE(window.WaitForCount<BoxSilenceNotice>(spoken + 1, SilenceOf(4, false), kBound));
  EXPECT_TRUE(testkit::WaitForHealth(*bridge, [](const HubHealth& h) {
    return h.boxes[0].records == 4 && h.run.recordsPublished >= 1 && h.channels[1].value == 4.35;
  }));

  // Lost, with the refusal's text.
  box.Refuse();
  box.CloseConnections();
  ASSERT_TRUE(
      window.WaitForCount<ActivityNotice>(1, testkit::ActivityOf(ConnectionLost, 4), kBound));
  EXPECT_TRUE(testkit::WaitForHealth(
      *bridge,
      [](const HubHealth& h) {
        return h.boxes[0].state == BoxState::Lost &&
               h.boxes[0].lastError.find("refused") != std::string::npos;
      },
      kBound, &health))
      << BoxStateName(health.boxes[0].state) << " " << health.boxes[0].lastError;
  EXPECT_EQ(health.boxes[0].reconnections, 1);

  // Back: a second connection.
  box.Listen();
  ASSERT_TRUE(window.WaitForCount<ActivityNotice>(2, testkit::ActivityOf(Connected, 4), kBound));
  health = bridge->Health();
  EXPECT_EQ(health.boxes[0].connections, 2);
  EXPECT_NE(health.boxes[0].state, BoxState::Lost);

  bridge->Stop();
  health = bridge->Health();
  EXPECT_EQ(health.boxes[0].state, BoxState::Stopped);
  EXPECT_EQ(health.run.outcome, "stopped");
}

// A box that keeps its link and sends its header but no record: the driver reconnects it again
// and again, and the box is silent through all of it, told once, until its next record.
TEST_F(BridgeWithBoxesTest, ABoxWithoutRecordsStaysSilentThroughItsReconnections) {
  testkit::FakeBox box("127.0.0.2");
  const std::string job = kJobStart;
  box.SetScript(testkit::PlayAll(job.substr(0, job.find("garbage"))));
  HubConfig config = LoopbackConfig(1);
  config.acquisition.firstReceive = 150ms;
  config.acquisition.receive = 150ms;
  config.acquisition.receiveAfterClose = 150ms;
  config.health.silentAfter = 500ms;
  StartBridge(config);
  ASSERT_TRUE(bridge->Start({Box{BoxAddress(127, 0, 0, 2), box.Port(), 4}}, 6));
  ASSERT_TRUE(window.WaitForCount<BoxSilenceNotice>(1, SilenceOf(4, true), kBound));
  HubHealth health;
  ASSERT_TRUE(testkit::WaitForHealth(
      *bridge,
      [](const HubHealth& h) { return h.boxes[0].reconnections >= 3; }, kBound, &health));
  EXPECT_EQ(health.boxes[0].state, BoxState::Silent) << BoxStateName(health.boxes[0].state);
  EXPECT_EQ(window.CountOf<BoxSilenceNotice>(SilenceOf(4, true)), 1u);

  // The next connection is played a record too.
  box.SetScript(testkit::PlayAll(job.substr(0, job.find("garbage")) +
                                 "03/14/25 09:30:03 1624.7500 4.3500\r\n"));
  ASSERT_TRUE(window.WaitForCount<BoxSilenceNotice>(1, SilenceOf(4, false), kBound));
  EXPECT_NE(bridge->Health().boxes[0].state, BoxState::Silent);
}

TEST_F(BridgeWithBoxesTest, StopWhileABoxIsStillConnectingReturnsWithinItsConnectTime) {
  StartSimulator({BoxWithChannels("P", 2)});
  MakeBridge();
  std::vector<Box> boxes = BoxList();
  // A second box whose connect neither completes nor fails.
  testkit::UnansweredPort unanswered("127.0.0.9");
  boxes.push_back(Box{BoxAddress(127, 0, 0, 9), unanswered.Port(), 5});
  ASSERT_TRUE(bridge->Start(boxes, 6));
  EXPECT_EQ(bridge->Health().boxes.at(1).state, BoxState::Connecting);
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(bridge->Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  EXPECT_EQ(window.CountOf<StoppedNotice>(), 1u);
}

}  // namespace
}  // namespace tessamer

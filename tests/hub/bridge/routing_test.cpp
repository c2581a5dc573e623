// The routing of a run, played through fake box agents: the combined header, the merge of the
// boxes' records, the repeat while they are silent, as a viewer of the data server receives them.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "hub/bridge/fake_box_agents.h"
#include "server/data_publisher.h"
#include "testkit/health_wait.h"
#include "testkit/recording_output.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;
using testkit::BridgeUnderTest;
using testkit::MakeData;
using testkit::MakeHeader;
using testkit::TextClient;

size_t LinesOf(const std::string& text) {
  size_t lines = 0;
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1)) ++lines;
  return lines;
}

// Reads one header block of the same shape as `expected` (the same number of lines).
std::string ReadBlockLike(TextClient& viewer, const std::string& expected) {
  const size_t lines = LinesOf(expected);
  std::string block;
  for (size_t i = 0; i < lines; ++i) {
    std::string line;
    if (!viewer.ReadLine(line)) break;
    block += line;
  }
  return block;
}

class RoutingTest : public ::testing::Test {
 protected:
  void StartRun(int boxCount, int channelLimit) {
    ASSERT_TRUE(hub->bridge->StartServers());
    ASSERT_TRUE(hub->bridge->Start(BridgeUnderTest::Boxes(boxCount), channelLimit));
    ASSERT_TRUE(hub->boxes.WaitForTargets(static_cast<size_t>(boxCount)));
  }
  bool WaitHeaderPublished() {
    return hub->window.WaitForCount<PublishedNotice>(1, testkit::Published(false));
  }
  void ConnectViewer() {
    ASSERT_TRUE(viewer.Connect("127.0.0.1", hub->bridge->DataPort()));
  }
  // Two boxes of 4 and 8 channels with limit 6, header published, a viewer that has read it.
  void StartTwoBoxRun(Header* expectedOut = nullptr) {
    StartRun(2, 6);
    Header first = MakeHeader(4, L"A");
    CopyText(first.dialName, L"A2");
    first.dialIndex = 2;
    first.dialMin = -5.0;
    first.dialMax = 750.0;
    first.jobType = Acid;
    hub->boxes.Box(0).SendHeader(first);
    hub->boxes.Box(1).SendHeader(MakeHeader(8, L"B"));
    ASSERT_TRUE(WaitHeaderPublished());
    ConnectViewer();
    Header expected;
    expected.count = 10;
    for (int j = 0; j < 4; ++j) {
      CopyText(expected.names[j], std::wstring_view(L"A" + std::to_wstring(j) + L"_0"));
      CopyText(expected.units[j], std::wstring_view(L"uA" + std::to_wstring(j)));
    }
    for (int j = 4; j < 10; ++j) {
      CopyText(expected.names[j], std::wstring_view(L"B" + std::to_wstring(j - 4) + L"_1"));
      CopyText(expected.units[j], std::wstring_view(L"uB" + std::to_wstring(j - 4)));
    }
    for (int j = 0; j < 10; ++j) expected.variables[j] = j;
    CopyText(expected.dialName, L"A2_0");
    expected.dialIndex = 2;
    expected.dialMin = -5.0;
    expected.dialMax = 750.0;
    expected.jobType = Acid;
    const std::string block = CDataPublisher::HeaderBlock(expected);
    ASSERT_EQ(ReadBlockLike(viewer, block), block);
    if (expectedOut != nullptr) *expectedOut = expected;
  }
  std::string NextLine() {
    std::string line;
    EXPECT_TRUE(viewer.ReadLine(line));
    return line;
  }

  std::unique_ptr<BridgeUnderTest> hub = std::make_unique<BridgeUnderTest>();
  TextClient viewer;
};

TEST_F(RoutingTest, CombinedHeaderTakesAtMostTheLimitFromEachBoxTagged) {
  StartTwoBoxRun();
  const auto ends = hub->bridge->ChannelEnds();
  EXPECT_EQ(ends[0], 4);
  EXPECT_EQ(ends[1], 10);
  EXPECT_EQ(ends[2], 0);
  EXPECT_EQ(hub->window.CountOf<HeadersCompleteNotice>(), 1u);
}

TEST_F(RoutingTest, OnlyTheFirstHeaderOfABoxCountsAndLayoutWaitsForEveryBox) {
  StartRun(2, 6);
  hub->boxes.Box(1).SendHeader(MakeHeader(2, L"First"));
  hub->boxes.Box(1).SendHeader(MakeHeader(3, L"Later"));
  // One box's header alone builds nothing: no box owns a combined channel yet.
  EXPECT_FALSE(hub->window.WaitForCount<HeadersCompleteNotice>(1, {}, 100ms));
  EXPECT_EQ(hub->bridge->ChannelEnds()[0], 0);
  EXPECT_EQ(hub->bridge->ChannelEnds()[1], 0);

  hub->boxes.Box(0).SendHeader(MakeHeader(1, L"Z"));
  ASSERT_TRUE(WaitHeaderPublished());
  ConnectViewer();
  Header expected;
  expected.count = 3;
  CopyText(expected.names[0], L"Z0_0");
  CopyText(expected.names[1], L"First0_1");
  CopyText(expected.names[2], L"First1_1");
  CopyText(expected.units[0], L"uZ0");
  CopyText(expected.units[1], L"uFirst0");
  CopyText(expected.units[2], L"uFirst1");
  for (int j = 0; j < 3; ++j) expected.variables[j] = j;
  CopyText(expected.dialName, L"Weight_0");
  const std::string block = CDataPublisher::HeaderBlock(expected);
  EXPECT_EQ(ReadBlockLike(viewer, block), block);
  EXPECT_EQ(hub->bridge->ChannelEnds()[1], 3);
}

TEST_F(RoutingTest, TaggingCutsLongNamesToTheirField) {
  constexpr int kBoxes = 13;
  StartRun(kBoxes, 1);
  const std::wstring longName(48, L'n');
  for (int i = 0; i < kBoxes; ++i) {
    Header header = MakeHeader(2, L"C");
    if (i == 12) CopyText(header.names[0], std::wstring_view(longName));
    hub->boxes.Box(i).SendHeader(header);
  }
  ASSERT_TRUE(WaitHeaderPublished());
  ConnectViewer();
  std::string line;
  std::string names;
  while (viewer.ReadLine(line)) {
    if (line.rfind("#", 0) == 0 && line.find("C0_0") != std::string::npos) {
      names = line;
      break;
    }
  }
  // 48 characters and "_12" make 51: the field keeps 49, so only the tag's "_" is left.
  EXPECT_NE(names.find(" " + std::string(48, 'n') + "_ \r\n"), std::string::npos) << names;
  EXPECT_EQ(names.find("_12"), std::string::npos);
  EXPECT_NE(names.find("C0_11 "), std::string::npos);
  EXPECT_EQ(hub->bridge->ChannelEnds()[12], 13);
}

TEST_F(RoutingTest, RecordIsEmittedOnceEveryBoxHasContributed) {
  StartRun(2, 6);
  // Records before the combined header is published are dropped without a notice (once the
  // merger has had them: they are counted as the boxes' records).
  hub->boxes.Box(0).SendData(MakeData(900, 4));
  hub->boxes.Box(1).SendData(MakeData(900, 8));
  ASSERT_TRUE(testkit::WaitForHealth(*hub->bridge, [](const HubHealth& h) {
    return h.boxes.size() == 2 && h.boxes[0].records == 1 && h.boxes[1].records == 1;
  }));
  Header first = MakeHeader(4, L"A");
  hub->boxes.Box(0).SendHeader(first);
  hub->boxes.Box(1).SendHeader(MakeHeader(8, L"B"));
  ASSERT_TRUE(WaitHeaderPublished());
  ConnectViewer();
  std::string line;
  for (size_t i = 0; i < LinesOf(CDataPublisher::HeaderBlock(Header{})); ++i) {
    ASSERT_TRUE(viewer.ReadLine(line));  // the header block
  }

  // Three records from box 1 alone emit nothing.
  for (int k = 1; k <= 3; ++k) hub->boxes.Box(1).SendData(MakeData(10.0 * k, 8, 50 + k));
  // Box 1 is in row 3.
  ASSERT_TRUE(hub->window.WaitForCount<BoxDataNotice>(3, testkit::OfRow<BoxDataNotice>(3)));
  EXPECT_EQ(hub->window.CountOf<PublishedNotice>(testkit::Published(true)), 0u);

  // Box 0's first record emits one record with box 1's newest values and box 0's time.
  hub->boxes.Box(0).SendData(MakeData(1, 4, 7));
  Data expected = MakeData(1, 4, 7);
  expected.count = 10;
  for (int j = 0; j < 6; ++j) expected.values[4 + j] = 30.0 + j;
  EXPECT_EQ(NextLine(), CDataPublisher::DataLine(expected));

  // A box that contributes twice only refreshes its values; the other box completes the record.
  hub->boxes.Box(0).SendData(MakeData(100, 4, 8));
  hub->boxes.Box(0).SendData(MakeData(200, 4, 9));
  hub->boxes.Box(1).SendData(MakeData(40, 8, 30));
  expected = MakeData(200, 4, 9);
  expected.count = 10;
  for (int j = 0; j < 6; ++j) expected.values[4 + j] = 40.0 + j;
  EXPECT_EQ(NextLine(), CDataPublisher::DataLine(expected));

  // Row 1 is box 0 (three merged records), row 3 box 1 (four); the early ones left no notice.
  ASSERT_TRUE(hub->window.WaitForCount<BoxDataNotice>(3, testkit::OfRow<BoxDataNotice>(1)));
  ASSERT_TRUE(hub->window.WaitForCount<BoxDataNotice>(4, testkit::OfRow<BoxDataNotice>(3)));
  EXPECT_EQ(hub->window.CountOf<BoxDataNotice>(), 7u);
  // The notice follows the publication the viewer has already read.
  ASSERT_TRUE(hub->window.WaitForCount<PublishedNotice>(2, testkit::Published(true)));
  EXPECT_EQ(hub->window.CountOf<PublishedNotice>(testkit::Published(true)), 2u);
}

// Health snapshots taken while records flow agree with each other: a combined record needs a new
// record of every box, so no snapshot shows more published than either box has sent, and no
// figure goes back.
TEST_F(RoutingTest, HealthSnapshotsAgreeWithEachOtherWhileRecordsFlow) {
  StartTwoBoxRun();
  constexpr int kRecords = 400;
  std::atomic<bool> flowing{true};
  std::atomic<int> disagreements{0};
  std::atomic<int> snapshots{0};
  std::thread watcher([&] {
    uint64_t lastPublished = 0;
    uint64_t lastRecords = 0;
    do {  // at least once, however late this thread first runs
      const HubHealth h = hub->bridge->Health();
      const bool agree = h.boxes.size() == 2 && h.channels.size() == 10 &&
                         h.run.recordsPublished <= std::min(h.boxes[0].records, h.boxes[1].records) &&
                         h.run.recordsPublished >= lastPublished && h.boxes[0].records >= lastRecords;
      if (!agree) ++disagreements;
      lastPublished = h.run.recordsPublished;
      lastRecords = h.boxes.empty() ? 0 : h.boxes[0].records;
      ++snapshots;
    } while (flowing);
  });
  for (int k = 1; k <= kRecords; ++k) {
    hub->boxes.Box(0).SendData(MakeData(k, 4, k % 60));
    hub->boxes.Box(1).SendData(MakeData(k, 8, k % 60));
  }
  HubHealth last;
  const bool allIn = testkit::WaitForHealth(
      *hub->bridge,
      [](const HubHealth& h) { return h.boxes[0].records == kRecords && h.boxes[1].records == kRecords; },
      10s, &last);
  flowing = false;
  watcher.join();
  ASSERT_TRUE(allIn);
  EXPECT_EQ(disagreements, 0);
  EXPECT_GT(snapshots, 0);
  EXPECT_GE(last.run.recordsPublished, 1u);
  EXPECT_LE(last.run.recordsPublished, static_cast<uint64_t>(kRecords));
  EXPECT_EQ(last.channels[0].name, "A0_0");
  EXPECT_EQ(last.channels[4].unit, "uB0");
  EXPECT_GE(last.channels[0].value, 1.0);
  EXPECT_EQ(last.viewers.size(), 1u);
  EXPECT_TRUE(last.viewers[0].connected);
  EXPECT_EQ(last.viewers[0].peerAddress, "127.0.0.1");
}

TEST_F(RoutingTest, CombinedRecordRepeatsWhileTheBoxesAreSilent) {
  HubConfig config = BridgeUnderTest::LoopbackConfig();
  config.hub.repeatPeriod = 60ms;
  hub = std::make_unique<BridgeUnderTest>(config);
  StartRun(1, 6);
  hub->boxes.Box(0).SendHeader(MakeHeader(2, L"R"));
  ASSERT_TRUE(WaitHeaderPublished());
  // Nothing is repeated before the first record has been published.
  EXPECT_FALSE(hub->window.WaitForCount<PublishedNotice>(1, testkit::Published(true), 250ms));

  ConnectViewer();
  std::string line;
  for (size_t i = 0; i < LinesOf(CDataPublisher::HeaderBlock(Header{})); ++i) {
    ASSERT_TRUE(viewer.ReadLine(line));
  }
  const auto begin = std::chrono::steady_clock::now();
  hub->boxes.Box(0).SendData(MakeData(3, 2, 11));
  Data expected = MakeData(3, 2, 11);
  const std::string once = CDataPublisher::DataLine(expected);
  EXPECT_EQ(NextLine(), once);
  EXPECT_EQ(NextLine(), once);
  EXPECT_EQ(NextLine(), once);
  // Two repeats take at least two periods.
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 120ms);
}

TEST_F(RoutingTest, RepeatsReachTheOutputsMarkedAsRepeats) {
  HubConfig config = BridgeUnderTest::LoopbackConfig();
  config.hub.repeatPeriod = 60ms;
  hub = std::make_unique<BridgeUnderTest>(config);
  auto output = std::make_shared<testkit::RecordingOutput>();
  hub->bridge->AddOutput(output);
  StartRun(1, 6);
  hub->boxes.Box(0).SendHeader(MakeHeader(2, L"R"));
  ASSERT_TRUE(WaitHeaderPublished());
  hub->boxes.Box(0).SendData(MakeData(3, 2, 11));
  ASSERT_TRUE(output->WaitForCount<std::shared_ptr<const PublishedRecord>>(3));
  const auto records = output->EventsOf<std::shared_ptr<const PublishedRecord>>();
  EXPECT_FALSE(records[0]->repeat);
  EXPECT_TRUE(records[1]->repeat && records[2]->repeat);
  EXPECT_EQ(records[2]->line, records[0]->line);
}

// The outputs see what viewers see, once, in order, with what only they are told: which channels
// hold a lost box's place, the boxes' events and the run's end.
TEST_F(RoutingTest, EveryOutputSeesTheRunInTheOrderViewersDo) {
  auto output = std::make_shared<testkit::RecordingOutput>();
  hub->bridge->AddOutput(output);
  StartTwoBoxRun();
  hub->boxes.Box(0).SendData(MakeData(1, 4, 1));
  hub->boxes.Box(1).SendData(MakeData(5, 8, 1));
  const std::string first = NextLine();
  hub->boxes.Box(1).SendActivity(ConnectionLost);
  hub->boxes.Box(1).SendHeld(Data{});
  hub->boxes.Box(0).SendData(MakeData(2, 4, 2));
  const std::string second = NextLine();
  ASSERT_TRUE(output->WaitForCount<BoxEvent>(3));  // two connected, one lost
  ASSERT_TRUE(hub->bridge->Stop());

  const auto events = output->events.All();
  ASSERT_TRUE(std::holds_alternative<RunStarted>(events.front()));
  EXPECT_EQ(std::get<RunStarted>(events.front()).boxes.size(), 2u);
  ASSERT_TRUE(std::holds_alternative<RunEnded>(events.back()));
  EXPECT_EQ(std::get<RunEnded>(events.back()).records, 2u);
  const auto headers = output->EventsOf<std::shared_ptr<const PublishedHeader>>();
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(headers[0]->channels.size(), 10u);
  EXPECT_EQ(headers[0]->channels[4].box, 1);
  EXPECT_EQ(headers[0]->boxes[1].serialNumber, "SN-B");
  const auto records = output->EventsOf<std::shared_ptr<const PublishedRecord>>();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]->line, first);
  EXPECT_TRUE(records[0]->missing.none());
  EXPECT_EQ(records[1]->line, second);
  EXPECT_EQ(records[1]->missing.count(), 6u);
  EXPECT_TRUE(records[1]->missing.test(4) && records[1]->missing.test(9));
  EXPECT_FALSE(records[1]->repeat);
  std::vector<std::string> kinds;
  for (const BoxEvent& event : output->EventsOf<BoxEvent>()) {
    kinds.push_back(std::to_string(event.row) + ":" + BoxEventName(event.kind));
  }
  EXPECT_TRUE(std::is_permutation(kinds.begin(), kinds.begin() + 2,
                                  std::vector<std::string>{"1:connected", "3:connected"}.begin()));
  EXPECT_EQ(std::vector<std::string>(kinds.begin() + 2, kinds.end()),
            (std::vector<std::string>{"3:lost", "1:stopped", "3:stopped"}));
}

TEST_F(RoutingTest, StopEndsTheRunAndDeletesItsAgents) {
  StartRun(2, 6);
  EXPECT_EQ(hub->boxes.Live(), 2u);
  EXPECT_TRUE(hub->bridge->Stop());
  EXPECT_EQ(hub->window.CountOf<StoppedNotice>(), 1u);
  EXPECT_EQ(hub->boxes.Live(), 0u);
  EXPECT_FALSE(hub->bridge->RunEndedByItself());
  EXPECT_TRUE(hub->bridge->Stop());  // a second Stop returns at once
  EXPECT_EQ(hub->window.CountOf<StoppedNotice>(), 1u);
}

}  // namespace
}  // namespace tessamer

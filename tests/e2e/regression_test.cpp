// Recorded box streams replayed through the simulator and the hub: what a viewer receives must
// equal the golden file byte for byte. A changed output is either a fixed fault or a regression.
//
// The replay is paced so that the output is deterministic: every box's header goes out at once,
// the data lines wait until the viewer has the combined header, and then record k of every box
// goes out (cut into small pieces, mid-line included) once the hub has merged every record the
// boxes' records before k yield (as the hub's own record reader counts them: the time-jump filter
// holds a record back until the next one). Records carry their own times and the repeat period is
// longer than the test, so nothing depends on the clock or on how fast the machine is.
//
// TESSAMER_UPDATE_GOLDEN=1 writes the golden files from what the hub sends instead of comparing.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "acquisition/job_parser.h"
#include "box_simulator.h"
#include "box_stream.h"
#include "hub/bridge/hub_bridge.h"
#include "testkit/environment.h"
#include "testkit/recorders.h"
#include "testkit/text_client.h"

namespace tessamer {
namespace {

using namespace std::chrono_literals;

constexpr int kHeaderBlockLines = 9;

struct Combination {
  std::string golden;               // file name in tests/data
  std::vector<std::string> streams;  // one recorded stream per box, in agent order
  int channelLimit;
};

std::string DataFile(const std::string& name) { return std::string(TESSAMER_TEST_DATA) + "/" + name; }

bool Updating() {
  const char* update = std::getenv("TESSAMER_UPDATE_GOLDEN");
  return update != nullptr && *update != '\0' && *update != '0';
}

// How many records the hub's record reader has handed on after each replay slot of `stream`.
std::vector<size_t> RecordsAfterEachSlot(const std::string& stream) {
  CDataRecordReader reader;
  std::vector<size_t> counts;
  size_t count = 0;
  for (const std::string& slot : sim::SplitReplay(stream).slots) {
    size_t from = 0;
    while (from < slot.size()) {
      size_t end = slot.find('\n', from);
      if (end == std::string::npos) end = slot.size();
      std::string_view line(slot.data() + from, end - from);
      from = end + 1;
      while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
      if (!line.empty() && line[0] >= '0' && line[0] <= '9') reader.Read(line, [&](std::unique_ptr<Data>) { ++count; });
    }
    counts.push_back(count);
  }
  return counts;
}

// True once the hub has merged at least `counts[b][step]` records of each box b (its last count
// once its stream has run out).
bool MergedThrough(const std::vector<Notice>& notices, const std::vector<std::vector<size_t>>& counts, size_t step) {
  for (size_t b = 0; b < counts.size(); ++b) {
    if (counts[b].empty()) continue;
    const size_t wanted = counts[b][std::min(step, counts[b].size() - 1)];
    size_t merged = 0;
    for (const Notice& n : notices) {
      const auto* data = std::get_if<BoxDataNotice>(&n);
      merged += data != nullptr && data->row == static_cast<int32_t>(b) ? 1 : 0;
    }
    if (merged < wanted) return false;
  }
  return true;
}

class Regression : public ::testing::TestWithParam<Combination> {
 protected:
  // The records' times are the boxes' local times; read them in a zone without summer time.
  testkit::ScopedTimeZone zone{"UTC0"};
};

TEST_P(Regression, ViewerReceivesExactlyTheGoldenStream) {
  const Combination& c = GetParam();
  sim::SimulatorOptions options;
  std::vector<std::vector<size_t>> counts;  // per box: records handed on after each slot
  size_t slots = 0;                          // the longest stream's
  for (const auto& stream : c.streams) {
    sim::BoxSetup box;
    box.replayFile = DataFile(stream);
    options.boxes.push_back(box);
    std::string text;
    ASSERT_TRUE(sim::ReadWholeFile(box.replayFile, text)) << stream;
    counts.push_back(RecordsAfterEachSlot(text));
    slots = std::max(slots, counts.back().size());
  }
  options.pacing.maxPiece = 7;
  options.pacing.pieceGap = 1ms;
  options.pacing.seed = 11;
  options.pacing.holdAfterHeader = true;
  sim::CBoxSimulator simulator(options);
  std::string error;
  ASSERT_TRUE(simulator.Start(&error)) << error;

  std::vector<Box> boxes;
  for (size_t i = 0; i < simulator.BoxCount(); ++i) {
    boxes.push_back(Box{BoxAddress(127, 0, 0, static_cast<uint8_t>(2 + i)), simulator.Box(i).DataPort(),
                        static_cast<int32_t>(i)});
  }
  HubConfig config;
  config.listenAddress = "127.0.0.1";
  config.dataPort = 0;
  config.utilityPort = 0;
  config.boxUtilityPort = simulator.Box(0).UtilityPort();
  config.hub.repeatPeriod = 120s;  // no repeated record within the test

  std::string expected;
  const bool updating = Updating();
  if (!updating) {
    ASSERT_TRUE(sim::ReadWholeFile(DataFile(c.golden), expected)) << "missing golden file " << c.golden;
  }

  testkit::RecordingNoticeSink notices;
  auto bridge = std::make_unique<CHubBridge>(&notices, config);
  ASSERT_TRUE(bridge->StartServers());
  ASSERT_TRUE(bridge->Start(boxes, c.channelLimit));
  testkit::TextClient viewer;
  ASSERT_TRUE(viewer.Connect("127.0.0.1", bridge->DataPort()));
  std::string received;
  std::string line;
  for (int i = 0; i < kHeaderBlockLines; ++i) {
    ASSERT_TRUE(viewer.ReadLine(line, 10s)) << "header line " << i;
    received += line;
  }
  for (size_t k = 0; k < slots; ++k) {
    simulator.StepReplay();
    ASSERT_TRUE(notices.WaitFor(
        [&](const std::vector<Notice>& all) { return MergedThrough(all, counts, k); }, 10s))
        << "the hub did not take the boxes' records of slot " << k;
  }

  if (updating) {
    while (viewer.ReadLine(line, 3s)) received += line;  // until the replay has run out
  } else if (expected.size() > received.size()) {
    std::string rest;
    const bool complete = viewer.ReadBytes(expected.size() - received.size(), rest, 30s);
    received += rest.empty() ? viewer.Buffered() : rest;
    EXPECT_TRUE(complete) << "the viewer received less than the golden stream";
  }
  bridge->Stop();
  bridge.reset();  // closes the viewer's connection
  std::string extra;
  EXPECT_TRUE(viewer.ReadToEnd(extra, 10s));
  received += extra;

  if (updating) {
    std::ofstream(DataFile(c.golden), std::ios::binary) << received;
    GTEST_SKIP() << "wrote " << c.golden;
  }
  EXPECT_EQ(received, expected);
}

INSTANTIATE_TEST_SUITE_P(
    RecordedJobs, Regression,
    ::testing::Values(Combination{"coiled_single_limit6.golden", {"coiled_timejump.txt"}, 6},
                      Combination{"cementing_slickline_limit6.golden",
                                  {"cementing_primary.txt", "slickline_secondary.txt"}, 6},
                      Combination{"drilling_cementing_slickline_limit3.golden",
                                  {"drilling_tabs.txt", "cementing_primary.txt", "slickline_secondary.txt"}, 3},
                      Combination{"slickline_single_limit2.golden", {"slickline_secondary.txt"}, 2}),
    [](const ::testing::TestParamInfo<Combination>& info) {
      return info.param.golden.substr(0, info.param.golden.find('.'));
    });

}  // namespace
}  // namespace tessamer

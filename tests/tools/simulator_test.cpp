// The box simulator: what it sends must be what the hub's parser accepts, and its control of
// connections, replay and utility answers must be exact, since the end-to-end tests rely on it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>


#include "acquisition/job_parser.h"
#include "box_simulator.h"
#include "box_stream.h"
#include "support/text.h"
#include "testkit/descriptor_shortage.h"
#include "testkit/text_client.h"
#include "utility/vellumetric_utility.h"

namespace tessamer::sim {
namespace {

using testkit::TextClient;
using namespace std::chrono_literals;

// Parses a header block as the hub does, line by line, up to the first line that is not a header
// line.
Header ParseBlock(const std::string& block, bool* isJobHeader = nullptr) {
  JobHeaderWork work;
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\n', start);
    std::string line = block.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("#", 0) != 0 || line.rfind("##", 0) == 0) break;
    ParseHeaderLine(work, line.c_str(), line.size());
  }
  Header header;
  BuildHeader(work, header);
  if (isJobHeader != nullptr) *isJobHeader = work.isJobHeader;
  return header;
}

TEST(BoxStreamText, HeaderBlockIsAcceptedByTheHubsParser) {
  BoxSetup setup;
  setup.jobType = "CoiledTubing";
  setup.dialVariable = "Rate";
  setup.dialMin = 0.5;
  setup.dialMax = 12;
  setup.secondary = true;
  bool isJobHeader = false;
  const Header h = ParseBlock(HeaderBlockText(setup, "VM-7"), &isJobHeader);
  EXPECT_TRUE(isJobHeader);
  EXPECT_EQ(h.count, 4);
  EXPECT_EQ(TextOf(h.names[0]), L"Pressure");
  EXPECT_EQ(TextOf(h.names[3]), L"Density");
  EXPECT_EQ(TextOf(h.units[2]), L"lbs");
  EXPECT_EQ(TextOf(h.serialNumber), L"VM-7");
  EXPECT_EQ(TextOf(h.firmwareVersion), L"8.7c");
  EXPECT_EQ(TextOf(h.fpgaVersion), L"3.12");
  EXPECT_EQ(h.jobType, CoiledTubing);
  EXPECT_TRUE(h.secondary);
  EXPECT_EQ(TextOf(h.dialName), L"Rate");
  EXPECT_EQ(h.dialIndex, 1);
  EXPECT_DOUBLE_EQ(h.dialMin, 0.5);
  EXPECT_DOUBLE_EQ(h.dialMax, 12.0);
  ASSERT_NE(h.diagnostics, nullptr);
  EXPECT_DOUBLE_EQ(h.diagnostics->values[0], 3.31);
  EXPECT_DOUBLE_EQ(h.diagnostics->values[6], 31.2);
}

TEST(BoxStreamText, HeaderBlockEndsWithATextLineAndEveryLineWithCarriageReturnLineFeed) {
  BoxSetup setup;
  setup.diagnostics = false;
  setup.channels = {{"P1", "bar", 1, 0, 0}, {"P2", "", 1, 0, 0}};
  const std::string block = HeaderBlockText(setup, "S");
  EXPECT_EQ(block.find("DiagInfo"), std::string::npos);
  EXPECT_THAT(block, ::testing::EndsWith("#P1 P2\r\n## Logging started\r\n"));
  EXPECT_THAT(block, ::testing::HasSubstr("# UnitList bar -\r\n"));
  for (size_t at = block.find('\n'); at != std::string::npos; at = block.find('\n', at + 1)) {
    ASSERT_GT(at, 0u);
    EXPECT_EQ(block[at - 1], '\r') << "at byte " << at;
  }
}

TEST(BoxStreamText, DataLineReadsBackWithItsTimeAndValues) {
  std::tm t{};
  t.tm_year = 124;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 7;
  t.tm_min = 4;
  t.tm_sec = 9;
  const std::string line = DataLineText(t, 25, {1.5, -2.0, 1234.56789});
  EXPECT_EQ(line, "03/05/24 07:04:09.25 1.5000 -2.0000 1234.5679\r\n");
  Data record{};
  ASSERT_TRUE(ParseDataLine(std::string_view(line).substr(0, line.size() - 2), record));
  EXPECT_EQ(record.time.tm_mon, 2);
  EXPECT_EQ(record.time.tm_year, 124);
  EXPECT_EQ(record.fraction, 25);
  ASSERT_EQ(record.count, 3);
  EXPECT_DOUBLE_EQ(record.values[1], -2.0);
  EXPECT_EQ(DataLineText(t, -1, {}), "03/05/24 07:04:09\r\n");
}

TEST(BoxStreamText, GeneratedValuesStayNearTheirChannelAndCarryTheSequence) {
  BoxSetup setup;
  setup.sequenceChannel = 1;
  setup.sequenceStart = 1000000;
  std::mt19937 noise(3);
  for (uint64_t s = 0; s < 300; s += 7) {
    const auto values = GenerateValues(setup, s, noise);
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[1], static_cast<double>(1000000 + s));
    EXPECT_NEAR(values[0], 1500.0, 405.0);
    EXPECT_NEAR(values[2], 18000.0, 2540.0);
  }
}

TEST(ReplayCutting, SlotsEndAtDataLinesAndKeepEveryByte) {
  const std::string stream =
      "# A\r\n#B C\r\n## note\r\n01/02/24 00:00:01 1\r\n\r\n01/02/24 00:00:02 2\r\n## x\r\n"
      "01/02/24 00:00:03 3\r\n## tail\r\n";
  const ReplayScript script = SplitReplay(stream);
  EXPECT_EQ(script.opening, "# A\r\n#B C\r\n## note\r\n");
  ASSERT_EQ(script.slots.size(), 4u);
  EXPECT_EQ(script.slots[0], "01/02/24 00:00:01 1\r\n");
  EXPECT_EQ(script.slots[1], "\r\n01/02/24 00:00:02 2\r\n");
  EXPECT_EQ(script.slots[2], "## x\r\n01/02/24 00:00:03 3\r\n");
  EXPECT_EQ(script.slots[3], "## tail\r\n");
  EXPECT_EQ(SplitReplay("no line end").opening, "no line end");
}

TEST(ReplayCutting, PiecesRespectTheirBoundAndRepeatForASeed) {
  const std::string text(1000, 'x');
  std::mt19937 a(7), b(7);
  const auto first = CutIntoPieces(text, 9, a);
  const auto second = CutIntoPieces(text, 9, b);
  EXPECT_EQ(first, second);
  std::string joined;
  bool someShort = false;
  for (const auto& piece : first) {
    ASSERT_GE(piece.size(), 1u);
    ASSERT_LE(piece.size(), 9u);
    someShort = someShort || piece.size() < 9;
    joined += piece;
  }
  EXPECT_TRUE(someShort);
  EXPECT_EQ(joined, text);
  std::mt19937 c(1);
  EXPECT_EQ(CutIntoPieces("abc", 0, c).size(), 3u);  // a bound of 0 means single bytes
}

SimulatorOptions FastBoxes(int count) {
  SimulatorOptions options = DefaultOptions(count);
  for (auto& box : options.boxes) box.recordPeriod = 20ms;
  return options;
}

TEST(BoxSimulator, BoxesListenOnConsecutiveAddressesWithTheSamePortNumbers) {
  CBoxSimulator simulator(FastBoxes(3));
  std::string error;
  ASSERT_TRUE(simulator.Start(&error)) << error;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(simulator.Box(i).Address(), "127.0.0." + std::to_string(2 + i));
    EXPECT_NE(simulator.Box(i).DataPort(), 0);
    EXPECT_EQ(simulator.Box(i).DataPort(), simulator.Box(0).DataPort());
    EXPECT_EQ(simulator.Box(i).UtilityPort(), simulator.Box(0).UtilityPort());
  }
  EXPECT_NE(simulator.Box(0).DataPort(), simulator.Box(0).UtilityPort());
}

TEST(BoxSimulator, EveryDataConnectionGetsTheHeaderBlockThenDataLines) {
  CBoxSimulator simulator(FastBoxes(2));
  ASSERT_TRUE(simulator.Start());
  const auto& box = simulator.Box(1);
  const std::string header = box.HeaderBlock();
  EXPECT_THAT(header, ::testing::HasSubstr("# SerialNumber VM-20418\r\n"));
  for (int connection = 0; connection < 2; ++connection) {
    TextClient viewer;
    ASSERT_TRUE(viewer.Connect(box.Address(), box.DataPort()));
    std::string got;
    ASSERT_TRUE(viewer.ReadBytes(header.size(), got));
    EXPECT_EQ(got, header);
    for (int i = 0; i < 3; ++i) {
      std::string line;
      ASSERT_TRUE(viewer.ReadLine(line));
      Data record{};
      ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(line[0]))) << line;
      ASSERT_TRUE(ParseDataLine(line.substr(0, line.size() - 2), record)) << line;
      EXPECT_EQ(record.count, 4);
    }
  }
  EXPECT_TRUE(box.WaitForDataConnections(2, 5s));
  EXPECT_GE(box.RecordsSent(), 3u);
}

TEST(BoxSimulator, DropClosesConnectionsAndRefusingStopsNewOnes) {
  CBoxSimulator simulator(FastBoxes(1));
  ASSERT_TRUE(simulator.Start());
  auto& box = simulator.Box(0);
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect(box.Address(), box.DataPort()));
  ASSERT_TRUE(box.WaitForDataConnections(1, 5s));
  box.Drop();
  EXPECT_TRUE(viewer.WaitClosed(5s));

  box.SetRefusing(true);  // in force when it returns
  TextClient probe;
  EXPECT_FALSE(probe.Connect(box.Address(), box.DataPort(), 1s));
  box.SetRefusing(false);
  TextClient again;
  std::string line;
  ASSERT_TRUE(again.Connect(box.Address(), box.DataPort(), 1s));
  ASSERT_TRUE(again.ReadLine(line));
  EXPECT_EQ(line, "#  Vellumetric Primary Job Data\r\n");
}

TEST(BoxSimulator, SilentBoxKeepsItsConnectionAndResumes) {
  CBoxSimulator simulator(FastBoxes(1));
  ASSERT_TRUE(simulator.Start());
  auto& box = simulator.Box(0);
  box.SetSilent(true);
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect(box.Address(), box.DataPort()));
  std::string got;
  ASSERT_TRUE(viewer.ReadBytes(box.HeaderBlock().size(), got));
  const uint64_t before = box.RecordsSent();
  std::string line;
  EXPECT_FALSE(viewer.ReadLine(line, 150ms));  // several record periods without a line
  EXPECT_EQ(box.RecordsSent(), before);
  box.SetSilent(false);
  ASSERT_TRUE(viewer.ReadLine(line));
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[0])));
}

// A box out of descriptors pauses between failed accepts instead of spinning on them, and takes
// the waiting connection once descriptors are freed.
TEST(BoxSimulator, AcceptingPausesWhileDescriptorsAreShortAndGoesOnOnceFreed) {
  CBoxSimulator simulator(FastBoxes(1));
  ASSERT_TRUE(simulator.Start());
  auto& box = simulator.Box(0);
  TextClient viewer;  // its io_context holds its descriptors already
  std::string line;
  {
    testkit::DescriptorShortage shortage;
    if (!shortage.Active()) GTEST_SKIP() << "the descriptor limit cannot be lowered here";
    shortage.FreeOne();
    ASSERT_TRUE(viewer.Connect(box.Address(), box.DataPort()));
    EXPECT_FALSE(viewer.ReadLine(line, 300ms));  // not accepted while descriptors are short
  }
  ASSERT_TRUE(viewer.ReadLine(line));
  EXPECT_EQ(line, "#  Vellumetric Primary Job Data\r\n");
  EXPECT_GE(box.AcceptFailures(), 1u);
  EXPECT_LT(box.AcceptFailures(), 10u);  // a few pauses' worth, not a spin
}

TEST(BoxSimulator, NoisyBoxSendsALineOfNoiseBeforeEachRecordUntilClean) {
  CBoxSimulator simulator(FastBoxes(1));
  ASSERT_TRUE(simulator.Start());
  auto& box = simulator.Box(0);
  box.SetNoisy(true);
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect(box.Address(), box.DataPort()));
  std::string got;
  ASSERT_TRUE(viewer.ReadBytes(box.HeaderBlock().size(), got));
  std::string noise, record;
  ASSERT_TRUE(viewer.ReadLine(noise));
  ASSERT_TRUE(viewer.ReadLine(record));
  EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(noise[0])) || noise[0] == '#') << noise;
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(record[0]))) << record;
  box.SetNoisy(false);
  std::string line;
  ASSERT_TRUE(viewer.ReadLine(line));  // perhaps one more line of noise sent meanwhile
  if (line == noise) {
    ASSERT_TRUE(viewer.ReadLine(line));
  }
  ASSERT_TRUE(viewer.ReadLine(line));
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[0]))) << line;
}

TEST(BoxSimulator, UtilityPortGreetsAnswersHelpAndAcknowledgesEachRequestWithItsByteCount) {
  CBoxSimulator simulator(FastBoxes(2));
  ASSERT_TRUE(simulator.Start());
  auto& second = simulator.Box(1);
  TextClient utility;
  ASSERT_TRUE(utility.Connect(second.Address(), second.UtilityPort()));
  std::string line;
  ASSERT_TRUE(utility.ReadLine(line));
  EXPECT_EQ(line, kUtilityBanner);

  ASSERT_TRUE(utility.Send("help\r\n"));
  std::vector<std::string> answer;
  while (answer.size() < 2 && utility.ReadLine(line)) {
    if (line[0] != '#') answer.push_back(line);
  }
  ASSERT_EQ(answer.size(), 2u);
  EXPECT_EQ(answer[1], "Firmware Ver 8.7c\r\n");

  ASSERT_TRUE(utility.Send("GS 3 12.5000\r\nGA 0\n"));
  ASSERT_TRUE(utility.ReadLine(line));
  EXPECT_EQ(line, "Extended Command done 14\r\n");
  ASSERT_TRUE(utility.ReadLine(line));
  EXPECT_EQ(line, "Done\r\n");
  ASSERT_TRUE(utility.ReadLine(line));
  EXPECT_EQ(line, "Extended Command done 5\r\n");
  ASSERT_TRUE(second.WaitForCommands(3, 5s));
  EXPECT_THAT(second.ReceivedCommands(), ::testing::ElementsAre("help", "GS 3 12.5000", "GA 0"));
  EXPECT_TRUE(simulator.Box(0).ReceivedCommands().empty());
}

TEST(BoxSimulator, HubsUtilityConnectionAcceptsEveryAnswerOfTheBox) {
  SimulatorOptions options = FastBoxes(2);
  options.boxes[0].firmware = "2.15b3";
  options.boxes[1].banner = false;
  CBoxSimulator simulator(options);
  ASSERT_TRUE(simulator.Start());
  for (size_t b = 0; b < 2; ++b) {
    auto& box = simulator.Box(b);
    CVellumetricUtility utility(false, true, {}, box.Address(), box.UtilityPort());
    utility.SetOpenTimeout(b == 1 ? 300 : 5000);  // the box without a banner is waited for
    ASSERT_TRUE(utility.Connect()) << Narrow(utility.GetErrorInfo().text);
    EXPECT_EQ(utility.MissingBanner(), b == 1);
    FirmwareInfo info;
    ASSERT_TRUE(utility.QueryFirmwareVersion(info));
    EXPECT_EQ(info.major, b == 0 ? 2 : 8);
    EXPECT_EQ(info.minor, b == 0 ? 15 : 7);
    EXPECT_EQ(info.revision, b == 0 ? L"3" : L"");
    EXPECT_TRUE(utility.CommandS(3, 12.5)) << Narrow(utility.GetErrorInfo().text);
    EXPECT_TRUE(utility.CommandA(1));
    EXPECT_TRUE(utility.CommandZ(5)) << Narrow(utility.GetErrorInfo().text);
    ASSERT_TRUE(box.WaitForCommands(4, 5s));
    EXPECT_THAT(box.ReceivedCommands(),
                ::testing::ElementsAre("help", "GS 3 12.5000", "GA 1", b == 0 ? "GZ 5" : "GY 5 "));
  }
}

TEST(BoxSimulator, BoxWithoutBannerSendsNothingBeforeItsAnswer) {
  SimulatorOptions options = FastBoxes(1);
  options.boxes[0].banner = false;
  CBoxSimulator simulator(options);
  ASSERT_TRUE(simulator.Start());
  TextClient utility;
  ASSERT_TRUE(utility.Connect(simulator.Box(0).Address(), simulator.Box(0).UtilityPort()));
  ASSERT_TRUE(utility.Send("GY 5 \r\n"));
  std::string line;
  ASSERT_TRUE(utility.ReadLine(line));
  EXPECT_EQ(line, "Extended Command done 7\r\n");
}

TEST(BoxSimulator, ReplayDeliversTheRecordedStreamExactlyAndHoldsDataUntilReleased) {
  const std::string opening = "#  Vellumetric Primary Job Data\r\n# FPGA Version 1\r\n#A B\r\n## go\r\n";
  std::string data;
  for (int i = 0; i < 6; ++i) data += "01/02/24 00:00:0" + std::to_string(i) + " " + std::to_string(i) + "\r\n";
  SimulatorOptions options = DefaultOptions(2);
  options.boxes[0].replayText = opening + data;
  options.boxes[1].replayText = opening + data;
  options.pacing.slot = 10ms;
  options.pacing.maxPiece = 5;
  options.pacing.pieceGap = 1ms;
  options.pacing.holdAfterHeader = true;
  CBoxSimulator simulator(options);
  ASSERT_TRUE(simulator.Start());
  TextClient viewer;
  ASSERT_TRUE(viewer.Connect(simulator.Box(1).Address(), simulator.Box(1).DataPort()));
  std::string got;
  ASSERT_TRUE(viewer.ReadBytes(opening.size(), got));
  EXPECT_EQ(got, opening);
  EXPECT_FALSE(viewer.ReadBytes(1, got, 100ms));  // held: ten slots pass without a byte
  simulator.ReleaseReplay();
  ASSERT_TRUE(viewer.ReadBytes(data.size(), got));
  EXPECT_EQ(got, data);
  EXPECT_EQ(simulator.Box(1).RecordsSent(), 6u);
}

TEST(BoxSimulator, StartFailsForAnUnreadableReplayFileAndABusyPort) {
  SimulatorOptions missing = DefaultOptions(1);
  missing.boxes[0].replayFile = "/nonexistent/stream.txt";
  CBoxSimulator first(missing);
  std::string error;
  EXPECT_FALSE(first.Start(&error));
  EXPECT_THAT(error, ::testing::HasSubstr("/nonexistent/stream.txt"));

  CBoxSimulator holder(DefaultOptions(1));
  ASSERT_TRUE(holder.Start());
  SimulatorOptions clash = DefaultOptions(1);
  clash.boxes[0].dataPort = holder.Box(0).DataPort();
  CBoxSimulator second(clash);
  EXPECT_FALSE(second.Start(&error));
  EXPECT_THAT(error, ::testing::HasSubstr("data port"));
}

TEST(BoxSimulator, CommandObserverSeesEveryRequestWithItsBox) {
  std::mutex mutex;  // outlives the simulator, whose thread calls the observer
  std::vector<std::pair<int, std::string>> seen;
  CBoxSimulator simulator(FastBoxes(2));
  simulator.SetCommandObserver([&](int box, const std::string& text) {
    std::lock_guard guard(mutex);
    seen.emplace_back(box, text);
  });
  ASSERT_TRUE(simulator.Start());
  for (int b : {1, 0}) {
    TextClient utility;
    ASSERT_TRUE(utility.Connect(simulator.Box(b).Address(), simulator.Box(b).UtilityPort()));
    ASSERT_TRUE(utility.Send("GZ " + std::to_string(b) + "\r\n"));
    ASSERT_TRUE(simulator.Box(b).WaitForCommands(1, 5s));
  }
  std::lock_guard guard(mutex);
  EXPECT_THAT(seen, ::testing::ElementsAre(std::pair<int, std::string>{1, "GZ 1"},
                                           std::pair<int, std::string>{0, "GZ 0"}));
}

}  // namespace
}  // namespace tessamer::sim

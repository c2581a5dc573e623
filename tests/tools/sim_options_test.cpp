// The vellumetric-sim command line: every option reaches the boxes' setups, and every bad command
// line is refused with one line that names the option at fault.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_options.h"

namespace tessamer::sim {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

TEST(SimOptions, EveryOptionReachesTheBoxes) {
  SimulatorOptions options;
  std::string error;
  ASSERT_EQ(ParseSimCommandLine({"--boxes", "3", "--address", "127.0.1.10", "--data-port", "7000", "--utility-port",
                                 "7009", "--rate", "4", "--channels", "A,B,C,D,E", "--units", "u1,,u2", "--job-type",
                                 "Drilling", "--dial", "B", "--dial-min", "-5", "--dial-max=2.5", "--serial", "S1",
                                 "--firmware", "9.1a", "--fpga", "4.0", "--secondary", "--no-diagnostics",
                                 "--no-banner", "--sequence-channel", "4", "--sequence-start", "3000",
                                 "--replay", "r1", "--replay", "r2", "--slot", "50", "--piece", "7", "--seed", "9"},
                                options, error),
            SimCommand::Run)
      << error;
  ASSERT_EQ(options.boxes.size(), 3u);
  EXPECT_EQ(options.boxes[2].address, "127.0.1.12");
  EXPECT_EQ(options.boxes[0].replayFile, "r1");
  EXPECT_EQ(options.boxes[1].replayFile, "r2");
  EXPECT_EQ(options.boxes[2].replayFile, "");
  const BoxSetup& box = options.boxes[1];
  EXPECT_EQ(box.dataPort, 7000);
  EXPECT_EQ(box.utilityPort, 7009);
  EXPECT_EQ(box.recordPeriod, 250ms);
  ASSERT_EQ(box.channels.size(), 5u);
  EXPECT_EQ(box.channels[0].name, "A");
  EXPECT_EQ(box.channels[0].unit, "u1");
  EXPECT_EQ(box.channels[1].unit, "u2");  // empty list items are dropped
  EXPECT_EQ(box.channels[4].unit, "");
  EXPECT_EQ(box.jobType, "Drilling");
  EXPECT_EQ(box.dialVariable, "B");
  EXPECT_EQ(box.dialMin, -5.0);
  EXPECT_EQ(box.dialMax, 2.5);
  EXPECT_EQ(box.serialNumber, "S1");
  EXPECT_EQ(box.firmware, "9.1a");
  EXPECT_EQ(box.fpga, "4.0");
  EXPECT_TRUE(box.secondary);
  EXPECT_FALSE(box.diagnostics);
  EXPECT_FALSE(box.banner);
  EXPECT_EQ(box.sequenceChannel, 4);
  EXPECT_EQ(box.sequenceStart, 3000u);
  EXPECT_EQ(options.pacing.slot, 50ms);
  EXPECT_EQ(options.pacing.maxPiece, 7u);
  EXPECT_EQ(options.pacing.seed, 9u);

  ASSERT_EQ(ParseSimCommandLine({"--replay", "one", "--boxes", "2"}, options, error), SimCommand::Run) << error;
  EXPECT_EQ(options.boxes[1].replayFile, "one");  // a single file serves every box
  ASSERT_EQ(ParseSimCommandLine({}, options, error), SimCommand::Run) << error;
  ASSERT_EQ(options.boxes.size(), 2u);
  EXPECT_EQ(options.boxes[1].address, "127.0.0.3");
  EXPECT_TRUE(options.boxes[1].channels.empty());
  EXPECT_EQ(options.boxes[1].recordPeriod, kDefaultRecordPeriod);
}

TEST(SimOptions, HelpAndEveryBadCommandLine) {
  SimulatorOptions options;
  std::string error;
  EXPECT_EQ(ParseSimCommandLine({"--boxes", "3", "--help"}, options, error), SimCommand::Help);
  EXPECT_THAT(SimUsage(), ::testing::StartsWith("Usage: vellumetric-sim [options]\n"));
  EXPECT_THAT(SimUsage(), HasSubstr("--sequence-channel N"));

  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--boxes", "17"}, "--boxes takes 1 to 16"},
      {{"--boxes", "+2"}, "--boxes takes 1 to 16"},
      {{"--boxes"}, "--boxes"},
      {{"--address", "127.0.0.1x"}, "--address takes a dotted IPv4 address"},
      {{"--address", "10.0.0.2"}, "--address must leave every box inside 127.0.0.0/8"},
      {{"--address", "127.0.0.255"}, "without wrapping the last part"},
      {{"--data-port", "65536"}, "--data-port takes 0 to 65535"},
      {{"--utility-port", " 5"}, "--utility-port takes 0 to 65535"},
      {{"--rate", "0"}, "--rate takes a number above 0, at most 1000"},
      {{"--rate", "1,5"}, "--rate takes a number"},
      {{"--dial-max", "x"}, "--dial-max takes a number"},
      {{"--channels", ","}, "--channels takes 1 to 96 names"},
      {{"--units", "a,b,c,d,e"}, "--units has more units than there are channels"},
      {{"--sequence-channel", "96"}, "--sequence-channel takes 0 to 95"},
      {{"--sequence-channel", "4"}, "--sequence-channel names a channel the boxes do not have"},
      {{"--boxes", "1", "--replay", "a", "--replay", "b"}, "more --replay files than boxes"},
      {{"--replay", "a", "b"}, "b"},
      {{"--slot", "0"}, "--slot takes 1 to 60000 milliseconds"},
      {{"--piece", "1048577"}, "--piece takes 1 to 1048576 bytes"},
      {{"--seed", "-1"}, "--seed takes 0 to 4294967295"},
      {{"--what"}, "--what"},
      {{"-h"}, "-h"},
  };
  for (const auto& [args, reason] : bad) {
    error.clear();
    EXPECT_EQ(ParseSimCommandLine(args, options, error), SimCommand::Error) << args[0];
    EXPECT_THAT(error, HasSubstr(reason)) << args[0];
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace tessamer::sim
